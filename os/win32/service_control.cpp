#include "os/win32/service_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "os/core/process.h"
#include "os/win32/control_thread.h"
#include "os/win32/logind.h"

namespace os {
namespace {

// Handles carry a generation, so a replaced registration's handle is told from the current one.
constexpr SERVICE_STATUS_HANDLE kHandleBase = 0x5356'4300'0000'0000ull;

enum class HANDLER_KIND { None, Service, Application };

// ---- Signals: a handler that writes one byte to a pipe, a thread that reads it. ----

// The pipe lives as long as the process: a signal handler that loaded the write end can never
// write into a descriptor that was closed and reused meanwhile. Both ends are non-blocking, so a
// full pipe drops a byte (a stop is pending then anyway) instead of blocking the handler.
std::atomic<int> gSignalWriteFd{-1};
int gSignalReadFd = -1;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads it");

void OnControlSignal(int signalNumber) {
    int savedErrno = errno;
    int fd = gSignalWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        unsigned char byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] ssize_t written = write(fd, &byte, 1);
    }
    errno = savedErrno;
}

// 0 when the pipe exists, else the errno of its creation.
int EnsureSignalPipe() {
    static std::once_flag once;
    static int error = 0;
    std::call_once(once, [] {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            error = errno;
            return;
        }
        gSignalReadFd = fds[0];
        gSignalWriteFd.store(fds[1]);
    });
    return error;
}

constexpr int kControlSignals[] = {SIGTERM, SIGINT};
constexpr size_t kSignalCount = sizeof kControlSignals / sizeof kControlSignals[0];

void SourceSignalStop();
void DeliverHeldStop();

class SIGNAL_SOURCE final : public CONTROL_SOURCE {
  public:
    // Installs the dispositions and starts the thread; null with the Win32 error on failure.
    static std::unique_ptr<SIGNAL_SOURCE> Start(uint32_t* error) {
        int pipeError = EnsureSignalPipe();
        if (pipeError != 0) {
            *error = Win32ErrorFromErrno(pipeError);
            return nullptr;
        }
        std::unique_ptr<SIGNAL_SOURCE> source(new SIGNAL_SOURCE());
        source->wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (source->wakeFd_ < 0) {
            *error = Win32ErrorFromErrno(errno);
            return nullptr;
        }
        // Bytes of signals that reached an earlier registration but were never read are not
        // this registration's.
        unsigned char stale[256];
        while (read(gSignalReadFd, stale, sizeof stale) > 0) {
        }
        struct sigaction action {};
        action.sa_handler = OnControlSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < kSignalCount; ++i) {
            if (sigaction(kControlSignals[i], &action, &source->previous_[i]) != 0) {
                *error = Win32ErrorFromErrno(errno);
                for (size_t j = 0; j < i; ++j) {
                    sigaction(kControlSignals[j], &source->previous_[j], nullptr);
                }
                return nullptr;
            }
        }
        source->installed_ = true;
        try {
            source->thread_ = std::thread([raw = source.get()] { raw->Run(); });
        } catch (const std::system_error& e) {
            source->RestoreDispositions();
            *error = Win32ErrorFromErrno(e.code().value());
            return nullptr;
        }
        return source;
    }

    ~SIGNAL_SOURCE() override {
        RequestStop();
        Join();
        if (wakeFd_ >= 0) {
            close(wakeFd_);
        }
    }

    void RequestStop() override {
        RestoreDispositions();
        stopping_.store(true);
        Poke();
    }

    // Wakes the thread to look at a held stop again.
    void Poke() { detail::WakeEventFd(wakeFd_); }

    void Join() override { detail::JoinUnlessSelf(thread_); }

  private:
    SIGNAL_SOURCE() = default;

    void RestoreDispositions() {
        std::lock_guard guard(dispositionLock_);
        if (!installed_) {
            return;
        }
        installed_ = false;
        for (size_t i = 0; i < kSignalCount; ++i) {
            sigaction(kControlSignals[i], &previous_[i], nullptr);
        }
    }

    void Run() {
        while (!stopping_.load()) {
            pollfd fds[2] = {{gSignalReadFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                continue;  // EINTR: a signal ran its handler on this thread
            }
            if (fds[1].revents != 0) {
                uint64_t count = 0;
                [[maybe_unused]] ssize_t got = read(wakeFd_, &count, sizeof count);
            }
            if (stopping_.load()) {
                break;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                unsigned char bytes[64];
                // Every signal read in one go is one stop.
                if (read(gSignalReadFd, bytes, sizeof bytes) > 0) {
                    SourceSignalStop();
                }
            }
            DeliverHeldStop();
        }
    }

    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::mutex dispositionLock_;
    bool installed_ = false;
    struct sigaction previous_[kSignalCount] {};
    std::thread thread_;
};

// ---- The registration ----

struct CONTROL_STATE {
    // Serialises registrations and deregistrations; never held while a source thread is joined.
    std::mutex registration;
    // Serialises deliveries; recursive, so a handler may deliver from within itself.
    std::recursive_mutex delivery;
    // Serialises SetServiceStatus, so the datagrams go out in the order the statuses were set.
    std::mutex notify;
    // Guards everything below.
    std::mutex lock;
    std::shared_ptr<const HandlerEx> handler;
    HANDLER_KIND kind = HANDLER_KIND::None;
    SERVICE_STATUS_HANDLE handle = 0;
    uint64_t generation = 0;
    uint32_t processId = 0;
    SERVICE_STATUS status;
    bool stopHeld = false;
    bool dispatcherRunning = false;
    bool underSystemd = false;
    std::string dispatcherName;
    std::unique_ptr<SIGNAL_SOURCE> signals;
    std::unique_ptr<CONTROL_SOURCE> logind;
    // Stopped sources whose threads are still to be joined (stopped from within a handler).
    std::vector<std::unique_ptr<CONTROL_SOURCE>> retired;

    ~CONTROL_STATE() {
        std::vector<std::unique_ptr<CONTROL_SOURCE>> all = std::move(retired);
        all.push_back(std::move(signals));
        all.push_back(std::move(logind));
        for (auto& source : all) {
            if (source) {
                source->RequestStop();
                source->Join();
            }
        }
    }
};

CONTROL_STATE& State() {
    static CONTROL_STATE state;
    return state;
}

thread_local int tDeliveryDepth = 0;

uint32_t Deliver(uint32_t control, uint32_t eventType, const void* eventData) {
    CONTROL_STATE& state = State();
    std::lock_guard delivery(state.delivery);
    std::shared_ptr<const HandlerEx> handler;
    {
        std::lock_guard guard(state.lock);
        handler = state.handler;
    }
    if (!handler || !*handler) {
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    struct DEPTH {
        DEPTH() { ++tDeliveryDepth; }
        ~DEPTH() { --tDeliveryDepth; }
    } depth;
    return (*handler)(control, eventType, eventData);
}

void JoinRetired() {
    CONTROL_STATE& state = State();
    std::vector<std::unique_ptr<CONTROL_SOURCE>> retired;
    {
        std::lock_guard guard(state.lock);
        retired = std::move(state.retired);
        state.retired.clear();
    }
    for (auto& source : retired) {
        source->Join();
    }
}

uint32_t AcceptBitFor(uint32_t control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return SERVICE_ACCEPT_STOP;
        case SERVICE_CONTROL_SHUTDOWN:
            return SERVICE_ACCEPT_SHUTDOWN;
        case SERVICE_CONTROL_POWEREVENT:
            return SERVICE_ACCEPT_POWEREVENT;
        case SERVICE_CONTROL_SESSIONCHANGE:
            return SERVICE_ACCEPT_SESSIONCHANGE;
        default:
            return 0;
    }
}

// A control from a source: delivered when the handler's kind and the last status allow it, acting
// for the process that registered the handler.
void SourceDeliver(uint32_t control, uint32_t eventType, const void* eventData) {
    CONTROL_STATE& state = State();
    uint32_t processId = 0;
    {
        std::lock_guard guard(state.lock);
        if (state.kind == HANDLER_KIND::None) {
            return;
        }
        if (state.kind == HANDLER_KIND::Service) {
            if (state.status.currentState == SERVICE_STOPPED) {
                return;
            }
            uint32_t bit = AcceptBitFor(control);
            if (bit != 0 && (state.status.controlsAccepted & bit) == 0) {
                if (control == SERVICE_CONTROL_STOP) {
                    state.stopHeld = true;
                }
                return;
            }
            if (control == SERVICE_CONTROL_STOP) {
                state.stopHeld = false;
            }
        }
        processId = state.processId;
    }
    ScopedProcessContext context(processId);
    Deliver(control, eventType, eventData);
}

void SourceSignalStop() {
    SourceDeliver(SERVICE_CONTROL_STOP, 0, nullptr);
}

void DeliverHeldStop() {
    CONTROL_STATE& state = State();
    {
        std::lock_guard guard(state.lock);
        if (!state.stopHeld || state.kind != HANDLER_KIND::Service ||
            (state.status.controlsAccepted & SERVICE_ACCEPT_STOP) == 0) {
            return;
        }
    }
    SourceDeliver(SERVICE_CONTROL_STOP, 0, nullptr);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Installs the handler and starts the sources that do not run yet. Returns the error, or 0.
uint32_t Register(HANDLER_KIND kind, std::string_view serviceName, HandlerEx handler,
                  SERVICE_STATUS_HANDLE* handle) {
    if (!handler) {
        return ERROR_INVALID_PARAMETER;
    }
    if (kind == HANDLER_KIND::Service && serviceName.empty()) {
        return ERROR_INVALID_NAME;
    }
    if (tDeliveryDepth == 0) {
        JoinRetired();
    }
    CONTROL_STATE& state = State();
    std::lock_guard registration(state.registration);
    bool needSignals = false;
    bool needLogind = false;
    {
        std::lock_guard guard(state.lock);
        if (kind == HANDLER_KIND::Service && state.dispatcherRunning &&
            !EqualNoCase(state.dispatcherName, serviceName)) {
            return ERROR_SERVICE_DOES_NOT_EXIST;
        }
        needSignals = !state.signals;
        needLogind = !state.logind;
    }
    std::unique_ptr<SIGNAL_SOURCE> signals;
    if (needSignals) {
        uint32_t error = ERROR_SUCCESS;
        signals = SIGNAL_SOURCE::Start(&error);
        if (!signals) {
            return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
        }
    }
    {
        std::lock_guard guard(state.lock);
        state.handler = std::make_shared<const HandlerEx>(std::move(handler));
        state.kind = kind;
        state.processId = CurrentProcessId();
        state.stopHeld = false;
        if (kind == HANDLER_KIND::Service) {
            state.handle = kHandleBase + ++state.generation;
            state.status = SERVICE_STATUS{};
            state.status.serviceType = SERVICE_WIN32_OWN_PROCESS;
            state.status.currentState = SERVICE_START_PENDING;
        } else {
            state.handle = 0;
        }
        *handle = state.handle;
        if (signals) {
            state.signals = std::move(signals);
        }
    }
    if (needLogind) {
        auto logind = detail::StartLogindSource(
            [](uint32_t control, uint32_t eventType, const void* eventData) {
                SourceDeliver(control, eventType, eventData);
            });
        std::lock_guard guard(state.lock);
        state.logind = std::move(logind);
    }
    return ERROR_SUCCESS;
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

std::string NotifyText(const SERVICE_STATUS& status) {
    std::string text;
    bool pending = false;
    auto checkPoint = [&] {
        if (status.checkPoint != 0) {
            text += ", check point " + std::to_string(status.checkPoint);
        }
    };
    switch (status.currentState) {
        case SERVICE_START_PENDING:
            text = "STATUS=start pending";
            checkPoint();
            pending = true;
            break;
        case SERVICE_RUNNING:
            text = "READY=1\nSTATUS=running";
            break;
        case SERVICE_STOP_PENDING:
            text = "STOPPING=1\nSTATUS=stop pending";
            checkPoint();
            pending = true;
            break;
        case SERVICE_STOPPED:
            if (status.win32ExitCode == ERROR_SUCCESS) {
                text = "STATUS=stopped";
            } else {
                if (status.win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
                    text = "STATUS=stopped: service-specific error " +
                           std::to_string(status.serviceSpecificExitCode);
                } else {
                    text = "STATUS=stopped: " + OneLine(SystemMessageText(status.win32ExitCode)) +
                           " (error " + std::to_string(status.win32ExitCode) + ")";
                }
                text += "\nEXIT_STATUS=" + std::to_string(ServiceExitStatus(status));
            }
            break;
        case SERVICE_CONTINUE_PENDING:
            text = "STATUS=continue pending";
            checkPoint();
            pending = true;
            break;
        case SERVICE_PAUSE_PENDING:
            text = "STATUS=pause pending";
            checkPoint();
            pending = true;
            break;
        default:
            text = "STATUS=paused";
            break;
    }
    if (pending && status.waitHint != 0) {
        text += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{status.waitHint} * 1000);
    }
    return text;
}

}  // namespace

bool StartServiceCtrlDispatcher(std::string_view serviceName, ServiceMainFunction serviceMain) {
    if (!serviceMain || serviceName.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    CONTROL_STATE& state = State();
    {
        std::lock_guard guard(state.lock);
        if (state.dispatcherRunning) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return false;
        }
        state.dispatcherRunning = true;
        state.underSystemd = true;
        state.dispatcherName = std::string(serviceName);
    }
    struct END {
        CONTROL_STATE& state;
        ~END() {
            bool serviceHandler = false;
            {
                std::lock_guard guard(state.lock);
                serviceHandler = state.kind == HANDLER_KIND::Service;
            }
            if (serviceHandler) {
                DeregisterControlHandler();
            }
            std::lock_guard guard(state.lock);
            state.dispatcherRunning = false;
            state.underSystemd = false;
            state.dispatcherName.clear();
        }
    } end{state};
    serviceMain({std::string(serviceName)});
    return true;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(std::string_view serviceName,
                                                   HandlerEx handler) {
    SERVICE_STATUS_HANDLE handle = 0;
    uint32_t error = Register(HANDLER_KIND::Service, serviceName, std::move(handler), &handle);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    return handle;
}

bool RegisterApplicationControlHandler(HandlerEx handler) {
    SERVICE_STATUS_HANDLE handle = 0;
    uint32_t error = Register(HANDLER_KIND::Application, {}, std::move(handler), &handle);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return false;
    }
    return true;
}

void DeregisterControlHandler() {
    CONTROL_STATE& state = State();
    std::vector<std::unique_ptr<CONTROL_SOURCE>> stopping;
    {
        std::lock_guard registration(state.registration);
        {
            std::lock_guard guard(state.lock);
            state.handler.reset();
            state.kind = HANDLER_KIND::None;
            state.handle = 0;
            state.stopHeld = false;
            stopping.push_back(std::move(state.signals));
            stopping.push_back(std::move(state.logind));
        }
        // The dispositions come back here, before any new registration can install its own.
        for (auto& source : stopping) {
            if (source) {
                source->RequestStop();
            }
        }
    }
    if (tDeliveryDepth > 0) {
        // Within a handler: possibly on a source's own thread, which cannot join itself.
        std::lock_guard guard(state.lock);
        for (auto& source : stopping) {
            if (source) {
                state.retired.push_back(std::move(source));
            }
        }
        return;
    }
    for (auto& source : stopping) {
        if (source) {
            source->Join();
        }
    }
    stopping.clear();
    JoinRetired();
    // A delivery in progress on another thread has finished once the delivery lock is free.
    std::lock_guard delivery(state.delivery);
}

bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
    CONTROL_STATE& state = State();
    std::lock_guard notify(state.notify);
    bool underSystemd = false;
    {
        std::lock_guard guard(state.lock);
        if (handle == 0 || handle != state.handle) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        if (status.currentState < SERVICE_STOPPED || status.currentState > SERVICE_PAUSED) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        state.status = status;
        if (status.currentState == SERVICE_STOPPED) {
            state.stopHeld = false;
        } else if (state.stopHeld && (status.controlsAccepted & SERVICE_ACCEPT_STOP) != 0 &&
                   state.signals) {
            // The held stop goes out from the signal thread, not from the caller's.
            state.signals->Poke();
        }
        underSystemd = state.underSystemd;
    }
    if (!underSystemd) {
        return true;
    }
    std::string text = NotifyText(status);
    int r = sd_notify(0, text.c_str());
    if (r < 0) {
        SetLastError(Win32ErrorFromErrno(-r));
        return false;
    }
    return true;
}

SERVICE_STATUS LastServiceStatus() {
    CONTROL_STATE& state = State();
    std::lock_guard guard(state.lock);
    return state.status;
}

int ServiceExitStatus(const SERVICE_STATUS& status) {
    if (status.win32ExitCode == ERROR_SUCCESS) {
        return 0;
    }
    if (status.win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
        status.serviceSpecificExitCode >= 1 && status.serviceSpecificExitCode <= 255) {
        return static_cast<int>(status.serviceSpecificExitCode);
    }
    return 1;
}

uint32_t DeliverServiceControl(uint32_t control, uint32_t eventType, const void* eventData) {
    uint32_t result = Deliver(control, eventType, eventData);
    if (tDeliveryDepth == 0) {
        // A handler that deregistered from within this delivery left the sources to be joined.
        JoinRetired();
    }
    return result;
}

HPOWERNOTIFY RegisterPowerSettingNotification(SERVICE_STATUS_HANDLE handle,
                                              std::string_view settingGuid) {
    CONTROL_STATE& state = State();
    std::lock_guard guard(state.lock);
    if (handle == 0 || handle != state.handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (settingGuid.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    static std::atomic<HPOWERNOTIFY> next{1};
    return next.fetch_add(1);
}

bool UnregisterPowerSettingNotification(HPOWERNOTIFY notification) {
    if (notification == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

}  // namespace os
