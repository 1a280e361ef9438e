// The DNS remap list: the built-in list and its line rules, the list page of a policy server on
// loopback and what each outcome leaves in the settings and in "DNSRemapping".
#include "service/checkin/dns_remap_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/service/servers/servers_test_support.h"
#include "tools/peers/api_server.h"
#include "tools/peers/http_peer.h"
#include "tools/peers/streamed_reply.h"

namespace wexo::svc {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing_servers::PolicyServersFixture;

constexpr char kDeviceId[] = "0B4E4C2E-6C1D-4F5C-9E0A-5D2B3C4D5E6F";

TEST(BuiltInRemapList, EightEntriesInTheirOrderWithTheDuplicateKept) {
    testing_http::LogCapture log{DEBUG_OUTPUT_VERBOSE};
    DNS_REMAP_LIST list;
    ASSERT_TRUE(LoadBuiltInRemapList(&list));
    EXPECT_THAT(list, ElementsAre("www.google.com,forcesafesearch.google.com",
                                  "images.google.com,forcesafesearch.google.com",
                                  "encrypted.google.com,forcesafesearch.google.com",
                                  "www.google.co.uk,forcesafesearch.google.com",
                                  "images.google.co.uk,forcesafesearch.google.com",
                                  "www.youtube.com,restrict.youtube.com",
                                  "m.youtube.com,restrict.youtube.com",
                                  "m.youtube.com,restrict.youtube.com"));
    EXPECT_TRUE(log.Lines().empty());
    // Single-byte text with CR LF line ends, as the resource is.
    EXPECT_EQ(BuiltInRemapText().find('\n'), BuiltInRemapText().find('\r') + 1);
}

TEST(BuiltInRemapList, LinesThatAreNoEntriesAreSkippedWithALine) {
    testing_http::LogCapture log{DEBUG_OUTPUT_VERBOSE};
    DNS_REMAP_LIST list;
    ParseRemapLines(",first.test\r\na.test,b.test\nlast.test,\rnone.test\r\rc.test,d.test", &list);
    EXPECT_THAT(list, ElementsAre("a.test,b.test", "c.test,d.test"));
    EXPECT_TRUE(log.Has("Invalid DNS remap = \",first.test\")"));
    EXPECT_TRUE(log.Has("Invalid DNS remap = \"last.test,\")"));
    EXPECT_TRUE(log.Has("Invalid DNS remap = \"none.test\")"));
    // The empty line between two CRs.
    EXPECT_TRUE(log.Has("Invalid DNS remap = \"\")"));

    // A NUL byte would split the entry in the registry; a byte above 0x7F is its Latin-1 letter.
    constexpr char kBytes[] = "x.test,y\0z\n\xE9.test,f.test";
    ParseRemapLines(std::string_view(kBytes, sizeof kBytes - 1), &list);
    EXPECT_THAT(list, ElementsAre("\xC3\xA9.test,f.test"));
    EXPECT_TRUE(IsValidRemapEntry("a,b,c"));
    EXPECT_FALSE(IsValidRemapEntry(","));
    EXPECT_FALSE(IsValidRemapEntry(""));
}

class DnsRemapListTest : public PolicyServersFixture {
  protected:
    void SetUp() override {
        PolicyServersFixture::SetUp();
        settings_.LoadSettings();
        ASSERT_TRUE(peer_.Start());
    }
    void TearDown() override {
        peer_.Stop();
        PolicyServersFixture::TearDown();
    }

    CURRENT_POLICY_SERVER Server() {
        return [this](std::string& name) {
            name = peer_.HostPort();
            return true;
        };
    }
    void Reply(int status, std::string body, std::string type = "text/xml") {
        peer_.Reply("GET", "/api/mobile/v1/dns_remaps", status, std::move(body), std::move(type));
    }
    std::optional<std::vector<std::string>> Stored() {
        os::REG_VALUE value;
        if (os::RegQueryValue(settings_.ProductKey(), kDnsRemappingValueName, value) !=
            os::ERROR_SUCCESS) {
            return std::nullopt;
        }
        EXPECT_EQ(value.type, os::REG_MULTI_SZ);
        return os::RegMultiStringFromData(value.data);
    }
    void Store(const std::vector<std::string>& entries) {
        ASSERT_TRUE(
            WriteRegistryMultiString(settings_.ProductKey(), kDnsRemappingValueName, entries));
    }
    int Update() { return UpdateDnsRemapList(settings_, Server(), kDeviceId); }

    peers::HttpPeer peer_;
};

TEST_F(DnsRemapListTest, AListMakesTheModeDynamicWithUnencryptedSearchAndIsWritten) {
    DebugSetMode(DEBUG_OUTPUT_VERBOSE | DEBUG_OUTPUT_XML);
    Reply(200,
          "<?xml version=\"1.0\"?>\n<DNSRemap><host>www.search.test,safe.search.test</host>"
          "<other>x</other><HOST>m.video.test,safe.video.test</HOST></DNSRemap>");
    EXPECT_EQ(Update(), DNS_REMAP_RECEIVED);
    EXPECT_EQ(settings_.DnsRemappingMode(), DNS_REMAPPING_DYNAMIC);
    EXPECT_TRUE(settings_.UnencryptedSearch());
    EXPECT_EQ(Stored(), (std::vector<std::string>{"www.search.test,safe.search.test",
                                                  "m.video.test,safe.video.test"}));
    uint32_t dword = 0;
    ASSERT_TRUE(ReadRegistryDword(settings_.ProductKey(), "DNSRemappingMode", dword));
    EXPECT_EQ(dword, 1u);
    ASSERT_TRUE(ReadRegistryDword(settings_.ProductKey(), "UnencryptedSearch", dword));
    EXPECT_EQ(dword, 1u);

    EXPECT_EQ(log_.Count("Ignoring invalid <other> tag in <DNSRemap>"), 1u);
    EXPECT_TRUE(log_.Has("<host>[0] = \"www.search.test,safe.search.test\""));
    EXPECT_TRUE(log_.Has("<host>[2] = \"m.video.test,safe.video.test\""));
    EXPECT_TRUE(log_.Has("Remap host = \"www.search.test\" --> \"safe.search.test\""));
    EXPECT_TRUE(log_.Has("Registry value = \"DNSRemapping\" set"));
    EXPECT_TRUE(log_.Has(
        std::string("GetDnsRemapList: Server = \"") + peer_.HostPort() +
        "\",\n    Page = \"api/mobile/v1/dns_remaps\",\n    UniqueDeviceId = " + kDeviceId));
    const peers::PeerRequest request = peer_.LastRequest();
    EXPECT_EQ(request.query, std::string("host_id=") + kDeviceId);
    EXPECT_FALSE(request.tls);
}

TEST_F(DnsRemapListTest, ARootWithoutChildrenDeletesTheValueAndTurnsUnencryptedSearchOff) {
    Store({"old.test,older.test"});
    settings_.SetUnencryptedSearch(true);
    Reply(200, "<DNSRemap/>");
    EXPECT_EQ(Update(), DNS_REMAP_NO_HOSTS);
    EXPECT_EQ(Stored(), std::nullopt);
    EXPECT_FALSE(settings_.UnencryptedSearch());
    EXPECT_EQ(settings_.DnsRemappingMode(), DNS_REMAPPING_DYNAMIC);
    EXPECT_FALSE(
        log_.Find("GetDnsRemapList: No remap hosts from URL = \"HTTP://" + peer_.HostPort())
            .empty());
    // Nothing to delete the next time is no failure.
    EXPECT_EQ(Update(), DNS_REMAP_NO_HOSTS);
    EXPECT_FALSE(log_.Has("Unable to delete registry value"));
}

TEST_F(DnsRemapListTest, NotFoundWritesTheBuiltInListAndTheModeBuildIn) {
    settings_.SetDnsRemappingMode(DNS_REMAPPING_DYNAMIC);
    settings_.SetUnencryptedSearch(true);
    Reply(404, "none");
    EXPECT_EQ(Update(), DNS_REMAP_NOT_FOUND);
    EXPECT_EQ(settings_.DnsRemappingMode(), DNS_REMAPPING_BUILD_IN);
    // In Build-in mode the policy replies decide unencrypted search; the 404 leaves it.
    EXPECT_TRUE(settings_.UnencryptedSearch());
    DNS_REMAP_LIST builtIn;
    LoadBuiltInRemapList(&builtIn);
    EXPECT_EQ(Stored(), builtIn);
    EXPECT_EQ(Stored()->size(), 8u);
    EXPECT_TRUE(log_.Has("Using default DNS remapping list"));
    EXPECT_FALSE(log_.Find("GetDnsRemapList: Page not found. Using built-in DNS remapping list.\n"
                           "    URL = \"HTTP://")
                     .empty());
}

TEST_F(DnsRemapListTest, InvalidRepliesAndFailuresChangeNothing) {
    Store({"kept.test,safe.test"});
    settings_.SetDnsRemappingMode(DNS_REMAPPING_DYNAMIC);
    const struct {
        int status;
        const char* body;
    } cases[] = {
        {200, "<Other><host>a.test,b.test</host></Other>"},
        {200, "<DNSRemap><host>a.test,b.test</host>"},
        {200, "not xml at all"},
        {500, "<DNSRemap><host>a.test,b.test</host></DNSRemap>"},
        {302, ""},
    };
    for (const auto& c : cases) {
        Reply(c.status, c.body);
        EXPECT_EQ(Update(), DNS_REMAP_FAILED) << c.body;
        EXPECT_EQ(Stored(), std::vector<std::string>{"kept.test,safe.test"}) << c.body;
        EXPECT_EQ(settings_.DnsRemappingMode(), DNS_REMAPPING_DYNAMIC);
        EXPECT_FALSE(settings_.UnencryptedSearch());
    }
    EXPECT_TRUE(log_.Has("No <DNSRemap> tag"));
    EXPECT_FALSE(log_.Find("GetDnsRemapList: Unable to get DNS remap list, HTTP status = 500,\n"
                           "    URL = \"HTTP://")
                     .empty());
    EXPECT_FALSE(log_.Find("GetDnsRemapList: URL = \"HTTP://").empty());

    // No server handed out, and a server that does not answer.
    EXPECT_EQ(UpdateDnsRemapList(
                  settings_, [](std::string&) { return false; }, kDeviceId),
              DNS_REMAP_FAILED);
    peer_.Stop();
    EXPECT_EQ(Update(), DNS_REMAP_FAILED);
    EXPECT_FALSE(log_.Find("GetDnsRemapList: Unable to connect to policy server.\n    ").empty());
    EXPECT_EQ(Stored(), std::vector<std::string>{"kept.test,safe.test"});
}

TEST_F(DnsRemapListTest, AReplyThatGoesOnIsNotReadPastTheLimit) {
    Store({"kept.test,safe.test"});
    // A server that never stops sending: the client must stop at the limit, not at the engine's
    // general bound of hundreds of megabytes.
    peers::StreamedReply endless({"text/xml", 64 * 1024, std::chrono::milliseconds(0)});
    peer_.Handle("GET", "/api/mobile/v1/dns_remaps", endless.Handler());
    EXPECT_EQ(Update(), DNS_REMAP_FAILED);
    EXPECT_EQ(Stored(), std::vector<std::string>{"kept.test,safe.test"});
    EXPECT_FALSE(log_.Find("GetDnsRemapList: URL = \"HTTP://").empty());
    EXPECT_THAT(log_.Find("GetDnsRemapList: URL = \"HTTP://"),
                HasSubstr("Invalid reply:\n(more than 1048576 bytes, not read further)"));
    endless.Stop();
    ASSERT_TRUE(endless.WaitForEnd(1));
    // What the server got rid of: the limit and what the sockets between hold, no more.
    EXPECT_LT(endless.BytesSent(), 32u << 20);
}

// The mode and the flag speak of the list the driver holds: a write the registry refuses, or a
// list larger than the driver takes, leaves them (and the list) as they were.
TEST_F(DnsRemapListTest, AListTheDriverDoesNotGetLeavesTheModeAndTheFlag) {
    std::string large = "<DNSRemap>";
    while (large.size() < 600 * 1024) {
        large += "<host>" + std::string(200, 'a') + std::to_string(large.size()) +
                 ".test,safe.test</host>";
    }
    large += "</DNSRemap>";
    const std::string list = "<DNSRemap><host>a.test,b.test</host></DNSRemap>";
    const struct {
        const char* what;
        int status;
        std::string body;
        os::REG_NOTIFY_CLASS denied;  // RegNtPreDeleteKey: nothing denied
        int32_t mode;
        bool unencrypted;
        const char* line;
    } cases[] = {
        {"a refused write", 200, list, os::REG_NOTIFY_CLASS::RegNtPreSetValueKey,
         DNS_REMAPPING_BUILD_IN, false, "Unable to set registry value = \"DNSRemapping\". "},
        {"a list too large", 200, large, os::REG_NOTIFY_CLASS::RegNtPreDeleteKey,
         DNS_REMAPPING_BUILD_IN, false, "Unable to set registry value = \"DNSRemapping\": "},
        {"a refused delete", 200, "<DNSRemap/>", os::REG_NOTIFY_CLASS::RegNtPreDeleteValueKey,
         DNS_REMAPPING_BUILD_IN, true, "Unable to delete registry value = \"DNSRemapping\". "},
        {"a refused built-in list", 404, "", os::REG_NOTIFY_CLASS::RegNtPreSetValueKey,
         DNS_REMAPPING_DYNAMIC, true, "Unable to set registry value = \"DNSRemapping\". "},
    };
    for (const auto& c : cases) {
        log_.Clear();
        Store({"kept.test,safe.test"});
        settings_.SetDnsRemappingMode(c.mode);
        settings_.SetUnencryptedSearch(c.unencrypted);
        Reply(c.status, c.body);
        uint64_t cookie = 0;
        const os::REG_NOTIFY_CLASS denied = c.denied;
        ASSERT_EQ(os::SystemRegistry()->RegisterCallback(
                      [denied](const os::REG_NOTIFY_INFO& info) {
                          return info.notifyClass == denied &&
                                         info.valueName == kDnsRemappingValueName
                                     ? os::STATUS_ACCESS_DENIED
                                     : os::STATUS_SUCCESS;
                      },
                      "", &cookie),
                  os::STATUS_SUCCESS);
        EXPECT_EQ(Update(), DNS_REMAP_FAILED) << c.what;
        os::SystemRegistry()->UnregisterCallback(cookie);
        EXPECT_EQ(Stored(), std::vector<std::string>{"kept.test,safe.test"}) << c.what;
        EXPECT_EQ(settings_.DnsRemappingMode(), c.mode) << c.what;
        EXPECT_EQ(settings_.UnencryptedSearch(), c.unencrypted) << c.what;
        EXPECT_FALSE(log_.Find(c.line).empty()) << c.what;
    }
}

TEST_F(DnsRemapListTest, EntriesTheRegistryCannotHoldAreLeftOutNotTheWholeList) {
    // An empty string would end the multi-string there and lose every later entry.
    Reply(200,
          "<DNSRemap><host>a.test,b.test</host><host></host><host>c.test,d.test</host>"
          "<host>no comma</host></DNSRemap>");
    EXPECT_EQ(Update(), DNS_REMAP_RECEIVED);
    EXPECT_EQ(Stored(), (std::vector<std::string>{"a.test,b.test", "c.test,d.test", "no comma"}));
    EXPECT_TRUE(log_.Has("Ignoring DNS remap = \"\" that the registry cannot hold"));
}

TEST_F(DnsRemapListTest, AFailedWriteIsLogged) {
    uint64_t cookie = 0;
    ASSERT_EQ(os::SystemRegistry()->RegisterCallback(
                  [](const os::REG_NOTIFY_INFO& info) {
                      return info.notifyClass == os::REG_NOTIFY_CLASS::RegNtPreSetValueKey
                                 ? os::STATUS_ACCESS_DENIED
                                 : os::STATUS_SUCCESS;
                  },
                  "", &cookie),
              os::STATUS_SUCCESS);
    EXPECT_FALSE(WriteDnsRemapping(settings_.ProductKey(), nullptr));
    os::SystemRegistry()->UnregisterCallback(cookie);
    EXPECT_FALSE(log_.Find("Unable to set registry value = \"DNSRemapping\". ").empty());
    EXPECT_EQ(Stored(), std::nullopt);
}

TEST_F(DnsRemapListTest, TheListComesFromTheServerTheSetHandsOut) {
    // The reference API server's list page, reached through a policy-server set of one server.
    peers::ApiServer api{peers::PeerOptions()};
    std::string error;
    ASSERT_TRUE(
        api.Pages().SetDevicesText("[dns_remaps]\nwww.search.test = safe.search.test\n", &error))
        << error;
    ASSERT_TRUE(api.Start());
    api.Peer().Reply("HEAD", "/ostrel_ping", 200, "");
    api.Peer().Reply("GET", "/ostrel_ping", 200, "");
    Build(SERVER_MODE_TIERED, {api.HostPort()});
    EXPECT_EQ(UpdateDnsRemapList(settings_, CurrentServerOf(Servers()), kDeviceId),
              DNS_REMAP_RECEIVED);
    EXPECT_EQ(Stored(), std::vector<std::string>{"www.search.test,safe.search.test"});
    EXPECT_EQ(api.Pages().DnsRemapCount(), 1u);

    // Without a [dns_remaps] section the API server has no list: the built-in one is written.
    ASSERT_TRUE(api.Pages().SetDevicesText("[device *]\n", &error));
    EXPECT_EQ(UpdateDnsRemapList(settings_, CurrentServerOf(Servers()), kDeviceId),
              DNS_REMAP_NOT_FOUND);
    EXPECT_EQ(Stored()->size(), 8u);
    api.Stop();
}

}  // namespace
}  // namespace wexo::svc
