#include "os/win32/logind.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "os/win32/control_thread.h"

namespace os {
namespace {

// Never destroyed: a source thread may still log while the process exits.
std::mutex& LoggerLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

ControlSourceLogger& Logger() {
    static auto* logger = new ControlSourceLogger;
    return *logger;
}

std::mutex& StarterLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

ControlSourceStarter& Starter() {
    static auto* starter = new ControlSourceStarter(DefaultLogindSourceStarter());
    return *starter;
}

std::string ErrnoText(int error) {
    char buffer[128] = {};
    return strerror_r(error, buffer, sizeof buffer);
}

// ---- The sd-bus part: one thread, one connection, the subscriptions and the inhibitor lock. ----

constexpr const char* kLogin1 = "org.freedesktop.login1";
constexpr const char* kLogin1Path = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kSessionPrefix = "/org/freedesktop/login1/session";
// Bounds every call the watcher makes, so that a stop is never held up for long by a bus that
// does not answer.
constexpr uint64_t kCallTimeoutUsec = 2'000'000;

class LOGIND_WATCHER final : public CONTROL_SOURCE {
  public:
    explicit LOGIND_WATCHER(ControlSink sink) : sink_(std::move(sink)) {
        stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd_ < 0) {
            LogControlSourceLine("os/win32: logind watcher not started (" + ErrnoText(errno) +
                                 "): running without logind's shutdown, sleep and session events");
            return;
        }
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error& e) {
            LogControlSourceLine(std::string("os/win32: logind watcher not started (") + e.what() +
                                 "): running without logind's shutdown, sleep and session events");
        }
    }
    ~LOGIND_WATCHER() override {
        RequestStop();
        Join();
        if (stopFd_ >= 0) {
            close(stopFd_);
        }
    }

    void RequestStop() override {
        stopping_.store(true);
        detail::WakeEventFd(stopFd_);
    }

    void Join() override { detail::JoinUnlessSelf(thread_); }

  private:
    void Run() {
        int r = sd_bus_open_system(&bus_);
        if (r < 0) {
            LogControlSourceLine("os/win32: no system bus (" + ErrnoText(-r) +
                                 "): running without logind's shutdown, sleep and session events");
            bus_ = nullptr;
            return;
        }
        sd_bus_set_method_call_timeout(bus_, kCallTimeoutUsec);
        if (Subscribe()) {
            TakeInhibitor();
            Loop();
        }
        if (inhibitor_ >= 0) {
            close(inhibitor_);
            inhibitor_ = -1;
        }
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }

    // True when logind is on the bus and every subscription is in place (else one line is logged).
    bool Subscribe() {
        sd_bus_error error{};  // SD_BUS_ERROR_NULL, whose compound literal is C, not C++
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                   kLogin1);
        int hasOwner = 0;
        if (r >= 0) {
            r = sd_bus_message_read(reply, "b", &hasOwner);
        }
        std::string failure;
        if (r < 0) {
            failure = std::string("os/win32: no usable system bus (") +
                      (error.message != nullptr ? error.message : ErrnoText(-r).c_str()) + ")";
        } else if (!hasOwner) {
            failure = "os/win32: no logind on the system bus";
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        if (failure.empty()) {
            struct MATCH {
                const char* path;
                const char* interface;
                const char* member;
            };
            const MATCH matches[] = {
                {kLogin1Path, kManager, "PrepareForShutdown"},
                {kLogin1Path, kManager, "PrepareForSleep"},
                {kLogin1Path, kManager, "SessionNew"},
                {kLogin1Path, kManager, "SessionRemoved"},
                {nullptr, kSession, "Lock"},
                {nullptr, kSession, "Unlock"},
            };
            for (const MATCH& match : matches) {
                r = sd_bus_match_signal(bus_, nullptr, kLogin1, match.path, match.interface,
                                        match.member, &LOGIND_WATCHER::OnSignal, this);
                if (r < 0) {
                    failure = "os/win32: cannot subscribe to logind's " +
                              std::string(match.member) + " (" + ErrnoText(-r) + ")";
                    break;
                }
            }
        }
        if (!failure.empty()) {
            LogControlSourceLine(failure +
                                 ": running without logind's shutdown, sleep and session events");
            return false;
        }
        return true;
    }

    void Loop() {
        while (!stopping_.load()) {
            int r = sd_bus_process(bus_, nullptr);
            if (r < 0) {
                LogControlSourceLine("os/win32: lost the system bus (" + ErrnoText(-r) +
                                     "): logind's events end here");
                return;
            }
            if (r > 0) {
                continue;
            }
            uint64_t due = UINT64_MAX;
            sd_bus_get_timeout(bus_, &due);
            int timeoutMs = -1;
            if (due != UINT64_MAX) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1'000'000 +
                                   static_cast<uint64_t>(now.tv_nsec) / 1000;
                uint64_t ms = due > nowUsec ? (due - nowUsec + 999) / 1000 : 0;
                timeoutMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
            }
            int events = sd_bus_get_events(bus_);
            pollfd fds[2] = {{sd_bus_get_fd(bus_), static_cast<short>(events > 0 ? events : 0), 0},
                             {stopFd_, POLLIN, 0}};
            if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR) {
                LogControlSourceLine("os/win32: logind watcher cannot poll (" + ErrnoText(errno) +
                                     "): logind's events end here");
                return;
            }
        }
    }

    // A "delay" lock: logind waits for it (up to InhibitDelayMaxSec) before sleep or shutdown.
    void TakeInhibitor() {
        if (inhibitor_ >= 0) {
            return;
        }
        sd_bus_error error{};  // SD_BUS_ERROR_NULL, whose compound literal is C, not C++
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(bus_, kLogin1, kLogin1Path, kManager, "Inhibit", &error, &reply,
                                   "ssss", "sleep:shutdown", "wexo",
                                   "Delivers suspend and shutdown to the service first", "delay");
        int fd = -1;
        if (r >= 0) {
            r = sd_bus_message_read(reply, "h", &fd);
        }
        if (r >= 0) {
            inhibitor_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        } else if (!inhibitorFailureLogged_) {
            inhibitorFailureLogged_ = true;
            LogControlSourceLine(
                std::string("os/win32: no delay inhibitor lock (") +
                (error.message != nullptr ? error.message : ErrnoText(-r).c_str()) +
                "): suspend and shutdown do not wait for the control handler");
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }

    void ReleaseInhibitor() {
        if (inhibitor_ >= 0) {
            close(inhibitor_);
            inhibitor_ = -1;
        }
    }

    std::string ReadSessionName(const char* path) {
        sd_bus_error error{};  // SD_BUS_ERROR_NULL, whose compound literal is C, not C++
        char* name = nullptr;
        std::string result;
        if (sd_bus_get_property_string(bus_, kLogin1, path, kSession, "Name", &error, &name) >= 0 &&
            name != nullptr) {
            result = name;
        }
        free(name);
        sd_bus_error_free(&error);
        return result;
    }

    static int OnSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
        static_cast<LOGIND_WATCHER*>(userdata)->Handle(message);
        return 0;
    }

    void Handle(sd_bus_message* message) {
        if (stopping_.load()) {
            return;
        }
        const char* member = sd_bus_message_get_member(message);
        if (member == nullptr) {
            return;
        }
        std::string_view name(member);
        LOGIND_SIGNAL signal;
        if (name == "PrepareForShutdown" || name == "PrepareForSleep") {
            int start = 0;
            if (sd_bus_message_read(message, "b", &start) < 0) {
                return;
            }
            signal.kind = name == "PrepareForSleep" ? LOGIND_SIGNAL_KIND::PrepareForSleep
                                                    : LOGIND_SIGNAL_KIND::PrepareForShutdown;
            signal.start = start != 0;
            DispatchLogindSignal(signal, sink_);
            // The handler has had the event: the machine may go on. A resume (or a cancelled
            // shutdown) takes the lock again for the next time.
            if (signal.start) {
                ReleaseInhibitor();
            } else {
                TakeInhibitor();
            }
            return;
        }
        if (name == "SessionNew" || name == "SessionRemoved") {
            const char* id = nullptr;
            const char* path = nullptr;
            if (sd_bus_message_read(message, "so", &id, &path) < 0 || id == nullptr) {
                return;
            }
            signal.sessionId = id;
            if (name == "SessionNew") {
                signal.kind = LOGIND_SIGNAL_KIND::SessionNew;
                signal.userName = path != nullptr ? ReadSessionName(path) : std::string();
                names_[signal.sessionId] = signal.userName;
            } else {
                // The session's object is gone: its name is the one read while it lived.
                signal.kind = LOGIND_SIGNAL_KIND::SessionRemoved;
                auto it = names_.find(signal.sessionId);
                if (it != names_.end()) {
                    signal.userName = it->second;
                    names_.erase(it);
                }
            }
            DispatchLogindSignal(signal, sink_);
            return;
        }
        if (name == "Lock" || name == "Unlock") {
            const char* path = sd_bus_message_get_path(message);
            char* id = nullptr;
            if (path == nullptr || sd_bus_path_decode(path, kSessionPrefix, &id) <= 0 ||
                id == nullptr) {
                free(id);
                return;
            }
            signal.sessionId = id;
            free(id);
            signal.kind = name == "Lock" ? LOGIND_SIGNAL_KIND::SessionLock
                                         : LOGIND_SIGNAL_KIND::SessionUnlock;
            auto it = names_.find(signal.sessionId);
            if (it != names_.end() && !it->second.empty()) {
                signal.userName = it->second;
            } else {
                signal.userName = ReadSessionName(path);
                if (!signal.userName.empty()) {
                    names_[signal.sessionId] = signal.userName;
                }
            }
            DispatchLogindSignal(signal, sink_);
        }
    }

    const ControlSink sink_;
    int stopFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    // Touched only by the watcher's thread.
    sd_bus* bus_ = nullptr;
    int inhibitor_ = -1;
    bool inhibitorFailureLogged_ = false;
    std::map<std::string, std::string> names_;
};

}  // namespace

ControlSourceLogger SetControlSourceLogger(ControlSourceLogger logger) {
    std::lock_guard guard(LoggerLock());
    ControlSourceLogger previous = std::move(Logger());
    Logger() = std::move(logger);
    return previous;
}

void LogControlSourceLine(std::string_view line) {
    ControlSourceLogger logger;
    {
        std::lock_guard guard(LoggerLock());
        logger = Logger();
    }
    if (logger) {
        logger(line);
    } else {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
}

uint32_t LogindSessionNumber(std::string_view sessionId) {
    if (!sessionId.empty() && sessionId.size() <= 10) {
        uint64_t value = 0;
        bool decimal = true;
        for (char c : sessionId) {
            if (c < '0' || c > '9') {
                decimal = false;
                break;
            }
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (decimal && value < 0x80000000ull) {
            return static_cast<uint32_t>(value);
        }
    }
    uint32_t hash = 2166136261u;
    for (char c : sessionId) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return 0x80000000u | hash;
}

std::optional<SERVICE_CONTROL_EVENT> MapLogindSignal(const LOGIND_SIGNAL& signal) {
    SERVICE_CONTROL_EVENT event;
    switch (signal.kind) {
        case LOGIND_SIGNAL_KIND::PrepareForShutdown:
            if (!signal.start) {
                return std::nullopt;
            }
            event.control = SERVICE_CONTROL_SHUTDOWN;
            return event;
        case LOGIND_SIGNAL_KIND::PrepareForSleep:
            event.control = SERVICE_CONTROL_POWEREVENT;
            event.eventType = signal.start ? PBT_APMSUSPEND : PBT_APMRESUMEAUTOMATIC;
            return event;
        case LOGIND_SIGNAL_KIND::SessionNew:
            event.eventType = WTS_SESSION_LOGON;
            break;
        case LOGIND_SIGNAL_KIND::SessionRemoved:
            event.eventType = WTS_SESSION_LOGOFF;
            break;
        case LOGIND_SIGNAL_KIND::SessionLock:
            event.eventType = WTS_SESSION_LOCK;
            break;
        case LOGIND_SIGNAL_KIND::SessionUnlock:
            event.eventType = WTS_SESSION_UNLOCK;
            break;
        default:
            return std::nullopt;
    }
    event.control = SERVICE_CONTROL_SESSIONCHANGE;
    event.hasSession = true;
    event.session.sessionId = LogindSessionNumber(signal.sessionId);
    event.session.userName = signal.userName;
    return event;
}

void DispatchLogindSignal(const LOGIND_SIGNAL& signal, const ControlSink& sink) {
    auto event = MapLogindSignal(signal);
    if (event && sink) {
        sink(event->control, event->eventType, event->Data());
    }
}

std::unique_ptr<CONTROL_SOURCE> StartLogindWatcher(ControlSink sink) {
    return std::make_unique<LOGIND_WATCHER>(std::move(sink));
}

ControlSourceStarter SetLogindSourceStarter(ControlSourceStarter starter) {
    std::lock_guard guard(StarterLock());
    ControlSourceStarter previous = std::move(Starter());
    Starter() = std::move(starter);
    return previous;
}

ControlSourceStarter DefaultLogindSourceStarter() {
    return [](ControlSink sink) { return StartLogindWatcher(std::move(sink)); };
}

namespace detail {
// The starter in place (for the registration in service_control.cpp).
std::unique_ptr<CONTROL_SOURCE> StartLogindSource(ControlSink sink) {
    ControlSourceStarter starter;
    {
        std::lock_guard guard(StarterLock());
        starter = Starter();
    }
    return starter ? starter(std::move(sink)) : nullptr;
}
}  // namespace detail

}  // namespace os
