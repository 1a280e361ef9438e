#include "service/support/debug_log.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "os/core/clock.h"
#include "os/core/debugger.h"
#include "os/core/process.h"
#include "os/core/status.h"
#include "os/core/sync.h"
#include "os/registry/registry.h"
#include "os/win32/environment.h"
#include "service/support/registry_helpers.h"

namespace wexo::svc {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxPrefix = 32;
constexpr unsigned kMaxCollision = 999;
// With LINE_PENDING, this per-line bit asks for the line to be written at once.
constexpr uint32_t kLinePendingEnd = 0x2;

struct FLAG_NAME {
    uint32_t flag;
    const char* defaultName;
};

// The order in which the mode lines list the flags.
constexpr std::array<FLAG_NAME, 13> kFlagNames = {{
    {DEBUG_OUTPUT_DEBUGGER, "Debugger"},
    {DEBUG_OUTPUT_KERNEL, "Kernel"},
    {DEBUG_OUTPUT_LOG, "Log"},
    {DEBUG_OUTPUT_OVERWRITE, "Overwrite existing"},
    {DEBUG_OUTPUT_RENAME, "Rename existing"},
    {DEBUG_OUTPUT_VERBOSE, "Verbose"},
    {DEBUG_OUTPUT_HTTP, "Custom1"},
    {DEBUG_OUTPUT_XML, "Custom2"},
    {DEBUG_OUTPUT_JSON, "Custom3"},
    {DEBUG_OUTPUT_CUSTOM4, "Custom4"},
    {DEBUG_OUTPUT_INTERNAL, "Internal"},
    {DEBUG_OUTPUT_CONSOLE, "Console"},
    {DEBUG_OUTPUT_NO_TIME_STAMP, "No time stamp"},
}};

struct MODE_OPTION {
    const char* option;
    uint32_t flags;
};

constexpr MODE_OPTION kModeOptions[] = {
    {"D", 0x1},
    {"L", 0x2},
    {"O", 0x6},
    {"R", 0xA},
    {"V", 0x100},
    {"KD", 0x11},
    {"HTTP", 0x200},
    {"XML", 0x400},
    {"JSON", 0x800},
    {"INTERNAL", 0x10000},
    {"NO_TIME_STAMP", 0x40000},
};

enum class ModeSource { None, CommandLine, Registry, Environment };

struct PENDING_LINE {
    uint32_t flags;
    std::string text;
};

// Lines a thread holds back while it has a DEBUG_PENDING_LINES.
struct THREAD_PENDING {
    int depth = 0;
    std::vector<PENDING_LINE> lines;
};

thread_local THREAD_PENDING tPending;

std::string FormatV(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (length < 0) {
        return {};
    }
    if (static_cast<size_t>(length) < sizeof(small)) {
        return std::string(small, static_cast<size_t>(length));
    }
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// Each LF not already preceded by CR becomes CRLF.
std::string ToCrlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    char previous = 0;
    for (char c : text) {
        if (c == '\n' && previous != '\r') {
            out.push_back('\r');
        }
        out.push_back(c);
        previous = c;
    }
    return out;
}

std::string TimeStamp() {
    os::CALENDAR_TIME t = os::GetLocalTime();
    unsigned hour = t.hour % 12 == 0 ? 12u : t.hour % 12u;
    return Format("%04u/%02u/%02u %02u:%02u:%02u %cM ", t.year, t.month, t.day, hour, t.minute,
                  t.second, t.hour < 12 ? 'A' : 'P');
}

std::string RenameTimeText(const os::CALENDAR_TIME& t) {
    if (t.minute != 0 || t.second != 0) {
        return Format("%04u-%02u-%02u@%02u_%02u_%02u", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
    }
    if (t.hour != 0) {
        return Format("%04u-%02u-%02u@%02u", t.year, t.month, t.day, t.hour);
    }
    return Format("%04u-%02u-%02u", t.year, t.month, t.day);
}

struct ERROR_TEXT {
    uint32_t code;
    std::string text;
};

ERROR_TEXT ErrorFromErrno(int err) {
    uint32_t code = os::Win32ErrorFromErrno(err);
    return {code, os::SystemMessageText(code)};
}

ERROR_TEXT ErrorFromCode(const std::error_code& ec) {
    return ErrorFromErrno(ec.category() == std::generic_category() ||
                                  ec.category() == std::system_category()
                              ? ec.value()
                              : EIO);
}

// The user-mode debugger of the platform is standard error here; the kernel debug print is the
// one the driver writes to, where a kernel-debugger listener reads both.
void UserDebuggerPrint(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void KernelDebugPrint(const std::string& text) {
    os::DebuggerPrint(os::DPFLTR_IHVDRIVER_ID, os::DPFLTR_ERROR_LEVEL, text);
}

std::string ExecutablePath() {
    std::string path;
    return os::GetModuleFileName(path) ? path : std::string();
}

// Pieces of a Windows path.
std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string WithoutExtension(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1)) {
        return path;
    }
    return path.substr(0, dot);
}

// Where a Windows path of the log lives on this system. A path without a drive is relative to the
// working directory.
std::string LinuxPath(const std::string& windowsPath) {
    if (windowsPath.size() >= 2 && windowsPath[1] == ':') {
        return os::LinuxPathFromWindows(windowsPath).value_or(std::string());
    }
    std::string path = windowsPath;
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    return path;
}

class DEBUG_LOG {
  public:
    static DEBUG_LOG& Get() {
        static DEBUG_LOG log;
        return log;
    }

    os::CriticalSection lock;
    std::atomic<uint32_t> mode{0};
    std::atomic<bool> hasHook{false};

    bool AnyOutput(uint32_t currentMode) const {
        return (currentMode & (DEBUG_OUTPUT_DEBUGGER | DEBUG_OUTPUT_LOG | DEBUG_OUTPUT_CONSOLE)) !=
                   0 ||
               hasHook.load(std::memory_order_relaxed);
    }

    // Whether a line of these flags reaches any output under the current mode.
    bool Wanted(uint32_t flags) const {
        uint32_t currentMode = mode.load(std::memory_order_relaxed);
        uint32_t categories = flags & DEBUG_OUTPUT_CATEGORIES;
        if ((currentMode & categories) != categories) {
            return false;
        }
        return AnyOutput(currentMode) || (flags & (LINE_ALWAYS_DEBUGGER | LINE_ALWAYS_LOG)) != 0;
    }

    // Lock held.
    void Emit(uint32_t flags, std::string_view text) {
        if (!Wanted(flags)) {
            return;
        }
        uint32_t currentMode = mode.load(std::memory_order_relaxed);
        size_t leadLength = text.find_first_not_of("\r\n");
        if (leadLength == std::string_view::npos) {
            leadLength = text.size();
        }
        std::string_view lead = text.substr(0, leadLength);
        std::string_view body = text.substr(leadLength);
        bool raw = (flags & LINE_RAW) != 0;
        std::string stamp =
            raw || (currentMode & DEBUG_OUTPUT_NO_TIME_STAMP) != 0 ? std::string() : TimeStamp();
        std::string prefix = raw ? std::string() : PrefixText();
        bool lineEnd = (flags & LINE_NO_LINE_END) == 0;

        if ((currentMode & DEBUG_OUTPUT_DEBUGGER) != 0 || (flags & LINE_ALWAYS_DEBUGGER) != 0) {
            std::string line;
            line.reserve(lead.size() + stamp.size() + prefix.size() + body.size() + 1);
            line.append(lead).append(stamp).append(prefix).append(body);
            if (lineEnd) {
                line.push_back('\n');
            }
            ToDebugger(currentMode, line);
        }
        if ((currentMode & DEBUG_OUTPUT_CONSOLE) != 0) {
            std::string line;
            line.append(lead).append(prefix).append(body);
            if (lineEnd) {
                line.push_back('\n');
            }
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
        if ((currentMode & DEBUG_OUTPUT_LOG) != 0 || (flags & LINE_ALWAYS_LOG) != 0) {
            std::string line;
            line.append(lead).append(stamp).append(prefix).append(body);
            if (lineEnd) {
                line.append("\r\n");
            }
            ToLogFile(currentMode, line);
        }
        if (hook) {
            std::string line;
            line.append(lead).append(prefix).append(body);
            hook(flags, line);
        }
    }

    // Lock held. Through the debugger output whatever the mode's outputs.
    void EmitInternal(std::string_view text) {
        uint32_t currentMode = mode.load(std::memory_order_relaxed);
        if ((currentMode & DEBUG_OUTPUT_INTERNAL) == 0) {
            return;
        }
        std::string stamp =
            (currentMode & DEBUG_OUTPUT_NO_TIME_STAMP) != 0 ? std::string() : TimeStamp();
        std::string prefix = PrefixText();
        std::string line = stamp + prefix + std::string(text) + "\n";
        ToDebugger(currentMode, line);
        if (hook) {
            hook(LINE_INTERNAL, prefix + std::string(text));
        }
    }

    void Internal(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if ((mode.load(std::memory_order_relaxed) & DEBUG_OUTPUT_INTERNAL) == 0) {
            return;
        }
        va_list args;
        va_start(args, format);
        std::string text = FormatV(format, args);
        va_end(args);
        EmitInternal(text);
    }

    // Lock held.
    void FlushPending() {
        if (tPending.lines.empty()) {
            return;
        }
        std::vector<PENDING_LINE> lines;
        lines.swap(tPending.lines);
        for (const PENDING_LINE& line : lines) {
            Emit(line.flags, line.text);
        }
    }

    // Lock held.
    void SetMode(uint32_t newMode) {
        mode.store(newMode, std::memory_order_relaxed);
        if ((newMode & DEBUG_OUTPUT_LOG) == 0) {
            CloseFile();
        }
    }

    // Lock held.
    bool SetPath(const LOG_PATH& spec) {
        std::string exe = ExecutablePath();
        std::string directory;
        switch (spec.directoryKind) {
            case LogDirectory::None:
                break;
            case LogDirectory::Executable:
                directory = ParentOf(exe);
                break;
            case LogDirectory::NamedAfterExecutable:
                directory = WithoutExtension(exe);
                break;
            case LogDirectory::Given:
                directory = spec.directory;
                break;
        }
        if (!directory.empty() && directory.back() != '\\') {
            directory.push_back('\\');
        }
        std::string name;
        switch (spec.nameKind) {
            case LogName::Given:
                name = spec.name;
                break;
            case LogName::Executable:
                name = FileNameOf(exe);
                break;
            case LogName::ExecutableWithoutExtension:
                name = WithoutExtension(FileNameOf(exe));
                break;
            case LogName::Default:
                name = "Debug";
                break;
        }
        std::string extension = spec.extension;
        // Never write the log over the program itself.
        if (!exe.empty() && directory + name + "." + extension == exe) {
            extension = extension == "log" ? "txt" : "log";
        }
        std::string composed = directory + name + "." + extension;
        if (composed != path_) {
            CloseFile();
        }
        directory_ = directory;
        name_ = name;
        extension_ = extension;
        path_ = composed;
        linuxPath_ = LinuxPath(composed);
        return EnsureDirectory();
    }

    // Lock held.
    bool EnsureDirectory() {
        if (directory_.empty()) {
            return true;
        }
        std::string linuxDirectory = LinuxPath(directory_);
        std::error_code ec;
        if (linuxDirectory.empty()) {
            ec = std::make_error_code(std::errc::no_such_file_or_directory);
        } else if (fs::is_directory(linuxDirectory, ec)) {
            return true;
        } else {
            fs::create_directories(linuxDirectory, ec);
        }
        if (ec && (linuxDirectory.empty() || !fs::is_directory(linuxDirectory))) {
            ERROR_TEXT error = ErrorFromCode(ec);
            Internal("Unable to create log directory = \"%s\". \n    %s. Error code = %lu.",
                     directory_.c_str(), error.text.c_str(),
                     static_cast<unsigned long>(error.code));
            return false;
        }
        return true;
    }

    // Lock held.
    void CloseFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    // Lock held.
    void Reset() {
        CloseFile();
        mode.store(0, std::memory_order_relaxed);
        prefix_.clear();
        withIds_ = false;
        path_.clear();
        linuxPath_.clear();
        directory_.clear();
        name_.clear();
        extension_.clear();
        firstOpenDone_ = false;
        hook = nullptr;
        hasHook.store(false, std::memory_order_relaxed);
        for (size_t i = 0; i < kFlagNames.size(); ++i) {
            names_[i] = kFlagNames[i].defaultName;
        }
        source_ = ModeSource::None;
        registryMode_ = 0;
    }

    std::string ModeText(uint32_t flags) const {
        std::string text;
        for (size_t i = 0; i < kFlagNames.size(); ++i) {
            if ((flags & kFlagNames[i].flag) != 0) {
                if (!text.empty()) {
                    text.append(", ");
                }
                text.append(names_[i]);
            }
        }
        return text.empty() ? std::string("None") : text;
    }

    void SetFlagName(uint32_t flag, std::string_view name) {
        for (size_t i = 0; i < kFlagNames.size(); ++i) {
            if (kFlagNames[i].flag == flag) {
                names_[i] = std::string(name);
            }
        }
    }

    void SetPrefix(std::string_view prefix, bool withIds) {
        if (prefix.size() > kMaxPrefix) {
            size_t cut = kMaxPrefix;
            // Do not split a UTF-8 sequence.
            while (cut > 0 && (static_cast<unsigned char>(prefix[cut]) & 0xC0) == 0x80) {
                --cut;
            }
            prefix = prefix.substr(0, cut);
        }
        prefix_ = std::string(prefix);
        withIds_ = withIds;
    }

    const std::string& Path() const { return path_; }

    DebugOutputHook hook;

    // Mode sources, lock held.
    ModeSource source_ = ModeSource::None;
    uint32_t registryMode_ = 0;

  private:
    DEBUG_LOG() { Reset(); }

    std::string PrefixText() const {
        if (!withIds_) {
            return prefix_;
        }
        return Format("%s(%lu.%lu) ", prefix_.c_str(),
                      static_cast<unsigned long>(os::CurrentProcessId()),
                      static_cast<unsigned long>(os::CurrentThreadId()));
    }

    void ToDebugger(uint32_t currentMode, const std::string& line) {
        if ((currentMode & DEBUG_OUTPUT_KERNEL) != 0) {
            KernelDebugPrint(line);
        } else {
            UserDebuggerPrint(line);
        }
    }

    void ToLogFile(uint32_t currentMode, std::string_view line) {
        if (linuxPath_.empty()) {
            return;
        }
        if (file_ == nullptr && !OpenFile(currentMode)) {
            return;
        }
        std::string data = ToCrlf(line);
        errno = 0;
        size_t written = std::fwrite(data.data(), 1, data.size(), file_);
        if (written != data.size() || std::fflush(file_) != 0) {
            ERROR_TEXT error = ErrorFromErrno(errno != 0 ? errno : EIO);
            std::clearerr(file_);
            Internal("Unable to write %lu bytes to log file. %s. Error code = %lu.",
                     static_cast<unsigned long>(data.size()), error.text.c_str(),
                     static_cast<unsigned long>(error.code));
        }
    }

    static bool Exists(const std::string& path) {
        std::error_code ec;
        return fs::exists(fs::symlink_status(path, ec));
    }

    std::FILE* Open(const char* openMode) {
        std::FILE* file = std::fopen(linuxPath_.c_str(), openMode);
        if (file != nullptr) {
            std::setvbuf(file, nullptr, _IONBF, 0);
        }
        return file;
    }

    bool OpenFile(uint32_t currentMode) {
        EnsureDirectory();
        errno = 0;
        std::FILE* file = nullptr;
        bool existed = Exists(linuxPath_);
        static constexpr const char* kCreated = "created";
        const char* done = existed ? "opened" : kCreated;
        bool renaming = !firstOpenDone_ && (currentMode & DEBUG_OUTPUT_RENAME) != 0;
        if (renaming) {
            file = Open("ax");
            done = kCreated;
            if (file == nullptr && errno == EEXIST) {
                RenameAside();
                file = Open("ax");
                if (file == nullptr && errno == EEXIST) {
                    // The old log could not be moved aside: keep adding to it rather than lose
                    // the lines of this run.
                    file = Open("a");
                    done = "opened";
                }
            }
        } else if (!firstOpenDone_ && (currentMode & DEBUG_OUTPUT_OVERWRITE) != 0) {
            file = Open("w");
            if (file != nullptr) {
                std::fclose(file);
                file = Open("a");
            }
            done = existed ? "overwritten" : kCreated;
        } else {
            file = Open("a");
        }
        if (file == nullptr) {
            ERROR_TEXT error = ErrorFromErrno(errno != 0 ? errno : EIO);
            Internal("Unable to create log file \"%s\". %s. Error code = %lu.\n    ", path_.c_str(),
                     error.text.c_str(), static_cast<unsigned long>(error.code));
            return false;
        }
        file_ = file;
        firstOpenDone_ = true;
        if (renaming && done == kCreated) {
            Internal("Log file \"%s\" created", path_.c_str());
        } else {
            Internal("Log file \"%s\" %s", path_.c_str(), done);
        }
        return true;
    }

    void RenameAside() {
        std::string base = directory_ + name_ + "_" + RenameTimeText(os::GetLocalTime());
        std::string target;
        for (unsigned collision = 0; collision <= kMaxCollision; ++collision) {
            target = base + (collision == 0 ? std::string() : Format("#%03u", collision)) + "." +
                     extension_;
            std::string linuxTarget = LinuxPath(target);
            if (Exists(linuxTarget)) {
                continue;
            }
            std::error_code ec;
            fs::rename(linuxPath_, linuxTarget, ec);
            if (!ec) {
                Internal("Log path \"%s\" renamed to\n    \"%s\"", path_.c_str(), target.c_str());
                return;
            }
            break;
        }
        Internal("Name collision renaming log path \"%s\" to\n    \"%s\"", path_.c_str(),
                 target.c_str());
    }

    std::string prefix_;
    bool withIds_ = false;
    std::string path_;       // as the log lines show it (Windows form)
    std::string linuxPath_;  // where it is
    std::string directory_;
    std::string name_;
    std::string extension_;
    std::FILE* file_ = nullptr;
    bool firstOpenDone_ = false;
    std::array<std::string, kFlagNames.size()> names_;
};

void WriteFormatted(uint32_t flags, std::string text) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    if ((flags & (LINE_PENDING | kLinePendingEnd)) == LINE_PENDING && tPending.depth > 0) {
        tPending.lines.push_back({flags, std::move(text)});
        return;
    }
    std::lock_guard<os::CriticalSection> guard(log.lock);
    log.FlushPending();
    log.Emit(flags, text);
}

const char* SourceName(ModeSource source) {
    switch (source) {
        case ModeSource::CommandLine:
            return "command line";
        case ModeSource::Registry:
            return "registry value";
        case ModeSource::Environment:
        case ModeSource::None:
            break;
    }
    return "environment variable";
}

// Lock held.
void WriteModeLine(DEBUG_LOG& log, ModeSource source, uint32_t mode) {
    std::string text = log.ModeText(mode);
    if (source == ModeSource::CommandLine) {
        log.Emit(LINE_ALWAYS_DEBUGGER,
                 Format("Debug output mode (from %s) = %s", SourceName(source), text.c_str()));
        return;
    }
    const char* valueName = source == ModeSource::Registry ? "DebugOutput" : "WexoSvc";
    log.Emit(LINE_ALWAYS_DEBUGGER, Format("Debug output mode (from %s = \"%s\") = %s ",
                                          SourceName(source), valueName, text.c_str()));
}

}  // namespace

void DebugWriteV(uint32_t lineFlags, const char* format, va_list args) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    bool pending =
        (lineFlags & (LINE_PENDING | kLinePendingEnd)) == LINE_PENDING && tPending.depth > 0;
    // Formatting is the costly part; skip it for lines nobody will see.
    if (!pending && !log.Wanted(lineFlags) && tPending.lines.empty()) {
        return;
    }
    WriteFormatted(lineFlags, FormatV(format, args));
}

void DebugWrite(uint32_t lineFlags, const char* format, ...) {
    va_list args;
    va_start(args, format);
    DebugWriteV(lineFlags, format, args);
    va_end(args);
}

void DebugPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    DebugWriteV(0, format, args);
    va_end(args);
}

void DebugWriteText(uint32_t lineFlags, std::string_view text) {
    WriteFormatted(lineFlags, std::string(text));
}

bool DebugCategoryEnabled(uint32_t category) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    uint32_t mode = log.mode.load(std::memory_order_relaxed);
    uint32_t categories = category & DEBUG_OUTPUT_CATEGORIES;
    return (mode & categories) == categories && log.AnyOutput(mode);
}

bool DebugAnyOutput() {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    return log.AnyOutput(log.mode.load(std::memory_order_relaxed));
}

void DebugInternal(const char* format, ...) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    if ((log.mode.load(std::memory_order_relaxed) & DEBUG_OUTPUT_INTERNAL) == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    std::lock_guard<os::CriticalSection> guard(log.lock);
    log.EmitInternal(text);
}

void DebugSetMode(uint32_t mode) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    log.SetMode(mode);
}

uint32_t DebugGetMode() {
    return DEBUG_LOG::Get().mode.load(std::memory_order_relaxed);
}

void DebugSetPrefix(std::string_view prefix, bool withIds) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    log.SetPrefix(prefix, withIds);
}

void DebugSetFlagName(uint32_t flag, std::string_view name) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    log.SetFlagName(flag, name);
}

void DebugUseProductCategoryNames() {
    DebugSetFlagName(DEBUG_OUTPUT_HTTP, "HTTP");
    DebugSetFlagName(DEBUG_OUTPUT_XML, "XML");
    DebugSetFlagName(DEBUG_OUTPUT_JSON, "JSON");
}

std::string DebugModeText(uint32_t mode) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    return log.ModeText(mode);
}

bool DebugSetLogPath(const LOG_PATH& path) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    return log.SetPath(path);
}

std::string DebugGetLogPath() {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    return log.Path();
}

DEBUG_PENDING_LINES::DEBUG_PENDING_LINES() {
    ++tPending.depth;
}

DEBUG_PENDING_LINES::~DEBUG_PENDING_LINES() {
    if (--tPending.depth == 0) {
        Flush();
    }
}

void DEBUG_PENDING_LINES::Flush() {
    if (tPending.lines.empty()) {
        return;
    }
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    log.FlushPending();
}

void DebugSetOutputHook(DebugOutputHook hook) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    log.hook = std::move(hook);
    log.hasHook.store(static_cast<bool>(log.hook), std::memory_order_relaxed);
}

uint32_t DebugModeOption(std::string_view option) {
    for (const MODE_OPTION& entry : kModeOptions) {
        if (EqualsIgnoringCase(option, entry.option)) {
            return entry.flags;
        }
    }
    return 0;
}

uint32_t DebugModeFromArguments(std::span<const std::string> arguments) {
    uint32_t mode = 0;
    for (const std::string& argument : arguments) {
        if (argument.size() > 1 && (argument[0] == '-' || argument[0] == '/')) {
            mode |= DebugModeOption(std::string_view(argument).substr(1));
        }
    }
    return mode;
}

uint32_t DebugParseModeNumber(std::string_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > (base == 16 ? 8u : 10u)) {
        return 0;
    }
    uint64_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return 0;
        }
        value = value * base + digit;
    }
    return value > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(value);
}

void DebugStartLog(const DEBUG_MODE_SOURCES& sources, std::span<const std::string> arguments,
                   const LOG_PATH& path) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    ModeSource source = ModeSource::Environment;
    uint32_t mode = sources.environment;
    if (sources.commandLine != 0) {
        source = ModeSource::CommandLine;
        mode = sources.commandLine;
    } else if (sources.registry != 0) {
        source = ModeSource::Registry;
        mode = sources.registry;
    }
    log.source_ = source;
    log.registryMode_ = sources.registry;
    log.SetMode(mode);
    log.SetPath(path);
    for (size_t i = 0; i < arguments.size(); ++i) {
        log.Emit(LINE_VERBOSE,
                 Format("Argument[%u] = \"%s\"", static_cast<unsigned>(i), arguments[i].c_str()));
    }
    WriteModeLine(log, source, mode);
}

bool DebugModeFromCommandLine() {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    return log.source_ == ModeSource::CommandLine;
}

bool DebugApplyRegistryMode(uint32_t value) {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    if (log.source_ == ModeSource::CommandLine || value == log.registryMode_) {
        return false;
    }
    log.registryMode_ = value;
    // The registry now decides, 0 included: switching the value off switches the output off.
    log.source_ = ModeSource::Registry;
    bool changed = value != log.mode.load(std::memory_order_relaxed);
    log.SetMode(value);
    WriteModeLine(log, ModeSource::Registry, value);
    return changed;
}

uint32_t DebugReadRegistryMode() {
    os::RegKey key;
    uint32_t error = os::RegOpenKeyEx(os::HKEY_LOCAL_MACHINE, kProductKeyPath, key);
    if (error != os::ERROR_SUCCESS) {
        DebugPrint("Unable to open registry key = \"%s\". \n    %s. Error code = %lu.",
                   kProductKeyFullName, os::SystemMessageText(error).c_str(),
                   static_cast<unsigned long>(error));
        return 0;
    }
    uint32_t mode = 0;
    if (!ReadRegistryDword(key, "DebugOutput", mode)) {
        error = os::GetLastError();
        if (error != os::ERROR_FILE_NOT_FOUND) {
            DebugPrint("Unable to read registry value = \"%s\". \n    %s. Error code = %lu.",
                       "DebugOutput", os::SystemMessageText(error).c_str(),
                       static_cast<unsigned long>(error));
        }
        return 0;
    }
    return mode;
}

uint32_t DebugReadEnvironmentMode() {
    std::optional<std::string> value = os::GetEnvironmentVariable("WexoSvc");
    return value ? DebugParseModeNumber(*value) : 0;
}

bool DebugReloadSettings() {
    // A mode given on the command line stays; the registry is not even read then.
    if (DebugModeFromCommandLine()) {
        return false;
    }
    return DebugApplyRegistryMode(DebugReadRegistryMode());
}

void DebugReset() {
    DEBUG_LOG& log = DEBUG_LOG::Get();
    std::lock_guard<os::CriticalSection> guard(log.lock);
    log.Reset();
    tPending.lines.clear();
}

}  // namespace wexo::svc
