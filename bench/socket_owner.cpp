// What finding the owner of a proxied connection costs: the connect-time record (one BPF map
// lookup), the remembered case (one sock_diag query, one readlink of the remembered descriptor)
// and the miss (the query and a walk of /proc/*/fd), against a bare getsockopt on the same
// socket, the floor of any per-connection socket call. The miss grows with the sockets and
// processes on the machine; the "extra" argument opens that many more sockets in this process,
// and the counters give the processes and descriptors walked. BM_OwnerRecorded also times the
// walk in the same run, for the ratio; its records are kept for a cgroup of the bench's own.
#include "os/wfp/linux/socket_owner.h"

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/os/wfp/linux/test_cgroup.h"

namespace {

struct CONNECTION {
    int listener = -1;
    int client = -1;
    int accepted = -1;
    sockaddr_storage source{};
    sockaddr_storage destination{};

    CONNECTION() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            std::abort();
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(client, reinterpret_cast<sockaddr*>(&address), size) != 0)
            std::abort();
        accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        socklen_t sourceSize = sizeof(source);
        socklen_t destinationSize = sizeof(destination);
        ::getsockname(client, reinterpret_cast<sockaddr*>(&source), &sourceSize);
        ::getpeername(client, reinterpret_cast<sockaddr*>(&destination), &destinationSize);
    }
    ~CONNECTION() {
        ::close(accepted);
        ::close(client);
        ::close(listener);
    }
};

// Processes and descriptors a walk passes, for the counters.
void CountProcFds(double* processes, double* descriptors) {
    *processes = 0;
    *descriptors = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return;
    while (const dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        ++*processes;
        const std::string path = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = ::opendir(path.c_str());
        if (fds == nullptr)
            continue;
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] != '.')
                ++*descriptors;
        }
        ::closedir(fds);
    }
    ::closedir(proc);
}

std::vector<int> ExtraSockets(int count) {
    std::vector<int> sockets;
    for (int i = 0; i < count; ++i)
        sockets.push_back(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return sockets;
}

void CloseAll(const std::vector<int>& sockets) {
    for (int fd : sockets)
        ::close(fd);
}

os::SOCKET_OWNERS_OPTIONS WalkOnly() {
    os::SOCKET_OWNERS_OPTIONS options;
    options.records.enabled = false;
    return options;
}

void BM_BareGetsockopt(benchmark::State& state) {
    CONNECTION connection;
    for (auto _ : state) {
        int type = 0;
        socklen_t size = sizeof(type);
        benchmark::DoNotOptimize(
            ::getsockopt(connection.accepted, SOL_SOCKET, SO_TYPE, &type, &size));
        benchmark::DoNotOptimize(type);
    }
}
BENCHMARK(BM_BareGetsockopt);

void BM_OwnerRemembered(benchmark::State& state) {
    CONNECTION connection;
    os::SOCKET_OWNERS owners{WalkOnly()};
    if (!owners.Find(connection.source, connection.destination)) {
        state.SkipWithError("sock_diag does not know the connection");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(owners.Find(connection.source, connection.destination));
}
BENCHMARK(BM_OwnerRemembered);

void BM_OwnerMiss(benchmark::State& state) {
    CONNECTION connection;
    const std::vector<int> extra = ExtraSockets(static_cast<int>(state.range(0)));
    os::SOCKET_OWNERS owners{WalkOnly()};
    for (auto _ : state) {
        owners.ForgetAll();
        const auto owner = owners.Find(connection.source, connection.destination);
        if (!owner || owner->pid != ::getpid()) {
            state.SkipWithError("the owner was not found");
            break;
        }
    }
    double processes = 0;
    double descriptors = 0;
    CountProcFds(&processes, &descriptors);
    state.counters["processes"] = processes;
    state.counters["descriptors"] = descriptors;
    CloseAll(extra);
}
BENCHMARK(BM_OwnerMiss)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_OwnerRecorded(benchmark::State& state) {
    std::string why;
    const auto cgroup = wexo::test::TEST_CGROUP::Enter(&why);
    if (cgroup == nullptr) {
        state.SkipWithError(why.c_str());
        return;
    }
    os::SOCKET_OWNERS_OPTIONS options;
    options.records.cgroup = cgroup->Path();
    os::SOCKET_OWNERS owners(options);
    if (!owners.RecordsConnects()) {
        state.SkipWithError("no connect-time records here (see the debug line)");
        return;
    }
    const std::vector<int> extra = ExtraSockets(static_cast<int>(state.range(0)));
    // Connected after the program was attached, so its connect is recorded.
    CONNECTION connection;
    const auto first = owners.Find(connection.source, connection.destination);
    if (!first || first->pid != ::getpid() || first->cgroup != cgroup->Id()) {
        state.SkipWithError("the connect was not recorded");
        CloseAll(extra);
        return;
    }
    const auto recordStart = std::chrono::steady_clock::now();
    int64_t recordLookups = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(owners.Find(connection.source, connection.destination));
        ++recordLookups;
    }
    const double recordUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - recordStart)
            .count() /
        static_cast<double>(recordLookups);
    // The walk of the same machine in the same run, outside the timed loop.
    os::SOCKET_OWNERS walk{WalkOnly()};
    constexpr int kWalks = 20;
    const auto walkStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kWalks; ++i) {
        walk.ForgetAll();
        benchmark::DoNotOptimize(walk.Find(connection.source, connection.destination));
    }
    const double walkUs =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - walkStart)
            .count() /
        kWalks;
    double processes = 0;
    double descriptors = 0;
    CountProcFds(&processes, &descriptors);
    state.counters["record_us"] = recordUs;
    state.counters["walk_us"] = walkUs;
    state.counters["walk_over_record"] = walkUs / recordUs;
    state.counters["processes"] = processes;
    state.counters["descriptors"] = descriptors;
    CloseAll(extra);
}
BENCHMARK(BM_OwnerRecorded)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
