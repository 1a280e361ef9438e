// The transparent proxy over real sockets on loopback: a client connects to the proxy's port, the
// proxy opens the connection to a test server (the destination a redirect would give, set by the
// test), and the engine's stream callout (the test's) decides what passes.
#include "os/wfp/linux/tcp_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/os/wfp/linux/socket_util.h"
#include "tests/os/wfp/wfp_test_util.h"

namespace os::wfplinux {
namespace {

using namespace std::chrono_literals;

int Listener(uint16_t* port) {
    int fd = wexo::test::LoopbackListener(port);
    EXPECT_GE(fd, 0);
    return fd;
}

// No test waits for ever on a proxy that lost a byte.
int Connect(uint16_t port) {
    int fd = wexo::test::ConnectLoopback(port, 10);
    EXPECT_GE(fd, 0);
    return fd;
}

void SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << std::strerror(errno);
        done += static_cast<size_t>(n);
    }
}

// Everything until the peer's FIN; *error gets the errno of a failed read (ECONNRESET).
std::string ReadToEnd(int fd, int* error = nullptr) {
    std::string all;
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (error != nullptr) {
                *error = n < 0 ? errno : 0;
            }
            return all;
        }
        all.append(buffer, static_cast<size_t>(n));
    }
}

class TcpProxyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = Listener(&serverPort_);
        TCP_PROXY_OPTIONS options;
        options.maxBufferedPerDirection = 64 * 1024;
        options.connectTimeoutMs = 2'000;
        options.destination = [this](int, PROXIED_CONNECTION* connection) {
            auto& to = reinterpret_cast<sockaddr_in&>(connection->destination);
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(destinationPort_.load());
            return true;
        };
        options.owner = [](const PROXIED_CONNECTION&) { return std::optional<uint64_t>(77); };
        proxy_ = std::make_unique<TCP_PROXY>(FilterEngine::Current(), std::move(options));
        std::string why;
        ASSERT_EQ(proxy_->Start(&why), 0) << why;
        destinationPort_ = serverPort_;
    }
    void TearDown() override {
        proxy_.reset();
        close(server_);
    }

    // The test server's end of the next connection.
    int AcceptServer() {
        pollfd p{server_, POLLIN, 0};
        if (poll(&p, 1, 10'000) != 1) {
            return -1;
        }
        int fd = accept4(server_, nullptr, nullptr, SOCK_CLOEXEC);
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return fd;
    }

    // Every flow passes at its first bytes, and so goes over to splice.
    void LetFlowsPass() {
        harness_.SetDecide([](const testing::INDICATION&, FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                              FWPS_CLASSIFY_OUT& out) {
            packet.streamAction = FWPS_STREAM_ACTION_ALLOW_CONNECTION;
            out.actionType = FWP_ACTION_PERMIT;
        });
    }

    template <typename CONDITION>
    static bool Eventually(CONDITION condition) {
        for (int i = 0; i < 2000 && !condition(); ++i) {
            std::this_thread::sleep_for(1ms);
        }
        return condition();
    }

    testing::StreamHarness harness_;
    int server_ = -1;
    uint16_t serverPort_ = 0;
    std::atomic<uint16_t> destinationPort_{0};
    std::unique_ptr<TCP_PROXY> proxy_;
};

// Permitted bytes go on in order both ways; each FIN is a half-close that reaches the other end
// after the bytes, and the flow is presented with its client, destination and process.
TEST_F(TcpProxyTest, PermittedBytesAndHalfClosesGoThroughInOrder) {
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    SendAll(client, "GET / HTTP/1.1\r\n");
    SendAll(client, "Host: a.test\r\n\r\n");
    shutdown(client, SHUT_WR);
    EXPECT_EQ(ReadToEnd(server), "GET / HTTP/1.1\r\nHost: a.test\r\n\r\n");
    SendAll(server, "HTTP/1.1 200 OK\r\n\r\nhello");
    shutdown(server, SHUT_WR);
    EXPECT_EQ(ReadToEnd(client), "HTTP/1.1 200 OK\r\n\r\nhello");
    close(client);
    close(server);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 1; }))
        << "the flow ends and its flow-delete runs once";
    auto seen = harness_.Indications();
    ASSERT_FALSE(seen.empty());
    EXPECT_NE(seen.front().flags & FWPS_STREAM_FLAG_SEND, 0u);
}

// Absorbed bytes never reach the server; what the callout injects reaches the side it names.
TEST_F(TcpProxyTest, AbsorbedBytesStayAndInjectedOnesArrive) {
    harness_.SetDecide([this](const testing::INDICATION& seen, FWPS_STREAM_CALLOUT_IO_PACKET&,
                              FWPS_CLASSIFY_OUT& out) {
        if ((seen.flags & FWPS_STREAM_FLAG_SEND) != 0 && seen.dataLength > 0) {
            testing::SetAbsorb(out);
            const std::string_view reply = "HTTP/1.1 302 Found\r\n\r\n";
            FwpsStreamInjectAsync(harness_.Injection(), seen.flowHandle, harness_.StreamCalloutId(),
                                  FWPS_LAYER_STREAM_V4, FWPS_STREAM_FLAG_RECEIVE,
                                  testing::MakeChain({reply}), reply.size(), nullptr);
            FwpsStreamInjectAsync(harness_.Injection(), seen.flowHandle, harness_.StreamCalloutId(),
                                  FWPS_LAYER_STREAM_V4,
                                  FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT,
                                  NetBufferListChain(), 0, nullptr);
        }
    });
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    SendAll(client, "GET /blocked HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ReadToEnd(client), "HTTP/1.1 302 Found\r\n\r\n");
    shutdown(client, SHUT_WR);
    EXPECT_EQ(ReadToEnd(server), "") << "the absorbed request never reached the server";
    close(client);
    close(server);
}

// A dropped connection resets both sockets.
TEST_F(TcpProxyTest, ADroppedConnectionResetsBothEnds) {
    harness_.SetDecide([](const testing::INDICATION& seen, FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                          FWPS_CLASSIFY_OUT& out) {
        if (seen.dataLength > 0) {
            testing::SetDrop(packet, out);
        }
    });
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    SendAll(client, "\x16\x03\x01 a hello for a blocked name");
    int clientError = 0, serverError = 0;
    EXPECT_EQ(ReadToEnd(client, &clientError), "");
    EXPECT_EQ(ReadToEnd(server, &serverError), "");
    EXPECT_EQ(clientError, ECONNRESET);
    EXPECT_EQ(serverError, ECONNRESET);
    close(client);
    close(server);
}

// An upstream that refuses the connection: the client is reset, nothing is left open.
TEST_F(TcpProxyTest, AConnectionTheServerRefusesIsResetTowardTheClient) {
    uint16_t closedPort = 0;
    close(Listener(&closedPort));  // a port nobody listens on
    destinationPort_ = closedPort;
    int client = Connect(proxy_->Port());
    int error = 0;
    EXPECT_EQ(ReadToEnd(client, &error), "");
    EXPECT_EQ(error, ECONNRESET);
    close(client);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().upstreamFailed == 1; }));
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
}

// A server that does not read cannot make the proxy take the client's bytes without bound.
TEST_F(TcpProxyTest, AReceiverThatDoesNotReadHoldsBackItsSender) {
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    const int small = 64 * 1024;
    setsockopt(server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string chunk(64 * 1024, 'x');
    size_t sent = 0;
    for (int stalls = 0; stalls < 20 && sent < (256u << 20);) {
        ssize_t n = send(client, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            stalls = 0;
        } else {
            ++stalls;
            std::this_thread::sleep_for(5ms);
        }
    }
    // The kernel's socket buffers grow as they like; what the proxy itself holds is its bound
    // and one read.
    EXPECT_LE(proxy_->Counts().bufferedHighWater, 64u * 1024 + 64 * 1024);
    EXPECT_LT(sent, 256u << 20) << "the client never had to stop";
    // Once the server reads, everything arrives, in order and complete.
    shutdown(client, SHUT_WR);
    std::string got = ReadToEnd(server);
    EXPECT_EQ(got.size(), sent);
    EXPECT_EQ(got.find_first_not_of('x'), std::string::npos);
    close(client);
    close(server);
}

// A flow the callout lets pass moves by splice from then on, complete and in order.
TEST_F(TcpProxyTest, APassedFlowMovesBySpliceAndLosesNothing) {
    LetFlowsPass();
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    SendAll(client, "GET /big HTTP/1.1\r\n\r\n");
    char head[64];
    ASSERT_GT(recv(server, head, sizeof head, 0), 0);
    std::string body;
    for (int i = 0; i < (32 << 20) / 16; ++i) {
        char line[17];
        std::snprintf(line, sizeof line, "%015d\n", i);
        body.append(line, 16);
    }
    std::thread writer([&] {
        SendAll(server, body);
        shutdown(server, SHUT_WR);
    });
    std::string got = ReadToEnd(client);
    writer.join();
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body) << "bytes lost or out of order";
    EXPECT_EQ(proxy_->Counts().spliced, 1u);
    close(client);
    close(server);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
}

// A client that half-closes and then resets while a passed flow still brings it bytes: the
// splice into its socket fails with EPIPE, which must reset the connection, not raise a SIGPIPE
// that ends the host.
TEST_F(TcpProxyTest, AClientResetDuringASplicedDownloadEndsOnlyItsConnection) {
    LetFlowsPass();
    for (int round = 0; round < 5; ++round) {
        int client = Connect(proxy_->Port());
        int server = AcceptServer();
        ASSERT_GE(server, 0);
        SendAll(client, "GET /big HTTP/1.1\r\n\r\n");
        char head[64];
        ASSERT_GT(recv(server, head, sizeof head, 0), 0);
        shutdown(client, SHUT_WR);
        linger reset{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        const std::string chunk(256 * 1024, 'x');
        send(server, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        close(client);
        // The server goes on sending until the proxy gives up on the connection.
        for (int i = 0; i < 200 && send(server, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0;
             ++i) {
        }
        close(server);
        EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
    }
    // The proxy still serves.
    harness_.SetDecide(nullptr);
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    close(client);
    close(server);
}

// With the descriptors used up, a new connection is refused at once (reset) and the ones already
// open go on working.
TEST(TcpProxyLimitsTest, RunningOutOfDescriptorsRefusesNewConnectionsNotOldOnes) {
#if defined(__SANITIZE_ADDRESS__)
    // UBSan's vptr check probes memory through a pipe of its own; with no descriptor left it
    // takes every object for one with an invalid vptr.
    GTEST_SKIP() << "the sanitizers need descriptors this test takes away";
#endif
    testing::StreamHarness harness;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    uint16_t serverPort = 0;
    int server = Listener(&serverPort);
    TCP_PROXY_OPTIONS options;
    options.destination = [serverPort](int, PROXIED_CONNECTION* connection) {
        auto& to = reinterpret_cast<sockaddr_in&>(connection->destination);
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(serverPort);
        return true;
    };
    options.raiseDescriptorLimit = false;  // the test's tight limit must stay
    TCP_PROXY proxy(FilterEngine::Current(), std::move(options));
    // Room for this process's own descriptors and a few connections, no more.
    const int used =
        static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                       std::filesystem::directory_iterator()));
    rlimit tight{static_cast<rlim_t>(used + 24), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string why;
    ASSERT_EQ(proxy.Start(&why), 0) << why;
    struct PAIR {
        int client;
        int server;
    };
    std::vector<PAIR> pairs;
    // The test's own sockets draw on a reserve, so that the proxy is the one that runs out.
    std::vector<int> reserve;
    for (int i = 0; i < 12; ++i) {
        reserve.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    auto spend = [&] {
        if (!reserve.empty()) {
            close(reserve.back());
            reserve.pop_back();
        }
    };
    int refusedError = 0;
    for (int i = 0; i < 60 && refusedError == 0 && !reserve.empty(); ++i) {
        spend();
        int client = wexo::test::ConnectLoopback(proxy.Port(), 2);
        if (client < 0) {
            continue;
        }
        pollfd accept{server, POLLIN, 0};
        if (poll(&accept, 1, 300) == 1) {
            spend();
            int end = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
            if (end >= 0) {
                pairs.push_back({client, end});
                continue;
            }
        }
        // Not passed on: the proxy must have reset it rather than leave it hanging.
        char byte;
        if (recv(client, &byte, 1, 0) < 0) {
            refusedError = errno;
        }
        close(client);
    }
    for (int fd : reserve) {
        close(fd);
    }
    EXPECT_EQ(refusedError, ECONNRESET);
    EXPECT_GE(proxy.Counts().refused + proxy.Counts().upstreamFailed, 1u);
    ASSERT_FALSE(pairs.empty());
    // The first connection still carries bytes both ways.
    SendAll(pairs.front().client, "still here");
    char got[16] = {};
    EXPECT_EQ(recv(pairs.front().server, got, sizeof got, 0), 10);
    EXPECT_STREQ(got, "still here");
    for (const PAIR& pair : pairs) {
        close(pair.client);
        close(pair.server);
    }
    proxy.Stop();
    close(server);
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

// Stopping the proxy resets what is still open; the flows end.
TEST_F(TcpProxyTest, StoppingResetsOpenConnections) {
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    SendAll(client, "x");
    ASSERT_TRUE(Eventually([&] { return !harness_.Indications().empty(); }));
    proxy_->Stop();
    int error = 0;
    ReadToEnd(client, &error);
    EXPECT_EQ(error, ECONNRESET);
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 1; }));
    close(client);
    close(server);
}

}  // namespace
}  // namespace os::wfplinux
