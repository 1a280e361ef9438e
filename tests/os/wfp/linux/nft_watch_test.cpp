// The table's watch in a network namespace of the test's own: changes made by the nft program,
// as another administrator would make them, are undone and logged; the owner's own changes are
// not.
#include "os/wfp/linux/nft_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/event_log.h"
#include "os/core/status.h"
#include "os/wfp/linux/nft_table.h"
#include "tools/peers/network_namespaces.h"

namespace {

using std::chrono::seconds;
using wexo::peers::NETWORK_NAMESPACES;
using SIDE = NETWORK_NAMESPACES::SIDE;

class NftWatchTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        net_ = NETWORK_NAMESPACES::Create(&why);
        if (net_ == nullptr)
            GTEST_SKIP() << why;
        if (NETWORK_NAMESPACES::FindProgram("nft").empty())
            GTEST_SKIP() << "the nft program is not installed";
        os::ClearEventLogRecords();
    }

    os::NFT_TABLE_OPTIONS Options(uint16_t proxyPort = 15001) {
        os::NFT_TABLE_OPTIONS options;
        options.tcpProxyPort = proxyPort;
        options.dnsPort = 15053;
        options.debugLog = [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.push_back(line);
        };
        return options;
    }

    void Install(const os::NFT_TABLE_OPTIONS& options) {
        uint32_t result = os::ERROR_GEN_FAILURE;
        std::string message;
        ASSERT_TRUE(net_->RunIn(SIDE::Client, [&] { result = table_.Install(options, &message); }));
        ASSERT_EQ(result, os::ERROR_SUCCESS) << message;
        ASSERT_TRUE(table_.Watch().Running());
    }

    // The nft program in the client namespace, as another administrator runs it.
    std::string Nft(const std::vector<std::string>& arguments, int* status = nullptr) {
        std::vector<std::string> command = {"nft"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        std::string output;
        const int exit = net_->Run(SIDE::Client, command, &output);
        if (status != nullptr)
            *status = exit;
        return output;
    }
    std::string Listing() { return Nft({"-s", "list", "table", "inet", "wexo"}); }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

    std::unique_ptr<NETWORK_NAMESPACES> net_;
    std::mutex lock_;
    std::vector<std::string> lines_;
    os::NFT_TABLE table_;  // destroyed before the namespaces
};

// The handle of the rule of `chain` whose text holds `rule`, as `nft -a` shows it.
std::string HandleOf(const std::string& listing, const std::string& rule) {
    constexpr std::string_view kHandle = "# handle ";
    for (size_t at = listing.find(rule); at != std::string::npos; at = listing.find(rule, at + 1)) {
        const size_t end = std::min(listing.find('\n', at), listing.size());
        const size_t handle = listing.find(kHandle, at);
        if (handle == std::string::npos || handle > end)
            continue;
        const size_t digits = handle + kHandle.size();
        const size_t stop = listing.find_first_not_of("0123456789", digits);
        if (stop != digits)
            return listing.substr(digits, std::min(stop, listing.size()) - digits);
    }
    return "";
}

TEST_F(NftWatchTest, ChangesOfAnotherProgramAreUndoneAndLogged) {
    Install(Options());
    const std::string original = Listing();
    ASSERT_NE(original.find("redirect to :15001"), std::string::npos) << original;
    const std::string handle = HandleOf(Nft({"-a", "list", "chain", "inet", "wexo", "nat_output"}),
                                        "meta l4proto tcp redirect to :15001");
    ASSERT_FALSE(handle.empty());

    struct CASE {
        const char* name;
        std::vector<std::string> change;
        const char* logged;
    };
    const CASE cases[] = {
        {"TableDeleted", {"delete", "table", "inet", "wexo"}, "table deleted"},
        {"ChainFlushed",
         {"flush", "chain", "inet", "wexo", "nat_output"},
         "chain nat_output: 5 rules deleted"},
        // The redirect of all TCP made a plain accept, by its handle (the restore brings it back
        // under a new one, so it is looked up in the table as it is now).
        {"RuleReplaced",
         {"replace", "rule", "inet", "wexo", "nat_output", "handle", "", "meta", "l4proto", "tcp",
          "accept"},
         "chain nat_output: 1 rule deleted, 1 rule added"},
        // A user let through ahead of the refusals.
        {"RuleInserted",
         {"insert", "rule", "inet", "wexo", "filter_output", "meta", "skuid", "1000", "accept"},
         "chain filter_output: 1 rule added"},
        // The chain gone with its rules.
        {"ChainDeleted",
         {"delete", "chain", "inet", "wexo", "filter_output"},
         "chain filter_output deleted"},
    };
    uint64_t restores = 0;
    for (CASE step : cases) {
        SCOPED_TRACE(step.name);
        for (std::string& argument : step.change) {
            if (argument.empty())
                argument = HandleOf(Nft({"-a", "list", "chain", "inet", "wexo", "nat_output"}),
                                    "meta l4proto tcp redirect to :15001");
        }
        int status = -1;
        const std::string output = Nft(step.change, &status);
        ASSERT_EQ(status, 0) << output;
        // A restore takes milliseconds; the bound is only there for a watch that never acts.
        ASSERT_EQ(table_.Watch().WaitForRestores(restores, seconds(2)), restores + 1);
        ++restores;
        EXPECT_EQ(Listing(), original);

        const std::vector<os::EVENT_LOG_RECORD> records = os::EventLogRecords();
        ASSERT_FALSE(records.empty());
        const os::EVENT_LOG_RECORD& record = records.back();
        EXPECT_EQ(record.source, "WexoWfp");
        EXPECT_EQ(record.eventId, os::kNftTableRestoredEvent);
        EXPECT_EQ(record.type, os::EVENTLOG_WARNING_TYPE);
        ASSERT_EQ(record.strings.size(), 3u);
        EXPECT_EQ(record.strings[0], "inet wexo");
        EXPECT_EQ(record.strings[1], step.logged);
        EXPECT_NE(record.strings[2].find("nft (pid "), std::string::npos) << record.strings[2];
        ASSERT_FALSE(Lines().empty());
        EXPECT_EQ(Lines().back(), "NftWatch: table inet wexo was changed by " + record.strings[2] +
                                      " (" + step.logged + "); restored");
    }
    // Each restore's own notifications put nothing back again.
    EXPECT_EQ(table_.Watch().Restores(), restores);
    EXPECT_EQ(os::EventLogRecords().size(), restores);
}

// The watch keeps the table its owner installed last, and ends with it: the owner's own removal is
// not undone.
TEST_F(NftWatchTest, KeepsTheLatestTableAndStopsWithIt) {
    Install(Options());
    Install(Options(15002));
    const std::string latest = Listing();
    ASSERT_NE(latest.find("redirect to :15002"), std::string::npos) << latest;
    EXPECT_EQ(table_.Watch().Restores(), 0u);
    int status = -1;
    Nft({"delete", "table", "inet", "wexo"}, &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(table_.Watch().WaitForRestores(0, seconds(2)), 1u);
    EXPECT_EQ(Listing(), latest);

    uint32_t removed = os::ERROR_GEN_FAILURE;
    ASSERT_TRUE(net_->RunIn(SIDE::Client, [&] { removed = table_.Remove(); }));
    EXPECT_EQ(removed, os::ERROR_SUCCESS);
    EXPECT_FALSE(table_.Watch().Running());
    EXPECT_EQ(Nft({"list", "tables"}).find("wexo"), std::string::npos);
}

}  // namespace
