// soak: the whole system in one process under a steady load of browser connections for a while
// (default 30 minutes), with the policy server failing, hanging, answering garbage, refusing and
// recovering on a schedule, and the service restarted twice. At the end it checks that no flow is
// stuck in the driver and that the process holds no more threads or descriptors than once it had
// warmed up, and reports how its heap grew (the allocator's own count, mallinfo2) against a bound.
//
//   soak [--real] [--seconds N] [--clients N] [--pace-ms N] [--heap-bound-kib N]
//
// --real runs it through the real backend instead (real_soak.h): the installed programs in network
// namespaces of the soak's own, real sockets through the product's nftables table and proxy.
//
// Each client waits the pace between its connections: every lookup the caches cannot answer is a
// loopback connection to the policy server, and a minute of those at full speed would leave tens
// of thousands of sockets in TIME-WAIT, taking ports the rest of the machine needs.
//
// Exit status: 0 when every check held, 1 when one did not, 2 for bad arguments or a start that
// failed. One line per phase, then the figures.
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/wfp/sim/sim_network.h"
#include "tools/pipeline/pipeline.h"
#include "tools/soak/real_soak.h"
#include "tools/soak/soak_schedule.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using wexo::soak::PHASE;

// The threads' names, counted: what a failed thread check shows.
std::string ThreadNames() {
    std::map<std::string, int> names;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (struct dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            ++names[name];
        }
        ::closedir(dir);
    }
    std::string text;
    for (const auto& [name, count] : names) {
        text += (text.empty() ? "" : ", ") + name + " x" + std::to_string(count);
    }
    return text;
}

size_t HeapInUse() {
    return mallinfo2().uordblks;
}

struct FIGURES {
    size_t threads;
    size_t descriptors;
    size_t heap;
};

FIGURES Measure() {
    return {wexo::soak::CountEntries("/proc/self/task"), wexo::soak::CountEntries("/proc/self/fd"),
            HeapInUse()};
}

// Threads and descriptors come and go with the lookups in flight (a name resolution, a policy
// query): a growth is judged by the fewest seen at the end against the most seen while warm.
void Widen(FIGURES& most, const FIGURES& now) {
    most.threads = std::max(most.threads, now.threads);
    most.descriptors = std::max(most.descriptors, now.descriptors);
}

FIGURES FewestOver(milliseconds span) {
    FIGURES fewest = Measure();
    for (auto waited = milliseconds(0); waited < span; waited += milliseconds(50)) {
        std::this_thread::sleep_for(milliseconds(50));
        const FIGURES now = Measure();
        fewest.threads = std::min(fewest.threads, now.threads);
        fewest.descriptors = std::min(fewest.descriptors, now.descriptors);
        fewest.heap = now.heap;
    }
    return fewest;
}

struct COUNTERS {
    std::atomic<uint64_t> opened{0};
    std::atomic<uint64_t> answered{0};   // reached the server, or the client got the block page
    std::atomic<uint64_t> cut{0};        // reset or closed by the filter
    std::atomic<uint64_t> undecided{0};  // still undecided when the client gave up on it
};

// One browser: connections to allowed and blocked hosts, each with a URL of its own so that the
// caches do not answer everything, given a short while to be decided, then closed.
void Browse(wexo::pipeline::PIPELINE& pipeline, int client, milliseconds pace,
            const std::atomic<bool>& running, COUNTERS& counters) {
    uint64_t n = 0;
    while (running.load()) {
        ++n;
        const bool blocked = n % 4 == 0;
        const std::string host = blocked ? "games.test" : "site" + std::to_string(n % 50) + ".test";
        const std::string request = "GET /page/" + std::to_string(client) + "/" +
                                    std::to_string(n) + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        auto connection = pipeline.Network().OpenTcp(
            os::MakeIPv4Address(198, 51, 100, static_cast<uint8_t>(1 + n % 200)), 80,
            pipeline.BrowserProcessId());
        counters.opened.fetch_add(1);
        connection->ClientSend(request);
        const auto deadline = steady_clock::now() + milliseconds(300);
        bool decided = false;
        while (steady_clock::now() < deadline && running.load()) {
            if (!connection->ServerReceived().empty() ||
                connection->ClientReceived().find("302") != std::string::npos) {
                counters.answered.fetch_add(1);
                decided = true;
                break;
            }
            if (connection->ClientWasReset() || connection->ClientSawFin()) {
                counters.cut.fetch_add(1);
                decided = true;
                break;
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
        if (!decided) {
            counters.undecided.fetch_add(1);
        }
        connection->ClientClose();
        std::this_thread::sleep_for(pace);
    }
}

}  // namespace

int main(int argc, char** argv) {
    wexo::soak::SOAK_ARGUMENTS arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--real") {
            arguments.real = true;
        } else if (i + 1 < argc && argument == "--seconds") {
            arguments.seconds = std::strtol(argv[++i], nullptr, 10);
        } else if (i + 1 < argc && argument == "--clients") {
            arguments.clients = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
        } else if (i + 1 < argc && argument == "--pace-ms") {
            arguments.paceMs = std::strtol(argv[++i], nullptr, 10);
        } else if (i + 1 < argc && argument == "--heap-bound-kib") {
            arguments.heapBoundKib = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr,
                         "usage: soak [--real] [--seconds N] [--clients N] [--pace-ms N] "
                         "[--heap-bound-kib N]\n");
            return 2;
        }
    }
    if (arguments.seconds < 10 || arguments.clients < 1 || arguments.clients > 64 ||
        arguments.heapBoundKib < 1 || arguments.paceMs < 0 || arguments.paceMs > 10000) {
        std::fprintf(stderr,
                     "soak: at least 10 seconds, 1 to 64 clients, a pace of 0 to 10000 ms, a "
                     "positive bound\n");
        return 2;
    }
    if (arguments.real) {
        return wexo::soak::RunRealSoak(arguments);
    }
    const long seconds = arguments.seconds;
    const int clients = arguments.clients;
    const long paceMs = arguments.paceMs;
    const long heapBoundKib = arguments.heapBoundKib;

    wexo::pipeline::PIPELINE_OPTIONS options;
    options.policyText = "[rules]\nblock host games.test\n";
    options.serviceWorkers = 4;
    wexo::pipeline::PIPELINE pipeline(options);
    std::string error;
    if (!pipeline.Start(&error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }

    const auto phaseLength = milliseconds(seconds * 1000 / static_cast<long>(wexo::soak::kPhases));
    COUNTERS counters;
    std::atomic<bool> running{true};
    std::vector<std::thread> browsers;
    for (int client = 0; client < clients; ++client) {
        browsers.emplace_back(Browse, std::ref(pipeline), client, milliseconds(paceMs),
                              std::cref(running), std::ref(counters));
    }

    FIGURES warm{};
    std::string warmThreads;
    bool restartsFailed = false;
    const auto start = steady_clock::now();
    for (size_t phase = 0; phase < wexo::soak::kPhases; ++phase) {
        if (wexo::soak::RestartsServiceAt(phase)) {
            const bool restarted = pipeline.RestartService(&error);
            restartsFailed |= !restarted;
            std::printf("soak: %5.0f s: the service restarted%s%s\n",
                        std::chrono::duration<double>(steady_clock::now() - start).count(),
                        restarted ? "" : ": ", restarted ? "" : error.c_str());
        }
        wexo::soak::Enter(pipeline.Server(), wexo::soak::kSchedule[phase]);
        std::printf("soak: %5.0f s: %s (%llu connections so far, %zu threads)\n",
                    std::chrono::duration<double>(steady_clock::now() - start).count(),
                    wexo::soak::PhaseName(wexo::soak::kSchedule[phase]),
                    static_cast<unsigned long long>(counters.opened.load()), Measure().threads);
        std::fflush(stdout);
        // The test server keeps every request it saw; that is the peer's memory, not the
        // product's, so it is let go as the soak goes on.
        for (auto left = phaseLength; left.count() > 0; left -= milliseconds(1000)) {
            std::this_thread::sleep_for(std::min(left, milliseconds(1000)));
            pipeline.Server().Peer().ClearRequests();
            if (phase == 1) {
                Widen(warm, Measure());
            }
        }
        if (phase == 0) {
            warm = Measure();  // after the first phase every pool and cache has grown in
            warmThreads = ThreadNames();
        }
    }
    running = false;
    for (std::thread& browser : browsers) {
        browser.join();
    }
    wexo::soak::Enter(pipeline.Server(), PHASE::Normal);
    pipeline.Network().WaitSettled();
    // Flows end once their connections are closed and settled; give the driver a moment.
    size_t stuck = 0;
    for (int i = 0; i < 500; ++i) {
        stuck = pipeline.OpenFlows();
        if (stuck == 0) {
            break;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    // Lookups that were waiting on the hanging server end at their time-out; their threads are
    // given that long to go before the count is judged (the browsers' own threads are gone).
    constexpr long settleSeconds = 90;
    FIGURES end = FewestOver(milliseconds(2000));
    const auto settleStart = steady_clock::now();
    while (end.threads > warm.threads - static_cast<size_t>(clients) &&
           steady_clock::now() - settleStart < std::chrono::seconds(settleSeconds)) {
        end = FewestOver(milliseconds(1000));
    }
    const double settled = std::chrono::duration<double>(steady_clock::now() - settleStart).count();
    const long heapGrowthKib = (static_cast<long>(end.heap) - static_cast<long>(warm.heap)) / 1024;

    std::printf("soak: %llu connections: %llu decided, %llu cut, %llu undecided after 300 ms\n",
                static_cast<unsigned long long>(counters.opened.load()),
                static_cast<unsigned long long>(counters.answered.load()),
                static_cast<unsigned long long>(counters.cut.load()),
                static_cast<unsigned long long>(counters.undecided.load()));
    std::printf("soak: flows left in the driver: %zu\n", stuck);
    std::printf(
        "soak: threads %zu -> %zu, descriptors %zu -> %zu, heap %zu KiB -> %zu KiB "
        "(%+ld KiB, bound %ld KiB)\n",
        warm.threads, end.threads, warm.descriptors, end.descriptors, warm.heap / 1024,
        end.heap / 1024, heapGrowthKib, heapBoundKib);
    std::printf("soak: threads settled %.1f s after the load stopped\n", settled);
    const bool held = !restartsFailed && stuck == 0 &&
                      end.threads + static_cast<size_t>(clients) <= warm.threads &&
                      end.descriptors <= warm.descriptors && heapGrowthKib <= heapBoundKib &&
                      counters.opened.load() > 0;
    if (end.threads + static_cast<size_t>(clients) > warm.threads) {
        std::printf("soak: threads while warm: %s\nsoak: threads at the end: %s\n",
                    warmThreads.c_str(), ThreadNames().c_str());
    }
    std::printf("soak: %s\n", held ? "every check held" : "a check failed");
    pipeline.Stop();
    return held ? 0 : 1;
}
