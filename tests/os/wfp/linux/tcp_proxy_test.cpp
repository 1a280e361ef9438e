// The transparent proxy over real sockets on loopback: a client connects to the proxy's port, the
// proxy opens the connection to a test server (the destination a redirect would give, set by the
// test), and the engine's stream callout (the test's) decides what passes.
#include "os/wfp/linux/tcp_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
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
        options.maxHeldPerDirection = kHeldBound;
        options.connectTimeoutMs = 2'000;
        options.destination = [this](int, PROXIED_CONNECTION* connection) {
            auto& to = reinterpret_cast<sockaddr_in&>(connection->destination);
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(destinationPort_.load());
            return true;
        };
        Configure(options);
        options.owner = [this](const PROXIED_CONNECTION&) {
            for (int i = 0; i < 10'000 && holdOwner_.load(); ++i) {
                std::this_thread::sleep_for(1ms);
            }
            return std::optional<uint64_t>(77);
        };
        proxy_ = std::make_unique<TCP_PROXY>(FilterEngine::Current(), std::move(options));
        std::string why;
        ASSERT_EQ(proxy_->Start(&why), 0) << why;
        destinationPort_ = serverPort_;
    }
    void TearDown() override {
        proxy_.reset();
        close(server_);
    }
    virtual void Configure(TCP_PROXY_OPTIONS&) {}

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

    // Sends until the proxy stops taking the client's bytes; returns how many it took.
    static size_t SendUntilHeldBack(int client) {
        const int small = 64 * 1024;
        setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        const std::string chunk(64 * 1024, 'x');
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
        return sent;
    }

    // The callout keeps every byte the client sends, as the driver does while a lookup is pending.
    void AbsorbWhatTheClientSends() {
        harness_.SetDecide([this](const testing::INDICATION& seen, FWPS_STREAM_CALLOUT_IO_PACKET&,
                                  FWPS_CLASSIFY_OUT& out) {
            if ((seen.flags & FWPS_STREAM_FLAG_SEND) != 0 && seen.dataLength > 0) {
                testing::SetAbsorb(out);
                absorbed_ += seen.dataLength;
                flowHandle_ = seen.flowHandle;
            }
        });
    }

    void InjectOutbound(std::string_view bytes, uint32_t flags = FWPS_STREAM_FLAG_SEND) {
        ASSERT_EQ(FwpsStreamInjectAsync(
                      harness_.Injection(), flowHandle_.load(), harness_.StreamCalloutId(),
                      FWPS_LAYER_STREAM_V4, flags,
                      bytes.empty() ? NetBufferListChain() : testing::MakeChain({bytes}),
                      bytes.size(), nullptr),
                  STATUS_SUCCESS);
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
    std::atomic<bool> holdOwner_{false};
    std::atomic<size_t> absorbed_{0};
    std::atomic<uint64_t> flowHandle_{0};
    static constexpr size_t kHeldBound = 256 * 1024;
    static constexpr size_t kOneRead = 64 * 1024;
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

// The callout has the server's end opened again toward another address: what it sends on then
// reaches only the new server, and the first one never gets a byte. A server that already spoke
// cannot be left for another.
TEST_F(TcpProxyTest, TheServersEndMovesElsewhereOnlyWhileNothingCrossed) {
    AbsorbWhatTheClientSends();
    wexo::test::UNIQUE_FD other = wexo::test::Bound(SOCK_STREAM, "127.0.0.2", serverPort_);
    ASSERT_TRUE(other.Valid());
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    SendAll(client, "hello");
    ASSERT_TRUE(Eventually([&] { return absorbed_.load() == 5; }));
    ASSERT_EQ(FwpsStreamRedirectServer(flowHandle_.load(), MakeIPv4Address(127, 0, 0, 2)),
              STATUS_SUCCESS);
    InjectOutbound("hello");
    wexo::test::UNIQUE_FD moved = wexo::test::AcceptWithin(other.Get(), 10'000);
    ASSERT_TRUE(moved.Valid());
    char buffer[16] = {};
    EXPECT_EQ(recv(moved.Get(), buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(ReadToEnd(server), "") << "the first server got nothing";
    EXPECT_EQ(proxy_->Counts().moved, 1u);
    close(client);
    close(server);

    client = Connect(proxy_->Port());
    server = AcceptServer();
    ASSERT_GE(server, 0);
    SendAll(server, "banner");
    ASSERT_TRUE(wexo::test::Readable(client, 10'000));
    SendAll(client, "x");
    ASSERT_TRUE(Eventually([&] { return absorbed_.load() == 6; }));
    EXPECT_EQ(FwpsStreamRedirectServer(flowHandle_.load(), MakeIPv4Address(127, 0, 0, 2)),
              STATUS_INVALID_DEVICE_STATE);
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

// A connection whose destination is the proxy itself (a program that connects to its port, which
// nothing redirected) is reset, not relayed back to the proxy again and again.
TEST_F(TcpProxyTest, AConnectionToTheProxyItselfIsRefused) {
    destinationPort_ = proxy_->Port();
    int client = Connect(proxy_->Port());
    int error = 0;
    EXPECT_EQ(ReadToEnd(client, &error), "");
    EXPECT_EQ(error, ECONNRESET);
    close(client);
    EXPECT_EQ(proxy_->Counts().accepted, 0u);
    EXPECT_EQ(proxy_->Counts().refused, 1u);
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

// A client that sends on while a server that does not read holds it back, and then resets: the
// proxy must not read what is queued past its bound, and the reset ends the connection.
TEST_F(TcpProxyTest, AResetFromAHeldBackClientIsNotReadPastTheBound) {
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    const int small = 64 * 1024;
    setsockopt(server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const int large = 4 << 20;
    setsockopt(client, SOL_SOCKET, SO_SNDBUF, &large, sizeof large);
    const std::string chunk(64 * 1024, 'x');
    for (int stalls = 0; stalls < 20;) {
        if (send(client, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
            stalls = 0;
        } else {
            ++stalls;
            std::this_thread::sleep_for(5ms);
        }
    }
    linger reset{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(client);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
    EXPECT_LE(proxy_->Counts().bufferedHighWater, 64u * 1024 + kOneRead);
    int error = 0;
    ReadToEnd(server, &error);
    EXPECT_EQ(error, ECONNRESET);
    close(server);
}

// While a callout holds what the client sent (a lookup pending), the proxy stops reading the
// client at its bound; once the held bytes go on, the client is read again and nothing is lost.
TEST_F(TcpProxyTest, BytesTheEngineHoldsHoldBackTheClientUntilTheyGoOn) {
    AbsorbWhatTheClientSends();
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    size_t sent = SendUntilHeldBack(client);
    EXPECT_LT(sent, 256u << 20) << "the client never had to stop";
    EXPECT_LE(proxy_->Counts().heldHighWater, kHeldBound + kOneRead);
    EXPECT_LE(absorbed_.load(), kHeldBound + kOneRead);
    // The verdict: what was held goes on, and what comes later is let through.
    harness_.SetDecide(nullptr);
    InjectOutbound(std::string(absorbed_.load(), 'x'));
    std::thread reader([&] {
        std::string got = ReadToEnd(server);
        EXPECT_EQ(got.size(), sent + (1u << 20));
        EXPECT_EQ(got.find_first_not_of('x'), std::string::npos);
    });
    SendAll(client, std::string(1u << 20, 'x'));
    shutdown(client, SHUT_WR);
    reader.join();
    close(client);
    close(server);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
}

// A callout that ends the exchange with a FIN while it holds the client's bytes (a blocked
// request: the server is sent a FIN, what follows is discarded) lets the client be read to its
// end, so that the connection closes instead of waiting for ever.
TEST_F(TcpProxyTest, AFinFromTheCalloutLetsAHeldBackClientBeReadToItsEnd) {
    AbsorbWhatTheClientSends();
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    SendUntilHeldBack(client);
    InjectOutbound({}, FWPS_STREAM_FLAG_SEND | FWPS_STREAM_FLAG_SEND_DISCONNECT);
    EXPECT_EQ(ReadToEnd(server), "") << "nothing held reached the server";
    SendAll(client, std::string(1u << 20, 'x'));
    shutdown(client, SHUT_WR);
    shutdown(server, SHUT_WR);
    EXPECT_EQ(ReadToEnd(client), "");
    close(client);
    close(server);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 1; }));
}

// A client that half-closes and later resets, while the server keeps its side open: the side read
// to its end still tells its reset (a read of it only says it ended), so the connection is reset
// at once rather than left to wake the loop until the server closes.
TEST_F(TcpProxyTest, AResetAfterTheClientsFinEndsTheConnection) {
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    SendAll(client, "GET / HTTP/1.1\r\n\r\n");
    shutdown(client, SHUT_WR);
    EXPECT_EQ(ReadToEnd(server), "GET / HTTP/1.1\r\n\r\n");
    SendAll(server, "HTTP/1.1 200 OK\r\n");
    char got[32];
    ASSERT_GT(recv(client, got, sizeof got, 0), 0);
    linger reset{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(client);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }))
        << "the connection waits for the server";
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 1; }));
    close(server);
}

// A callout that discards what it absorbs (a blocked connection's later bytes) holds the client
// back only for the longest a lookup may take (here 300 ms); then the client is read to its end,
// so the FIN it queued behind the bytes not read arrives and the connection closes.
class TcpProxyDiscardTest : public TcpProxyTest {
  protected:
    void Configure(TCP_PROXY_OPTIONS& options) override { options.maxHeldMs = 300; }
};

TEST_F(TcpProxyDiscardTest, AClientHeldBackForDiscardedBytesIsReadToItsEndInTime) {
    AbsorbWhatTheClientSends();
    int client = Connect(proxy_->Port());
    int server = AcceptServer();
    ASSERT_GE(server, 0);
    SendUntilHeldBack(client);
    close(client);  // its FIN waits behind what the proxy has not read
    EXPECT_EQ(ReadToEnd(server), "") << "nothing the callout took reached the server";
    close(server);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 1; }));
}

// A client that resets while its owner is still being looked up is gone at once: its reset is not
// left to wake the loop until the look-up ends. Whoever sees the connection gone sees it counted
// (the counts are how a watcher learns what became of it); a few rounds, as that is a race.
TEST_F(TcpProxyTest, AClientThatResetsWhileItsOwnerIsLookedUpIsGoneAtOnce) {
    holdOwner_ = true;
    constexpr uint64_t kRounds = 16;
    for (uint64_t round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int client = Connect(proxy_->Port());
        int server = AcceptServer();
        ASSERT_GE(server, 0);
        // The proxy connects upstream before it lists the connection.
        for (int i = 0; i < 500 && proxy_->Counts().accepted < round; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        linger reset{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(client);
        // Well before the connect timeout (2 s), which would end it too.
        os::wfplinux::TCP_PROXY_COUNTS counts = proxy_->Counts();
        for (auto end = std::chrono::steady_clock::now() + 500ms;
             counts.open != 0 && std::chrono::steady_clock::now() < end;) {
            counts = proxy_->Counts();
        }
        EXPECT_EQ(counts.open, 0u) << "the connection waited for the look-up";
        EXPECT_EQ(counts.clientGone, round) << "the connection was gone before it was counted";
        int error = 0;
        ReadToEnd(server, &error);
        EXPECT_EQ(error, ECONNRESET);
        close(server);
    }
    holdOwner_ = false;
    EXPECT_TRUE(harness_.Indications().empty()) << "a flow was opened for a connection gone";
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
    // Each byte read once and written once, spliced or not.
    EXPECT_GE(proxy_->Counts().bytesMoved, 2 * body.size());
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

// Passed connections handed to relay processes, two to a relay.
class TcpProxyRelayTest : public TcpProxyTest {
  protected:
    void Configure(TCP_PROXY_OPTIONS& options) override {
        options.relayPassedFlows = true;
        options.connectionsPerRelay = 2;
    }

    struct PAIR {
        int client = -1;
        int server = -1;
    };
    // A connection whose flow passed at its first bytes, the request read by the server.
    PAIR OpenPassed() {
        PAIR pair;
        pair.client = Connect(proxy_->Port());
        pair.server = AcceptServer();
        EXPECT_GE(pair.server, 0);
        SendAll(pair.client, "GET /big HTTP/1.1\r\n\r\n");
        char head[64];
        EXPECT_GT(recv(pair.server, head, sizeof head, 0), 0);
        return pair;
    }

    static int OwnDescriptors() {
        return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                              std::filesystem::directory_iterator()));
    }
};

// A relayed download arrives whole and in order both ways, its half-closes included, and its flow
// ends once (its flow-delete runs) when the relay reports the end.
TEST_F(TcpProxyRelayTest, ARelayedConnectionCarriesEverythingAndItsFlowEnds) {
    LetFlowsPass();
    PAIR pair = OpenPassed();
    ASSERT_TRUE(Eventually([&] { return proxy_->Counts().relayed == 1; }));
    std::string body;
    for (int i = 0; i < (16 << 20) / 16; ++i) {
        char line[17];
        std::snprintf(line, sizeof line, "%015d\n", i);
        body.append(line, 16);
    }
    std::thread writer([&] {
        SendAll(pair.server, body);
        shutdown(pair.server, SHUT_WR);
    });
    SendAll(pair.client, "and the rest of the request");
    shutdown(pair.client, SHUT_WR);
    std::string got = ReadToEnd(pair.client);
    writer.join();
    EXPECT_EQ(ReadToEnd(pair.server), "and the rest of the request");
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body) << "bytes lost or out of order";
    close(pair.client);
    close(pair.server);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 1; }));
    EXPECT_EQ(proxy_->Counts().relays, 1u);
}

// Relayed connections leave the host: its descriptors do not grow with them. A relay that is full
// makes another start.
TEST_F(TcpProxyRelayTest, RelayedConnectionsTakeNoDescriptorOfTheHost) {
    LetFlowsPass();
    const int before = OwnDescriptors();
    std::vector<PAIR> pairs;
    for (int i = 0; i < 6; ++i) {
        pairs.push_back(OpenPassed());
    }
    ASSERT_TRUE(Eventually([&] { return proxy_->Counts().relayed == 6; }));
    EXPECT_EQ(proxy_->Counts().relays, 3u);
    EXPECT_EQ(proxy_->Counts().open, 6u);
    // The test's own two ends of each, and one socket to each relay.
    EXPECT_LE(OwnDescriptors() - before, 6 * 2 + 3 + 2) << "the host kept the relayed sockets";
    for (PAIR& pair : pairs) {
        SendAll(pair.server, "still here");
        char got[16] = {};
        EXPECT_EQ(recv(pair.client, got, sizeof got, 0), 10);
        close(pair.client);
        close(pair.server);
    }
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 6; }));
}

// A client that resets a relayed connection resets the server's side too, and the flow ends.
TEST_F(TcpProxyRelayTest, AResetOfARelayedConnectionResetsTheOtherSide) {
    LetFlowsPass();
    PAIR pair = OpenPassed();
    ASSERT_TRUE(Eventually([&] { return proxy_->Counts().relayed == 1; }));
    linger reset{1, 0};
    setsockopt(pair.client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(pair.client);
    int error = 0;
    ReadToEnd(pair.server, &error);
    EXPECT_EQ(error, ECONNRESET);
    close(pair.server);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 1; }));
}

// A relay that dies takes its connections with it (reset, their flows ended); the next passed
// connection gets a relay that lives. Stopping the proxy resets what the relays hold.
TEST_F(TcpProxyRelayTest, ARelayThatDiesResetsItsConnectionsAndStoppingResetsTheRest) {
    LetFlowsPass();
    PAIR first = OpenPassed();
    ASSERT_TRUE(Eventually([&] { return proxy_->Counts().relayed == 1; }));
    // The proxy's only relay (the name it gives itself may not be set yet).
    const std::vector<pid_t> relays = proxy_->RelayProcesses();
    ASSERT_EQ(relays.size(), 1u);
    const pid_t relay = relays[0];
    ASSERT_GT(relay, 0);
    kill(relay, SIGKILL);
    int error = 0;
    ReadToEnd(first.client, &error);
    EXPECT_EQ(error, ECONNRESET);
    EXPECT_TRUE(Eventually([&] { return proxy_->Counts().open == 0; }));
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 1; }));
    close(first.client);
    close(first.server);

    PAIR second = OpenPassed();
    ASSERT_TRUE(Eventually([&] { return proxy_->Counts().relayed == 2; }));
    EXPECT_EQ(proxy_->Counts().relays, 2u);
    SendAll(second.server, "alive");
    char got[8] = {};
    EXPECT_EQ(recv(second.client, got, sizeof got, 0), 5);
    proxy_->Stop();
    ReadToEnd(second.client, &error);
    EXPECT_EQ(error, ECONNRESET);
    EXPECT_TRUE(Eventually([&] { return harness_.DeletedContexts().size() == 2; }));
    close(second.client);
    close(second.server);
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

// The proxy listens on both loopbacks on one port: where ::1 has that port taken, a given port is
// an error and a chosen one is chosen again, never a proxy that listens on IPv4 alone.
TEST(TcpProxyPortTest, APortTakenOnIpv6LoopbackIsNotHalfUsed) {
    testing::StreamHarness harness;
    wexo::test::UNIQUE_FD taken(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const int one = 1;
    if (!taken.Valid() ||
        setsockopt(taken.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0 ||
        bind(taken.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(taken.Get(), 1) != 0) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    socklen_t length = sizeof address;
    getsockname(taken.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    const uint16_t port = ntohs(address.sin6_port);

    TCP_PROXY_OPTIONS given;
    given.port = port;
    given.raiseDescriptorLimit = false;
    TCP_PROXY refused(FilterEngine::Current(), std::move(given));
    std::string why;
    EXPECT_EQ(refused.Start(&why), EADDRINUSE);
    EXPECT_NE(why.find("::1"), std::string::npos) << why;
    // Nothing was left listening on IPv4 either.
    EXPECT_LT(wexo::test::ConnectLoopback(port, 1), 0);

    TCP_PROXY_OPTIONS chosen;
    chosen.raiseDescriptorLimit = false;
    TCP_PROXY proxy(FilterEngine::Current(), std::move(chosen));
    ASSERT_EQ(proxy.Start(&why), 0) << why;
    EXPECT_NE(proxy.Port(), port);
    wexo::test::UNIQUE_FD v6(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    address.sin6_port = htons(proxy.Port());
    EXPECT_EQ(connect(v6.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
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
