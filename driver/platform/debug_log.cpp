#include "driver/platform/debug_log.h"

#include <atomic>
#include <cstdio>

#include "driver/platform/debug_print.h"
#include "driver/platform/registry_values.h"
#include "os/core/clock.h"
#include "os/core/sync.h"
#include "os/kernel/pool.h"
#include "os/kernel/unicode_string.h"

namespace wexo::drv {
namespace {

constexpr uint32_t kLogLineTag = os::MakePoolTag("DLOG");
constexpr uint32_t kLogFileAccess = os::SYNCHRONIZE | os::FILE_APPEND_DATA;
constexpr uint32_t kLogFileShare = os::FILE_SHARE_READ | os::FILE_SHARE_WRITE;
// Write-through, synchronous non-alertable, non-directory, complete-if-oplocked.
constexpr uint32_t kLogFileOptions = os::FILE_WRITE_THROUGH | os::FILE_SYNCHRONOUS_IO_NONALERT |
                                     os::FILE_NON_DIRECTORY_FILE | os::FILE_COMPLETE_IF_OPLOCKED;
static_assert(kLogFileOptions == 0x162);
constexpr uint32_t kFileAttributeNormal = 0x80;
constexpr uint32_t kDefaultDebugOptions = kDebugOptionDebugger;

struct DEBUG_LOG {
    // Serialises every use of the file and its path; recursive, so that a settings reading can
    // write the "created" line while it holds it.
    os::Mutant mutex;
    DebugLogFile file;
    std::shared_ptr<DEBUG_LOG_FILE_OPERATIONS> operations;
    // Whether the file is open, for the test before the mutex is taken.
    std::atomic<bool> open{false};
    std::atomic<uint32_t> options{kDefaultDebugOptions};
    std::atomic<uint64_t> flags{kInitialDebugFlags};
};

DEBUG_LOG& Log() {
    static DEBUG_LOG* log = new DEBUG_LOG();  // the driver's threads may outlive static destruction
    return *log;
}

class LOG_LOCK {
  public:
    LOG_LOCK() { os::KeWaitForSingleObject(Log().mutex, nullptr); }
    ~LOG_LOCK() { Log().mutex.Release(); }
    LOG_LOCK(const LOG_LOCK&) = delete;
    LOG_LOCK& operator=(const LOG_LOCK&) = delete;
};

// Names compare as the object manager compares them.
using os::NamesEqual;

bool FileOpenLocked() {
    DEBUG_LOG& log = Log();
    return log.operations != nullptr && log.operations->IsOpen(log.file);
}

void CloseFileLocked() {
    DEBUG_LOG& log = Log();
    if (FileOpenLocked()) {
        log.operations->Close(log.file);
    }
    log.open = false;
}

// Creates (or opens) the file at the held path; a failure is printed, a file that did not exist
// before gets the "created" line.
void CreateFileLocked() {
    DEBUG_LOG& log = Log();
    bool created = false;
    os::NTSTATUS status = log.operations != nullptr ? log.operations->Create(log.file, &created)
                                                    : os::STATUS_NOT_SUPPORTED;
    if (!os::NT_SUCCESS(status)) {
        DriverPrintWide("WexoW: Unable to create debug log=\"%ws\",\n    Status=0x%lx\n\n",
                        log.file.path.c_str(),
                        static_cast<unsigned long>(static_cast<uint32_t>(status)));
        return;
    }
    log.open = true;
    if (created) {
        LogLineWide("WexoW: Debug log=\"%ws\" created", log.file.path.c_str());
    }
}

}  // namespace

FILTER_LOG_FILE_OPERATIONS::FILTER_LOG_FILE_OPERATIONS(std::shared_ptr<os::FLT_FILTER> filter)
    : filter_(std::move(filter)) {}

os::NTSTATUS FILTER_LOG_FILE_OPERATIONS::Create(DebugLogFile& file, bool* created) {
    *created = false;
    std::shared_ptr<os::FLT_INSTANCE> instance;
    os::NTSTATUS status = os::FindInstanceForPath(filter_, file.path, &instance);
    if (status == os::STATUS_FLT_INSTANCE_NOT_FOUND) {
        instance.reset();  // a volume the filter is not attached to: the top of the stack
    } else if (!os::NT_SUCCESS(status)) {
        return status;
    }
    os::HANDLE handle = 0;
    std::shared_ptr<os::FLT_FILE_OBJECT> fileObject;
    os::IO_STATUS_BLOCK io;
    status =
        os::FltCreateFileEx(filter_, instance, &handle, &fileObject, kLogFileAccess, file.path, &io,
                            kFileAttributeNormal, kLogFileShare, os::FILE_OPEN_IF, kLogFileOptions);
    if (!os::NT_SUCCESS(status)) {
        return status;
    }
    file.instance = std::move(instance);
    file.fileObject = std::move(fileObject);
    file.handle = handle;
    *created = io.information != os::FILE_OPENED;
    return os::STATUS_SUCCESS;
}

void FILTER_LOG_FILE_OPERATIONS::Close(DebugLogFile& file) {
    if (file.handle != 0) {
        os::FltClose(file.handle);
    }
    file.handle = 0;
    file.fileObject.reset();
    file.instance.reset();
}

os::NTSTATUS FILTER_LOG_FILE_OPERATIONS::Write(DebugLogFile& file, const void* data,
                                               uint32_t length) {
    if (file.fileObject == nullptr) {
        return os::STATUS_FILE_CLOSED;
    }
    const int64_t end = os::FILE_WRITE_TO_END_OF_FILE;
    uint32_t written = 0;
    return os::FltWriteFile(file.instance, *file.fileObject, &end, length, data, 0, &written);
}

bool FILTER_LOG_FILE_OPERATIONS::IsOpen(const DebugLogFile& file) const {
    return file.handle != 0;
}

void DebugLogInitialise(uint64_t debugFlags,
                        std::shared_ptr<DEBUG_LOG_FILE_OPERATIONS> operations) {
    DEBUG_LOG& log = Log();
    log.flags = debugFlags;
    SelectKernelPrinter();
    SetDebuggerOutput(true);
    LOG_LOCK lock;
    log.operations = std::move(operations);
}

void ReadDebugSettings(const os::RegKey& serviceKey) {
    DEBUG_LOG& log = Log();
    LOG_LOCK lock;

    std::u16string path;
    os::NTSTATUS status = RegistryQueryString(serviceKey, "Debug Log", path);
    // A multi-string names its first string; an empty one names no file.
    if (size_t nul = path.find(u'\0'); nul != std::u16string::npos) {
        path.resize(nul);
    }
    if (!os::NT_SUCCESS(status) || path.empty()) {
        CloseFileLocked();
        log.file.path.clear();
    } else if (log.file.path.empty()) {
        log.file.path = std::move(path);
    } else if (!NamesEqual(path, log.file.path)) {
        CloseFileLocked();
        log.file.path = std::move(path);
    }

    uint32_t value = RegistryQueryUlong(serviceKey, "Debug Options", &status);
    if (os::NT_SUCCESS(status)) {
        log.options = value;
    } else if (status == os::STATUS_OBJECT_NAME_NOT_FOUND) {
        log.options = kDefaultDebugOptions;
    }
    uint64_t flags = log.flags;
    value = RegistryQueryUlong(serviceKey, "Debug Flags1", &status);
    if (os::NT_SUCCESS(status)) {
        flags = (flags & 0xFFFFFFFF00000000ULL) | value;
    }
    value = RegistryQueryUlong(serviceKey, "Debug Flags2", &status);
    if (os::NT_SUCCESS(status)) {
        flags = (flags & 0x00000000FFFFFFFFULL) | static_cast<uint64_t>(value) << 32;
    }
    log.flags = flags;

    const uint32_t options = log.options;
    SetDebuggerOutput((options & kDebugOptionDebugger) != 0);
    if ((options & kDebugOptionLogFile) == 0 || log.file.path.empty()) {
        CloseFileLocked();
    } else if (!FileOpenLocked()) {
        CreateFileLocked();
    }
}

std::string FlattenLogMessage(std::string_view message) {
    std::string text;
    text.reserve(message.size());
    for (char c : message) {
        if (c != '\r') {
            text.push_back(c);
        }
    }
    size_t begin = text.find_first_not_of('\n');
    if (begin == std::string::npos) {
        return {};
    }
    size_t end = text.find_last_not_of('\n') + 1;
    std::string out;
    out.reserve(end - begin);
    size_t i = begin;
    while (i < end) {
        if (text[i] != '\n') {
            out.push_back(text[i++]);
            continue;
        }
        while (i < end && text[i] == '\n') {
            ++i;
        }
        while (i < end && text[i] == ' ') {
            ++i;
        }
        if (i == end) {
            break;
        }
        const char before = out.empty() ? '\0' : out.back();
        if (before == ',' || before == '.' || before == ':' || before == ';') {
            out.push_back(' ');
        } else {
            out.append("; ");
        }
    }
    return out;
}

void LogLineV(const char* format, va_list args) {
    DEBUG_LOG& log = Log();
    if (!log.open) {
        return;
    }
    LOG_LOCK lock;
    if (!FileOpenLocked()) {
        return;
    }
    const std::string message = FlattenLogMessage(FormatDriverText(format, args));
    const os::CALENDAR_TIME now = os::GetLocalTime();
    constexpr char kLineFormat[] = "%04u-%02u-%02u %02u:%02u:%02u %s\r\n";
    const int length = std::snprintf(nullptr, 0, kLineFormat, now.year, now.month, now.day,
                                     now.hour, now.minute, now.second, message.c_str());
    if (length <= 0) {
        return;
    }
    auto* line = static_cast<char*>(os::ExAllocatePoolWithTag(
        os::PoolType::Paged, static_cast<size_t>(length) + 1, kLogLineTag));
    if (line == nullptr) {
        return;  // the line is dropped
    }
    std::snprintf(line, static_cast<size_t>(length) + 1, kLineFormat, now.year, now.month, now.day,
                  now.hour, now.minute, now.second, message.c_str());
    os::NTSTATUS status = log.operations->Write(log.file, line, static_cast<uint32_t>(length));
    os::ExFreePoolWithTag(line, kLogLineTag);
    if (!os::NT_SUCCESS(status)) {
        DriverPrint("WexoW: Unable to write debug log line. Status=0x%lx\n\n",
                    static_cast<unsigned long>(static_cast<uint32_t>(status)));
    }
}

void LogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogLineV(format, args);
    va_end(args);
}

void LogLineWide(const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogLineV(format, args);
    va_end(args);
}

void DriverPrintAndLogV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    LogLineV(format, copy);
    va_end(copy);
    DriverPrintV(format, args);
}

void DriverPrintAndLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    DriverPrintAndLogV(format, args);
    va_end(args);
}

void DriverPrintAndLogWide(const char* format, ...) {
    va_list args;
    va_start(args, format);
    DriverPrintAndLogV(format, args);
    va_end(args);
}

void CloseDebugLog() {
    LOG_LOCK lock;
    CloseFileLocked();
    Log().file.path.clear();
}

void ReopenDebugLog() {
    LOG_LOCK lock;
    if (!FileOpenLocked()) {
        return;
    }
    CloseFileLocked();
    CreateFileLocked();
}

uint64_t DebugFlags() {
    return Log().flags;
}

uint32_t DebugOptions() {
    return Log().options;
}

bool DebugLogIsOpen() {
    LOG_LOCK lock;
    return FileOpenLocked();
}

std::u16string DebugLogPath() {
    LOG_LOCK lock;
    return Log().file.path;
}

void ResetDebugLogForTest() {
    DEBUG_LOG& log = Log();
    {
        LOG_LOCK lock;
        CloseFileLocked();
        log.file = DebugLogFile{};
        log.operations.reset();
    }
    log.options = kDefaultDebugOptions;
    log.flags = kInitialDebugFlags;
    SetDebuggerOutput(true);
}

}  // namespace wexo::drv
