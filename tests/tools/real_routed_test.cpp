// What the machine forwards is filtered as its own: a third network namespace whose only way out
// is through the client's (which forwards for it, as a machine does for its containers and virtual
// machines) reaches the server's web servers and DNS through the product running in the client
// namespace. curl and Python sockets in the routed namespace get what the client's own would: the
// block page, a closed blocked TLS connection, remapped DNS, and QUIC refused.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tools/pipeline/namespace_product.h"

namespace {

using std::chrono::seconds;
using wexo::pipeline::NAMESPACE_PRODUCT;
using SIDE = NAMESPACE_PRODUCT::SIDE;

// A DNS query from a socket of its own to the server's DNS, over UDP or TCP, as a resolver
// library sends it: prints the answer's RCODE and the addresses of its A records, "timeout" when
// nothing came.
constexpr char kDnsClient[] = R"PY(
import socket, struct, sys
name, transport = sys.argv[1], sys.argv[2]
query = struct.pack("!6H", 0x5757, 0x0100, 1, 0, 0, 0)
query += b"".join(bytes([len(label)]) + label.encode() for label in name.split("."))
query += b"\0" + struct.pack("!HH", 1, 1)
def exact(sock, size):
    data = b""
    while len(data) < size:
        more = sock.recv(size - len(data))
        if not more:
            raise OSError("closed")
        data += more
    return data
try:
    if transport == "tcp":
        sock = socket.create_connection(("192.0.2.2", 53), timeout=5)
        sock.sendall(struct.pack("!H", len(query)) + query)
        answer = exact(sock, struct.unpack("!H", exact(sock, 2))[0])
    else:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.settimeout(5)
        sock.connect(("192.0.2.2", 53))
        sock.send(query)
        answer = sock.recv(4096)
except OSError as error:
    print("timeout", error)
    sys.exit(0)
def skip_name(at):
    while answer[at] != 0 and answer[at] < 0xC0:
        at += answer[at] + 1
    return at + (2 if answer[at] >= 0xC0 else 1)
count = struct.unpack("!H", answer[6:8])[0]
at = skip_name(12) + 4
addresses = []
for _ in range(count):
    at = skip_name(at)
    kind, _, _, length = struct.unpack("!HHIH", answer[at:at + 10])
    at += 10
    if kind == 1 and length == 4:
        addresses.append(socket.inet_ntoa(answer[at:at + 4]))
    at += length
print(answer[3] & 15, " ".join(addresses))
)PY";

// The first datagram of a QUIC v1 connection, padded as clients pad it: "refused" when the port
// unreachable comes back.
constexpr char kQuicClient[] = R"PY(
import socket
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.settimeout(3)
sock.connect(("192.0.2.2", 443))
sock.send((b"\xc3\x00\x00\x00\x01\x08dcid-123\x00\x00").ljust(1200, b"\0"))
try:
    sock.recv(100)
    print("answered")
except ConnectionRefusedError:
    print("refused")
except OSError as error:
    print("nothing", error)
)PY";

class RealRoutedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!NAMESPACE_PRODUCT::Available(&why)) {
            GTEST_SKIP() << "the product cannot filter a real network here: " << why;
        }
        for (const char* program : {"python3", "nft"}) {
            if (wexo::peers::NETWORK_NAMESPACES::FindProgram(program).empty()) {
                GTEST_SKIP() << program << " is not installed";
            }
        }
        product_ = std::make_unique<NAMESPACE_PRODUCT>();
        const std::string key = "HKLM\\SOFTWARE\\Corvane\\Ostrel";
        ASSERT_TRUE(product_->Start(
            "[rules]\nblock host games.example\n", &why,
            {{"add", key, "/v", "UnencryptedSearch", "/t", "REG_DWORD", "/d", "1", "/f"},
             {"add", key, "/v", "DNSRemappingMode", "/t", "REG_DWORD", "/d", "1", "/f"},
             {"add", key, "/v", "DNSRemapping", "/t", "REG_MULTI_SZ", "/d",
              "www.search.example,safe.search.example", "/f"}}))
            << why;
        ASSERT_TRUE(product_->Namespaces().AddRouted(&why)) << why;
    }

    // curl in the routed namespace with `host` resolved to the server: "<exit status> <status
    // code> <redirect URL>".
    std::string Curl(const std::string& url, const std::string& host, int port) {
        std::string out;
        const int status = product_->Run(SIDE::Routed,
                                         {"curl", "-sk", "--max-time", "10", "-o", "/dev/null",
                                          "-w", "%{http_code} %{redirect_url}", "--resolve",
                                          host + ":" + std::to_string(port) + ":192.0.2.2", url},
                                         &out);
        return std::to_string(status) + " " + out;
    }
    std::string Python(const char* script, const std::vector<std::string>& arguments = {}) {
        std::vector<std::string> command = {"python3", "-c", script};
        command.insert(command.end(), arguments.begin(), arguments.end());
        std::string out;
        product_->Run(SIDE::Routed, command, &out);
        return out.substr(0, out.find('\n'));
    }

    // The table's count of refused QUIC datagrams, as nft lists it.
    std::string QuicRefusals() {
        std::string counter;
        product_->Run(SIDE::Client, {"nft", "list", "counter", "inet", "wexo", "quic_refused"},
                      &counter);
        const size_t packets = counter.find("packets ");
        return packets == std::string::npos ? "(no counter)" : counter.substr(packets, 12);
    }

    std::unique_ptr<NAMESPACE_PRODUCT> product_;
};

TEST_F(RealRoutedTest, ForwardedWebTrafficIsJudgedAsTheMachinesOwn) {
    EXPECT_EQ(Curl("http://www.example.test/index.html", "www.example.test", 80), "0 200 ");
    const std::string blocked = Curl("http://games.example/play", "games.example", 80);
    EXPECT_EQ(blocked.substr(0, 6), "0 302 ") << blocked;
    EXPECT_NE(blocked.find("/blocked.html?url=games.example%2Fplay"), std::string::npos) << blocked;
    EXPECT_EQ(Curl("https://mail.example.test/index.html", "mail.example.test", 443), "0 200 ");
    EXPECT_NE(Curl("https://games.example/play", "games.example", 443).substr(0, 2), "0 ");
    EXPECT_EQ(product_->Web().RequestCount("GET", "/play"), 0u) << "a blocked request got through";
    EXPECT_EQ(product_->Secure().RequestCount("GET", "/play"), 0u);
    EXPECT_EQ(product_->Web().RequestCount("GET", "/index.html"), 1u);
    // Refused by the table (the server's own refusal would read the same to the client).
    const std::string before = QuicRefusals();
    EXPECT_EQ(Python(kQuicClient), "refused");
    EXPECT_NE(QuicRefusals(), before);

    // The table's watch keeps the forwarded chain too: flushed, it is back within two seconds.
    std::string out;
    ASSERT_EQ(product_->Run(SIDE::Client,
                            {"nft", "flush", "chain", "inet", "wexo", "nat_prerouting"}, &out),
              0)
        << out;
    const auto deadline = std::chrono::steady_clock::now() + seconds(2);
    std::string again;
    do {
        again = Curl("http://games.example/play", "games.example", 80);
    } while (again.substr(0, 6) != "0 302 " && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(again.substr(0, 6), "0 302 ") << again;

    // Where the machine stops forwarding, the product does not forward in its place.
    ASSERT_EQ(product_->Run(SIDE::Client, {"sysctl", "-qw", "net.ipv4.ip_forward=0"}, &out), 0)
        << out;
    EXPECT_NE(Curl("http://www.example.test/index.html", "www.example.test", 80).substr(0, 6),
              "0 200 ");
    EXPECT_EQ(product_->Web().RequestCount("GET", "/index.html"), 1u);
}

TEST_F(RealRoutedTest, ForwardedDnsIsAnsweredThroughTheForwarder) {
    EXPECT_EQ(Python(kDnsClient, {"www.example.test", "udp"}), "0 192.0.2.2");
    // The driver learns the remap target's address from the service, then rewrites real answers;
    // a round of the service's look-ups that fails is tried again 15 seconds later.
    const auto deadline = std::chrono::steady_clock::now() + seconds(40);
    std::string remapped;
    while (remapped != "0 192.0.2.3" && std::chrono::steady_clock::now() < deadline) {
        remapped = Python(kDnsClient, {"www.search.example", "udp"});
    }
    EXPECT_EQ(remapped, "0 192.0.2.3") << product_->Host()->Output();
    EXPECT_EQ(Python(kDnsClient, {"www.search.example", "tcp"}), "0 192.0.2.3");
    EXPECT_EQ(product_->Dns().TcpQueries(), 1u);
    // The canary is answered by the forwarder itself.
    EXPECT_EQ(Python(kDnsClient, {"use-application-dns.net", "udp"}), "3 ");
    EXPECT_EQ(product_->Dns().QueryCount("use-application-dns.net"), 0u);
    // A program's own lookups take the same way.
    std::string out;
    product_->Run(SIDE::Routed, {"getent", "ahosts", "www.search.example"}, &out);
    EXPECT_NE(out.find("192.0.2.3"), std::string::npos) << out;
    EXPECT_EQ(out.find("192.0.2.2"), std::string::npos) << out;
}

}  // namespace
