// The service's debug output: one process-wide facility that writes lines by category to the
// debugger, the kernel debugger, the console and the log file, under a 32-bit debug output mode.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace wexo::svc {

// Debug output mode flags.
constexpr uint32_t DEBUG_OUTPUT_DEBUGGER = 0x1;
constexpr uint32_t DEBUG_OUTPUT_LOG = 0x2;
constexpr uint32_t DEBUG_OUTPUT_OVERWRITE = 0x4;
constexpr uint32_t DEBUG_OUTPUT_RENAME = 0x8;
constexpr uint32_t DEBUG_OUTPUT_KERNEL = 0x10;
constexpr uint32_t DEBUG_OUTPUT_CONSOLE = 0x20;
constexpr uint32_t DEBUG_OUTPUT_VERBOSE = 0x100;
constexpr uint32_t DEBUG_OUTPUT_HTTP = 0x200;
constexpr uint32_t DEBUG_OUTPUT_XML = 0x400;
constexpr uint32_t DEBUG_OUTPUT_JSON = 0x800;
constexpr uint32_t DEBUG_OUTPUT_CUSTOM4 = 0x1000;
constexpr uint32_t DEBUG_OUTPUT_INTERNAL = 0x10000;
constexpr uint32_t DEBUG_OUTPUT_NO_TIME_STAMP = 0x40000;

// Per-line flags given by the writer of a line. Category bits share the mode's values.
constexpr uint32_t LINE_VERBOSE = DEBUG_OUTPUT_VERBOSE;
constexpr uint32_t LINE_HTTP = DEBUG_OUTPUT_HTTP;
constexpr uint32_t LINE_XML = DEBUG_OUTPUT_XML;
constexpr uint32_t LINE_JSON = DEBUG_OUTPUT_JSON;
constexpr uint32_t LINE_CUSTOM4 = DEBUG_OUTPUT_CUSTOM4;
constexpr uint32_t LINE_ALWAYS_DEBUGGER = 0x2000;
constexpr uint32_t LINE_ALWAYS_LOG = 0x4000;
constexpr uint32_t LINE_RAW = 0x4;
constexpr uint32_t LINE_NO_LINE_END = 0x8;

// Writes one line (printf-style, UTF-8). Lines of a category appear only when the mode enables it.
void DebugWrite(uint32_t lineFlags, const char* format, ...) __attribute__((format(printf, 2, 3)));
void DebugWriteV(uint32_t lineFlags, const char* format, va_list args);
// A line of the default kind (no flags).
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Whether lines of this category would be written now (for callers that build costly text).
bool DebugCategoryEnabled(uint32_t category);

void DebugSetMode(uint32_t mode);
uint32_t DebugGetMode();

// Receives every formatted line as it would go to the debugger (without time stamp), whatever the
// mode's outputs; empty in the running service, used by tests and tools. Null removes it.
using DebugOutputHook = std::function<void(uint32_t lineFlags, std::string_view text)>;
void DebugSetOutputHook(DebugOutputHook hook);

}  // namespace wexo::svc
