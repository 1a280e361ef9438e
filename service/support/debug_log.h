// The service's debug output: one process-wide facility that writes lines by category to the
// debugger, the kernel debugger, the console and the log file, under a 32-bit debug output mode.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <span>
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
// The flags that select optional categories of lines rather than outputs.
constexpr uint32_t DEBUG_OUTPUT_CATEGORIES = DEBUG_OUTPUT_VERBOSE | DEBUG_OUTPUT_HTTP |
                                             DEBUG_OUTPUT_XML | DEBUG_OUTPUT_JSON |
                                             DEBUG_OUTPUT_CUSTOM4;

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
// Held back while the writing thread has a DEBUG_PENDING_LINES active (see below).
constexpr uint32_t LINE_PENDING = 0x1;
// Marks the log facility's own messages as the output hook receives them.
constexpr uint32_t LINE_INTERNAL = DEBUG_OUTPUT_INTERNAL;

// Writes one line (printf-style, UTF-8). Lines of a category appear only when the mode enables it.
void DebugWrite(uint32_t lineFlags, const char* format, ...) __attribute__((format(printf, 2, 3)));
void DebugWriteV(uint32_t lineFlags, const char* format, va_list args);
// A line of the default kind (no flags).
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line whose text is taken as it is ("%s").
void DebugWriteText(uint32_t lineFlags, std::string_view text);
// Whether lines of this category would be written now (for callers that build costly text).
bool DebugCategoryEnabled(uint32_t category);
// Whether any output is on (Debugger, Log, Console or an output hook).
bool DebugAnyOutput();

// The log facility's own messages (file created, renamed, errors): written only when the mode has
// Internal, to the debugger output, with time stamp and prefix.
void DebugInternal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Setting a mode without Log closes the log file; it is reopened at the next line that needs it.
void DebugSetMode(uint32_t mode);
uint32_t DebugGetMode();

// The text in front of every line ("WexoS: " in the service), at most 32 characters; with ids,
// "(process.thread) " follows it.
void DebugSetPrefix(std::string_view prefix, bool withIds = false);

// Names of the mode flags in the "Debug output mode" lines. The category flags start as "Custom1"
// to "Custom4"; the service renames the first three at start.
void DebugSetFlagName(uint32_t flag, std::string_view name);
void DebugUseProductCategoryNames();  // "HTTP", "XML", "JSON"
// The names of the set flags joined by ", ", or "None".
std::string DebugModeText(uint32_t mode);

// Where the log file lives: directory + name + "." + extension, a Windows path (os/environment.h
// maps it to this system's folders); a path without a drive is relative to the working directory.
enum class LogDirectory {
    None,                  // no directory: relative to the working directory
    Executable,            // the executable's directory
    NamedAfterExecutable,  // the executable's path without extension, as a directory
    Given,                 // LOG_PATH::directory, a backslash appended when missing
};
enum class LogName {
    Given,                       // LOG_PATH::name
    Executable,                  // the executable's file name with its extension
    ExecutableWithoutExtension,  // the executable's file name without its extension
    Default,                     // "Debug"
};
struct LOG_PATH {
    LogDirectory directoryKind = LogDirectory::Executable;
    std::string directory;
    LogName nameKind = LogName::Given;
    std::string name = "WexoSvc";
    std::string extension = "log";
};
// Composes the path, creates its directory when missing and closes the open log file. Returns
// false (after the internal message) when the directory cannot be created; the path is kept, so
// a later line tries again.
bool DebugSetLogPath(const LOG_PATH& path);
// The path in Windows form; empty until a path is set: lines for the log file are then dropped.
std::string DebugGetLogPath();

// Lines written by this thread with LINE_PENDING are held while an object of this class lives on
// it, and written together, in order and without lines of other threads between them, before the
// thread's next ordinary line or when the object goes (whichever comes first). Nests.
class DEBUG_PENDING_LINES {
  public:
    DEBUG_PENDING_LINES();
    ~DEBUG_PENDING_LINES();
    DEBUG_PENDING_LINES(const DEBUG_PENDING_LINES&) = delete;
    DEBUG_PENDING_LINES& operator=(const DEBUG_PENDING_LINES&) = delete;
    // Writes what is held now.
    void Flush();
};

// Receives every formatted line as it would go to the debugger (without time stamp), whatever the
// mode's outputs; empty in the running service, used by tests and tools. Null removes it.
// The text is the line's leading line breaks, the prefix and the message, without the line end.
using DebugOutputHook = std::function<void(uint32_t lineFlags, std::string_view text)>;
void DebugSetOutputHook(DebugOutputHook hook);

// ---- Choosing the mode when the program starts, and reloading it while it runs.

// The mode flags of a command-line option given without its "-" or "/" ("D", "kd", "HTTP", ...),
// compared ignoring case; 0 when the option is not a mode option.
uint32_t DebugModeOption(std::string_view option);
// The mode options among the arguments (each "-" or "/" followed by a mode option), ORed.
uint32_t DebugModeFromArguments(std::span<const std::string> arguments);
// A whole decimal number or, after "0x"/"0X", a hexadecimal one; anything else is 0.
uint32_t DebugParseModeNumber(std::string_view text);

// "DebugOutput" of the product key; 0 when missing. A key that cannot be opened or a read that
// fails otherwise is written to the debug log and gives 0.
uint32_t DebugReadRegistryMode();
// The environment variable `WexoSvc` read with DebugParseModeNumber; 0 when unset.
uint32_t DebugReadEnvironmentMode();

struct DEBUG_MODE_SOURCES {
    uint32_t commandLine = 0;
    uint32_t registry = 0;
    uint32_t environment = 0;
};
// The first non-zero source decides the mode; then the log path is set (the service's own path
// unless one is given), each argument is written ("Argument[%u]", Verbose) and the mode line.
// `arguments` is the whole argument vector, the program's name first.
void DebugStartLog(const DEBUG_MODE_SOURCES& sources, std::span<const std::string> arguments,
                   const LOG_PATH& path = LOG_PATH());
// After the product key changed: unless the command line fixed the mode, reads "DebugOutput"
// again and, when it changed, sets the mode and writes the mode line. Returns whether the mode
// changed.
bool DebugReloadSettings();
// The step of the reload after the read, for callers that read "DebugOutput" themselves: `value`
// is the value read (0 when missing). A zero value falls back to the environment's mode.
bool DebugApplyRegistryMode(uint32_t value);
// Whether the mode came from the command line (reloads then leave it alone).
bool DebugModeFromCommandLine();

// Returns the facility to its state at process start: mode 0, no prefix, no log path, file closed,
// no hook, default flag names, no mode sources. For tests and tools.
void DebugReset();

}  // namespace wexo::svc
