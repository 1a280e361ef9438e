#include "driver/platform/identification.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "driver/platform/debug_print.h"
#include "driver/platform/scratch_buffer.h"
#include "os/kernel/kernel_handles.h"
#include "os/kernel/token.h"

namespace wexo::drv {
namespace {

constexpr std::u16string_view kDevicePrefix = u"\\Device\\";
constexpr std::u16string_view kGlobalPrefix = u"\\GLOBAL??\\";
constexpr std::u16string_view kGlobalDirectory = u"\\GLOBAL??";
constexpr std::u16string_view kDosDevicesPrefix = u"\\??";
constexpr uint32_t kAttributes = os::OBJ_KERNEL_HANDLE | os::OBJ_CASE_INSENSITIVE;

os::HANDLE OpenDirectory(std::u16string_view name) {
    UNICODE_STRING directoryName = os::UnicodeStringOf(name);
    os::OBJECT_ATTRIBUTES attributes;
    os::InitializeObjectAttributes(&attributes, &directoryName, kAttributes, 0);
    os::HANDLE directory = 0;
    if (!os::NT_SUCCESS(os::ZwOpenDirectoryObject(
            &directory, os::DIRECTORY_QUERY | os::DIRECTORY_TRAVERSE, &attributes))) {
        return 0;
    }
    return directory;
}

// The target of the link that `name` names (relative to `directory`, or absolute when it is 0). An
// object that is not a link, like one that is missing, gives false.
bool ReadLink(os::HANDLE directory, std::u16string_view name, std::u16string* target) {
    UNICODE_STRING linkName = os::UnicodeStringOf(name);
    os::OBJECT_ATTRIBUTES attributes;
    os::InitializeObjectAttributes(&attributes, &linkName, kAttributes, directory);
    os::HANDLE link = 0;
    if (!os::NT_SUCCESS(
            os::ZwOpenSymbolicLinkObject(&link, os::SYMBOLIC_LINK_QUERY, &attributes))) {
        return false;
    }
    uint32_t capacity = 0;
    void* buffer = ScratchBuffer::Get(&capacity);
    bool read = false;
    while (buffer != nullptr) {
        UNICODE_STRING text;
        text.MaximumLength =
            static_cast<uint16_t>(std::min<size_t>(capacity, os::kMaxUnicodeStringBytes));
        text.Buffer = static_cast<char16_t*>(buffer);
        uint32_t needed = 0;
        os::NTSTATUS status = os::ZwQuerySymbolicLinkObject(link, &text, &needed);
        if (os::NT_SUCCESS(status)) {
            target->assign(text.View());
            read = true;
            break;
        }
        if (status != os::STATUS_BUFFER_TOO_SMALL || capacity >= os::kMaxUnicodeStringBytes) {
            break;
        }
        buffer = ScratchBuffer::Grow(buffer, &capacity);
    }
    ScratchBuffer::Release(buffer);
    os::ZwClose(link);
    return read;
}

bool ReadLinkIn(std::u16string_view directoryName, std::u16string_view name,
                std::u16string* target) {
    os::HANDLE directory = OpenDirectory(directoryName);
    if (directory == 0) {
        return false;
    }
    bool read = ReadLink(directory, name, target);
    os::ZwClose(directory);
    return read;
}

// The longest leading run of the components of `rest` that names a link (relative to `directory`,
// or from the root when it is 0), replaced by the link's target.
bool ResolveLongestRun(os::HANDLE directory, std::u16string_view rest, std::u16string* result) {
    std::u16string_view candidate = rest;
    while (candidate.size() > 1) {
        std::u16string target;
        if (ReadLink(directory, candidate, &target)) {
            *result = target;
            result->append(rest.substr(candidate.size()));
            return true;
        }
        size_t cut = candidate.rfind(u'\\');
        if (cut == std::u16string_view::npos || cut == 0) {
            break;
        }
        candidate = candidate.substr(0, cut);
    }
    return false;
}

// The first component of `after` and what follows it (from its backslash on).
void SplitFirst(std::u16string_view after, std::u16string_view* component,
                std::u16string_view* rest) {
    size_t end = after.find(u'\\');
    *component = after.substr(0, end);
    *rest = end == std::u16string_view::npos ? std::u16string_view{} : after.substr(end);
}

// The device directory of the calling process's logon session, as its token names it.
bool SessionDirectory(std::u16string* name) {
    os::HANDLE token = 0;
    if (!os::NT_SUCCESS(os::ZwOpenProcessTokenEx(os::NtCurrentProcess(), os::TOKEN_QUERY,
                                                 kAttributes, &token))) {
        return false;
    }
    os::TOKEN_STATISTICS statistics;
    uint32_t returned = 0;
    os::NTSTATUS status = os::ZwQueryInformationToken(token, os::TokenStatistics, &statistics,
                                                      sizeof statistics, &returned);
    os::ZwClose(token);
    if (!os::NT_SUCCESS(status)) {
        return false;
    }
    UNICODE_STRING* formatted = FormatNewString(
        "\\Sessions\\0\\DosDevices\\%08lx-%08lx",
        static_cast<unsigned long>(static_cast<uint32_t>(statistics.AuthenticationId.HighPart)),
        static_cast<unsigned long>(statistics.AuthenticationId.LowPart));
    if (formatted == nullptr) {
        return false;
    }
    name->assign(formatted->View());
    FreeString(formatted);
    return true;
}

// One resolution step; false when none applies.
bool ResolveStep(std::u16string_view path, std::u16string* result) {
    std::u16string_view component;
    std::u16string_view rest;
    std::u16string target;
    if (os::NameBeginsWith(path, kDevicePrefix)) {
        os::HANDLE directory = OpenDirectory(path.substr(0, kDevicePrefix.size() - 1));
        if (directory == 0) {
            return false;
        }
        bool resolved = ResolveLongestRun(directory, path.substr(kDevicePrefix.size()), result);
        os::ZwClose(directory);
        return resolved;
    }
    if (os::NameBeginsWith(path, kDosDevicesPrefix) &&
        (path.size() == kDosDevicesPrefix.size() || path[kDosDevicesPrefix.size()] == u'\\')) {
        SplitFirst(path.substr(std::min(path.size(), kDosDevicesPrefix.size() + 1)), &component,
                   &rest);
        if (component.empty()) {
            return false;
        }
        std::u16string session;
        if (!ReadLinkIn(kGlobalDirectory, component, &target) &&
            !(SessionDirectory(&session) && ReadLinkIn(session, component, &target))) {
            return false;
        }
        *result = target;
        result->append(rest);
        return true;
    }
    if (os::NameBeginsWith(path, kGlobalPrefix)) {
        SplitFirst(path.substr(kGlobalPrefix.size()), &component, &rest);
        if (component.empty() || !ReadLinkIn(kGlobalDirectory, component, &target)) {
            return false;
        }
        *result = target;
        result->append(rest);
        return true;
    }
    return !path.empty() && path[0] == u'\\' && ResolveLongestRun(0, path, result);
}

UNICODE_STRING MakeView(const char16_t* text, size_t characters) {
    UNICODE_STRING view;
    view.Buffer = const_cast<char16_t*>(text);
    view.Length = static_cast<uint16_t>(characters * sizeof(char16_t));
    view.MaximumLength = view.Length;
    return view;
}

}  // namespace

UNICODE_STRING* EmptyString() {
    static char16_t text[1] = {u'\0'};
    static UNICODE_STRING empty{0, sizeof(char16_t), text};
    return &empty;
}

UNICODE_STRING* NewString(std::u16string_view text) {
    const size_t bytes = text.size() * sizeof(char16_t);
    if (bytes > os::kMaxUnicodeStringBytes - sizeof(char16_t)) {
        return nullptr;
    }
    auto* string = static_cast<UNICODE_STRING*>(os::ExAllocatePoolWithTag(
        os::PoolType::Paged, sizeof(UNICODE_STRING) + bytes + sizeof(char16_t),
        kIdentificationTag));
    if (string == nullptr) {
        return nullptr;
    }
    string->Buffer = reinterpret_cast<char16_t*>(string + 1);
    string->Length = static_cast<uint16_t>(bytes);
    string->MaximumLength = static_cast<uint16_t>(bytes + sizeof(char16_t));
    if (bytes != 0) {
        std::memcpy(string->Buffer, text.data(), bytes);
    }
    string->Buffer[text.size()] = u'\0';
    return string;
}

void FreeString(UNICODE_STRING* string) {
    if (string != nullptr && string != EmptyString()) {
        os::ExFreePoolWithTag(string, kIdentificationTag);
    }
}

os::NTSTATUS ProcessUser(uint64_t processId, void** sid, uint32_t* sidLength, uint32_t* sessionId) {
    *sid = nullptr;
    *sidLength = 0;
    *sessionId = 0;
    std::shared_ptr<os::PROCESS> process;
    os::NTSTATUS status = os::PsLookupProcessByProcessId(processId, &process);
    if (!os::NT_SUCCESS(status)) {
        return status;
    }
    os::HANDLE processHandle = 0;
    status =
        os::ObOpenObjectByPointer(process, os::OBJ_KERNEL_HANDLE, os::PROCESS_QUERY_INFORMATION,
                                  os::KPROCESSOR_MODE::KernelMode, &processHandle);
    process.reset();
    if (!os::NT_SUCCESS(status)) {
        return status;
    }
    os::HANDLE token = 0;
    status =
        os::ZwOpenProcessTokenEx(processHandle, os::TOKEN_QUERY, os::OBJ_KERNEL_HANDLE, &token);
    uint32_t session = 0;
    uint32_t returned = 0;
    if (os::NT_SUCCESS(status)) {
        status = os::ZwQueryInformationToken(token, os::TokenSessionId, &session, sizeof session,
                                             &returned);
    }
    uint32_t capacity = 0;
    void* buffer = nullptr;
    if (os::NT_SUCCESS(status)) {
        buffer = ScratchBuffer::Get(&capacity);
        status = os::STATUS_INSUFFICIENT_RESOURCES;
        while (buffer != nullptr) {
            status = os::ZwQueryInformationToken(token, os::TokenUser, buffer, capacity, &returned);
            // A system that asks for less than it was given would have this loop forever.
            if (status != os::STATUS_BUFFER_TOO_SMALL || returned <= capacity) {
                break;
            }
            buffer = ScratchBuffer::Grow(buffer, &capacity);
            status = os::STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (os::NT_SUCCESS(status)) {
        // The SID must lie inside what the query wrote and be a SID.
        const auto* user = static_cast<const os::TOKEN_USER*>(buffer);
        const auto* start = static_cast<const uint8_t*>(buffer);
        const auto* sidBytes = static_cast<const uint8_t*>(user->User.Sid);
        const size_t available =
            sidBytes >= start && sidBytes <= start + returned ? start + returned - sidBytes : 0;
        status = os::STATUS_INVALID_PARAMETER;
        if (available >= 8 && os::RtlValidSid(sidBytes) &&
            os::RtlLengthSid(sidBytes) <= available) {
            const uint32_t length = os::RtlLengthSid(sidBytes);
            void* copy = os::ExAllocatePoolWithTag(os::PoolType::Paged, length, kIdentificationTag);
            status = os::STATUS_INSUFFICIENT_RESOURCES;
            if (copy != nullptr) {
                std::memcpy(copy, sidBytes, length);
                *sid = copy;
                *sidLength = length;
                *sessionId = session;
                status = os::STATUS_SUCCESS;
            }
        }
    }
    ScratchBuffer::Release(buffer);
    if (token != 0) {
        os::ZwClose(token);
    }
    os::ZwClose(processHandle);
    return status;
}

void FreeProcessUserSid(void* sid) {
    if (sid != nullptr) {
        os::ExFreePoolWithTag(sid, kIdentificationTag);
    }
}

UNICODE_STRING* NormalisePath(const UNICODE_STRING& path) {
    std::u16string current(path.View());
    if (current.empty() || current[0] != u'\\') {
        return NewString(current);
    }
    for (int step = 0; step < kMaxNormaliseSteps; ++step) {
        std::u16string next;
        if (!ResolveStep(current, &next)) {
            break;
        }
        current = std::move(next);
    }
    // A form too long for a counted string is of no use to a caller: the path stays as it is.
    if (current.size() * sizeof(char16_t) > os::kMaxUnicodeStringBytes - sizeof(char16_t)) {
        current.assign(path.View());
    }
    return NewString(current);
}

UNICODE_STRING* ObjectName(const os::NAMED_OBJECT* object) {
    if (object == nullptr) {
        return EmptyString();
    }
    uint32_t needed = 0;
    os::NTSTATUS status = os::ObQueryNameString(object, nullptr, 0, &needed);
    if ((status != os::STATUS_INFO_LENGTH_MISMATCH && status != os::STATUS_BUFFER_TOO_SMALL &&
         status != os::STATUS_BUFFER_OVERFLOW) ||
        needed <= sizeof(os::OBJECT_NAME_INFORMATION)) {
        return EmptyString();
    }
    // The answer's layout is the counted string followed by its text: the block is the result.
    auto* info = static_cast<os::OBJECT_NAME_INFORMATION*>(
        os::ExAllocatePoolWithTag(os::PoolType::Paged, needed, kIdentificationTag));
    if (info == nullptr) {
        return EmptyString();
    }
    static_assert(offsetof(os::OBJECT_NAME_INFORMATION, Name) == 0);
    status = os::ObQueryNameString(object, info, needed, &needed);
    if (!os::NT_SUCCESS(status) || info->Name.Length == 0) {
        os::ExFreePoolWithTag(info, kIdentificationTag);
        return EmptyString();
    }
    return &info->Name;
}

bool NextComponent(UNICODE_STRING* path, UNICODE_STRING* component) {
    if (path->Length < 2 || path->Buffer == nullptr) {
        return false;
    }
    std::u16string_view text = path->View();
    size_t end = text.find(u'\\');
    const size_t taken = end == std::u16string_view::npos ? text.size() : end;
    *component = MakeView(text.data(), taken);
    const size_t skipped = end == std::u16string_view::npos ? taken : taken + 1;
    path->Buffer += skipped;
    path->Length = static_cast<uint16_t>(path->Length - skipped * sizeof(char16_t));
    path->MaximumLength =
        static_cast<uint16_t>(path->MaximumLength >= skipped * sizeof(char16_t)
                                  ? path->MaximumLength - skipped * sizeof(char16_t)
                                  : path->Length);
    return true;
}

bool BeginsWith(const UNICODE_STRING& string, const UNICODE_STRING& prefix) {
    return os::NameBeginsWith(string.View(), prefix.View());
}

bool IsUnder(const UNICODE_STRING& path, const UNICODE_STRING& folder) {
    std::u16string_view base = folder.View();
    if (!base.empty() && base.back() == u'\\') {
        base.remove_suffix(1);
    }
    std::u16string_view text = path.View();
    return os::NameBeginsWith(text, base) &&
           (text.size() == base.size() || text[base.size()] == u'\\');
}

uint32_t FirstCharacter(const UNICODE_STRING& string) {
    return CharacterAt(string, 0);
}

uint32_t LastCharacter(const UNICODE_STRING& string) {
    return string.Length < sizeof(char16_t)
               ? kNoCharacter
               : CharacterAt(string, (string.Length / sizeof(char16_t) - 1) * sizeof(char16_t));
}

uint32_t CharacterAt(const UNICODE_STRING& string, uint32_t byteOffset) {
    std::u16string_view text = string.View();
    const size_t index = byteOffset / sizeof(char16_t);
    return index < text.size() ? text[index] : kNoCharacter;
}

uint32_t FindLast(const UNICODE_STRING& string, char16_t character) {
    std::u16string_view text = string.View();
    for (size_t i = text.size(); i > 1; --i) {
        if (text[i - 1] == character) {
            return static_cast<uint32_t>(i - 1);
        }
    }
    return kNoCharacter;
}

UNICODE_STRING Extension(const UNICODE_STRING& string, char16_t character, uint32_t flags) {
    std::u16string_view text = string.View();
    const uint32_t at = FindLast(string, character);
    if (at == kNoCharacter) {
        return (flags & kExtensionWholeWhenAbsent) != 0 ? MakeView(text.data(), text.size())
                                                        : MakeView(text.data() + text.size(), 0);
    }
    const size_t from = (flags & kExtensionWithoutCharacter) != 0 ? at + 1 : at;
    return MakeView(text.data() + from, text.size() - from);
}

UNICODE_STRING* FormatNewString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    UNICODE_STRING* string = FormatNewStringV(format, args);
    va_end(args);
    return string;
}

UNICODE_STRING* FormatNewStringV(const char* format, va_list args) {
    // The system has no UTF-16 formatter to look up (os/kernel/system_routines.h), so the driver's
    // own, the one its debug lines use, formats; its length sizes the one block.
    return NewString(WidenText(FormatDriverText(format, args)));
}

}  // namespace wexo::drv
