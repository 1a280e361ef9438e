// The service program as a real process: started as an application against the reference policy
// server on loopback, stopped by SIGTERM; its exit status and the order of its start and stop
// lines. And the outcomes of the command line without a service.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/peers/child_process.h"
#include "tools/peers/policy_server.h"

namespace {

using std::chrono::seconds;
using wexo::peers::CHILD_PROCESS;

const std::string kProgram = std::string(WEXO_BINARY_DIR) + "/tools/wexosvc";

// Not started by systemd, whatever the test runner's environment says; console output.
std::unique_ptr<CHILD_PROCESS> StartProgram(const std::vector<std::string>& arguments,
                                            std::vector<std::string> environment = {}) {
    environment.push_back("NOTIFY_SOCKET=");
    environment.push_back("WEXO_REGISTRY_FILE=");
    // These tests are of the service program alone: the driver runs inside it.
    environment.push_back("WEXO_IN_PROCESS_DRIVER=1");
    // Check-in goes to a loopback port nobody listens on, never to the production server.
    environment.push_back("WEXO_API_SERVER=127.0.0.1:9");
    return CHILD_PROCESS::Start(kProgram, arguments, environment);
}

TEST(WexoSvcProcessTest, RunsAsAnApplicationAndStopsCleanlyOnSigterm) {
    wexo::peers::PolicyServer server;
    ASSERT_TRUE(server.Start());
    auto child =
        StartProgram({"-A"}, {"WexoSvc=0x120", "WEXO_POLICY_SERVERS=" + server.HostPort()});
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(child->ReadUntil("Service started", seconds(30))) << child->Output();
    ASSERT_TRUE(child->Signal(SIGTERM));
    const int status = child->Wait(seconds(30));
    const std::string& log = child->Output();
    EXPECT_EQ(status, 0) << log;
    const std::vector<std::string> order = {"Running as application",
                                            "WexoSvc.exe v6.2.9 build 4",
                                            "Service registered",
                                            "Service started",
                                            "Stopping Service: Reason = Service control: stop",
                                            "Stop service event signaled",
                                            "Uninitializing service"};
    size_t previous = 0;
    for (const std::string& line : order) {
        const size_t at = log.find(line, previous);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << log;
        previous = at;
    }
    server.Stop();
}

TEST(WexoSvcProcessTest, ASigtermDuringTheStartEndsInACleanStop) {
    // No policy server answers here, so the start is still building its server set.
    auto child = StartProgram({"-A"}, {"WexoSvc=0x120", "WEXO_POLICY_SERVERS=127.0.0.1:9"});
    ASSERT_NE(child, nullptr);
    // The settings are loaded once the control handler is in place.
    ASSERT_TRUE(child->ReadUntil("Loading registry settings", seconds(30))) << child->Output();
    ASSERT_TRUE(child->Signal(SIGTERM));
    EXPECT_EQ(child->Wait(seconds(30)), 0) << child->Output();
    const std::string& log = child->Output();
    const size_t stop = log.find("Stopping Service: Reason = Service control: stop");
    ASSERT_NE(stop, std::string::npos) << log;
    EXPECT_NE(log.find("Uninitializing service", stop), std::string::npos) << log;
    EXPECT_NE(log.find("stopped normally", stop), std::string::npos) << log;
}

// The socket systemd gives a notify service: the test reads the status datagrams the program sends.
class NOTIFY_SOCKET {
  public:
    NOTIFY_SOCKET() {
        path_ = (std::filesystem::temp_directory_path() /
                 ("wexo-notify-" + std::to_string(getpid()) + ".sock"))
                    .string();
        std::filesystem::remove(path_);
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NOTIFY_SOCKET() {
        if (fd_ >= 0) {
            close(fd_);
        }
        std::filesystem::remove(path_);
    }
    bool Bound() const { return bound_; }
    const std::string& Path() const { return path_; }
    // The next datagram within the limit, or empty.
    std::string Next(std::chrono::milliseconds limit) {
        pollfd fd{fd_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(limit.count())) <= 0) {
            return {};
        }
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(WexoSvcProcessTest, UnderSystemdItReportsItsStatesAndStopsOnSigterm) {
    NOTIFY_SOCKET notify;
    ASSERT_TRUE(notify.Bound());
    wexo::peers::PolicyServer server;
    ASSERT_TRUE(server.Start());
    auto child = CHILD_PROCESS::Start(
        kProgram, {},
        {"NOTIFY_SOCKET=" + notify.Path(), "WEXO_REGISTRY_FILE=", "WEXO_IN_PROCESS_DRIVER=1",
         "WexoSvc=0x120", "WEXO_POLICY_SERVERS=" + server.HostPort()});
    ASSERT_NE(child, nullptr);
    // Start pending with its 30-second wait hint, then running.
    const std::string pending = notify.Next(seconds(30));
    EXPECT_NE(pending.find("STATUS=start pending"), std::string::npos) << pending;
    EXPECT_NE(pending.find("EXTEND_TIMEOUT_USEC=30000000"), std::string::npos) << pending;
    const std::string running = notify.Next(seconds(30));
    EXPECT_NE(running.find("READY=1"), std::string::npos) << running << child->Output();
    ASSERT_TRUE(child->ReadUntil("Service started", seconds(30))) << child->Output();
    ASSERT_TRUE(child->Signal(SIGTERM));
    const std::string stopping = notify.Next(seconds(30));
    EXPECT_NE(stopping.find("STOPPING=1"), std::string::npos) << stopping;
    const std::string stopped = notify.Next(seconds(30));
    EXPECT_NE(stopped.find("STATUS=stopped"), std::string::npos) << stopped;
    EXPECT_EQ(child->Wait(seconds(30)), 0) << child->Output();
    const std::string& log = child->Output();
    EXPECT_EQ(log.find("Running as application"), std::string::npos) << log;
    EXPECT_NE(log.find("Exit ServiceMain"), std::string::npos) << log;
    EXPECT_NE(log.find("Exit program"), std::string::npos) << log;
    server.Stop();
}

TEST(WexoSvcProcessTest, NotStartedBySystemdItRunsAsAnApplication) {
    wexo::peers::PolicyServer server;
    ASSERT_TRUE(server.Start());
    auto child = StartProgram({}, {"WexoSvc=0x120", "WEXO_POLICY_SERVERS=" + server.HostPort()});
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(child->ReadUntil("Service started", seconds(30))) << child->Output();
    EXPECT_NE(child->Output().find("Running as application"), std::string::npos);
    ASSERT_TRUE(child->Signal(SIGTERM));
    EXPECT_EQ(child->Wait(seconds(30)), 0) << child->Output();
    server.Stop();
}

TEST(WexoSvcProcessTest, AnInvalidArgumentIsReportedWithExitCodeTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"CHECK_IN"}, {"-V", "-PING_SERVER"}, {"-NOSUCH"}, {"-POLICY_SERVER", "abc"}};
    for (const auto& arguments : cases) {
        auto child = StartProgram(arguments);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(child->Wait(seconds(20)), 2) << arguments.back() << "\n" << child->Output();
        EXPECT_NE(child->Output().find("Corvane Ostrel Warning: Invalid command line argument: \"" +
                                       arguments.back() + "\""),
                  std::string::npos)
            << child->Output();
        // Nothing of the service started.
        EXPECT_EQ(child->Output().find("Service"), std::string::npos) << child->Output();
    }
}

TEST(WexoSvcProcessTest, VersionPrintsTheBannerAndAnUpdateFromNowhereSaysWhy) {
    auto version = StartProgram({"-VERSION"}, {"WexoSvc=0x20"});
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->Wait(seconds(20)), 0) << version->Output();
    EXPECT_NE(version->Output().find("Platform = Linux_x64"), std::string::npos)
        << version->Output();

    auto update = StartProgram({"-UPDATE", "https://127.0.0.1:9/pkg.zip"}, {"WexoSvc=0x20"});
    ASSERT_NE(update, nullptr);
    EXPECT_EQ(update->Wait(seconds(20)), 0) << update->Output();
    EXPECT_NE(update->Output().find("Unable to download update package."), std::string::npos)
        << update->Output();
}

TEST(WexoSvcProcessTest, DeviceAndProcessModesShowTheIdentityOfThisMachine) {
    auto device = StartProgram({"-DEVICE"}, {"WexoSvc=0x20"});
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->Wait(seconds(20)), 0) << device->Output();
    const std::string& out = device->Output();
    const size_t at = out.find("Unique device ID = ");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string id = out.substr(at + 19, 36);
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << id;
    EXPECT_NE(out.find("Mac address = "), std::string::npos) << out;

    auto processes = StartProgram({"-SHOW_PROCESSES"}, {"WexoSvc=0x20"});
    ASSERT_NE(processes, nullptr);
    const pid_t pid = processes->Pid();
    EXPECT_EQ(processes->Wait(seconds(20)), 0) << processes->Output();
    // The program lists itself.
    EXPECT_NE(processes->Output().find("PID=" + std::to_string(pid) + ","), std::string::npos)
        << processes->Output();
}

}  // namespace
