#include "os/win32/service_control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os/core/process.h"
#include "os/core/status.h"
#include "os/win32/logind.h"

namespace os {
namespace {

using namespace std::chrono_literals;

struct CONTROL {
    uint32_t control = 0;
    uint32_t eventType = 0;
    std::optional<WTSSESSION_NOTIFICATION> session;
    uint32_t processId = 0;
    std::thread::id thread;
};

// What a handler received, with a bounded real-time wait for the controls that come from the
// process's own source threads.
class RECORDER {
  public:
    HandlerEx Handler(uint32_t result = NO_ERROR_RESULT) {
        return [this, result](uint32_t control, uint32_t eventType, const void* data) {
            CONTROL record{control, eventType, std::nullopt, CurrentProcessId(),
                           std::this_thread::get_id()};
            if (control == SERVICE_CONTROL_SESSIONCHANGE && data != nullptr) {
                record.session = *static_cast<const WTSSESSION_NOTIFICATION*>(data);
            }
            {
                std::lock_guard guard(lock_);
                controls_.push_back(record);
            }
            changed_.notify_all();
            return result;
        };
    }
    // True when at least count controls arrived within the limit.
    bool WaitFor(size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, limit, [&] { return controls_.size() >= count; });
    }
    std::vector<CONTROL> Controls() {
        std::lock_guard guard(lock_);
        return controls_;
    }
    static constexpr uint32_t NO_ERROR_RESULT = 0;

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<CONTROL> controls_;
};

// Stands for logind: the registration hands it the sink, the test calls the sink.
struct FAKE_SOURCE_RECORD {
    ControlSink sink;
    int starts = 0;
    bool stopRequested = false;
    bool joined = false;
};

class FAKE_SOURCE final : public CONTROL_SOURCE {
  public:
    explicit FAKE_SOURCE(FAKE_SOURCE_RECORD* record) : record_(record) {}
    void RequestStop() override { record_->stopRequested = true; }
    void Join() override { record_->joined = true; }

  private:
    FAKE_SOURCE_RECORD* record_;
};

class ServiceControlTest : public ::testing::Test {
  protected:
    ServiceControlTest() {
        previousStarter_ = SetLogindSourceStarter([this](ControlSink sink) {
            fake_.sink = std::move(sink);
            ++fake_.starts;
            fake_.stopRequested = false;
            fake_.joined = false;
            return std::make_unique<FAKE_SOURCE>(&fake_);
        });
        previousLogger_ = SetControlSourceLogger([this](std::string_view line) {
            std::lock_guard guard(linesLock_);
            lines_.emplace_back(line);
            linesChanged_.notify_all();
        });
    }
    ~ServiceControlTest() override {
        DeregisterControlHandler();
        SetLogindSourceStarter(std::move(previousStarter_));
        SetControlSourceLogger(std::move(previousLogger_));
    }

    bool WaitForLine(std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock guard(linesLock_);
        return linesChanged_.wait_for(guard, limit, [&] { return !lines_.empty(); });
    }
    std::vector<std::string> Lines() {
        std::lock_guard guard(linesLock_);
        return lines_;
    }

    FAKE_SOURCE_RECORD fake_;
    RECORDER recorder_;
    ControlSourceStarter previousStarter_;
    ControlSourceLogger previousLogger_;
    std::mutex linesLock_;
    std::condition_variable linesChanged_;
    std::vector<std::string> lines_;
};

// Keeps a signal's disposition and puts it back.
class SAVED_DISPOSITION {
  public:
    SAVED_DISPOSITION(int signalNumber, void (*handler)(int)) : signal_(signalNumber) {
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        sigaction(signal_, &action, &saved_);
    }
    ~SAVED_DISPOSITION() { sigaction(signal_, &saved_, nullptr); }

  private:
    int signal_;
    struct sigaction saved_ {};
};

void (*CurrentDisposition(int signalNumber))(int) {
    struct sigaction current {};
    sigaction(signalNumber, nullptr, &current);
    return current.sa_handler;
}

std::atomic<int> gTestSigints{0};
void CountSigint(int) {
    gTestSigints.fetch_add(1);
}

TEST_F(ServiceControlTest, WithoutAHandlerADeliveryIsNotImplemented) {
    EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_STOP, 0, nullptr), ERROR_CALL_NOT_IMPLEMENTED);
    ASSERT_TRUE(RegisterApplicationControlHandler(recorder_.Handler()));
    DeregisterControlHandler();
    EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_STOP, 0, nullptr), ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_TRUE(recorder_.Controls().empty());
    // Deregistering twice is harmless.
    DeregisterControlHandler();
}

TEST_F(ServiceControlTest, ADeliveryRunsTheHandlerOnTheCallingThreadWithItsResult) {
    int received = 0;
    const void* receivedData = nullptr;
    ASSERT_TRUE(RegisterApplicationControlHandler(
        [&](uint32_t control, uint32_t eventType, const void* data) -> uint32_t {
            ++received;
            receivedData = data;
            if (control == SERVICE_CONTROL_POWEREVENT && eventType == PBT_APMSUSPEND) {
                return ERROR_SUCCESS;
            }
            return ERROR_CALL_NOT_IMPLEMENTED;
        }));
    WTSSESSION_NOTIFICATION data{3, "alice"};
    EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, &data),
              ERROR_SUCCESS);
    EXPECT_EQ(receivedData, &data);
    EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_INTERROGATE, 0, nullptr),
              ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(received, 2);

    // A second registration replaces the handler.
    ASSERT_TRUE(RegisterApplicationControlHandler(
        [](uint32_t, uint32_t, const void*) -> uint32_t { return 42; }));
    EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_STOP, 0, nullptr), 42u);
    EXPECT_EQ(received, 2);
    // The sources were started once, for the first registration.
    EXPECT_EQ(fake_.starts, 1);

    EXPECT_FALSE(RegisterApplicationControlHandler(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ServiceControlTest, DeliveriesAreSerialised) {
    std::atomic<int> inside{0};
    std::atomic<int> most{0};
    std::atomic<int> total{0};
    ASSERT_TRUE(RegisterApplicationControlHandler([&](uint32_t, uint32_t, const void*) -> uint32_t {
        int now = inside.fetch_add(1) + 1;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(1ms);
        inside.fetch_sub(1);
        total.fetch_add(1);
        return 0;
    }));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 20; ++i) {
                DeliverServiceControl(SERVICE_CONTROL_INTERROGATE, 0, nullptr);
            }
        });
    }
    // A source delivering meanwhile takes its turn too.
    for (int i = 0; i < 10; ++i) {
        fake_.sink(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(total.load(), 90);
    EXPECT_EQ(most.load(), 1);
}

TEST_F(ServiceControlTest, ARealSigtermReachesTheHandlerAsStopAndTheDispositionsComeBack) {
    SAVED_DISPOSITION term(SIGTERM, SIG_IGN);
    SAVED_DISPOSITION interrupt(SIGINT, CountSigint);
    gTestSigints = 0;

    auto process = CreateProcess({1, 5, 0, 0, 0, 0, 0, 5}, 1, "C:\\usr\\lib\\wexo\\wexosvc");
    {
        ScopedProcessContext context(process->Id());
        ASSERT_TRUE(RegisterApplicationControlHandler(recorder_.Handler()));
    }
    EXPECT_NE(CurrentDisposition(SIGTERM), SIG_IGN);
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    ASSERT_TRUE(recorder_.WaitFor(1)) << "SIGTERM did not reach the handler within 5 s";
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    ASSERT_TRUE(recorder_.WaitFor(2)) << "SIGINT did not reach the handler within 5 s";

    auto controls = recorder_.Controls();
    ASSERT_EQ(controls.size(), 2u);
    for (const CONTROL& control : controls) {
        EXPECT_EQ(control.control, SERVICE_CONTROL_STOP);
        EXPECT_EQ(control.eventType, 0u);
        // Delivered by the control thread, acting for the process that registered.
        EXPECT_NE(control.thread, std::this_thread::get_id());
        EXPECT_EQ(control.processId, process->Id());
    }
    EXPECT_EQ(gTestSigints.load(), 0);

    DeregisterControlHandler();
    EXPECT_EQ(CurrentDisposition(SIGTERM), SIG_IGN);
    EXPECT_EQ(CurrentDisposition(SIGINT), &CountSigint);
    EXPECT_TRUE(fake_.stopRequested);
    EXPECT_TRUE(fake_.joined);
    // The previous dispositions act again: the ignored SIGTERM does nothing, SIGINT is counted.
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    EXPECT_EQ(gTestSigints.load(), 1);
    EXPECT_EQ(recorder_.Controls().size(), 2u);
    TerminateProcess(process->Id());
}

TEST_F(ServiceControlTest, AHandlerThatDeregistersOnTheSignalThreadLeavesNothingRunning) {
    SAVED_DISPOSITION term(SIGTERM, SIG_IGN);
    std::atomic<bool> deregistered{false};
    auto inner = recorder_.Handler();
    ASSERT_TRUE(RegisterApplicationControlHandler(
        [&](uint32_t control, uint32_t eventType, const void* data) -> uint32_t {
            DeregisterControlHandler();
            deregistered = true;
            return inner(control, eventType, data);
        }));
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    ASSERT_TRUE(recorder_.WaitFor(1));
    EXPECT_TRUE(deregistered.load());
    EXPECT_EQ(CurrentDisposition(SIGTERM), SIG_IGN);
    EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_STOP, 0, nullptr), ERROR_CALL_NOT_IMPLEMENTED);
    // The next registration joins the thread left behind and starts afresh.
    ASSERT_TRUE(RegisterApplicationControlHandler(recorder_.Handler()));
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    ASSERT_TRUE(recorder_.WaitFor(2));
    DeregisterControlHandler();
    EXPECT_EQ(CurrentDisposition(SIGTERM), SIG_IGN);
}

TEST_F(ServiceControlTest, AHandlerThatDeregistersWithinADeliveryHasItsSourcesJoinedAfter) {
    ASSERT_TRUE(RegisterApplicationControlHandler([&](uint32_t, uint32_t, const void*) -> uint32_t {
        DeregisterControlHandler();
        // Stopped at once, joined only once the delivery is over.
        EXPECT_TRUE(fake_.stopRequested);
        EXPECT_FALSE(fake_.joined);
        return 7;
    }));
    EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_STOP, 0, nullptr), 7u);
    EXPECT_TRUE(fake_.joined);
}

TEST_F(ServiceControlTest, ServiceHandlesStatusesAndTheirChecks) {
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerEx("WexoSvc", recorder_.Handler());
    ASSERT_NE(handle, 0u);
    // The registration starts the service as pending, accepting nothing.
    EXPECT_EQ(LastServiceStatus().currentState, SERVICE_START_PENDING);
    EXPECT_EQ(LastServiceStatus().serviceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(LastServiceStatus().controlsAccepted, 0u);

    SERVICE_STATUS status;
    status.serviceType = SERVICE_WIN32_OWN_PROCESS;
    status.currentState = SERVICE_RUNNING;
    status.controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    // Without systemd the status is only kept.
    EXPECT_TRUE(SetServiceStatus(handle, status));
    EXPECT_EQ(LastServiceStatus().currentState, SERVICE_RUNNING);
    EXPECT_EQ(LastServiceStatus().controlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);

    EXPECT_FALSE(SetServiceStatus(0, status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetServiceStatus(handle + 1, status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SERVICE_STATUS bad = status;
    bad.currentState = 0;
    EXPECT_FALSE(SetServiceStatus(handle, bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    bad.currentState = 8;
    EXPECT_FALSE(SetServiceStatus(handle, bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_EQ(LastServiceStatus().currentState, SERVICE_RUNNING);

    // A second registration replaces the first and its handle.
    SERVICE_STATUS_HANDLE second = RegisterServiceCtrlHandlerEx("WexoSvc", recorder_.Handler());
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, handle);
    EXPECT_FALSE(SetServiceStatus(handle, status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(SetServiceStatus(second, status));

    // The final status outlives the registration.
    status.currentState = SERVICE_STOPPED;
    status.win32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.serviceSpecificExitCode = 9;
    EXPECT_TRUE(SetServiceStatus(second, status));
    DeregisterControlHandler();
    EXPECT_FALSE(SetServiceStatus(second, status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ServiceExitStatus(LastServiceStatus()), 9);

    EXPECT_EQ(RegisterServiceCtrlHandlerEx("WexoSvc", nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterServiceCtrlHandlerEx("", recorder_.Handler()), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
}

TEST_F(ServiceControlTest, AServiceGetsOnlyTheSourcesControlsItsStatusAccepts) {
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerEx("WexoSvc", recorder_.Handler());
    ASSERT_NE(handle, 0u);
    ASSERT_TRUE(fake_.sink);
    WTSSESSION_NOTIFICATION session{2, "alice"};

    // Pending, accepting nothing: the events are dropped.
    fake_.sink(SERVICE_CONTROL_SHUTDOWN, 0, nullptr);
    fake_.sink(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr);
    fake_.sink(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &session);
    EXPECT_TRUE(recorder_.Controls().empty());

    SERVICE_STATUS status;
    status.serviceType = SERVICE_WIN32_OWN_PROCESS;
    status.currentState = SERVICE_RUNNING;
    status.controlsAccepted = SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE;
    ASSERT_TRUE(SetServiceStatus(handle, status));
    fake_.sink(SERVICE_CONTROL_SHUTDOWN, 0, nullptr);
    fake_.sink(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr);
    fake_.sink(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, &session);
    auto controls = recorder_.Controls();
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[0].control, SERVICE_CONTROL_POWEREVENT);
    EXPECT_EQ(controls[0].eventType, PBT_APMSUSPEND);
    EXPECT_EQ(controls[1].control, SERVICE_CONTROL_SESSIONCHANGE);
    EXPECT_EQ(controls[1].eventType, WTS_SESSION_LOCK);
    ASSERT_TRUE(controls[1].session.has_value());
    EXPECT_EQ(controls[1].session->sessionId, 2u);
    EXPECT_EQ(controls[1].session->userName, "alice");

    status.controlsAccepted |= SERVICE_ACCEPT_SHUTDOWN;
    ASSERT_TRUE(SetServiceStatus(handle, status));
    fake_.sink(SERVICE_CONTROL_SHUTDOWN, 0, nullptr);
    ASSERT_EQ(recorder_.Controls().size(), 3u);
    EXPECT_EQ(recorder_.Controls()[2].control, SERVICE_CONTROL_SHUTDOWN);

    // A stopped service gets nothing.
    status.currentState = SERVICE_STOPPED;
    ASSERT_TRUE(SetServiceStatus(handle, status));
    fake_.sink(SERVICE_CONTROL_SHUTDOWN, 0, nullptr);
    EXPECT_EQ(recorder_.Controls().size(), 3u);
}

TEST_F(ServiceControlTest, AStopBeforeTheServiceAcceptsItIsHeldUntilItDoes) {
    SAVED_DISPOSITION term(SIGTERM, SIG_IGN);
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerEx("WexoSvc", recorder_.Handler());
    ASSERT_NE(handle, 0u);
    SERVICE_STATUS status;
    status.serviceType = SERVICE_WIN32_OWN_PROCESS;
    status.currentState = SERVICE_START_PENDING;
    status.waitHint = 30000;
    ASSERT_TRUE(SetServiceStatus(handle, status));

    // From a source on the calling thread: held at once.
    fake_.sink(SERVICE_CONTROL_STOP, 0, nullptr);
    EXPECT_TRUE(recorder_.Controls().empty());
    // A real signal while starting: held too (a short real wait for a control that must not come).
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    EXPECT_FALSE(recorder_.WaitFor(1, 300ms));

    status.currentState = SERVICE_RUNNING;
    status.controlsAccepted = SERVICE_ACCEPT_STOP;
    status.waitHint = 0;
    ASSERT_TRUE(SetServiceStatus(handle, status));
    ASSERT_TRUE(recorder_.WaitFor(1)) << "the held stop was not delivered within 5 s";
    // Delivered once, from the signal thread.
    EXPECT_FALSE(recorder_.WaitFor(2, 200ms));
    auto controls = recorder_.Controls();
    EXPECT_EQ(controls[0].control, SERVICE_CONTROL_STOP);
    EXPECT_NE(controls[0].thread, std::this_thread::get_id());

    // A stop held while the service no longer accepts it is dropped when it reports stopped.
    status.currentState = SERVICE_STOP_PENDING;
    status.controlsAccepted = 0;
    ASSERT_TRUE(SetServiceStatus(handle, status));
    fake_.sink(SERVICE_CONTROL_STOP, 0, nullptr);
    status.currentState = SERVICE_STOPPED;
    ASSERT_TRUE(SetServiceStatus(handle, status));
    status.controlsAccepted = SERVICE_ACCEPT_STOP;
    ASSERT_TRUE(SetServiceStatus(handle, status));
    EXPECT_FALSE(recorder_.WaitFor(2, 200ms));
}

// ---- The dispatcher under systemd ----

class TEMP_FOLDER {
  public:
    TEMP_FOLDER() {
        char pattern[] = "/tmp/wexo-service-control-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TEMP_FOLDER() { std::filesystem::remove_all(path_); }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Sets or removes an environment variable while it lives.
class SCOPED_ENVIRONMENT {
  public:
    SCOPED_ENVIRONMENT(const char* name, const char* value) : name_(name) {
        const char* previous = getenv(name);
        if (previous != nullptr) {
            previous_ = previous;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~SCOPED_ENVIRONMENT() {
        if (previous_) {
            setenv(name_.c_str(), previous_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    std::optional<std::string> previous_;
};

TEST_F(ServiceControlTest, WithoutNotifySocketTheDispatcherFailsAsOutsideTheServiceManager) {
    SCOPED_ENVIRONMENT environment("NOTIFY_SOCKET", nullptr);
    bool ran = false;
    SetLastError(0);
    EXPECT_FALSE(
        StartServiceCtrlDispatcher("WexoSvc", [&](std::vector<std::string>) { ran = true; }));
    EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_FALSE(ran);
    {
        SCOPED_ENVIRONMENT empty("NOTIFY_SOCKET", "");
        EXPECT_FALSE(
            StartServiceCtrlDispatcher("WexoSvc", [&](std::vector<std::string>) { ran = true; }));
        EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    }
    EXPECT_FALSE(ran);
    EXPECT_FALSE(StartServiceCtrlDispatcher("WexoSvc", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ServiceControlTest, UnderSystemdTheServiceRunsAndItsStatusesBecomeNotifications) {
    TEMP_FOLDER folder;
    ASSERT_FALSE(folder.Path().empty());
    std::string socketPath = folder.Path() + "/notify";
    int receiver = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(bind(receiver, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    timeval limit{5, 0};
    ASSERT_EQ(setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    auto receive = [&]() -> std::string {
        char buffer[4096];
        ssize_t length = recv(receiver, buffer, sizeof buffer, 0);
        return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
    };

    std::vector<std::string> arguments;
    bool nestedFailed = false;
    uint32_t nestedError = 0;
    uint32_t wrongNameError = 0;
    {
        SCOPED_ENVIRONMENT environment("NOTIFY_SOCKET", socketPath.c_str());
        bool dispatched =
            StartServiceCtrlDispatcher("WexoSvc", [&](std::vector<std::string> serviceArguments) {
                arguments = std::move(serviceArguments);
                nestedFailed =
                    !StartServiceCtrlDispatcher("WexoSvc", [](std::vector<std::string>) {});
                nestedError = GetLastError();
                if (RegisterServiceCtrlHandlerEx("OtherSvc", recorder_.Handler()) == 0) {
                    wrongNameError = GetLastError();
                }
                // Service names compare without case, as the service control manager's do.
                SERVICE_STATUS_HANDLE handle =
                    RegisterServiceCtrlHandlerEx("wexosvc", recorder_.Handler());
                ASSERT_NE(handle, 0u);

                SERVICE_STATUS status;
                status.serviceType = SERVICE_WIN32_OWN_PROCESS;
                status.currentState = SERVICE_START_PENDING;
                status.checkPoint = 1;
                status.waitHint = 30000;
                EXPECT_TRUE(SetServiceStatus(handle, status));
                status.currentState = SERVICE_RUNNING;
                status.controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
                status.checkPoint = 0;
                status.waitHint = 0;
                EXPECT_TRUE(SetServiceStatus(handle, status));
                EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_STOP, 0, nullptr), 0u);
                status.currentState = SERVICE_STOP_PENDING;
                status.controlsAccepted = 0;
                status.checkPoint = 1;
                status.waitHint = 5000;
                EXPECT_TRUE(SetServiceStatus(handle, status));
                status.currentState = SERVICE_STOPPED;
                status.checkPoint = 0;
                status.waitHint = 0;
                status.win32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
                status.serviceSpecificExitCode = 7;
                EXPECT_TRUE(SetServiceStatus(handle, status));
            });
        EXPECT_TRUE(dispatched);
    }
    EXPECT_EQ(getenv("NOTIFY_SOCKET") == nullptr, true);
    EXPECT_EQ(arguments, std::vector<std::string>{"WexoSvc"});
    EXPECT_TRUE(nestedFailed);
    EXPECT_EQ(nestedError, ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(wrongNameError, ERROR_SERVICE_DOES_NOT_EXIST);

    EXPECT_EQ(receive(), "STATUS=start pending, check point 1\nEXTEND_TIMEOUT_USEC=30000000");
    EXPECT_EQ(receive(), "READY=1\nSTATUS=running");
    EXPECT_EQ(receive(),
              "STOPPING=1\nSTATUS=stop pending, check point 1\nEXTEND_TIMEOUT_USEC=5000000");
    EXPECT_EQ(receive(), "STATUS=stopped: service-specific error 7\nEXIT_STATUS=7");

    // The dispatcher's return took the handler down with it.
    EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_STOP, 0, nullptr), ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_TRUE(fake_.joined);
    EXPECT_EQ(ServiceExitStatus(LastServiceStatus()), 7);

    // A clean stop, and a failure with a Win32 code.
    {
        SCOPED_ENVIRONMENT environment("NOTIFY_SOCKET", socketPath.c_str());
        EXPECT_TRUE(StartServiceCtrlDispatcher("WexoSvc", [&](std::vector<std::string>) {
            SERVICE_STATUS_HANDLE handle =
                RegisterServiceCtrlHandlerEx("WexoSvc", recorder_.Handler());
            SERVICE_STATUS status;
            status.serviceType = SERVICE_WIN32_OWN_PROCESS;
            status.currentState = SERVICE_START_PENDING;
            EXPECT_TRUE(SetServiceStatus(handle, status));
            status.currentState = SERVICE_STOPPED;
            EXPECT_TRUE(SetServiceStatus(handle, status));
            status.win32ExitCode = ERROR_ACCESS_DENIED;
            EXPECT_TRUE(SetServiceStatus(handle, status));
        }));
    }
    EXPECT_EQ(receive(), "STATUS=start pending");
    EXPECT_EQ(receive(), "STATUS=stopped");
    EXPECT_EQ(receive(), "STATUS=stopped: " + SystemMessageText(ERROR_ACCESS_DENIED) +
                             " (error 5)\nEXIT_STATUS=1");
    close(receiver);

    // Without the dispatcher the same statuses are only kept, even with the variable set.
    SCOPED_ENVIRONMENT environment("NOTIFY_SOCKET", socketPath.c_str());
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerEx("WexoSvc", recorder_.Handler());
    SERVICE_STATUS status;
    status.currentState = SERVICE_RUNNING;
    EXPECT_TRUE(SetServiceStatus(handle, status));
}

TEST(ServiceExitStatusTest, FinalStatusesMapToProcessExitStatuses) {
    auto exitOf = [](uint32_t win32, uint32_t specific) {
        SERVICE_STATUS status;
        status.currentState = SERVICE_STOPPED;
        status.win32ExitCode = win32;
        status.serviceSpecificExitCode = specific;
        return ServiceExitStatus(status);
    };
    EXPECT_EQ(exitOf(0, 0), 0);
    EXPECT_EQ(exitOf(0, 12), 0);  // the specific code counts only with 1066
    EXPECT_EQ(exitOf(ERROR_SERVICE_SPECIFIC_ERROR, 1), 1);
    EXPECT_EQ(exitOf(ERROR_SERVICE_SPECIFIC_ERROR, 12), 12);
    EXPECT_EQ(exitOf(ERROR_SERVICE_SPECIFIC_ERROR, 255), 255);
    // Codes an exit status cannot carry are a plain failure, never 0.
    EXPECT_EQ(exitOf(ERROR_SERVICE_SPECIFIC_ERROR, 0), 1);
    EXPECT_EQ(exitOf(ERROR_SERVICE_SPECIFIC_ERROR, 256), 1);
    EXPECT_EQ(exitOf(ERROR_SERVICE_SPECIFIC_ERROR, 0xFFFFFFFF), 1);
    EXPECT_EQ(exitOf(ERROR_ACCESS_DENIED, 0), 1);
    EXPECT_EQ(exitOf(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 7), 1);
    EXPECT_EQ(exitOf(256, 0), 1);
}

// ---- logind ----

struct SUNK {
    uint32_t control;
    uint32_t eventType;
    bool hasSession;
    WTSSESSION_NOTIFICATION session;
};

std::vector<SUNK> Dispatch(const LOGIND_SIGNAL& signal) {
    std::vector<SUNK> sunk;
    DispatchLogindSignal(signal, [&](uint32_t control, uint32_t eventType, const void* data) {
        SUNK record{control, eventType, data != nullptr, {}};
        if (data != nullptr) {
            record.session = *static_cast<const WTSSESSION_NOTIFICATION*>(data);
        }
        sunk.push_back(record);
    });
    return sunk;
}

TEST(LogindMappingTest, ShutdownAndSleepSignalsBecomeShutdownAndPowerEvents) {
    LOGIND_SIGNAL signal;
    signal.kind = LOGIND_SIGNAL_KIND::PrepareForShutdown;
    signal.start = true;
    auto sunk = Dispatch(signal);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(sunk[0].control, SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(sunk[0].eventType, 0u);
    EXPECT_FALSE(sunk[0].hasSession);
    // A cancelled shutdown has no Windows event.
    signal.start = false;
    EXPECT_TRUE(Dispatch(signal).empty());

    signal.kind = LOGIND_SIGNAL_KIND::PrepareForSleep;
    signal.start = true;
    sunk = Dispatch(signal);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(sunk[0].control, SERVICE_CONTROL_POWEREVENT);
    EXPECT_EQ(sunk[0].eventType, PBT_APMSUSPEND);
    EXPECT_FALSE(sunk[0].hasSession);
    signal.start = false;
    sunk = Dispatch(signal);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(sunk[0].control, SERVICE_CONTROL_POWEREVENT);
    EXPECT_EQ(sunk[0].eventType, PBT_APMRESUMEAUTOMATIC);
}

TEST(LogindMappingTest, SessionSignalsBecomeSessionChangesWithTheSessionAndItsUser) {
    struct CASE {
        LOGIND_SIGNAL_KIND kind;
        uint32_t eventType;
    };
    for (CASE c : {CASE{LOGIND_SIGNAL_KIND::SessionNew, WTS_SESSION_LOGON},
                   CASE{LOGIND_SIGNAL_KIND::SessionRemoved, WTS_SESSION_LOGOFF},
                   CASE{LOGIND_SIGNAL_KIND::SessionLock, WTS_SESSION_LOCK},
                   CASE{LOGIND_SIGNAL_KIND::SessionUnlock, WTS_SESSION_UNLOCK}}) {
        LOGIND_SIGNAL signal;
        signal.kind = c.kind;
        signal.sessionId = "4";
        signal.userName = "alice";
        auto sunk = Dispatch(signal);
        ASSERT_EQ(sunk.size(), 1u);
        EXPECT_EQ(sunk[0].control, SERVICE_CONTROL_SESSIONCHANGE);
        EXPECT_EQ(sunk[0].eventType, c.eventType);
        ASSERT_TRUE(sunk[0].hasSession);
        EXPECT_EQ(sunk[0].session.sessionId, 4u);
        EXPECT_EQ(sunk[0].session.userName, "alice");
    }
    // A user name that could not be read stays empty.
    LOGIND_SIGNAL signal;
    signal.kind = LOGIND_SIGNAL_KIND::SessionRemoved;
    signal.sessionId = "c2";
    auto sunk = Dispatch(signal);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_EQ(sunk[0].session.userName, "");
    EXPECT_EQ(sunk[0].session.sessionId, LogindSessionNumber("c2"));
    // No sink: nothing happens.
    DispatchLogindSignal(signal, nullptr);
}

TEST(LogindMappingTest, SessionIdsAreTheirNumberOrAStableNumberWithTheTopBit) {
    EXPECT_EQ(LogindSessionNumber("0"), 0u);
    EXPECT_EQ(LogindSessionNumber("2"), 2u);
    EXPECT_EQ(LogindSessionNumber("0042"), 42u);
    EXPECT_EQ(LogindSessionNumber("2147483647"), 2147483647u);
    for (const char* other : {"c1", "c2", "2147483648", "99999999999", "", "-1", "1 ", "self"}) {
        uint32_t number = LogindSessionNumber(other);
        EXPECT_NE(number & 0x80000000u, 0u) << other;
        EXPECT_EQ(number, LogindSessionNumber(other)) << other;
    }
    EXPECT_NE(LogindSessionNumber("c1"), LogindSessionNumber("c2"));
    // FNV-1a of "c1", with the top bit.
    uint32_t hash = 2166136261u;
    for (char c : std::string("c1")) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    EXPECT_EQ(LogindSessionNumber("c1"), hash | 0x80000000u);
}

bool SystemBusPresent() {
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return (address != nullptr && *address != '\0') ||
           access("/run/dbus/system_bus_socket", F_OK) == 0;
}

TEST_F(ServiceControlTest, TheLogindWatcherStartsAndStopsCleanlyOrSaysOnceThatThereIsNoBus) {
    std::atomic<int> sunk{0};
    auto watcher = StartLogindWatcher([&](uint32_t, uint32_t, const void*) { sunk.fetch_add(1); });
    ASSERT_NE(watcher, nullptr);
    if (SystemBusPresent()) {
        // A smoke test: subscribed (or one line if logind is missing), then stopped and joined.
        std::this_thread::sleep_for(300ms);
        watcher->RequestStop();
        watcher->Join();
        EXPECT_LE(Lines().size(), 1u);
    } else {
        ASSERT_TRUE(WaitForLine()) << "no line about the missing system bus within 5 s";
        watcher->RequestStop();
        watcher->Join();
        auto lines = Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("os/win32: no system bus (", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find("running without logind's shutdown, sleep and session events"),
                  std::string::npos)
            << lines[0];
    }
    EXPECT_EQ(sunk.load(), 0);
    watcher.reset();
}

TEST_F(ServiceControlTest, TheRegistrationStartsTheRealWatcherByDefault) {
    SetLogindSourceStarter(DefaultLogindSourceStarter());
    ASSERT_TRUE(RegisterApplicationControlHandler(recorder_.Handler()));
    if (!SystemBusPresent()) {
        ASSERT_TRUE(WaitForLine());
        EXPECT_EQ(Lines().size(), 1u);
    }
    DeregisterControlHandler();
    // Registered again, the program still runs: the line comes once per start of the watcher.
    ASSERT_TRUE(RegisterApplicationControlHandler(recorder_.Handler()));
    EXPECT_EQ(DeliverServiceControl(SERVICE_CONTROL_STOP, 0, nullptr), 0u);
    DeregisterControlHandler();
    if (!SystemBusPresent()) {
        EXPECT_EQ(Lines().size(), 2u);
    }
}

TEST_F(ServiceControlTest, WithoutALogindStarterOnlyTheSignalsAreSources) {
    SetLogindSourceStarter(nullptr);
    SAVED_DISPOSITION term(SIGTERM, SIG_IGN);
    ASSERT_TRUE(RegisterApplicationControlHandler(recorder_.Handler()));
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    ASSERT_TRUE(recorder_.WaitFor(1));
    DeregisterControlHandler();
    EXPECT_EQ(fake_.starts, 0);
    EXPECT_TRUE(Lines().empty());
}

// ---- The watcher against a logind of the test's own, on a private bus ----

// A dbus-daemon of the test's own, reached as the system bus through DBUS_SYSTEM_BUS_ADDRESS.
class PRIVATE_BUS {
  public:
    // An empty result when it runs, else why not.
    std::string Start(const std::string& folder) {
        path_ = folder + "/system_bus_socket";
        address_ = "unix:path=" + path_;
        std::string addressArgument = "--address=" + address_;
        const char* arguments[] = {"dbus-daemon",           "--session", "--nofork", "--nopidfile",
                                   addressArgument.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        int error = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr,
                                 const_cast<char* const*>(arguments), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            pid_ = 0;
            return std::string("dbus-daemon cannot be started: ") + std::strerror(error);
        }
        auto end = std::chrono::steady_clock::now() + 5s;
        while (access(path_.c_str(), F_OK) != 0) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return "dbus-daemon ended at once (not installed?)";
            }
            if (std::chrono::steady_clock::now() > end) {
                return "dbus-daemon did not listen within 5 s";
            }
            std::this_thread::sleep_for(10ms);
        }
        return {};
    }
    ~PRIVATE_BUS() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& Address() const { return address_; }

    // A client connection of the test's own.
    sd_bus* Connect() const {
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) {
            return nullptr;
        }
        if (sd_bus_set_address(bus, address_.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
            sd_bus_start(bus) < 0) {
            sd_bus_unref(bus);
            return nullptr;
        }
        return bus;
    }

  private:
    pid_t pid_ = 0;
    std::string path_;
    std::string address_;
};

// Owns org.freedesktop.login1 on the private bus: answers Inhibit with a pipe's read end (the
// inhibitor lock is held while a reader of it is open) and the Name property of session "2", and
// emits the signals the test asks for. Everything on the bus happens on its own thread.
class FAKE_LOGIND {
  public:
    std::string Start(const PRIVATE_BUS& privateBus) {
        bus_ = privateBus.Connect();
        if (bus_ == nullptr) {
            return "cannot connect to the private bus";
        }
        if (sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0 ||
            sd_bus_add_object(bus_, nullptr, "/org/freedesktop/login1", &FAKE_LOGIND::OnManager,
                              this) < 0 ||
            sd_bus_path_encode("/org/freedesktop/login1/session", "2", &sessionPath_) < 0 ||
            sd_bus_add_object(bus_, nullptr, sessionPath_, &FAKE_LOGIND::OnSession, this) < 0) {
            return "cannot own login1 on the private bus";
        }
        thread_ = std::thread([this] { Loop(); });
        return {};
    }
    ~FAKE_LOGIND() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        for (int fd : writers_) {
            close(fd);
        }
        free(sessionPath_);
        sd_bus_flush_close_unref(bus_);
    }

    // Runs an action on the bus thread and waits for it.
    void Run(std::function<void(sd_bus*)> action) {
        std::unique_lock guard(lock_);
        actions_.push_back(std::move(action));
        ++queued_;
        done_.wait(guard, [&] { return ran_ == queued_; });
    }
    void Emit(const char* member, int start) {
        Run([=](sd_bus* bus) {
            sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               member, "b", start);
        });
    }
    void EmitSession(const char* member, const char* id) {
        Run([=](sd_bus* bus) {
            char* path = nullptr;
            sd_bus_path_encode("/org/freedesktop/login1/session", id, &path);
            sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                               member, "so", id, path);
            free(path);
        });
    }
    void EmitLock(const char* member) {
        std::string path = sessionPath_;
        Run([=](sd_bus* bus) {
            sd_bus_emit_signal(bus, path.c_str(), "org.freedesktop.login1.Session", member,
                               nullptr);
        });
    }

    // Waits until the watcher has asked for its inhibitor lock this many times.
    bool WaitForInhibits(int count) {
        std::unique_lock guard(lock_);
        return done_.wait_for(guard, 5s, [&] { return inhibits_ >= count; });
    }
    // Whether the latest lock is still held: its pipe has a reader.
    bool LatestLockHeld(std::chrono::milliseconds wait) {
        int fd;
        {
            std::lock_guard guard(lock_);
            if (writers_.empty()) {
                return false;
            }
            fd = writers_.back();
        }
        auto end = std::chrono::steady_clock::now() + wait;
        for (;;) {
            pollfd poller{fd, 0, 0};
            poll(&poller, 1, 0);
            if ((poller.revents & POLLERR) != 0) {
                return false;
            }
            if (std::chrono::steady_clock::now() >= end) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
    }

  private:
    void Loop() {
        while (!stop_) {
            std::vector<std::function<void(sd_bus*)>> actions;
            {
                std::lock_guard guard(lock_);
                actions.swap(actions_);
            }
            for (auto& action : actions) {
                action(bus_);
                sd_bus_flush(bus_);
                std::lock_guard guard(lock_);
                ++ran_;
                done_.notify_all();
            }
            int r = sd_bus_process(bus_, nullptr);
            if (r < 0) {
                return;
            }
            if (r == 0) {
                sd_bus_wait(bus_, 10'000);
            }
        }
    }

    static int OnManager(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FAKE_LOGIND*>(userdata);
        if (!sd_bus_message_is_method_call(message, "org.freedesktop.login1.Manager", "Inhibit")) {
            return 0;
        }
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        sd_bus_message_read(message, "ssss", &what, &who, &why, &mode);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return -errno;
        }
        {
            std::lock_guard guard(self->lock_);
            self->inhibitWhat_ = what != nullptr ? what : "";
            self->inhibitMode_ = mode != nullptr ? mode : "";
            self->writers_.push_back(fds[1]);
            ++self->inhibits_;
            self->done_.notify_all();
        }
        int r = sd_bus_reply_method_return(message, "h", fds[0]);
        close(fds[0]);
        return r < 0 ? r : 1;
    }

    static int OnSession(sd_bus_message* message, void*, sd_bus_error*) {
        if (!sd_bus_message_is_method_call(message, "org.freedesktop.DBus.Properties", "Get")) {
            return 0;
        }
        const char *interface = nullptr, *property = nullptr;
        sd_bus_message_read(message, "ss", &interface, &property);
        if (interface == nullptr || property == nullptr ||
            std::string_view(interface) != "org.freedesktop.login1.Session" ||
            std::string_view(property) != "Name") {
            return sd_bus_reply_method_errorf(message, "org.freedesktop.DBus.Error.UnknownProperty",
                                              "no such property");
        }
        int r = sd_bus_reply_method_return(message, "v", "s", "alice");
        return r < 0 ? r : 1;
    }

    sd_bus* bus_ = nullptr;
    char* sessionPath_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable done_;
    std::vector<std::function<void(sd_bus*)>> actions_;
    uint64_t queued_ = 0;
    uint64_t ran_ = 0;
    int inhibits_ = 0;
    std::vector<int> writers_;

  public:
    std::string inhibitWhat_;
    std::string inhibitMode_;
};

TEST_F(ServiceControlTest, TheWatcherTurnsLogindsSignalsIntoControlsOnAPrivateBus) {
    TEMP_FOLDER folder;
    PRIVATE_BUS privateBus;
    if (std::string why = privateBus.Start(folder.Path()); !why.empty()) {
        GTEST_SKIP() << why;
    }
    SCOPED_ENVIRONMENT environment("DBUS_SYSTEM_BUS_ADDRESS", privateBus.Address().c_str());
    FAKE_LOGIND logind;
    ASSERT_EQ(logind.Start(privateBus), "");

    SetLogindSourceStarter(DefaultLogindSourceStarter());
    ASSERT_TRUE(RegisterApplicationControlHandler(recorder_.Handler()));
    // The lock is asked for once the subscriptions are in place.
    ASSERT_TRUE(logind.WaitForInhibits(1));
    EXPECT_EQ(logind.inhibitWhat_, "sleep:shutdown");
    EXPECT_EQ(logind.inhibitMode_, "delay");
    EXPECT_TRUE(logind.LatestLockHeld(0ms));

    // A signal from anyone but logind is not logind's.
    sd_bus* intruder = privateBus.Connect();
    ASSERT_NE(intruder, nullptr);
    sd_bus_emit_signal(intruder, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                       "PrepareForShutdown", "b", 1);
    sd_bus_flush(intruder);
    // A round trip through the daemon: the intruder's signal has been routed before what follows.
    sd_bus_call_method(intruder, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus", "GetId", nullptr, nullptr, nullptr);
    sd_bus_flush_close_unref(intruder);

    logind.Emit("PrepareForSleep", 1);
    ASSERT_TRUE(recorder_.WaitFor(1));
    // The handler has had the suspend: the lock is given back, and taken again on resume.
    EXPECT_FALSE(logind.LatestLockHeld(5000ms));
    logind.Emit("PrepareForSleep", 0);
    ASSERT_TRUE(recorder_.WaitFor(2));
    ASSERT_TRUE(logind.WaitForInhibits(2));
    EXPECT_TRUE(logind.LatestLockHeld(0ms));

    logind.EmitSession("SessionNew", "2");
    logind.EmitLock("Lock");
    logind.EmitLock("Unlock");
    logind.EmitSession("SessionRemoved", "2");
    logind.EmitSession("SessionNew", "c1");  // no such object: no name to read
    logind.Emit("PrepareForShutdown", 0);    // a cancelled shutdown: nothing
    logind.Emit("PrepareForShutdown", 1);
    ASSERT_TRUE(recorder_.WaitFor(8));

    auto controls = recorder_.Controls();
    ASSERT_EQ(controls.size(), 8u);
    EXPECT_EQ(controls[0].control, SERVICE_CONTROL_POWEREVENT);
    EXPECT_EQ(controls[0].eventType, PBT_APMSUSPEND);
    EXPECT_EQ(controls[1].control, SERVICE_CONTROL_POWEREVENT);
    EXPECT_EQ(controls[1].eventType, PBT_APMRESUMEAUTOMATIC);
    const uint32_t sessionEvents[] = {WTS_SESSION_LOGON, WTS_SESSION_LOCK, WTS_SESSION_UNLOCK,
                                      WTS_SESSION_LOGOFF};
    for (size_t i = 0; i < 4; ++i) {
        const CONTROL& control = controls[2 + i];
        EXPECT_EQ(control.control, SERVICE_CONTROL_SESSIONCHANGE) << i;
        EXPECT_EQ(control.eventType, sessionEvents[i]) << i;
        ASSERT_TRUE(control.session.has_value()) << i;
        EXPECT_EQ(control.session->sessionId, 2u) << i;
        EXPECT_EQ(control.session->userName, "alice") << i;
    }
    EXPECT_EQ(controls[6].eventType, WTS_SESSION_LOGON);
    ASSERT_TRUE(controls[6].session.has_value());
    EXPECT_EQ(controls[6].session->sessionId, LogindSessionNumber("c1"));
    EXPECT_EQ(controls[6].session->userName, "");
    EXPECT_EQ(controls[7].control, SERVICE_CONTROL_SHUTDOWN);
    EXPECT_FALSE(logind.LatestLockHeld(5000ms));
    EXPECT_TRUE(Lines().empty()) << Lines()[0];

    // Deregistered, the watcher is gone: nothing more arrives.
    DeregisterControlHandler();
    logind.Emit("PrepareForSleep", 1);
    EXPECT_FALSE(recorder_.WaitFor(9, 200ms));
}

}  // namespace
}  // namespace os
