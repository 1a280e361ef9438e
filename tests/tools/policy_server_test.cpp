// The reference policy server: its pages in process (plain and TLS, with the answers a test sets
// and the peer's switches) and the program that serves them from the command line.
#include "tools/peers/policy_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

extern char** environ;

namespace wexo::peers {
namespace {

httplib::Client MakeClient(const PolicyServer& server) {
    httplib::Client client("127.0.0.1", server.Port());
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(2, 0);
    return client;
}

TEST(PolicyServerTest, AnswersThePingPageToHeadAndGet) {
    PolicyServer server;
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.HostPort(), "127.0.0.1:" + std::to_string(server.Port()));
    auto client = MakeClient(server);
    auto head = client.Head("/ostrel_ping");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
    auto get = client.Get("/ostrel_ping");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 200);
    EXPECT_EQ(server.Pages().PingCount(), 2u);
    EXPECT_EQ(server.Peer().RequestCount("HEAD", "/ostrel_ping"), 1u);
    // Other pages are not (yet) served.
    auto other = client.Get("/access/mobile");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 404);
}

TEST(PolicyServerTest, PingAnswersCanPlayACaptivePortalOrAFailure) {
    PolicyServer server;
    ASSERT_TRUE(server.Start());
    auto client = MakeClient(server);
    server.Pages().SetPingAnswer(302, "http://portal.example/login");
    auto redirected = client.Head("/ostrel_ping");
    ASSERT_TRUE(redirected);
    EXPECT_EQ(redirected->status, 302);
    EXPECT_EQ(redirected->get_header_value("Location"), "http://portal.example/login");
    server.Pages().SetPingAnswer(503);
    auto failed = client.Head("/ostrel_ping");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 503);
    EXPECT_FALSE(failed->has_header("Location"));
}

TEST(PolicyServerTest, ServesOverTlsAndHonoursThePeerSwitches) {
    PolicyServer server(HttpsPeer());
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(server.IsHttps());
    httplib::SSLClient client("127.0.0.1", server.Port());
    client.enable_server_certificate_verification(false);
    client.set_connection_timeout(2, 0);
    auto head = client.Head("/ostrel_ping");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(server.Peer().LastRequest().tls);

    ASSERT_TRUE(server.Peer().SetRefuse(true));
    EXPECT_FALSE(client.Head("/ostrel_ping"));
    ASSERT_TRUE(server.Peer().SetRefuse(false));
    EXPECT_TRUE(client.Head("/ostrel_ping"));
}

// ---- The program.

class PolicyServerProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        program_ = std::string(WEXO_BINARY_DIR) + "/tools/policy-server";
        if (!std::filesystem::exists(program_)) {
            GTEST_SKIP() << "build the policy-server target first: " << program_;
        }
    }

    // Starts the program with its output on a pipe; returns its pid (0 on failure).
    pid_t Spawn(std::vector<std::string> arguments, int& output) {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0) {
            return 0;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
        arguments.insert(arguments.begin(), program_);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawn(&pid, program_.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid = 0;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(pipeEnds[1]);
        output = pipeEnds[0];
        return pid;
    }

    // One line of output (without its end), waiting at most two seconds.
    static std::string ReadLine(int fd) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        fcntl(fd, F_SETFL, O_NONBLOCK);
        while (std::chrono::steady_clock::now() < end) {
            char c = 0;
            const ssize_t got = read(fd, &c, 1);
            if (got == 1) {
                if (c == '\n') {
                    return line;
                }
                line.push_back(c);
            } else if (got == 0) {
                return line;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        return line;
    }

    static int ExitCode(pid_t pid) {
        int status = 0;
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -2;
    }

    std::string program_;
};

TEST_F(PolicyServerProgramTest, ServesThePingPageUntilTerminated) {
    int output = -1;
    const pid_t pid = Spawn({"--port", "0"}, output);
    ASSERT_NE(pid, 0);
    const std::string line = ReadLine(output);
    const std::string prefix = "Policy server listening on http://127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::stoi(line.substr(prefix.size()));
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    auto head = client.Head("/ostrel_ping");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    kill(pid, SIGTERM);
    EXPECT_EQ(ExitCode(pid), 0);
    close(output);
}

TEST_F(PolicyServerProgramTest, ListensOnTheGivenPortOverTls) {
    // A port that is free now: the system's choice for a socket that is closed again.
    int port = 0;
    {
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(probe, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = ntohs(address.sin_port);
        close(probe);
    }
    int output = -1;
    const pid_t pid = Spawn({"--https", "--port", std::to_string(port)}, output);
    ASSERT_NE(pid, 0);
    EXPECT_EQ(ReadLine(output),
              "Policy server listening on https://127.0.0.1:" + std::to_string(port));
    httplib::SSLClient client("127.0.0.1", port);
    client.enable_server_certificate_verification(false);
    client.set_connection_timeout(2, 0);
    auto head = client.Head("/ostrel_ping");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    kill(pid, SIGINT);
    EXPECT_EQ(ExitCode(pid), 0);
    close(output);
}

TEST_F(PolicyServerProgramTest, RefusesBadArguments) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--port", "http"}, {"--port", "70000"}, {"--verbose"}, {"--port"}}) {
        int output = -1;
        const pid_t pid = Spawn(arguments, output);
        ASSERT_NE(pid, 0);
        EXPECT_EQ(ExitCode(pid), 2) << arguments[0];
        close(output);
    }
}

}  // namespace
}  // namespace wexo::peers
