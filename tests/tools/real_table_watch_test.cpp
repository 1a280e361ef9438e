// The product's nftables table stays while the driver host runs: an administrator's nft in the
// client namespace deletes it or flushes its redirect, and within two seconds a blocked request is
// refused again, by the host that went on running.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tools/pipeline/namespace_product.h"

namespace {

using wexo::pipeline::NAMESPACE_PRODUCT;
using SIDE = NAMESPACE_PRODUCT::SIDE;

TEST(RealTableWatch, AChangedTableIsPutBackAndBlocksAgain) {
    std::string why;
    if (!NAMESPACE_PRODUCT::Available(&why)) {
        GTEST_SKIP() << "the product cannot filter a real network here: " << why;
    }
    if (wexo::peers::NETWORK_NAMESPACES::FindProgram("nft").empty()) {
        GTEST_SKIP() << "the nft program is not installed";
    }
    NAMESPACE_PRODUCT product;
    ASSERT_TRUE(product.Start("[rules]\nblock host games.example\n", &why)) << why;
    std::string out;
    ASSERT_EQ(product.Curl("http://games.example/play", "games.example", 80, &out), 0);
    ASSERT_EQ(out.substr(0, 4), "302 ") << out;

    const std::vector<std::vector<std::string>> changes = {
        {"nft", "delete", "table", "inet", "wexo"},
        {"nft", "flush", "chain", "inet", "wexo", "nat_output"},
    };
    for (const std::vector<std::string>& change : changes) {
        SCOPED_TRACE(change[1]);
        ASSERT_EQ(product.Run(SIDE::Client, change, &out), 0) << out;
        // The restore takes milliseconds; requests made before it may still get through.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        bool blocked = false;
        while (!blocked && std::chrono::steady_clock::now() < deadline) {
            blocked = product.Curl("http://games.example/play", "games.example", 80, &out) == 0 &&
                      out.substr(0, 4) == "302 ";
        }
        EXPECT_TRUE(blocked) << out;
        EXPECT_TRUE(product.Host()->Running());
    }
}

}  // namespace
