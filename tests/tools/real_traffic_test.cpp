// The product filtering real traffic: two network namespaces of the test's own, the driver host
// (wexowfp, with the product's nftables table and its transparent proxy) and the service (wexosvc)
// in the client's, the reference policy server on the client's loopback, and real web servers in
// the server's. curl fetches through it as a user's program would; nothing outside the
// namespaces is touched.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tools/peers/dns_peer.h"
#include "tools/pipeline/namespace_product.h"

namespace {

using std::chrono::seconds;
using wexo::pipeline::NAMESPACE_PRODUCT;
using SIDE = NAMESPACE_PRODUCT::SIDE;

class RealTrafficTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!NAMESPACE_PRODUCT::Available(&why)) {
            GTEST_SKIP() << "the product cannot filter a real network here: " << why;
        }
        product_ = std::make_unique<NAMESPACE_PRODUCT>();
        // The remap list and the switch that turns rewriting on, as check-in leaves them: only the
        // service may write the product key once the driver runs, so they are installed first.
        const std::string key = "HKLM\\SOFTWARE\\Corvane\\Ostrel";
        ASSERT_TRUE(product_->Start(
            "[rules]\nblock host games.example\n", &why,
            {{"add", key, "/v", "UnencryptedSearch", "/t", "REG_DWORD", "/d", "1", "/f"},
             // Dynamic: the service does not put its built-in list in place of this one.
             {"add", key, "/v", "DNSRemappingMode", "/t", "REG_DWORD", "/d", "1", "/f"},
             {"add", key, "/v", "DNSRemapping", "/t", "REG_MULTI_SZ", "/d",
              "www.search.example,safe.search.example", "/f"}}))
            << why;
    }

    int Curl(const std::string& url, const std::string& host, int port, std::string* out) {
        return product_->Curl(url, host, port, out);
    }
    wexo::peers::HttpPeer& Web() { return product_->Web(); }
    wexo::peers::HttpPeer& Secure() { return product_->Secure(); }

    std::unique_ptr<NAMESPACE_PRODUCT> product_;
};

TEST_F(RealTrafficTest, CurlIsAllowedRedirectedOrCutAsThePolicySays) {
    std::string out;
    EXPECT_EQ(Curl("http://www.example.test/index.html", "www.example.test", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "200 ") << out;
    EXPECT_EQ(Web().RequestCount("GET", "/index.html"), 1u);

    EXPECT_EQ(Curl("http://games.example/play", "games.example", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "302 ") << out;
    EXPECT_NE(out.find("/blocked.html?url=games.example%2Fplay"), std::string::npos) << out;
    EXPECT_EQ(Web().RequestCount("GET", "/play"), 0u) << "a blocked request reached the server";

    EXPECT_EQ(Curl("https://mail.example.test/index.html", "mail.example.test", 443, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "200 ") << out;
    EXPECT_EQ(Secure().RequestCount("GET", "/index.html"), 1u);

    // A blocked TLS connection is closed: curl gets no answer.
    EXPECT_NE(Curl("https://games.example/play", "games.example", 443, &out), 0) << out;
    EXPECT_EQ(Secure().RequestCount("GET", "/play"), 0u);
}

// A real browser: headless Chromium in the client namespace is sent to the block page for a
// blocked host and shows an allowed one; with SCREENSHOT_DIR set the block page is also saved as
// a picture (docs/block-page.png was made so).
TEST_F(RealTrafficTest, ChromiumShowsTheBlockPageForABlockedHost) {
    const std::string chromium = wexo::peers::NETWORK_NAMESPACES::FindProgram("chromium");
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed";
    }
    auto browse = [&](const std::vector<std::string>& what, std::string* out) {
        std::vector<std::string> command = {
            chromium,
            "--headless=new",
            "--no-sandbox",
            "--disable-gpu",
            "--no-first-run",
            "--user-data-dir=" + product_->RuntimeDir() + "/chromium",
            "--host-resolver-rules=MAP games.example 192.0.2.2, MAP www.example.test 192.0.2.2"};
        command.insert(command.end(), what.begin(), what.end());
        return product_->Run(SIDE::Client, command, out);
    };
    std::string page;
    EXPECT_EQ(browse({"--dump-dom", "http://www.example.test/index.html"}, &page), 0) << page;
    EXPECT_NE(page.find("the page"), std::string::npos) << page;
    EXPECT_EQ(browse({"--dump-dom", "http://games.example/play"}, &page), 0) << page;
    EXPECT_NE(page.find("<title>Page blocked</title>"), std::string::npos) << page;
    EXPECT_EQ(Web().RequestCount("GET", "/play"), 0u);

    const char* folder = std::getenv("SCREENSHOT_DIR");
    const std::string picture =
        (folder != nullptr ? std::string(folder) : product_->RuntimeDir()) + "/block-page.png";
    EXPECT_EQ(browse({"--screenshot=" + picture, "--window-size=900,520", "--hide-scrollbars",
                      "http://games.example/play"},
                     &page),
              0)
        << page;
    EXPECT_GT(std::filesystem::exists(picture) ? std::filesystem::file_size(picture) : 0u, 1000u);
}

// Chromium that has learnt a host speaks HTTP/3 (its Alt-Svc header, remembered in the profile)
// tries QUIC: the UDP is refused (the table's counter shows it), and the page
// still comes, over TCP, through the filter.
TEST_F(RealTrafficTest, ChromiumOfferedQuicIsRefusedAndLoadsOverTcp) {
    const std::string chromium = wexo::peers::NETWORK_NAMESPACES::FindProgram("chromium");
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed";
    }
    Secure().Reply("GET", "/h3.html", 200, "<title>over tcp</title>the h3 page", "text/html",
                   {{"Alt-Svc", "h3=\":443\"; ma=86400"}});
    auto visit = [&](std::string* page) {
        return product_->Run(
            SIDE::Client,
            {chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--user-data-dir=" + product_->RuntimeDir() + "/chromium-quic", "--enable-quic",
             // The server's own key is trusted, so its certificate counts as valid (Chromium
             // uses no alternative service for a host whose certificate has errors).
             "--ignore-certificate-errors-spki-list=" + product_->SecurePin(),
             "--host-resolver-rules=MAP mail.example.test 192.0.2.2", "--dump-dom",
             "https://mail.example.test/h3.html"},
            page);
    };
    auto refused = [&] {
        std::string counter;
        product_->Run(SIDE::Client, {"nft", "list", "counter", "inet", "wexo", "quic_refused"},
                      &counter);
        const size_t packets = counter.find("packets ");
        return packets == std::string::npos
                   ? std::string("(no counter)")
                   : counter.substr(packets + 8, counter.find(' ', packets + 8) - packets - 8);
    };
    // Chromium tries QUIC as soon as it has the header (for the rest of the first visit, or on
    // the second), and once refused marks it broken for the host: either way the counter moves.
    const std::string before = refused();
    std::string page;
    ASSERT_EQ(visit(&page), 0) << page;
    ASSERT_NE(page.find("the h3 page"), std::string::npos) << page;
    EXPECT_EQ(visit(&page), 0) << page;
    EXPECT_NE(page.find("the h3 page"), std::string::npos) << page;
    EXPECT_NE(refused(), before) << "Chromium never tried QUIC";
    EXPECT_EQ(Secure().RequestCount("GET", "/h3.html"), 2u);
}

// The service killed outright: with no service to ask, a new connection that needs a lookup is
// cut (the client gets nothing, the server sees nothing); a restarted service registers and
// connections are decided again.
TEST_F(RealTrafficTest, AKilledServiceCutsNewLookupsAndARestartedOneDecidesAgain) {
    std::string out;
    ASSERT_EQ(Curl("http://www.example.test/index.html", "www.example.test", 80, &out), 0);
    ASSERT_TRUE(product_->Service()->Signal(SIGKILL));
    product_->Service()->Wait(seconds(30));
    EXPECT_NE(Curl("http://news.example/index.html", "news.example", 80, &out), 0) << out;
    EXPECT_EQ(Web().RequestCount("GET", "/index.html"), 1u) << "the cut request reached the server";

    std::string why;
    ASSERT_TRUE(product_->StartService(&why)) << why;
    EXPECT_EQ(Curl("http://news.example/index.html", "news.example", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "200 ") << out;
    EXPECT_EQ(Curl("http://games.example/play", "games.example", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "302 ") << out;
}

TEST_F(RealTrafficTest, QuicIsRefusedAndTheTableGoesWithTheHost) {
    int error = 0;
    ASSERT_TRUE(product_->Namespaces().RunIn(SIDE::Client, [&] {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(443);
        to.sin_addr.s_addr = htonl(0xC0000202);  // 192.0.2.2
        timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        // The first datagram of a QUIC v1 connection: a long header, padded as clients pad it.
        char hello[1200] = {'\xC3', 0, 0, 0, 1, 8, 'd', 'c', 'i', 'd', '-', '1', '2', '3'};
        if (send(fd, hello, sizeof hello, 0) < 0) {
            error = errno;
        } else if (recv(fd, hello, sizeof hello, 0) < 0) {
            error = errno;
        }
        close(fd);
    }));
    EXPECT_TRUE(error == ECONNREFUSED || error == EPERM) << std::strerror(error);

    std::string tables;
    product_->Run(SIDE::Client, {"nft", "list", "tables"}, &tables);
    EXPECT_NE(tables.find("wexo"), std::string::npos) << tables;
    EXPECT_EQ(product_->StopService(), 0);
    EXPECT_EQ(product_->StopHost(), 0) << product_->Host()->Output();
    product_->Run(SIDE::Client, {"nft", "list", "tables"}, &tables);
    EXPECT_EQ(tables.find("wexo"), std::string::npos) << "the table outlived its host: " << tables;
    // Without the host, connections go straight to the server again.
    std::string out;
    EXPECT_EQ(Curl("http://games.example/play", "games.example", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "200 ") << out;
}

// Real DNS through the forwarder: names resolve as the server's DNS says, a host of the remap list
// resolves to its target's address once the driver has it, curl reaches a host by its name, and
// the DNS-over-HTTPS canary gets NXDOMAIN without reaching the server's DNS.
TEST_F(RealTrafficTest, DnsAnswersAreRemappedAndTheCanaryIsRefused) {
    auto lookup = [&](const std::string& name) {
        std::string out;
        product_->Run(SIDE::Client, {"getent", "ahosts", name}, &out);
        return out;
    };
    EXPECT_NE(lookup("www.example.test").find("192.0.2.2"), std::string::npos);

    // The driver learns the remap target's address from the service, then rewrites real answers.
    // Nobody but the service may change the list: wexo-reg is refused while the driver runs.
    std::string out;
    const std::string key = "HKLM\\SOFTWARE\\Corvane\\Ostrel";
    EXPECT_NE(product_->Registry({"add", key, "/v", "DNSRemapping", "/t", "REG_MULTI_SZ", "/d",
                                  "www.search.example,www.example.test", "/f"},
                                 &out),
              0)
        << out;
    std::string remapped;
    for (int i = 0; i < 100; ++i) {
        remapped = lookup("www.search.example");
        if (remapped.find("192.0.2.3") != std::string::npos) {
            break;
        }
        usleep(100'000);
    }
    EXPECT_NE(remapped.find("192.0.2.3"), std::string::npos) << remapped;
    EXPECT_NE(remapped.find("safe.search.example"), std::string::npos) << remapped;
    EXPECT_EQ(remapped.find("192.0.2.2"), std::string::npos) << remapped;
    // Asked over TCP, where a client could hope to go around the rewriting, the answer is the same.
    std::string overTcp;
    ASSERT_TRUE(product_->Namespaces().RunIn(SIDE::Client, [&] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(53);
        to.sin_addr.s_addr = htonl(0xC0000202);  // 192.0.2.2
        timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const std::vector<uint8_t> query = wexo::peers::DnsQuery("www.search.example");
        std::string frame = {static_cast<char>(query.size() >> 8), static_cast<char>(query.size())};
        frame.append(query.begin(), query.end());
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
            send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) > 0) {
            // The answer's two length bytes, then that many.
            uint8_t length[2] = {};
            if (recv(fd, length, 2, MSG_WAITALL) == 2) {
                overTcp.resize(static_cast<size_t>(length[0] << 8 | length[1]));
                if (recv(fd, overTcp.data(), overTcp.size(), MSG_WAITALL) !=
                    static_cast<ssize_t>(overTcp.size())) {
                    overTcp.clear();
                }
            }
        }
        close(fd);
    }));
    EXPECT_NE(overTcp.find(std::string("\xC0\x00\x02\x03", 4)), std::string::npos)
        << "over TCP the search host was not remapped";
    EXPECT_EQ(overTcp.find(std::string("\xC0\x00\x02\x02", 4)), std::string::npos);
    EXPECT_EQ(product_->Dns().TcpQueries(), 1u);
    // A name the list does not hold is left as it was.
    EXPECT_NE(lookup("www.example.test").find("192.0.2.2"), std::string::npos);

    // curl finds the server by its name, through the redirect and the forwarder.
    EXPECT_EQ(product_->Run(SIDE::Client,
                            {"curl", "-s", "--max-time", "15", "-o", "/dev/null", "-w",
                             "%{http_code}", "http://www.example.test/index.html"},
                            &out),
              0);
    EXPECT_EQ(out, "200");

    EXPECT_EQ(lookup("use-application-dns.net"), "");
    EXPECT_EQ(product_->Dns().QueryCount("use-application-dns.net"), 0u);
    EXPECT_GE(product_->Dns().QueryCount("www.example.test"), 1u);
}

}  // namespace
