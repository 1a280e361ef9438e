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

#include "tools/peers/child_process.h"
#include "tools/peers/http_peer.h"
#include "tools/peers/network_namespaces.h"
#include "tools/peers/policy_server.h"

namespace {

using std::chrono::seconds;
using wexo::peers::CHILD_PROCESS;
using wexo::peers::NETWORK_NAMESPACES;
using SIDE = NETWORK_NAMESPACES::SIDE;

const std::string kHost = std::string(WEXO_BINARY_DIR) + "/tools/wexowfp";
const std::string kService = std::string(WEXO_BINARY_DIR) + "/tools/wexosvc";

class RealTrafficTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!NETWORK_NAMESPACES::Available(&why)) {
            GTEST_SKIP() << "no network namespaces here: " << why;
        }
        if (NETWORK_NAMESPACES::FindProgram("curl").empty()) {
            GTEST_SKIP() << "curl is not installed";
        }
        namespaces_ = NETWORK_NAMESPACES::Create(&why);
        ASSERT_NE(namespaces_, nullptr) << why;
        char dir[] = "/tmp/wexo-real-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;

        // Web servers on the server's address; their sockets stay in its namespace.
        wexo::peers::PeerOptions plain;
        plain.address = "192.0.2.2";
        plain.port = 80;
        web_ = std::make_unique<wexo::peers::HttpPeer>(plain);
        wexo::peers::PeerOptions tls = wexo::peers::HttpsPeer();
        tls.address = "192.0.2.2";
        tls.port = 443;
        secure_ = std::make_unique<wexo::peers::HttpPeer>(tls);
        for (auto* peer : {web_.get(), secure_.get()}) {
            peer->Reply("GET", "/index.html", 200, "the page");
            peer->Reply("GET", "/play", 200, "the game");
        }
        bool started = false;
        ASSERT_TRUE(
            namespaces_->RunIn(SIDE::Server, [&] { started = web_->Start() && secure_->Start(); }));
        ASSERT_TRUE(started);
        // The policy server on the client's own loopback, which the redirect leaves alone.
        ASSERT_TRUE(policy_.Pages().SetPolicyText("[rules]\nblock host games.example\n", &why))
            << why;
        ASSERT_TRUE(namespaces_->RunIn(SIDE::Client, [&] { started = policy_.Start(); }));
        ASSERT_TRUE(started);

        host_ = namespaces_->Start(SIDE::Client, Program(kHost, {"WEXO_NETWORK=real"}));
        ASSERT_NE(host_, nullptr);
        ASSERT_TRUE(host_->ReadUntil("the driver runs", seconds(30))) << host_->Output();
        ASSERT_NE(host_->Output().find("filtering the machine's connections"), std::string::npos)
            << host_->Output();
        service_ = namespaces_->Start(
            SIDE::Client,
            Program(kService, {"WexoSvc=0x120", "WEXO_POLICY_SERVERS=" + policy_.HostPort()},
                    {"-A"}));
        ASSERT_NE(service_, nullptr);
        ASSERT_TRUE(service_->ReadUntil("Service started", seconds(30))) << service_->Output();
    }
    void TearDown() override {
        if (service_) {
            service_->Signal(SIGTERM);
            service_->Wait(seconds(30));
        }
        if (host_) {
            host_->Signal(SIGTERM);
            host_->Wait(seconds(30));
        }
        policy_.Stop();
        if (web_) {
            web_->Stop();
            secure_->Stop();
        }
        namespaces_.reset();
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
        }
    }

    // `env` with the settings every product program of the test gets, then the program.
    std::vector<std::string> Program(const std::string& program, std::vector<std::string> settings,
                                     const std::vector<std::string>& arguments = {}) {
        std::vector<std::string> command = {"env",
                                            "WEXO_RUNTIME_DIR=" + dir_,
                                            "NOTIFY_SOCKET=",
                                            "WEXO_REGISTRY_FILE=",
                                            "WEXO_IN_PROCESS_DRIVER=",
                                            "WEXO_DEMO_URLS="};
        command.insert(command.end(), settings.begin(), settings.end());
        command.push_back(program);
        command.insert(command.end(), arguments.begin(), arguments.end());
        return command;
    }

    // curl in the client namespace with `host` resolved to the server; its exit status, and what
    // it wrote (-w) in *out.
    int Curl(const std::string& url, const std::string& host, int port, std::string* out) {
        return namespaces_->Run(SIDE::Client,
                                {"curl", "-sk", "--max-time", "15", "-o", "/dev/null", "-w",
                                 "%{http_code} %{redirect_url}", "--resolve",
                                 host + ":" + std::to_string(port) + ":192.0.2.2", url},
                                out, seconds(30));
    }

    std::unique_ptr<NETWORK_NAMESPACES> namespaces_;
    std::string dir_;
    std::unique_ptr<wexo::peers::HttpPeer> web_;
    std::unique_ptr<wexo::peers::HttpPeer> secure_;
    wexo::peers::PolicyServer policy_;
    std::unique_ptr<CHILD_PROCESS> host_;
    std::unique_ptr<CHILD_PROCESS> service_;
};

TEST_F(RealTrafficTest, CurlIsAllowedRedirectedOrCutAsThePolicySays) {
    std::string out;
    EXPECT_EQ(Curl("http://www.example.test/index.html", "www.example.test", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "200 ") << out;
    EXPECT_EQ(web_->RequestCount("GET", "/index.html"), 1u);

    EXPECT_EQ(Curl("http://games.example/play", "games.example", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "302 ") << out;
    EXPECT_NE(out.find("/blocked.html?url=games.example%2Fplay"), std::string::npos) << out;
    EXPECT_EQ(web_->RequestCount("GET", "/play"), 0u) << "a blocked request reached the server";

    EXPECT_EQ(Curl("https://mail.example.test/index.html", "mail.example.test", 443, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "200 ") << out;
    EXPECT_EQ(secure_->RequestCount("GET", "/index.html"), 1u);

    // A blocked TLS connection is closed: curl gets no answer.
    EXPECT_NE(Curl("https://games.example/play", "games.example", 443, &out), 0) << out;
    EXPECT_EQ(secure_->RequestCount("GET", "/play"), 0u);
}

// A real browser: headless Chromium in the client namespace is sent to the block page for a
// blocked host and shows an allowed one; with SCREENSHOT_DIR set the block page is also saved as
// a picture (docs/block-page.png was made so).
TEST_F(RealTrafficTest, ChromiumShowsTheBlockPageForABlockedHost) {
    const std::string chromium = NETWORK_NAMESPACES::FindProgram("chromium");
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
            "--user-data-dir=" + dir_ + "/chromium",
            "--host-resolver-rules=MAP games.example 192.0.2.2, MAP www.example.test 192.0.2.2"};
        command.insert(command.end(), what.begin(), what.end());
        return namespaces_->Run(SIDE::Client, command, out, seconds(90));
    };
    std::string page;
    EXPECT_EQ(browse({"--dump-dom", "http://www.example.test/index.html"}, &page), 0) << page;
    EXPECT_NE(page.find("the page"), std::string::npos) << page;
    EXPECT_EQ(browse({"--dump-dom", "http://games.example/play"}, &page), 0) << page;
    EXPECT_NE(page.find("<title>Page blocked</title>"), std::string::npos) << page;
    EXPECT_EQ(web_->RequestCount("GET", "/play"), 0u);

    const char* folder = std::getenv("SCREENSHOT_DIR");
    const std::string picture =
        (folder != nullptr ? std::string(folder) : dir_) + "/block-page.png";
    EXPECT_EQ(browse({"--screenshot=" + picture, "--window-size=900,520", "--hide-scrollbars",
                      "http://games.example/play"},
                     &page),
              0)
        << page;
    EXPECT_GT(std::filesystem::exists(picture) ? std::filesystem::file_size(picture) : 0u, 1000u);
}

// The service killed outright: with no service to ask, a new connection that needs a lookup is
// cut (the client gets nothing, the server sees nothing); a restarted service registers and
// connections are decided again.
TEST_F(RealTrafficTest, AKilledServiceCutsNewLookupsAndARestartedOneDecidesAgain) {
    std::string out;
    ASSERT_EQ(Curl("http://www.example.test/index.html", "www.example.test", 80, &out), 0);
    ASSERT_TRUE(service_->Signal(SIGKILL));
    service_->Wait(seconds(30));
    EXPECT_NE(Curl("http://news.example/index.html", "news.example", 80, &out), 0) << out;
    EXPECT_EQ(web_->RequestCount("GET", "/index.html"), 1u) << "the cut request reached the server";

    service_ = namespaces_->Start(
        SIDE::Client,
        Program(kService, {"WexoSvc=0x120", "WEXO_POLICY_SERVERS=" + policy_.HostPort()}, {"-A"}));
    ASSERT_NE(service_, nullptr);
    ASSERT_TRUE(service_->ReadUntil("Service started", seconds(30))) << service_->Output();
    EXPECT_EQ(Curl("http://news.example/index.html", "news.example", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "200 ") << out;
    EXPECT_EQ(Curl("http://games.example/play", "games.example", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "302 ") << out;
}

TEST_F(RealTrafficTest, QuicIsRefusedAndTheTableGoesWithTheHost) {
    int error = 0;
    ASSERT_TRUE(namespaces_->RunIn(SIDE::Client, [&] {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(443);
        to.sin_addr.s_addr = htonl(0xC0000202);  // 192.0.2.2
        timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        char hello[16] = "quic initial";
        if (send(fd, hello, sizeof hello, 0) < 0) {
            error = errno;
        } else if (recv(fd, hello, sizeof hello, 0) < 0) {
            error = errno;
        }
        close(fd);
    }));
    EXPECT_TRUE(error == ECONNREFUSED || error == EPERM) << std::strerror(error);

    std::string tables;
    namespaces_->Run(SIDE::Client, {"nft", "list", "tables"}, &tables);
    EXPECT_NE(tables.find("wexo"), std::string::npos) << tables;
    service_->Signal(SIGTERM);
    EXPECT_EQ(service_->Wait(seconds(30)), 0);
    host_->Signal(SIGTERM);
    EXPECT_EQ(host_->Wait(seconds(30)), 0) << host_->Output();
    namespaces_->Run(SIDE::Client, {"nft", "list", "tables"}, &tables);
    EXPECT_EQ(tables.find("wexo"), std::string::npos) << "the table outlived its host: " << tables;
    // Without the host, connections go straight to the server again.
    std::string out;
    EXPECT_EQ(Curl("http://games.example/play", "games.example", 80, &out), 0);
    EXPECT_EQ(out.substr(0, 4), "200 ") << out;
}

}  // namespace
