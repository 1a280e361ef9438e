// What the registry's access check costs a read across the bridge. A host process (forked at
// start, as root) serves a store on a registry bridge socket; this process reads a value through
// one connection, in batches that alternate between the check on and the check turned off (the
// store's test hook, which the host sets when the reader asks it over a pipe), so that both are
// timed on the same connection, thread and key, and reports the ratio of the two in the same run.
// Run as root, the reader first becomes uid 65534, so that every read is judged in full as an
// ordinary user's (root's reads take the administrator's shortcut); otherwise it says so.
//
// A second benchmark times the same read in the host's own process, where nothing but the store
// itself is around the check.
#include <benchmark/benchmark.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "os/bridge/registry_bridge.h"
#include "os/core/sid.h"
#include "os/registry/registry.h"

namespace {

constexpr char kKey[] = "SOFTWARE\\Corvane\\Ostrel";
constexpr uid_t kNobody = 65534;

constexpr int kBatch = 500;  // reads in a row with the check on, or off

struct HOST {
    pid_t pid = -1;
    std::string folder;  // its runtime folder
    int control = -1;    // the reader's end: 'c' check on, 'b' bypassed, closed: stop
    int ack = -1;        // the host says each switch is done
    bool readerIsUser = false;
};
HOST gHost;

// Asks the host to turn the check on or off, and waits until it has.
bool Switch(bool check) {
    const char order = check ? 'c' : 'b';
    char done = 0;
    return ::write(gHost.control, &order, 1) == 1 && ::read(gHost.ack, &done, 1) == 1;
}

std::shared_ptr<os::RegistryStore> StoreWithTheKey(bool check) {
    auto store = os::RegistryStore::CreateInMemory();
    store->SetAccessCheck(check);
    os::RegKey key;
    store->CreateKey(nullptr, std::string("\\REGISTRY\\MACHINE\\") + kKey, key, nullptr);
    store->SetValue(key, "PolicyServers", os::REG_SZ,
                    os::RegStringData("policy1.example.org:443;policy2.example.org:443"));
    return store;
}

std::string Folder() {
    char pattern[] = "/tmp/wexo-regbench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr)
        return {};
    ::chmod(made, 0755);  // the reader may be another user
    return made;
}

// The host: the server, switching the check as the reader asks, until the reader closes its end
// of `control`.
[[noreturn]] void RunHost(int control, int ack) {
    os::REGISTRY_BRIDGE_SERVER server;
    auto store = StoreWithTheKey(true);
    bool ok;
    {
        os::ScopedSystemRegistry scope(store);
        ok = server.Start(gHost.folder) == os::ERROR_SUCCESS;
    }
    char answer = ok ? 'y' : 'n';
    [[maybe_unused]] ssize_t put = ::write(ack, &answer, 1);
    char order;
    while (::read(control, &order, 1) == 1) {
        store->SetAccessCheck(order == 'c');
        put = ::write(ack, &order, 1);
    }
    server.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(gHost.folder, ignored);
    ::_exit(0);
}

double Median(std::vector<double> samples) {
    if (samples.empty())
        return 0;
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

// One read, timed, in nanoseconds.
double TimedRead(const os::RegKey& key) {
    os::REG_VALUE value;
    const auto start = std::chrono::steady_clock::now();
    const uint32_t error = os::RegQueryValue(key, "PolicyServers", value);
    const auto end = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(value);
    if (error != os::ERROR_SUCCESS)
        return -1;
    return std::chrono::duration<double, std::nano>(end - start).count();
}

void ReportRatio(benchmark::State& state, const std::vector<double>& checked,
                 const std::vector<double>& bypassed) {
    const double withCheck = Median(checked);
    const double without = Median(bypassed);
    state.counters["checked_ns"] = withCheck;
    state.counters["bypassed_ns"] = without;
    state.counters["ratio"] = without > 0 ? withCheck / without : 0;
    state.counters["cost_%"] = without > 0 ? 100.0 * (withCheck - without) / without : 0;
}

// Batches of reads with the check on and off in turn, so that a busy moment of the machine falls
// on both alike; the medians of each are compared.
void BM_BridgeReadWithAndWithoutTheCheck(benchmark::State& state) {
    uint32_t error = 0;
    auto bridged = os::OpenRegistryBridge(gHost.folder, {}, &error);
    os::RegKey key;
    if (os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), kKey, key) != os::ERROR_SUCCESS) {
        state.SkipWithError("the host's key cannot be opened");
        return;
    }
    std::vector<double> withCheck, without;
    bool check = false;
    int64_t done = 0;
    for (auto _ : state) {
        if (done++ % kBatch == 0) {
            state.PauseTiming();
            check = !check;
            const bool switched = Switch(check);
            state.ResumeTiming();
            if (!switched) {
                state.SkipWithError("the host did not switch the check");
                return;
            }
        }
        const double took = TimedRead(key);
        if (took < 0) {
            state.SkipWithError("a read failed");
            return;
        }
        (check ? withCheck : without).push_back(took);
    }
    Switch(true);
    ReportRatio(state, withCheck, without);
    state.SetLabel(gHost.readerIsUser ? "reader uid 65534" : "reader is an administrator");
}
BENCHMARK(BM_BridgeReadWithAndWithoutTheCheck)->Iterations(40'000)->Repetitions(3);

// The same read in the store's own process, as an ordinary user's: the check beside nothing but
// the store.
void BM_InProcessReadWithAndWithoutTheCheck(benchmark::State& state) {
    auto store = StoreWithTheKey(true);
    os::RegKey key;
    store->OpenKey(nullptr, std::string("\\REGISTRY\\MACHINE\\") + kKey, key);
    const os::REG_CALLER user = os::RegCallerForUid(kNobody);
    os::ScopedRegistryCaller asUser(user);
    std::vector<double> withCheck, without;
    bool check = false;
    int64_t done = 0;
    for (auto _ : state) {
        if (done++ % kBatch == 0) {
            check = !check;
            store->SetAccessCheck(check);
        }
        (check ? withCheck : without).push_back(TimedRead(key));
    }
    ReportRatio(state, withCheck, without);
}
BENCHMARK(BM_InProcessReadWithAndWithoutTheCheck)->Iterations(200'000);

bool BecomeNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
           ::geteuid() == kNobody;
}

}  // namespace

int main(int argc, char** argv) {
    gHost.folder = Folder();
    int control[2], ack[2];
    if (gHost.folder.empty() || ::pipe(control) != 0 || ::pipe(ack) != 0) {
        std::fprintf(stderr, "bench_registry_access_check: cannot prepare the host\n");
        return 1;
    }
    // Forked before any thread of this process exists.
    gHost.pid = ::fork();
    if (gHost.pid == 0) {
        ::close(control[1]);
        ::close(ack[0]);
        RunHost(control[0], ack[1]);
    }
    ::close(control[0]);
    ::close(ack[1]);
    gHost.control = control[1];
    gHost.ack = ack[0];
    char answer = 'n';
    if (gHost.pid < 0 || ::read(gHost.ack, &answer, 1) != 1 || answer != 'y') {
        std::fprintf(stderr, "bench_registry_access_check: the host did not start\n");
        return 1;
    }
    if (::geteuid() == 0) {
        gHost.readerIsUser = BecomeNobody();
        if (!gHost.readerIsUser) {
            std::fprintf(stderr, "bench_registry_access_check: cannot become uid 65534\n");
            return 1;
        }
    } else {
        std::fprintf(stderr,
                     "bench_registry_access_check: not run as root: the reader is the host's own "
                     "user, an administrator, whose reads take the check's shortcut\n");
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::close(gHost.control);
    int status = 0;
    ::waitpid(gHost.pid, &status, 0);  // the host removes the folders, which are root's
    return 0;
}
