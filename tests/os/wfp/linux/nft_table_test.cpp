#include "os/wfp/linux/nft_table.h"

#include <gtest/gtest.h>

#include "os/core/status.h"
#include "os/wfp/linux/redirect.h"
#include "tests/os/wfp/linux/socket_util.h"
#include "tools/peers/network_namespaces.h"

namespace {

using wexo::peers::NETWORK_NAMESPACES;
using wexo::test::Address;
using wexo::test::Bound;
using wexo::test::Connect;
using wexo::test::Text;
using wexo::test::UNIQUE_FD;
using SIDE = NETWORK_NAMESPACES::SIDE;

constexpr uint16_t kProxyPort = 15001;
constexpr uint16_t kDnsPort = 15053;

os::NFT_TABLE_OPTIONS Options() {
    os::NFT_TABLE_OPTIONS options;
    options.tcpProxyPort = kProxyPort;
    options.dnsPort = kDnsPort;
    return options;
}

void Mark(int fd) {
    ASSERT_EQ(os::SetSocketMark(fd, os::kProxySocketMark), os::ERROR_SUCCESS);
}

class NftTableTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        net_ = NETWORK_NAMESPACES::Create(&why);
        if (net_ == nullptr)
            GTEST_SKIP() << why;
    }

    // Installs in the client namespace (the table object itself may live anywhere).
    uint32_t InstallInClient(os::NFT_TABLE& table, const os::NFT_TABLE_OPTIONS& options,
                             std::string* message = nullptr) {
        uint32_t result = os::ERROR_GEN_FAILURE;
        EXPECT_TRUE(net_->RunIn(SIDE::Client, [&] { result = table.Install(options, message); }));
        return result;
    }

    // What the nft program lists in the client namespace.
    std::string ListInClient(const std::vector<std::string>& what) {
        if (NETWORK_NAMESPACES::FindProgram("nft").empty())
            return "(no nft program)";
        std::vector<std::string> command = {"nft", "list"};
        command.insert(command.end(), what.begin(), what.end());
        std::string output;
        net_->Run(SIDE::Client, command, &output);
        return output;
    }

    // A socket made in a namespace; it stays there whichever thread uses it.
    UNIQUE_FD MakeIn(SIDE side, const std::function<UNIQUE_FD()>& make) {
        UNIQUE_FD fd;
        EXPECT_TRUE(net_->RunIn(side, [&] { fd = make(); }));
        return fd;
    }

    int ConnectFrom(SIDE side, UNIQUE_FD& fd, int type, const sockaddr_storage& to,
                    const std::function<void(int)>& prepare = nullptr) {
        int err = -1;
        EXPECT_TRUE(net_->RunIn(side, [&] { err = Connect(fd, type, to, prepare); }));
        return err;
    }

    std::unique_ptr<NETWORK_NAMESPACES> net_;
};

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST(NftTableCommands, RefuseNamesThatWouldReachTheCommandLine) {
    os::NFT_TABLE_OPTIONS options = Options();
    options.tableName = "wexo; flush ruleset";
    EXPECT_EQ(os::NFT_TABLE::Commands(options), "");
    os::NFT_TABLE table;
    std::string message;
    EXPECT_EQ(table.Install(options, &message), os::ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(table.Installed());
    options = Options();
    options.tcpProxyPort = 0;
    EXPECT_EQ(table.Install(options, &message), os::ERROR_INVALID_PARAMETER);
}

TEST_F(NftTableTest, InstallShowsTheRules) {
    os::NFT_TABLE table;
    std::string message;
    ASSERT_EQ(InstallInClient(table, Options(), &message), os::ERROR_SUCCESS) << message;
    EXPECT_TRUE(table.Installed());
    const std::string listed = ListInClient({"table", "inet", "wexo"});
    EXPECT_NE(listed.find("type nat hook output"), std::string::npos) << listed;
    EXPECT_NE(listed.find("meta l4proto tcp redirect to :15001"), std::string::npos) << listed;
    EXPECT_NE(listed.find("udp dport 53 redirect to :15053"), std::string::npos) << listed;
    // DNS over TCP goes to the forwarder, ahead of the rule that sends all TCP to the proxy.
    const size_t dnsOverTcp = listed.find("tcp dport 53 redirect to :15053");
    EXPECT_NE(dnsOverTcp, std::string::npos) << listed;
    EXPECT_LT(dnsOverTcp, listed.find("meta l4proto tcp redirect to :15001")) << listed;
    EXPECT_NE(listed.find("type filter hook output"), std::string::npos) << listed;
    EXPECT_NE(listed.find("counter quic_refused"), std::string::npos) << listed;
    EXPECT_EQ(Count(listed, "counter name \"quic_refused\" reject"), 3u) << listed;
    EXPECT_NE(listed.find("tcp dport 853 counter name \"port853_refused\" reject with tcp reset"),
              std::string::npos)
        << listed;
    EXPECT_EQ(Count(listed, "counter name \"port853_refused\" reject"), 2u) << listed;
    EXPECT_EQ(Count(listed, "meta mark 0x5745584f return"), 2u) << listed;
}

TEST_F(NftTableTest, OptionsLeaveOutDnsAndQuic) {
    os::NFT_TABLE table;
    os::NFT_TABLE_OPTIONS options = Options();
    options.dnsPort = 0;
    options.rejectQuic = false;
    options.rejectPort853 = false;
    std::string message;
    ASSERT_EQ(InstallInClient(table, options, &message), os::ERROR_SUCCESS) << message;
    const std::string listed = ListInClient({"table", "inet", "wexo"});
    EXPECT_NE(listed.find("redirect to :15001"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("dport 53"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("refused"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("filter_output"), std::string::npos) << listed;
}

TEST_F(NftTableTest, InstallingAgainReplacesTheTable) {
    os::NFT_TABLE table;
    std::string message;
    ASSERT_EQ(InstallInClient(table, Options(), &message), os::ERROR_SUCCESS) << message;
    os::NFT_TABLE_OPTIONS changed = Options();
    changed.tcpProxyPort = 15002;
    // Unwatched, as the table of a host that crashed is.
    changed.watch = false;
    ASSERT_EQ(InstallInClient(table, changed, &message), os::ERROR_SUCCESS) << message;
    EXPECT_FALSE(table.Watch().Running());
    // A second owner, as after a crash that left the first one's table behind.
    os::NFT_TABLE other;
    changed.tcpProxyPort = 15003;
    changed.watch = true;
    ASSERT_EQ(InstallInClient(other, changed, &message), os::ERROR_SUCCESS) << message;
    const std::string tables = ListInClient({"tables"});
    EXPECT_EQ(Count(tables, "table inet wexo"), 1u) << tables;
    const std::string listed = ListInClient({"table", "inet", "wexo"});
    // TCP, and DNS over UDP and TCP, once each.
    EXPECT_EQ(Count(listed, "redirect to :"), 3u) << listed;
    EXPECT_NE(listed.find("redirect to :15003"), std::string::npos) << listed;
}

TEST_F(NftTableTest, RenamedTableReplacesThePreviousOne) {
    os::NFT_TABLE table;
    std::string message;
    ASSERT_EQ(InstallInClient(table, Options(), &message), os::ERROR_SUCCESS) << message;
    os::NFT_TABLE_OPTIONS renamed = Options();
    renamed.tableName = "wexo_next";
    ASSERT_EQ(InstallInClient(table, renamed, &message), os::ERROR_SUCCESS) << message;
    const std::string tables = ListInClient({"tables"});
    EXPECT_EQ(Count(tables, "table inet wexo\n"), 0u) << tables;
    EXPECT_EQ(Count(tables, "table inet wexo_next"), 1u) << tables;
}

TEST_F(NftTableTest, RemoveDeletesTheTable) {
    os::NFT_TABLE table;
    std::string message;
    ASSERT_EQ(InstallInClient(table, Options(), &message), os::ERROR_SUCCESS) << message;
    uint32_t removed = os::ERROR_GEN_FAILURE;
    ASSERT_TRUE(net_->RunIn(SIDE::Client, [&] { removed = table.Remove(&message); }));
    EXPECT_EQ(removed, os::ERROR_SUCCESS) << message;
    EXPECT_FALSE(table.Installed());
    EXPECT_EQ(ListInClient({"tables"}).find("wexo"), std::string::npos);
    EXPECT_EQ(table.Remove(), os::ERROR_SUCCESS);  // nothing left to remove
}

TEST_F(NftTableTest, RemovalFromAnotherNamespaceReachesTheTable) {
    {
        os::NFT_TABLE table;
        std::string message;
        ASSERT_EQ(InstallInClient(table, Options(), &message), os::ERROR_SUCCESS) << message;
        ASSERT_NE(ListInClient({"tables"}).find("table inet wexo"), std::string::npos);
        // The destructor runs here, on the test's thread outside the client namespace.
    }
    EXPECT_EQ(ListInClient({"tables"}).find("wexo"), std::string::npos);
}

TEST_F(NftTableTest, RejectedRulesComeBackWithNftsMessage) {
    uint32_t result = os::ERROR_SUCCESS;
    std::string message;
    ASSERT_TRUE(net_->RunIn(SIDE::Client, [&] {
        result = os::RunNftCommands("table inet wexo { chain c { no such statement } }", &message);
    }));
    EXPECT_EQ(result, os::ERROR_INVALID_PARAMETER);
    EXPECT_NE(message.find("syntax error"), std::string::npos) << message;
    // A table the kernel does not have.
    ASSERT_TRUE(net_->RunIn(SIDE::Client, [&] {
        result = os::RunNftCommands("delete table inet wexo_absent", &message);
    }));
    EXPECT_EQ(result, os::ERROR_NOT_FOUND) << message;
    EXPECT_FALSE(message.empty());
}

// The first datagram of a QUIC connection: a long header (Initial, with the fixed bit) of
// `version`, an 8-byte destination connection ID, no source ID or token, padded to 1200 bytes as
// clients pad it.
std::string QuicInitial(std::initializer_list<uint8_t> version, uint8_t first = 0xC3) {
    std::string datagram(1, static_cast<char>(first));
    for (uint8_t byte : version)
        datagram += static_cast<char>(byte);
    datagram += std::string(1, '\x08') + "dcid-123" + std::string(1, '\0') + std::string(1, '\0');
    datagram.resize(1200, '\0');
    return datagram;
}

// The traffic tests: a proxy listener in the client namespace on the proxy port (both families),
// the real server in the server namespace.
class NftTrafficTest : public NftTableTest {
  protected:
    void SetUp() override {
        NftTableTest::SetUp();
        if (IsSkipped())
            return;
        proxy_ = MakeIn(SIDE::Client, [] { return Bound(SOCK_STREAM, "::", kProxyPort); });
        server80_ = MakeIn(SIDE::Server, [] { return Bound(SOCK_STREAM, "::", 80); });
        server8080_ = MakeIn(SIDE::Server, [] { return Bound(SOCK_STREAM, "::", 8080); });
        ASSERT_TRUE(proxy_.Valid() && server80_.Valid() && server8080_.Valid());
    }

    void Install(const os::NFT_TABLE_OPTIONS& options) {
        std::string message;
        ASSERT_EQ(InstallInClient(table_, options, &message), os::ERROR_SUCCESS) << message;
    }

    // Whether a UDP socket of the client that sent once sees ECONNREFUSED on its next receive.
    int ErrorAfterSend(UNIQUE_FD& fd, int* sendError,
                       const std::string& datagram = QuicInitial({0, 0, 0, 1})) {
        *sendError = ::send(fd.Get(), datagram.data(), datagram.size(), 0) < 0 ? errno : 0;
        char answer[64];
        // A refusal comes back at once over the veth pair; silence this long means none came.
        if (!wexo::test::Readable(fd.Get(), 300))
            return 0;
        return ::recv(fd.Get(), answer, sizeof(answer), MSG_DONTWAIT) < 0 ? errno : 0;
    }

    os::NFT_TABLE table_;
    UNIQUE_FD proxy_;
    UNIQUE_FD server80_;
    UNIQUE_FD server8080_;
};

TEST_F(NftTrafficTest, TcpGoesToTheProxyWithItsOriginalDestination) {
    Install(Options());
    struct CASE {
        const char* ip;
        uint16_t port;
    };
    for (const CASE& target : {CASE{"192.0.2.2", 80}, CASE{"2001:db8::2", 8080}}) {
        SCOPED_TRACE(target.ip);
        UNIQUE_FD client;
        ASSERT_EQ(ConnectFrom(SIDE::Client, client, SOCK_STREAM, Address(target.ip, target.port)),
                  0);
        UNIQUE_FD accepted = wexo::test::AcceptWithin(proxy_.Get(), 2000);
        ASSERT_TRUE(accepted.Valid()) << "nothing reached the proxy";
        EXPECT_EQ(wexo::test::PeerText(accepted.Get()), wexo::test::LocalText(client.Get()));
        sockaddr_storage original{};
        ASSERT_EQ(os::OriginalDestination(accepted.Get(), &original), os::ERROR_SUCCESS);
        EXPECT_EQ(Text(original), Text(Address(target.ip, target.port)));
        EXPECT_EQ(original.ss_family, Address(target.ip, target.port).ss_family);
        EXPECT_FALSE(wexo::test::Readable(server80_.Get(), 0));
        EXPECT_FALSE(wexo::test::Readable(server8080_.Get(), 0));
    }
}

TEST_F(NftTrafficTest, MarkedSocketsReachTheRealServer) {
    Install(Options());
    struct CASE {
        const char* ip;
        uint16_t port;
        int listener;
    };
    for (const CASE& target :
         {CASE{"192.0.2.2", 80, server80_.Get()}, CASE{"2001:db8::2", 8080, server8080_.Get()}}) {
        SCOPED_TRACE(target.ip);
        UNIQUE_FD client;
        ASSERT_EQ(
            ConnectFrom(SIDE::Client, client, SOCK_STREAM, Address(target.ip, target.port), Mark),
            0);
        UNIQUE_FD accepted = wexo::test::AcceptWithin(target.listener, 2000);
        ASSERT_TRUE(accepted.Valid()) << "the marked connection did not reach the server";
        EXPECT_EQ(wexo::test::PeerText(accepted.Get()), wexo::test::LocalText(client.Get()));
        EXPECT_FALSE(wexo::test::Readable(proxy_.Get(), 0));
        // Tracked, but not translated.
        sockaddr_storage original{};
        if (os::OriginalDestination(client.Get(), &original) == os::ERROR_SUCCESS) {
            EXPECT_EQ(Text(original), Text(Address(target.ip, target.port)));
        }
    }
}

// Datagrams that open a QUIC connection are refused on every port, whatever their version (1, 2,
// a draft, a greased one); every other datagram, on the same ports, passes.
TEST_F(NftTrafficTest, QuicIsRefusedOnEveryPortAndOtherUdpPassesUnlessTurnedOff) {
    struct DATAGRAM {
        const char* name;
        std::string bytes;
        bool refused;
    };
    const DATAGRAM datagrams[] = {
        {"QuicV1", QuicInitial({0, 0, 0, 1}), true},
        {"QuicV2", QuicInitial({0x6b, 0x33, 0x43, 0xcf}, 0xD3), true},
        {"QuicDraft29", QuicInitial({0xff, 0, 0, 0x1d}), true},
        {"QuicGreased", QuicInitial({0x1a, 0x2a, 0x3a, 0x4a}), true},
        // A client may clear the fixed bit of an Initial that carries a server's token.
        {"QuicV1WithoutFixedBit", QuicInitial({0, 0, 0, 1}, 0x83), true},
        {"QuicShortHeader", std::string("\x43") + std::string(40, 'x'), false},
        {"DtlsHello", std::string("\x16\xfe\xfd\x00\x00\x00\x00\x00\x00\x00\x00", 11) + "hello",
         false},
        {"WireGuardInitiation", std::string("\x01\x00\x00\x00", 4) + std::string(144, 'w'), false},
        {"Rtp", std::string("\x80\x08\x12\x34\x00\x01\xe2\x40", 8) + std::string(160, 'r'), false},
        // The first packet of a G.711 stream: its first bytes look like a long header of version
        // 0, past the table's quick tests and into the exact ones.
        {"RtpFirstPacket",
         std::string("\x80\x00\x00\x00\x00\x00\x00\xa0", 8) + std::string(160, 'r'), false},
        {"PlainText", "quic initial", false},
    };
    UNIQUE_FD servers[2] = {MakeIn(SIDE::Server, [] { return Bound(SOCK_DGRAM, "::", 443); }),
                            MakeIn(SIDE::Server, [] { return Bound(SOCK_DGRAM, "::", 5443); })};
    ASSERT_TRUE(servers[0].Valid() && servers[1].Valid());
    Install(Options());
    for (const DATAGRAM& datagram : datagrams) {
        for (const char* ip : {"192.0.2.2", "2001:db8::2"}) {
            for (int port = 0; port < 2; ++port) {
                SCOPED_TRACE(std::string(datagram.name) + " to " + ip + (port ? ":5443" : ":443"));
                UNIQUE_FD client;
                ASSERT_EQ(
                    ConnectFrom(SIDE::Client, client, SOCK_DGRAM, Address(ip, port ? 5443 : 443)),
                    0);
                const bool sent = ::send(client.Get(), datagram.bytes.data(), datagram.bytes.size(),
                                         0) == static_cast<ssize_t>(datagram.bytes.size());
                char answer[64];
                if (datagram.refused) {
                    // The refusal comes back at once over the veth pair (or fails the send).
                    if (sent) {
                        ASSERT_TRUE(wexo::test::Readable(client.Get(), 1000));
                        EXPECT_LT(::recv(client.Get(), answer, sizeof(answer), MSG_DONTWAIT), 0);
                        EXPECT_EQ(errno, ECONNREFUSED);
                    }
                    EXPECT_FALSE(wexo::test::Readable(servers[port].Get(), 0));
                    continue;
                }
                ASSERT_TRUE(sent) << strerror(errno);
                ASSERT_TRUE(wexo::test::Readable(servers[port].Get(), 1000));
                char drain[2048];
                EXPECT_EQ(::recv(servers[port].Get(), drain, sizeof(drain), 0),
                          static_cast<ssize_t>(datagram.bytes.size()));
                EXPECT_FALSE(wexo::test::Readable(client.Get(), 0));
            }
        }
    }
    const std::string listed = ListInClient({"counter", "inet", "wexo", "quic_refused"});
    EXPECT_NE(listed.find("packets 20 "), std::string::npos) << listed;

    // The proxy's own (marked) datagrams pass.
    UNIQUE_FD marked;
    ASSERT_EQ(ConnectFrom(SIDE::Client, marked, SOCK_DGRAM, Address("192.0.2.2", 443), Mark), 0);
    int sendError = 0;
    EXPECT_EQ(ErrorAfterSend(marked, &sendError), 0);
    EXPECT_EQ(sendError, 0);
    EXPECT_TRUE(wexo::test::Readable(servers[0].Get(), 1000));
    char drain[2048];
    ASSERT_GT(::recv(servers[0].Get(), drain, sizeof(drain), 0), 0);

    os::NFT_TABLE_OPTIONS options = Options();
    options.rejectQuic = false;
    Install(options);
    UNIQUE_FD client;
    ASSERT_EQ(ConnectFrom(SIDE::Client, client, SOCK_DGRAM, Address("192.0.2.2", 443)), 0);
    EXPECT_EQ(ErrorAfterSend(client, &sendError), 0);
    EXPECT_EQ(sendError, 0);
    EXPECT_TRUE(wexo::test::Readable(servers[0].Get(), 1000));
}

// DNS over TLS (TCP 853) and over QUIC (UDP 853) are refused at once, as a closed port is: a reset
// and an ICMP port unreachable. Other ports are not, and the switch leaves 853 alone too.
TEST_F(NftTrafficTest, Port853IsRefusedAtOnceUnlessTurnedOff) {
    UNIQUE_FD servers[2] = {MakeIn(SIDE::Server, [] { return Bound(SOCK_DGRAM, "::", 853); }),
                            MakeIn(SIDE::Server, [] { return Bound(SOCK_DGRAM, "::", 8853); })};
    ASSERT_TRUE(servers[0].Valid() && servers[1].Valid());
    for (bool refuse : {true, false}) {
        os::NFT_TABLE_OPTIONS options = Options();
        options.rejectQuic = false;  // the datagrams below are no QUIC anyway
        options.rejectPort853 = refuse;
        Install(options);
        for (const char* ip : {"192.0.2.2", "2001:db8::2"}) {
            SCOPED_TRACE(std::string(ip) + (refuse ? " refused" : " not refused"));
            UNIQUE_FD stream;
            const int err = ConnectFrom(SIDE::Client, stream, SOCK_STREAM, Address(ip, 853));
            UNIQUE_FD accepted = wexo::test::AcceptWithin(proxy_.Get(), refuse ? 0 : 2000);
            // Unrefused, it is TCP as any other: the proxy's.
            EXPECT_EQ(err, refuse ? ECONNREFUSED : 0);
            EXPECT_EQ(accepted.Valid(), !refuse);
            for (int port = 0; port < 2; ++port) {
                SCOPED_TRACE(port == 0 ? "udp 853" : "udp 8853");
                UNIQUE_FD client;
                ASSERT_EQ(ConnectFrom(SIDE::Client, client, SOCK_DGRAM,
                                      Address(ip, port == 0 ? 853 : 8853)),
                          0);
                int sendError = 0;
                const int error = ErrorAfterSend(client, &sendError, "a query");
                const bool refused = refuse && port == 0;
                EXPECT_EQ(error == ECONNREFUSED || sendError == ECONNREFUSED, refused);
                EXPECT_EQ(wexo::test::Readable(servers[port].Get(), refused ? 0 : 1000), !refused);
                char drain[64];
                if (!refused) {
                    ASSERT_GT(::recv(servers[port].Get(), drain, sizeof(drain), 0), 0);
                }
            }
        }
        if (refuse) {
            const std::string listed =
                ListInClient({"counter", "inet", "wexo", os::kPort853Counter});
            EXPECT_NE(listed.find("packets 4 "), std::string::npos) << listed;
        }
    }
}

TEST_F(NftTrafficTest, DnsGoesToTheForwarderAndTheAnswerComesFromTheServer) {
    // The forwarder answers from the address the redirect sent the query to (127.0.0.1 or ::1),
    // which is what lets connection tracking translate the answer back; a wildcard socket would
    // answer from the host's own address and the client would never see it.
    UNIQUE_FD forwarder4 =
        MakeIn(SIDE::Client, [] { return Bound(SOCK_DGRAM, "127.0.0.1", kDnsPort); });
    UNIQUE_FD forwarder6 = MakeIn(SIDE::Client, [] { return Bound(SOCK_DGRAM, "::1", kDnsPort); });
    UNIQUE_FD realDns = MakeIn(SIDE::Server, [] { return Bound(SOCK_DGRAM, "::", 53); });
    ASSERT_TRUE(forwarder4.Valid() && forwarder6.Valid() && realDns.Valid());
    Install(Options());
    const char query[] = "dns query";
    const char answer[] = "dns answer";
    struct CASE {
        const char* ip;
        int forwarder;
    };
    for (const CASE& target :
         {CASE{"192.0.2.2", forwarder4.Get()}, CASE{"2001:db8::2", forwarder6.Get()}}) {
        SCOPED_TRACE(target.ip);
        UNIQUE_FD client;
        ASSERT_EQ(ConnectFrom(SIDE::Client, client, SOCK_DGRAM, Address(target.ip, 53)), 0);
        ASSERT_EQ(::send(client.Get(), query, sizeof(query), 0),
                  static_cast<ssize_t>(sizeof(query)));
        ASSERT_TRUE(wexo::test::Readable(target.forwarder, 2000)) << "no query at the forwarder";
        char received[64] = {};
        sockaddr_storage from{};
        socklen_t fromSize = sizeof(from);
        ASSERT_EQ(::recvfrom(target.forwarder, received, sizeof(received), 0,
                             reinterpret_cast<sockaddr*>(&from), &fromSize),
                  static_cast<ssize_t>(sizeof(query)));
        EXPECT_EQ(Text(from), wexo::test::LocalText(client.Get()));
        EXPECT_FALSE(wexo::test::Readable(realDns.Get(), 0));
        // The client, connected to the server's port 53, accepts only an answer from there.
        ASSERT_EQ(::sendto(target.forwarder, answer, sizeof(answer), 0,
                           reinterpret_cast<const sockaddr*>(&from), fromSize),
                  static_cast<ssize_t>(sizeof(answer)));
        ASSERT_TRUE(wexo::test::Readable(client.Get(), 2000)) << "the answer was not translated";
        ASSERT_EQ(::recv(client.Get(), received, sizeof(received), 0),
                  static_cast<ssize_t>(sizeof(answer)));
        EXPECT_STREQ(received, answer);
    }

    // Without a DNS port the query goes to the server.
    os::NFT_TABLE_OPTIONS options = Options();
    options.dnsPort = 0;
    Install(options);
    UNIQUE_FD direct;
    ASSERT_EQ(ConnectFrom(SIDE::Client, direct, SOCK_DGRAM, Address("192.0.2.2", 53)), 0);
    ASSERT_EQ(::send(direct.Get(), query, sizeof(query), 0), static_cast<ssize_t>(sizeof(query)));
    EXPECT_TRUE(wexo::test::Readable(realDns.Get(), 2000));
    EXPECT_FALSE(wexo::test::Readable(forwarder4.Get(), 0));
}

TEST_F(NftTrafficTest, LoopbackIsUntouched) {
    UNIQUE_FD local = MakeIn(SIDE::Client, [] { return Bound(SOCK_STREAM, "::", 9090); });
    UNIQUE_FD quicLocal = MakeIn(SIDE::Client, [] { return Bound(SOCK_DGRAM, "::", 443); });
    ASSERT_TRUE(local.Valid() && quicLocal.Valid());
    Install(Options());
    // The host's own addresses go over loopback too.
    for (const char* ip : {"127.0.0.1", "::1", "192.0.2.1", "2001:db8::1"}) {
        SCOPED_TRACE(ip);
        UNIQUE_FD client;
        ASSERT_EQ(ConnectFrom(SIDE::Client, client, SOCK_STREAM, Address(ip, 9090)), 0);
        UNIQUE_FD accepted = wexo::test::AcceptWithin(local.Get(), 2000);
        ASSERT_TRUE(accepted.Valid());
        EXPECT_FALSE(wexo::test::Readable(proxy_.Get(), 0));
        sockaddr_storage original{};
        if (os::OriginalDestination(accepted.Get(), &original) == os::ERROR_SUCCESS) {
            EXPECT_EQ(Text(original), Text(Address(ip, 9090)));
        }

        UNIQUE_FD datagrams;
        ASSERT_EQ(ConnectFrom(SIDE::Client, datagrams, SOCK_DGRAM, Address(ip, 443)), 0);
        const char datagram[] = "local";
        ASSERT_EQ(::send(datagrams.Get(), datagram, sizeof(datagram), 0),
                  static_cast<ssize_t>(sizeof(datagram)));
        ASSERT_TRUE(wexo::test::Readable(quicLocal.Get(), 1000));
        char drain[64];
        ASSERT_GT(::recv(quicLocal.Get(), drain, sizeof(drain), 0), 0);
    }
}

// What the client namespace forwards for a third one behind it: TCP lands on the listeners for
// forwarded traffic (at the address of the interface it came in on) with its original destination,
// DNS on the forwarder's, QUIC and port 853 are refused unless switched off; nothing reaches those
// listeners' ports unless redirected, from any side; without the forwarded ports the table leaves
// forwarded TCP alone.
TEST_F(NftTrafficTest, ForwardedTrafficIsTakenAsTheMachinesOwn) {
    constexpr uint16_t kForwardedProxy = 15101;
    constexpr uint16_t kForwardedDns = 15153;
    std::string why;
    ASSERT_TRUE(net_->AddRouted(&why)) << why;
    UNIQUE_FD proxy = MakeIn(SIDE::Client, [] { return Bound(SOCK_STREAM, "::", 15101); });
    UNIQUE_FD dns = MakeIn(SIDE::Client, [] { return Bound(SOCK_DGRAM, "::", 15153); });
    UNIQUE_FD dnsTcp = MakeIn(SIDE::Client, [] { return Bound(SOCK_STREAM, "::", 15153); });
    UNIQUE_FD quicServer = MakeIn(SIDE::Server, [] { return Bound(SOCK_DGRAM, "::", 5443); });
    ASSERT_TRUE(proxy.Valid() && dns.Valid() && dnsTcp.Valid() && quicServer.Valid());
    os::NFT_TABLE_OPTIONS options = Options();
    options.forwardedTcpProxyPort = kForwardedProxy;
    options.forwardedDnsPort = kForwardedDns;
    Install(options);
    struct TARGET {
        const char* ip;
        const char* redirectedTo;  // the client's address on the routed side
    };
    for (const TARGET& target :
         {TARGET{"192.0.2.2", "198.51.100.1"}, TARGET{"2001:db8::2", "2001:db8:5::1"}}) {
        SCOPED_TRACE(target.ip);
        UNIQUE_FD client;
        ASSERT_EQ(ConnectFrom(SIDE::Routed, client, SOCK_STREAM, Address(target.ip, 80)), 0);
        UNIQUE_FD accepted = wexo::test::AcceptWithin(proxy.Get(), 2000);
        ASSERT_TRUE(accepted.Valid()) << "forwarded TCP did not reach its listener";
        EXPECT_EQ(wexo::test::LocalText(accepted.Get()),
                  Text(Address(target.redirectedTo, kForwardedProxy)));
        sockaddr_storage original{};
        ASSERT_EQ(os::OriginalDestination(accepted.Get(), &original), os::ERROR_SUCCESS);
        EXPECT_EQ(Text(original), Text(Address(target.ip, 80)));
        EXPECT_FALSE(wexo::test::Readable(server80_.Get(), 0));
        EXPECT_FALSE(wexo::test::Readable(proxy_.Get(), 0));

        UNIQUE_FD query;
        ASSERT_EQ(ConnectFrom(SIDE::Routed, query, SOCK_DGRAM, Address(target.ip, 53)), 0);
        ASSERT_EQ(::send(query.Get(), "q", 1, 0), 1);
        EXPECT_TRUE(wexo::test::Readable(dns.Get(), 2000)) << "forwarded DNS went elsewhere";
        char drain[2048];
        ::recv(dns.Get(), drain, sizeof(drain), MSG_DONTWAIT);
        UNIQUE_FD tcpQuery;
        ASSERT_EQ(ConnectFrom(SIDE::Routed, tcpQuery, SOCK_STREAM, Address(target.ip, 53)), 0);
        EXPECT_TRUE(wexo::test::AcceptWithin(dnsTcp.Get(), 2000).Valid());

        // QUIC and port 853 refused, other UDP forwarded as it was.
        UNIQUE_FD quic;
        ASSERT_EQ(ConnectFrom(SIDE::Routed, quic, SOCK_DGRAM, Address(target.ip, 5443)), 0);
        int sendError = 0;
        EXPECT_EQ(ErrorAfterSend(quic, &sendError), ECONNREFUSED);
        EXPECT_FALSE(wexo::test::Readable(quicServer.Get(), 0));
        EXPECT_EQ(ErrorAfterSend(quic, &sendError, "not quic"), 0);
        EXPECT_TRUE(wexo::test::Readable(quicServer.Get(), 1000));
        ::recv(quicServer.Get(), drain, sizeof(drain), MSG_DONTWAIT);
        UNIQUE_FD dot;
        EXPECT_EQ(ConnectFrom(SIDE::Routed, dot, SOCK_STREAM, Address(target.ip, 853)),
                  ECONNREFUSED);
        UNIQUE_FD doq;
        ASSERT_EQ(ConnectFrom(SIDE::Routed, doq, SOCK_DGRAM, Address(target.ip, 853)), 0);
        EXPECT_EQ(ErrorAfterSend(doq, &sendError, "a query"), ECONNREFUSED);
    }

    // Straight to the listeners' ports, from another host, the routed one and the machine itself.
    struct DIRECT {
        SIDE from;
        const char* ip;
        uint16_t port;
        int type;
    };
    for (const DIRECT& direct : {DIRECT{SIDE::Server, "192.0.2.1", kForwardedProxy, SOCK_STREAM},
                                 DIRECT{SIDE::Routed, "198.51.100.1", kForwardedProxy, SOCK_STREAM},
                                 DIRECT{SIDE::Client, "127.0.0.1", kForwardedProxy, SOCK_STREAM},
                                 DIRECT{SIDE::Server, "2001:db8::1", kForwardedDns, SOCK_STREAM},
                                 DIRECT{SIDE::Routed, "198.51.100.1", kForwardedDns, SOCK_DGRAM}}) {
        SCOPED_TRACE(std::string(direct.ip) + ":" + std::to_string(direct.port));
        UNIQUE_FD client;
        int err = ConnectFrom(direct.from, client, direct.type, Address(direct.ip, direct.port));
        if (direct.type == SOCK_DGRAM) {
            int sendError = 0;
            err = ErrorAfterSend(client, &sendError, "a query");
        }
        EXPECT_EQ(err, ECONNREFUSED);
    }
    EXPECT_FALSE(wexo::test::Readable(proxy.Get(), 0));
    EXPECT_FALSE(wexo::test::Readable(dns.Get(), 0));
    EXPECT_FALSE(wexo::test::Readable(dnsTcp.Get(), 0));

    // The switches hold for forwarded traffic too: off, QUIC is forwarded and TCP to 853 is
    // redirected as any other.
    options.rejectQuic = false;
    options.rejectPort853 = false;
    Install(options);
    UNIQUE_FD quic;
    ASSERT_EQ(ConnectFrom(SIDE::Routed, quic, SOCK_DGRAM, Address("192.0.2.2", 5443)), 0);
    int sendError = 0;
    EXPECT_EQ(ErrorAfterSend(quic, &sendError), 0);
    EXPECT_TRUE(wexo::test::Readable(quicServer.Get(), 1000));
    UNIQUE_FD dot;
    EXPECT_EQ(ConnectFrom(SIDE::Routed, dot, SOCK_STREAM, Address("192.0.2.2", 853)), 0);
    EXPECT_TRUE(wexo::test::AcceptWithin(proxy.Get(), 2000).Valid());

    // Without the forwarded ports, forwarded TCP reaches the server itself.
    Install(Options());
    UNIQUE_FD client;
    ASSERT_EQ(ConnectFrom(SIDE::Routed, client, SOCK_STREAM, Address("192.0.2.2", 80)), 0);
    EXPECT_TRUE(wexo::test::AcceptWithin(server80_.Get(), 2000).Valid());
    EXPECT_FALSE(wexo::test::Readable(proxy.Get(), 0));
}

TEST(RedirectHelpers, RefuseWhatIsNotAConnectedSocket) {
    sockaddr_storage original{};
    EXPECT_EQ(os::OriginalDestination(-1, &original), os::ERROR_INVALID_HANDLE);
    UNIQUE_FD unconnected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(os::OriginalDestination(unconnected.Get(), &original), os::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(os::SetSocketMark(-1, 1), os::ERROR_INVALID_HANDLE);
}

}  // namespace
