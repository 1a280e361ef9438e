#include "os/win32/transient_unit.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "os/core/status.h"

extern char** environ;

namespace os {
namespace {

constexpr const char* kSystemd = "org.freedesktop.systemd1";
constexpr const char* kSystemdPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnit = "org.freedesktop.systemd1.Unit";
constexpr const char* kService = "org.freedesktop.systemd1.Service";
constexpr const char* kUnitPrefix = "/org/freedesktop/systemd1/unit";
constexpr const char* kUnitExists = "org.freedesktop.systemd1.UnitExists";
constexpr const char* kNoSuchUnit = "org.freedesktop.systemd1.NoSuchUnit";
// Bounds each call, and the wait for the start job: a bus that does not answer must not hold the
// starter for long.
constexpr uint64_t kCallTimeoutUsec = 5'000'000;
constexpr uint64_t kStartTimeoutUsec = 10'000'000;
// The watcher asks for the unit's state at least this often, whatever signals it missed.
constexpr int kRecheckMs = 1000;
// Names tried when one is taken (a unit of that name from an earlier starter still loaded).
constexpr int kNameAttempts = 16;

constexpr uint32_t kErrorBadExeFormat = 193;  // ERROR_BAD_EXE_FORMAT
constexpr uint32_t kErrorDirectory = 267;     // ERROR_DIRECTORY
constexpr uint32_t kErrorTimeout = 1460;      // ERROR_TIMEOUT
// systemd's exit statuses of a start that failed before the program ran.
constexpr int kExitChdir = 200;
constexpr int kExitExec = 203;

// What systemd set for the starter's own unit; none of it is the started program's.
constexpr const char* kUnitOwnVariables[] = {
    "NOTIFY_SOCKET",       "INVOCATION_ID",
    "JOURNAL_STREAM",      "WATCHDOG_PID",
    "WATCHDOG_USEC",       "LISTEN_PID",
    "LISTEN_FDS",          "LISTEN_FDNAMES",
    "SYSTEMD_EXEC_PID",    "MAINPID",
    "MANAGERPID",          "MONITOR_EXIT_CODE",
    "MONITOR_EXIT_STATUS", "MONITOR_INVOCATION_ID",
    "MONITOR_UNIT",        "MONITOR_SERVICE_RESULT",
};

// Never destroyed: a watcher may still look while the process exits.
std::mutex& OpenerLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

ServiceManagerBusOpener& Opener() {
    static auto* opener = new ServiceManagerBusOpener;
    return *opener;
}

std::atomic<uint32_t> gSequence{0};

std::string ErrnoText(int error) {
    char buffer[128] = {};
    return strerror_r(error, buffer, sizeof buffer);
}

// A bus connection, flushed and closed when it goes.
class BUS {
  public:
    BUS() = default;
    explicit BUS(sd_bus* bus) : bus_(bus) {}
    ~BUS() {
        if (bus_ != nullptr) {
            sd_bus_flush_close_unref(bus_);
        }
    }
    BUS(BUS&& other) noexcept : bus_(std::exchange(other.bus_, nullptr)) {}
    BUS& operator=(BUS&&) = delete;
    BUS(const BUS&) = delete;
    BUS& operator=(const BUS&) = delete;
    sd_bus* Get() const { return bus_; }
    sd_bus** Out() { return &bus_; }

  private:
    sd_bus* bus_ = nullptr;
};

// A bus error, freed when it goes.
class BUS_ERROR {
  public:
    ~BUS_ERROR() { sd_bus_error_free(&error_); }
    sd_bus_error* Get() { return &error_; }
    bool Is(const char* name) const { return sd_bus_error_has_name(&error_, name) != 0; }
    std::string Text(int r) const {
        return error_.message != nullptr ? error_.message : ErrnoText(-r);
    }

  private:
    sd_bus_error error_{};  // SD_BUS_ERROR_NULL, whose compound literal is C, not C++
};

class MESSAGE {
  public:
    ~MESSAGE() { sd_bus_message_unref(message_); }
    sd_bus_message* Get() const { return message_; }
    sd_bus_message** Out() { return &message_; }

  private:
    sd_bus_message* message_ = nullptr;
};

uint64_t NowUsec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000 +
           static_cast<uint64_t>(now.tv_nsec) / 1000;
}

// The poll time-out until the bus's next deadline, at most `cap` ms.
int PollTimeoutMs(sd_bus* bus, int cap) {
    uint64_t due = UINT64_MAX;
    sd_bus_get_timeout(bus, &due);
    if (due == UINT64_MAX) {
        return cap;
    }
    const uint64_t now = NowUsec();
    const uint64_t ms = due > now ? (due - now + 999) / 1000 : 0;
    return static_cast<int>(std::min<uint64_t>(ms, static_cast<uint64_t>(cap)));
}

bool IsUnitOwnVariable(std::string_view name) {
    return std::find_if(std::begin(kUnitOwnVariables), std::end(kUnitOwnVariables),
                        [&](const char* own) { return name == own; }) !=
           std::end(kUnitOwnVariables);
}

// "NAME=value" as systemd takes it: a name of letters, digits and underscores not starting with a
// digit, a value without control characters but tab and newline.
bool IsAssignment(std::string_view entry) {
    const size_t equals = entry.find('=');
    if (equals == 0 || equals == std::string_view::npos ||
        std::isdigit(static_cast<unsigned char>(entry[0])) != 0) {
        return false;
    }
    for (size_t i = 0; i < equals; ++i) {
        const unsigned char c = static_cast<unsigned char>(entry[i]);
        if (std::isalnum(c) == 0 && c != '_') {
            return false;
        }
    }
    for (size_t i = equals + 1; i < entry.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(entry[i]);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
            return false;
        }
    }
    return true;
}

// The starter's environment, less what belongs to its own unit.
std::vector<std::string> ProgramEnvironment() {
    std::vector<std::string> variables;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        if (IsAssignment(text) && !IsUnitOwnVariable(text.substr(0, text.find('=')))) {
            variables.emplace_back(text);
        }
    }
    return variables;
}

// "wexo-<program>-<pid>-<n>.service".
std::string UnitName(const std::string& program, uint32_t sequence) {
    std::string base = program.substr(program.rfind('/') + 1);
    base = base.substr(0, base.find('.'));
    std::string stem;
    for (char c : base) {
        const unsigned char u = static_cast<unsigned char>(c);
        stem += std::isalnum(u) != 0 ? static_cast<char>(std::tolower(u)) : '-';
    }
    if (stem.empty()) {
        stem = "process";
    }
    return "wexo-" + stem + "-" + std::to_string(getpid()) + "-" + std::to_string(sequence) +
           ".service";
}

std::vector<char*> Strv(std::vector<std::string>& texts) {
    std::vector<char*> strv;
    for (std::string& text : texts) {
        strv.push_back(text.data());
    }
    strv.push_back(nullptr);
    return strv;
}

// The unit's properties, a(sv).
int AppendProperties(sd_bus_message* m, const std::string& program,
                     std::vector<std::string> arguments, const std::string& directory) {
    std::vector<std::string> environment = ProgramEnvironment();
    const std::string description =
        "Program started by process " + std::to_string(getpid()) + ": " + program;
    int r = sd_bus_message_open_container(m, 'a', "(sv)");
    const std::pair<const char*, const std::string> texts[] = {
        {"Description", description},
        {"Type", "exec"},
        {"WorkingDirectory", directory},
        {"StandardInput", "null"},
        {"StandardOutput", "null"},
        {"StandardError", "null"},
        {"CollectMode", "inactive-or-failed"},
    };
    for (const auto& [name, value] : texts) {
        if (r >= 0) {
            r = sd_bus_message_append(m, "(sv)", name, "s", value.c_str());
        }
    }
    if (r >= 0) {
        r = sd_bus_message_append(m, "(sv)", "AddRef", "b", 1);
    }
    // ExecStart: a(sasb), one command whose failure is not ignored.
    std::vector<char*> argv = Strv(arguments);
    if (r >= 0) {
        r = sd_bus_message_open_container(m, 'r', "sv");
    }
    if (r >= 0) {
        r = sd_bus_message_append(m, "s", "ExecStart");
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(m, 'v', "a(sasb)");
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(m, 'a', "(sasb)");
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(m, 'r', "sasb");
    }
    if (r >= 0) {
        r = sd_bus_message_append(m, "s", program.c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_append_strv(m, argv.data());
    }
    if (r >= 0) {
        r = sd_bus_message_append(m, "b", 0);
    }
    for (int i = 0; i < 4 && r >= 0; ++i) {
        r = sd_bus_message_close_container(m);
    }
    std::vector<char*> envp = Strv(environment);
    if (r >= 0) {
        r = sd_bus_message_open_container(m, 'r', "sv");
    }
    if (r >= 0) {
        r = sd_bus_message_append(m, "s", "Environment");
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(m, 'v', "as");
    }
    if (r >= 0) {
        r = sd_bus_message_append_strv(m, envp.data());
    }
    for (int i = 0; i < 3 && r >= 0; ++i) {
        r = sd_bus_message_close_container(m);  // variant, struct, the array of properties
    }
    return r;
}

struct JOB_WAIT {
    std::string path;
    bool removed = false;
    std::string result;
};

int OnJobRemoved(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* wait = static_cast<JOB_WAIT*>(userdata);
    uint32_t id = 0;
    const char* path = nullptr;
    const char* unit = nullptr;
    const char* result = nullptr;
    if (sd_bus_message_read(m, "uoss", &id, &path, &unit, &result) >= 0 && !wait->path.empty() &&
        wait->path == path) {
        wait->removed = true;
        wait->result = result;
    }
    return 0;
}

int IgnoreSignal(sd_bus_message*, void*, sd_bus_error*) {
    return 0;
}

std::string UnitPath(const std::string& name) {
    char* path = nullptr;
    if (sd_bus_path_encode(kUnitPrefix, name.c_str(), &path) < 0) {
        return std::string();
    }
    std::string result = path;
    std::free(path);
    return result;
}

int ReadState(sd_bus* bus, const std::string& path, std::string* state, BUS_ERROR* error) {
    char* text = nullptr;
    int r = sd_bus_get_property_string(bus, kSystemd, path.c_str(), kUnit, "ActiveState",
                                       error->Get(), &text);
    if (r >= 0) {
        *state = text;
        std::free(text);
    }
    return r;
}

// The main process's exit status once the unit has ended: its code when it exited, nothing when a
// signal ended it or the status cannot be read.
std::optional<uint32_t> ReadExitCode(sd_bus* bus, const std::string& path) {
    BUS_ERROR error;
    int32_t code = 0;
    int32_t status = 0;
    if (sd_bus_get_property_trivial(bus, kSystemd, path.c_str(), kService, "ExecMainCode",
                                    error.Get(), 'i', &code) < 0 ||
        sd_bus_get_property_trivial(bus, kSystemd, path.c_str(), kService, "ExecMainStatus",
                                    error.Get(), 'i', &status) < 0 ||
        code != CLD_EXITED) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(status);
}

bool IsConnectionLoss(int r) {
    return r == -ECONNRESET || r == -ENOTCONN || r == -EPIPE || r == -ESHUTDOWN;
}

// Until the unit has ended: reports the end to the process object and closes the connection,
// which drops the unit's reference so that systemd can collect it.
void Watch(BUS bus, std::string path, int pidfd, std::shared_ptr<STARTED_PROCESS> process) {
    const bool routed = sd_bus_is_bus_client(bus.Get()) > 0;
    // The signal only wakes the watcher; what it reports is asked for anew.
    sd_bus_match_signal(bus.Get(), nullptr, routed ? kSystemd : nullptr, path.c_str(),
                        "org.freedesktop.DBus.Properties", "PropertiesChanged", IgnoreSignal,
                        nullptr);
    auto finish = [&](std::optional<uint32_t> code) {
        if (pidfd >= 0) {
            close(pidfd);
        }
        detail::FinishStartedProcess(*process, code);
    };
    for (;;) {
        bool lost = false;
        for (;;) {
            const int r = sd_bus_process(bus.Get(), nullptr);
            if (r < 0) {
                lost = true;
                break;
            }
            if (r == 0) {
                break;
            }
        }
        if (!lost) {
            BUS_ERROR error;
            std::string state;
            const int r = ReadState(bus.Get(), path, &state, &error);
            if (r >= 0 && (state == "inactive" || state == "failed")) {
                finish(ReadExitCode(bus.Get(), path));
                return;
            }
            if (r < 0 && error.Is(kNoSuchUnit)) {
                finish(std::nullopt);
                return;
            }
            lost = r < 0 && IsConnectionLoss(r);
        }
        if (lost) {
            // Without the bus only the process's own end can still be seen, without its status.
            if (pidfd >= 0) {
                pollfd ended = {pidfd, POLLIN, 0};
                while (poll(&ended, 1, -1) < 0 && errno == EINTR) {
                }
            }
            finish(std::nullopt);
            return;
        }
        const int events = sd_bus_get_events(bus.Get());
        pollfd fds[2] = {{sd_bus_get_fd(bus.Get()), static_cast<short>(events > 0 ? events : 0), 0},
                         {pidfd, POLLIN, 0}};
        const int count = pidfd >= 0 ? 2 : 1;
        if (poll(fds, count, PollTimeoutMs(bus.Get(), kRecheckMs)) > 0 && count == 2 &&
            (fds[1].revents & POLLIN) != 0) {
            // The process has ended; systemd reports the unit's end once it has reaped it.
            close(pidfd);
            pidfd = -1;
        }
    }
}

// A pidfd of the unit's main process, or -1; taken only while the unit still names that process
// as its main one, so that it cannot be another process that got the same number.
int MainProcessFd(sd_bus* bus, const std::string& path, uint32_t pid) {
    if (pid == 0) {
        return -1;
    }
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) {
        return -1;
    }
    BUS_ERROR error;
    uint32_t again = 0;
    std::string state;
    if (sd_bus_get_property_trivial(bus, kSystemd, path.c_str(), kService, "MainPID", error.Get(),
                                    'u', &again) < 0 ||
        again != pid || ReadState(bus, path, &state, &error) < 0 || state != "active") {
        close(fd);
        return -1;
    }
    return fd;
}

TRANSIENT_UNIT_START Unavailable(std::string note) {
    TRANSIENT_UNIT_START result;
    result.outcome = TRANSIENT_UNIT_START::OUTCOME::UNAVAILABLE;
    result.note = std::move(note);
    return result;
}

TRANSIENT_UNIT_START Failed(uint32_t error) {
    TRANSIENT_UNIT_START result;
    result.outcome = TRANSIENT_UNIT_START::OUTCOME::FAILED;
    result.error = error;
    return result;
}

// Why a start job did not end in "done", as the error a failed spawn would give.
uint32_t StartError(sd_bus* bus, const std::string& path) {
    BUS_ERROR error;
    int32_t status = 0;
    if (sd_bus_get_property_trivial(bus, kSystemd, path.c_str(), kService, "ExecMainStatus",
                                    error.Get(), 'i', &status) >= 0) {
        if (status == kExitChdir) {
            return kErrorDirectory;
        }
        if (status == kExitExec) {
            return kErrorBadExeFormat;
        }
    }
    return ERROR_GEN_FAILURE;
}

}  // namespace

bool RunsUnderServiceManager() {
    {
        std::lock_guard guard(OpenerLock());
        if (Opener()) {
            return true;
        }
    }
    const char* notify = std::getenv("NOTIFY_SOCKET");
    const char* invocation = std::getenv("INVOCATION_ID");
    return (notify != nullptr && *notify != '\0') || (invocation != nullptr && *invocation != '\0');
}

TRANSIENT_UNIT_START StartTransientUnit(const std::string& program,
                                        const std::vector<std::string>& arguments,
                                        const std::string& directory) {
    ServiceManagerBusOpener opener;
    {
        std::lock_guard guard(OpenerLock());
        opener = Opener();
    }
    if (!opener && !RunsUnderServiceManager()) {
        return Unavailable("not running under systemd");
    }
    BUS bus;
    if (int r = opener ? opener(bus.Out()) : sd_bus_open_system(bus.Out()); r < 0) {
        return Unavailable("no system bus (" + ErrnoText(-r) + ")");
    }
    sd_bus_set_method_call_timeout(bus.Get(), kCallTimeoutUsec);
    const bool routed = sd_bus_is_bus_client(bus.Get()) > 0;
    {
        // Without a subscription systemd sends no job or unit signals to this connection.
        BUS_ERROR error;
        if (int r = sd_bus_call_method(bus.Get(), kSystemd, kSystemdPath, kManager, "Subscribe",
                                       error.Get(), nullptr, "");
            r < 0) {
            return Unavailable("systemd does not answer on the bus (" + error.Text(r) + ")");
        }
    }
    JOB_WAIT job;
    sd_bus_slot* jobSlot = nullptr;
    if (int r = sd_bus_match_signal(bus.Get(), &jobSlot, routed ? kSystemd : nullptr, kSystemdPath,
                                    kManager, "JobRemoved", OnJobRemoved, &job);
        r < 0) {
        return Unavailable("cannot watch systemd's jobs (" + ErrnoText(-r) + ")");
    }
    std::string name;
    for (int attempt = 0;; ++attempt) {
        name = UnitName(program, gSequence.fetch_add(1) + 1);
        MESSAGE call;
        int r = sd_bus_message_new_method_call(bus.Get(), call.Out(), kSystemd, kSystemdPath,
                                               kManager, "StartTransientUnit");
        if (r >= 0) {
            r = sd_bus_message_append(call.Get(), "ss", name.c_str(), "fail");
        }
        if (r >= 0) {
            r = AppendProperties(call.Get(), program, arguments, directory);
        }
        if (r >= 0) {
            r = sd_bus_message_append(call.Get(), "a(sa(sv))", 0);
        }
        if (r < 0) {
            sd_bus_slot_unref(jobSlot);
            return Unavailable("cannot build the unit's request (" + ErrnoText(-r) + ")");
        }
        BUS_ERROR error;
        MESSAGE reply;
        r = sd_bus_call(bus.Get(), call.Get(), 0, error.Get(), reply.Out());
        if (r < 0 && error.Is(kUnitExists) && attempt + 1 < kNameAttempts) {
            continue;
        }
        const char* path = nullptr;
        if (r >= 0) {
            r = sd_bus_message_read(reply.Get(), "o", &path);
        }
        if (r < 0) {
            sd_bus_slot_unref(jobSlot);
            return Unavailable("systemd did not start the unit " + name + " (" + error.Text(r) +
                               ")");
        }
        job.path = path;
        break;
    }
    const std::string unitPath = UnitPath(name);
    const uint64_t deadline = NowUsec() + kStartTimeoutUsec;
    bool lost = false;
    while (!job.removed && !lost) {
        int r = sd_bus_process(bus.Get(), nullptr);
        if (r > 0) {
            continue;
        }
        const uint64_t now = NowUsec();
        if (r < 0 || now >= deadline) {
            lost = true;
            break;
        }
        if (sd_bus_wait(bus.Get(), deadline - now) < 0) {
            lost = true;
        }
    }
    sd_bus_slot_unref(jobSlot);
    if (lost) {
        // Whether it started is not known: it is not left to run unaccounted for.
        BUS_ERROR error;
        sd_bus_call_method(bus.Get(), kSystemd, kSystemdPath, kManager, "StopUnit", error.Get(),
                           nullptr, "ss", name.c_str(), "replace");
        return Failed(kErrorTimeout);
    }
    if (job.result != "done") {
        return Failed(StartError(bus.Get(), unitPath));
    }
    // ExecMainPID, not MainPID: a program that already ended (a short one, a busy machine) has no
    // main process any more, but it did run, with this number.
    uint32_t pid = 0;
    {
        BUS_ERROR error;
        sd_bus_get_property_trivial(bus.Get(), kSystemd, unitPath.c_str(), kService, "ExecMainPID",
                                    error.Get(), 'u', &pid);
    }
    TRANSIENT_UNIT_START result;
    result.outcome = TRANSIENT_UNIT_START::OUTCOME::STARTED;
    result.unitName = name;
    result.processId = pid;
    result.process = detail::NewStartedProcess(pid);
    const int pidfd = MainProcessFd(bus.Get(), unitPath, pid);
    // Like a child's wait, the watch lives outside os/ threads: the program may outlive every
    // handle to it, and it is no work the virtual clock must wait for.
    std::thread(Watch, std::move(bus), unitPath, pidfd, result.process).detach();
    return result;
}

ScopedServiceManagerBus::ScopedServiceManagerBus(ServiceManagerBusOpener opener) {
    std::lock_guard guard(OpenerLock());
    previous_ = std::exchange(Opener(), std::move(opener));
}

ScopedServiceManagerBus::~ScopedServiceManagerBus() {
    std::lock_guard guard(OpenerLock());
    Opener() = std::move(previous_);
}

}  // namespace os
