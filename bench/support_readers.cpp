// The cost of reading one server reply: the check-in reply (JSON parse and the five typed member
// look-ups) and the policy reply (XML parse, root and five field reads), each against copying the
// same bytes in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>

#include "service/support/debug_log.h"
#include "service/support/json.h"
#include "service/support/xml_parser.h"

namespace {

using namespace wexo::svc;

// A check-in reply of about 2 KB: the members the check-in reads, a list of policy servers and
// members it ignores.
std::string CheckInReply() {
    std::string reply =
        "{\"NextCheckIn\": \"2026-12-08 03:00:00 UTC\", \"CustomerID\": \"C-104233\", "
        "\"UpdateURL\": \"https://updates.example.net/agent/6.2.10/package.zip\", "
        "\"Dormant\": false, \"ServerMode\": 1, \"Servers\": [";
    for (int i = 0; i < 25; ++i) {
        reply += (i == 0 ? "\"" : ", \"") + std::string("policy") + std::to_string(i) +
                 ".filter.example.net\"";
    }
    reply += "], \"Diagnostics\": {\"region\": \"eu-west\", \"build\": 4711, \"notes\": [";
    while (reply.size() < 1950) {
        reply += "\"note\", ";
    }
    reply += "\"end\"]}}";
    return reply;
}

const char kPolicyReply[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Ostrel>\n"
    "  <BlockOnFailure>TRUE</BlockOnFailure>\n"
    "  <UnencryptedSearch>FALSE</UnencryptedSearch>\n"
    "  <DisableFiltering>FALSE</DisableFiltering>\n"
    "  <CacheTimeout>300</CacheTimeout>\n"
    "  "
    "<RedirectURL>http://block.filter.example.net/blocked.html?cat=12&amp;u=a1b2c3</RedirectURL>\n"
    "</Ostrel>\n";

// Processor time rather than wall time: the build machine is shared, and both sides of the ratio
// are measured the same way.
double CpuMicroseconds() {
    return 1e6 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// Microseconds per copy of the bytes, measured over as many copies as the benchmark made reads.
double CopyMicroseconds(const std::string& bytes, int64_t iterations) {
    iterations = std::max<int64_t>(iterations, 10000);
    double start = CpuMicroseconds();
    for (int64_t i = 0; i < iterations; ++i) {
        std::string copy(bytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    return (CpuMicroseconds() - start) / static_cast<double>(iterations);
}

void Report(benchmark::State& state, double start, const std::string& bytes) {
    double perReply = (CpuMicroseconds() - start) / static_cast<double>(state.iterations());
    double perCopy = CopyMicroseconds(bytes, state.iterations());
    state.counters["bytes"] = static_cast<double>(bytes.size());
    state.counters["us_per_reply"] = perReply;
    state.counters["copy_us"] = perCopy;
    state.counters["x_copy"] = perReply / perCopy;
}

void BM_CheckInReply(benchmark::State& state) {
    DebugReset();
    const std::string reply = CheckInReply();
    double start = CpuMicroseconds();
    for (auto _ : state) {
        std::string error;
        JSON_TREE tree = ParseJson(reply, error);
        const json_value* root = AsObject(tree.get());
        std::string_view next;
        std::string customer;
        uint8_t dormant = 0;
        int64_t mode = -1;
        std::span<const json_value* const> servers;
        bool found = FindStringPointer(root, "NextCheckIn", next) &&
                     FindString(root, "CustomerID", customer) &&
                     FindBoolean(root, "Dormant", dormant) &&
                     FindInteger(root, "ServerMode", mode) && FindArray(root, "Servers", servers);
        if (!found || servers.size() != 25) {
            state.SkipWithError("reply not read");
            break;
        }
        benchmark::DoNotOptimize(customer.data());
    }
    Report(state, start, reply);
}
BENCHMARK(BM_CheckInReply)->Unit(benchmark::kMicrosecond);

void BM_PolicyReply(benchmark::State& state) {
    DebugReset();
    const std::string reply = kPolicyReply;
    double start = CpuMicroseconds();
    for (auto _ : state) {
        XML_PARSER parser;
        uint8_t blockOnFailure = 0, unencrypted = 0, disable = 0;
        int32_t timeout = 0;
        std::string redirect;
        bool read = parser.Parse(reply) && parser.FindRoot("Ostrel") &&
                    parser.GetBoolean("BlockOnFailure", blockOnFailure) &&
                    parser.GetBoolean("UnencryptedSearch", unencrypted) &&
                    parser.GetBoolean("DisableFiltering", disable) &&
                    parser.GetInteger("CacheTimeout", timeout) &&
                    parser.GetString("RedirectURL", redirect);
        if (!read || timeout != 300) {
            state.SkipWithError("reply not read");
            break;
        }
        benchmark::DoNotOptimize(redirect.data());
    }
    Report(state, start, reply);
}
BENCHMARK(BM_PolicyReply)->Unit(benchmark::kMicrosecond);

// The same policy reply with the XML category on, as a field test with "-XML" runs it: five log
// lines per reply go to a hook.
void BM_PolicyReplyLogged(benchmark::State& state) {
    DebugReset();
    DebugSetMode(DEBUG_OUTPUT_XML);
    DebugSetOutputHook([](uint32_t, std::string_view text) { benchmark::DoNotOptimize(text); });
    const std::string reply = kPolicyReply;
    double start = CpuMicroseconds();
    for (auto _ : state) {
        XML_PARSER parser;
        uint8_t flag = 0;
        int32_t timeout = 0;
        std::string redirect;
        parser.Parse(reply);
        parser.FindRoot("Ostrel");
        parser.GetBoolean("BlockOnFailure", flag);
        parser.GetBoolean("UnencryptedSearch", flag);
        parser.GetBoolean("DisableFiltering", flag);
        parser.GetInteger("CacheTimeout", timeout);
        parser.GetString("RedirectURL", redirect);
        benchmark::DoNotOptimize(redirect.data());
    }
    Report(state, start, reply);
    DebugReset();
}
BENCHMARK(BM_PolicyReplyLogged)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
