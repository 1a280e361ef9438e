// Who is behind a process, what an object is called, and one canonical device form for any
// object-manager path, with the small routines that walk and compare counted path strings.
//
// Strings are os::UNICODE_STRING (byte lengths). Strings these routines allocate are one paged
// block each, the counted string followed by its NUL-terminated text; FreeString gives them back.
// EmptyString() (length 0, capacity 2) stands for a missing name and is never freed. Nothing here
// logs: failures are results (zero, null or the empty string). All of it runs at passive level and
// keeps no state between calls.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string_view>

#include "os/kernel/object_namespace.h"
#include "os/kernel/pool.h"
#include "os/kernel/unicode_string.h"

namespace wexo::drv {

using os::UNICODE_STRING;

// The pool tag of the strings and SIDs allocated here.
constexpr uint32_t kIdentificationTag = os::MakePoolTag("IdNm");

// Returned for "not there" by the character and search routines.
constexpr uint32_t kNoCharacter = 0xFFFFFFFF;
// How many resolution steps NormalisePath takes at most, so that links that lead back to each
// other end with the path reached.
constexpr int kMaxNormaliseSteps = 32;

// ---- Allocated strings ----
UNICODE_STRING* EmptyString();
// A new string holding the text; null when the pool refuses or the text is too long.
UNICODE_STRING* NewString(std::u16string_view text);
// Null and EmptyString() are ignored.
void FreeString(UNICODE_STRING* string);

// ---- Process user ----
// The user SID of the process's token (a paged copy, freed with FreeProcessUserSid), its length
// and the token's session id. Every result is zero when any step fails (no such process, a handle
// or token that cannot be opened, a query that fails, no memory); the status says which.
os::NTSTATUS ProcessUser(uint64_t processId, void** sid, uint32_t* sidLength, uint32_t* sessionId);
void FreeProcessUserSid(void* sid);

// ---- Paths and names ----
// The path with its symbolic links resolved until no step applies (at most kMaxNormaliseSteps); a
// copy of the path when it does not begin with a backslash or nothing resolves. Null only when no
// memory is left for the copy.
UNICODE_STRING* NormalisePath(const UNICODE_STRING& path);
// The object's full name as the object manager reports it, or EmptyString().
UNICODE_STRING* ObjectName(const os::NAMED_OBJECT* object);

// False when fewer than 2 bytes are left. Else the component is the text up to the next backslash
// (or the rest), and the path moves past that backslash. A leading backslash gives an empty first
// component. Both strings describe the caller's buffer: nothing is allocated.
bool NextComponent(UNICODE_STRING* path, UNICODE_STRING* component);
// The string is at least as long as the prefix and begins with it, ignoring case.
bool BeginsWith(const UNICODE_STRING& string, const UNICODE_STRING& prefix);
// The path begins with the folder (one trailing backslash of the folder ignored) and ends there or
// goes on with a backslash.
bool IsUnder(const UNICODE_STRING& path, const UNICODE_STRING& folder);

uint32_t FirstCharacter(const UNICODE_STRING& string);
uint32_t LastCharacter(const UNICODE_STRING& string);
uint32_t CharacterAt(const UNICODE_STRING& string, uint32_t byteOffset);
// The character index of the last occurrence at index 1 or later, or kNoCharacter.
uint32_t FindLast(const UNICODE_STRING& string, char16_t character);

constexpr uint32_t kExtensionWithoutCharacter = 1;
constexpr uint32_t kExtensionWholeWhenAbsent = 2;
// The text after the last occurrence (FindLast) of the character, the character included unless
// flag 1; when it does not occur, the whole string with flag 2, else the empty string. A view into
// the string.
UNICODE_STRING Extension(const UNICODE_STRING& string, char16_t character, uint32_t flags);

// A new string from a format: printf's conversions, "%ws" for a NUL-terminated const char16_t*.
// The text is formatted once to be sized and copied once; null when no memory or too long.
UNICODE_STRING* FormatNewString(const char* format, ...);
UNICODE_STRING* FormatNewStringV(const char* format, va_list args);

}  // namespace wexo::drv
