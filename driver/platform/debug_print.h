// The driver's kernel-debugger printer ("WexoW: " lines) and the active printer the debug
// settings choose: the kernel printer while "Debug Options" bit 0 is set (it is at start), a
// printer that prints nothing while it is clear.
//
// The kernel printer is vDbgPrintEx with component 77 (IHV driver) and level 0 (error, always
// shown) when the system exports it, else DbgPrint; SelectKernelPrinter looks it up (the debug
// log's initialisation does). Until then the kernel's vDbgPrintEx is called directly.
//
// Formats are printf's, with the two wide conversions the driver's lines use: "%ws" prints a
// NUL-terminated wide (UTF-16) string given as `const char16_t*`, "%wZ" a counted one given as
// `const os::UNICODE_STRING*` (os/kernel/unicode_string.h: its Length in bytes, an odd one
// rounded down; the text need not be terminated). Both print as UTF-8 (a unit that is not part of
// a character as U+FFFD) and print "(null)" for a null pointer; a width counts characters, a
// precision the UTF-16 units taken. Literals with them cannot go through the checked variadic
// entries (the compiler does not know the conversions): the "Wide" and va_list entries and
// FormatDriverText take them.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace wexo::drv {

// The active printer.
void DriverPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DriverPrintV(const char* format, va_list args);

// The message both ways: a line of the debug log (driver/platform/debug_log.h) and the active
// printer, same format and arguments. Most of the driver's messages are written this way.
void DriverPrintAndLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DriverPrintAndLogV(const char* format, va_list args);

// The same two entries for formats with "%ws" or "%wZ", unchecked.
void DriverPrintWide(const char* format, ...);
void DriverPrintAndLogWide(const char* format, ...);

// Looks up vDbgPrintEx (else DbgPrint) as the kernel printer.
void SelectKernelPrinter();
// Makes the active printer the kernel printer (on) or the silent one (off).
void SetDebuggerOutput(bool on);
bool DebuggerOutput();

// printf with "%ws" and "%wZ" (see above); an unknown "%w" conversion is copied as it stands.
std::string FormatDriverText(const char* format, va_list args);

// UTF-16 to UTF-8 and back; a unit or byte that is not part of a valid character becomes U+FFFD.
std::string NarrowText(std::u16string_view text);
std::u16string WidenText(std::string_view text);

}  // namespace wexo::drv
