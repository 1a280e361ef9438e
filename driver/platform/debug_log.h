// The driver's debug log: its settings read from the driver's service key ("Debug Options",
// "Debug Flags1", "Debug Flags2", "Debug Log"), the 64-bit debug-flags word, and the optional log
// file that gets each message flattened to one time-stamped line. The driver has one log, so the
// state is global; tests reset it with ResetDebugLogForTest.
//
// Every caller is at passive level: this system has no raised IRQL, so the log mutex can always
// be waited for and no line is skipped for the level it was asked at.
//
// Formats are the driver's printf formats (driver/platform/debug_print.h), "%ws" and "%wZ"
// included on the va_list and "Wide" entries.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

#include "os/core/process.h"
#include "os/core/status.h"
#include "os/fltmgr/file_io.h"
#include "os/fltmgr/fltmgr.h"
#include "os/registry/registry.h"

namespace wexo::drv {

// The flags word at start.
constexpr uint64_t kInitialDebugFlags = 0x1000000;
// Bits of the flags word that the file-protection lines test.
constexpr uint64_t kDebugFlagAllDenials = 0x0000000100000000ULL;
constexpr uint64_t kDebugFlagPreCreateDenials = 0x0100000000000000ULL;
constexpr uint64_t kDebugFlagPreSetInformationDenials = 0x1000000000000000ULL;

// "Debug Options" bits.
constexpr uint32_t kDebugOptionDebugger = 0x1;
constexpr uint32_t kDebugOptionLogFile = 0x2;

// The state the file operations share: the log's path (owned here), the filter instance the file
// was opened through, its file object and handle.
struct DebugLogFile {
    std::u16string path;
    std::shared_ptr<os::FLT_INSTANCE> instance;
    std::shared_ptr<os::FLT_FILE_OBJECT> fileObject;
    os::HANDLE handle = 0;
};

// The four file operations of the log. Create reports through `created` whether the file was
// newly created or replaced rather than opened.
class DEBUG_LOG_FILE_OPERATIONS {
  public:
    virtual ~DEBUG_LOG_FILE_OPERATIONS() = default;
    virtual os::NTSTATUS Create(DebugLogFile& file, bool* created) = 0;
    virtual void Close(DebugLogFile& file) = 0;
    virtual os::NTSTATUS Write(DebugLogFile& file, const void* data, uint32_t length) = 0;
    virtual bool IsOpen(const DebugLogFile& file) const = 0;
};

// The filter-manager set: the file is created through the filter's instance on the volume that
// holds the path, so that its I/O is issued below the filter, with SYNCHRONIZE and
// FILE_APPEND_DATA, sharing read and write, FILE_OPEN_IF, options 0x162 (write-through,
// synchronous non-alertable, non-directory, complete-if-oplocked); every write appends.
class FILTER_LOG_FILE_OPERATIONS final : public DEBUG_LOG_FILE_OPERATIONS {
  public:
    explicit FILTER_LOG_FILE_OPERATIONS(std::shared_ptr<os::FLT_FILTER> filter);
    os::NTSTATUS Create(DebugLogFile& file, bool* created) override;
    void Close(DebugLogFile& file) override;
    os::NTSTATUS Write(DebugLogFile& file, const void* data, uint32_t length) override;
    bool IsOpen(const DebugLogFile& file) const override;

  private:
    std::shared_ptr<os::FLT_FILTER> filter_;
};

// Sets the flags word, selects the kernel printer and the file operations. Called once at start,
// before the first settings reading.
void DebugLogInitialise(uint64_t debugFlags, std::shared_ptr<DEBUG_LOG_FILE_OPERATIONS> operations);

// Reads the debug settings from the driver's service key: the log's path, "Debug Options"
// (1 when the value is missing, the previous setting when it cannot be read otherwise), the
// halves of the flags word that could be read; chooses the active printer; opens or closes the
// log file as the options and the path say.
void ReadDebugSettings(const os::RegKey& serviceKey);

// Writes one message to the log file when it is open: formatted, flattened to one line, prefixed
// with the local time.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogLineV(const char* format, va_list args);
// The same for formats with "%ws" or "%wZ", unchecked.
void LogLineWide(const char* format, ...);

// The message both ways (to the log file and through the active printer) is DriverPrintAndLog
// (DriverPrintAndLogWide) of driver/platform/debug_print.h.

// Closes the file and forgets the path (a start that fails).
void CloseDebugLog();
// When the file is open: closes it and creates it again (its volume got a new filter instance).
void ReopenDebugLog();

uint64_t DebugFlags();
uint32_t DebugOptions();
bool DebugLogIsOpen();
// The path held (empty when none).
std::u16string DebugLogPath();

// The flattening of a message into one log line: leading and trailing line feeds and every
// carriage return go, an inner run of line feeds becomes "; " (" " after ',', '.', ':' or ';') and
// the spaces that indent the next line go.
std::string FlattenLogMessage(std::string_view message);

// Back to the state before DebugLogInitialise: the file closed, no path, initial flags and
// options, the kernel printer active, no file operations.
void ResetDebugLogForTest();

}  // namespace wexo::drv
