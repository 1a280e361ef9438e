#include "tools/soak/real_soak.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/peers/child_process.h"
#include "tools/pipeline/namespace_product.h"

namespace wexo::soak {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using SIDE = pipeline::NAMESPACE_PRODUCT::SIDE;

// How long a browser gives a connection to be answered or cut. Lookups go over the device bridge
// to the service and from there to the policy server, so this is longer than the simulated soak's.
constexpr int kDecisionMs = 1'000;

struct COUNTERS {
    std::atomic<uint64_t> opened{0};
    std::atomic<uint64_t> answered{0};    // the web server answered
    std::atomic<uint64_t> blockPages{0};  // the filter answered with its redirect
    std::atomic<uint64_t> cut{0};         // reset or closed by the filter before any answer
    std::atomic<uint64_t> undecided{0};   // still nothing when the browser gave up on it
};

enum class OUTCOME { Answered, BlockPage, Cut, Undecided };

int ConnectTo(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    // The same bound on connect, every read and every write: a connection the filter holds ends
    // as "undecided" rather than holding the browser.
    timeval limit{kDecisionMs / 1000, (kDecisionMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    ::inet_pton(AF_INET, "192.0.2.2", &server.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

OUTCOME Judge(const std::string& answer, bool timedOut) {
    if (answer.rfind("HTTP/1.1 302", 0) == 0) {
        return OUTCOME::BlockPage;
    }
    if (answer.rfind("HTTP/1.", 0) == 0) {
        return OUTCOME::Answered;
    }
    return timedOut ? OUTCOME::Undecided : OUTCOME::Cut;
}

OUTCOME PlainRequest(const std::string& request) {
    int fd = ConnectTo(80);
    if (fd < 0) {
        return errno == EINPROGRESS || errno == EAGAIN ? OUTCOME::Undecided : OUTCOME::Cut;
    }
    bool timedOut = false;
    std::string answer;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        while (answer.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
                break;
            }
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return Judge(answer, timedOut);
}

OUTCOME SecureRequest(SSL_CTX* context, const std::string& host) {
    int fd = ConnectTo(443);
    if (fd < 0) {
        return errno == EINPROGRESS || errno == EAGAIN ? OUTCOME::Undecided : OUTCOME::Cut;
    }
    SSL* tls = SSL_new(context);
    SSL_set_tlsext_host_name(tls, host.c_str());
    SSL_set_fd(tls, fd);
    std::string answer;
    bool timedOut = false;
    errno = 0;
    if (SSL_connect(tls) == 1) {
        const std::string request =
            "GET /index.html HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
        if (SSL_write(tls, request.data(), static_cast<int>(request.size())) > 0) {
            char buffer[4096];
            while (answer.find("\r\n\r\n") == std::string::npos) {
                const int n = SSL_read(tls, buffer, sizeof buffer);
                if (n <= 0) {
                    timedOut = errno == EAGAIN || errno == EWOULDBLOCK;
                    break;
                }
                answer.append(buffer, static_cast<size_t>(n));
            }
        }
    } else {
        timedOut = errno == EAGAIN || errno == EWOULDBLOCK;
    }
    SSL_free(tls);
    ::close(fd);
    return Judge(answer, timedOut);
}

// One browser in the client namespace: plain and secure connections to allowed and blocked
// hosts, each plain one with a URL of its own so that the caches do not answer everything.
void Browse(int client, milliseconds pace, const std::atomic<bool>& running, COUNTERS& counters) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                              SSL_CTX_free);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    uint64_t n = 0;
    while (running.load()) {
        ++n;
        const bool blocked = n % 4 == 0;
        OUTCOME outcome;
        if (n % 8 == 1 || n % 8 == 4) {
            outcome = SecureRequest(context.get(), blocked ? "games.example" : "mail.example.test");
        } else {
            const std::string host = blocked ? "games.example" : "www.example.test";
            outcome = PlainRequest("GET /page/" + std::to_string(client) + "/" + std::to_string(n) +
                                   " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
        }
        counters.opened.fetch_add(1);
        switch (outcome) {
            case OUTCOME::Answered:
                counters.answered.fetch_add(1);
                break;
            case OUTCOME::BlockPage:
                counters.blockPages.fetch_add(1);
                break;
            case OUTCOME::Cut:
                counters.cut.fetch_add(1);
                break;
            case OUTCOME::Undecided:
                counters.undecided.fetch_add(1);
                break;
        }
        std::this_thread::sleep_for(pace);
    }
}

// The driver host as seen from outside.
struct HOST_FIGURES {
    size_t threads = 0;
    size_t descriptors = 0;
    long flows = -1;  // -1: the host printed no status line in time
    long connections = -1;
    long heapKib = -1;
};

class HOST_PROBE {
  public:
    explicit HOST_PROBE(peers::CHILD_PROCESS& host) : host_(host) {}

    HOST_FIGURES Measure() {
        HOST_FIGURES figures;
        const std::string proc = "/proc/" + std::to_string(host_.Pid());
        figures.threads = CountEntries(proc + "/task");
        figures.descriptors = CountEntries(proc + "/fd");
        const size_t seen = peers::CountOccurrences(host_.Output(), kStatus);
        if (!host_.Signal(SIGUSR1) || !host_.ReadUntil(kStatus, milliseconds(5'000), seen + 1)) {
            return figures;
        }
        const std::string output = host_.Output();
        const size_t at = output.rfind(kStatus);
        long flows = 0;
        unsigned long long connections = 0;
        long heap = 0;
        if (std::sscanf(output.c_str() + at + sizeof kStatus - 1,
                        " %ld flows in the driver, %llu connections through the proxy, %ld KiB",
                        &flows, &connections, &heap) == 3) {
            figures.flows = flows;
            figures.connections = static_cast<long>(connections);
            figures.heapKib = heap;
        }
        return figures;
    }

  private:
    static constexpr char kStatus[] = "wexowfp: status:";
    peers::CHILD_PROCESS& host_;
};

// What the host's descriptors are, by kind ("socket", "pipe", "anon_inode:[eventfd]", a path),
// counted: what a failed descriptor check shows.
std::string DescriptorKinds(pid_t pid) {
    std::map<std::string, int> kinds;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        target = target.substr(0, target.find(":["));
        ++kinds[target];
    }
    std::string text;
    for (const auto& [kind, count] : kinds) {
        text += (text.empty() ? "" : ", ") + kind + " x" + std::to_string(count);
    }
    return text;
}

double Since(steady_clock::time_point start) {
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

}  // namespace

int RunRealSoak(const SOAK_ARGUMENTS& arguments) {
    std::string why;
    if (!pipeline::NAMESPACE_PRODUCT::Available(&why)) {
        std::printf("soak: the real backend cannot run here: %s\n", why.c_str());
        return 77;
    }
    pipeline::NAMESPACE_PRODUCT product;
    if (!product.Start("[rules]\nblock host games.example\n", &why)) {
        std::fprintf(stderr, "soak: %s\n", why.c_str());
        return 2;
    }
    auto enter = [&product](PHASE phase) {
        return product.Namespaces().RunIn(SIDE::Client,
                                          [&product, phase] { Enter(product.Policy(), phase); });
    };
    HOST_PROBE probe(*product.Host());

    const auto phaseLength = milliseconds(arguments.seconds * 1000 / static_cast<long>(kPhases));
    COUNTERS counters;
    std::atomic<bool> running{true};
    std::vector<std::thread> browsers;
    for (int client = 0; client < arguments.clients; ++client) {
        browsers.emplace_back([&, client] {
            product.Namespaces().RunIn(SIDE::Client, [&] {
                Browse(client, milliseconds(arguments.paceMs), running, counters);
            });
        });
    }

    HOST_FIGURES warm;
    std::string warmDescriptors;
    bool failed = false;
    const auto start = steady_clock::now();
    for (size_t phase = 0; phase < kPhases; ++phase) {
        if (RestartsServiceAt(phase)) {
            const int stopped = product.StopService();
            const bool restarted = product.StartService(&why);
            failed |= stopped != 0 || !restarted;
            std::printf("soak: %5.0f s: the service stopped (exit status %d) and %s%s\n",
                        Since(start), stopped, restarted ? "started again" : "did not start: ",
                        restarted ? "" : why.c_str());
        }
        failed |= !enter(kSchedule[phase]);
        const HOST_FIGURES now = probe.Measure();
        std::printf(
            "soak: %5.0f s: %s (%llu connections so far; host: %zu threads, %zu "
            "descriptors, %ld flows, %ld KiB heap)\n",
            Since(start), PhaseName(kSchedule[phase]),
            static_cast<unsigned long long>(counters.opened.load()), now.threads, now.descriptors,
            now.flows, now.heapKib);
        std::fflush(stdout);
        for (auto left = phaseLength; left.count() > 0; left -= milliseconds(1000)) {
            std::this_thread::sleep_for(std::min(left, milliseconds(1000)));
            product.Web().ClearRequests();
            product.Secure().ClearRequests();
            if (phase == 1 || (phase >= 2 && RestartsServiceAt(phase - 1))) {
                // Threads and descriptors come and go with the connections in flight, and each
                // service holds its own set of bridge connections to the host, which it opens as
                // its threads start: the end is judged against the most seen while warm, in the
                // second phase of each service's life.
                const HOST_FIGURES busy = probe.Measure();
                warm.threads = std::max(warm.threads, busy.threads);
                warm.descriptors = std::max(warm.descriptors, busy.descriptors);
            }
        }
        if (phase == 0) {
            warm = probe.Measure();  // every pool and cache of the host has grown in
            warmDescriptors = DescriptorKinds(product.Host()->Pid());
        }
    }
    running = false;
    for (std::thread& browser : browsers) {
        browser.join();
    }
    failed |= !enter(PHASE::Normal);

    // Connections the browsers closed end in the host once their lookups are answered or given
    // up on; those that waited on the hanging server take up to its time-out. A short soak waits
    // less, so that its test reports a failure rather than running out of time.
    const double settleSeconds = std::clamp(static_cast<double>(arguments.seconds), 20.0, 120.0);
    const auto settleStart = steady_clock::now();
    HOST_FIGURES end = probe.Measure();
    while ((end.flows != 0 || end.connections != 0 || end.threads > warm.threads ||
            end.descriptors > warm.descriptors) &&
           Since(settleStart) < settleSeconds) {
        std::this_thread::sleep_for(milliseconds(500));
        end = probe.Measure();
    }
    const double settled = Since(settleStart);
    const bool hostRuns = product.Host()->Running();
    const long heapGrowthKib = end.heapKib - warm.heapKib;

    std::printf(
        "soak: %llu connections: %llu answered by the server, %llu block pages, %llu cut, %llu "
        "undecided after %d ms\n",
        static_cast<unsigned long long>(counters.opened.load()),
        static_cast<unsigned long long>(counters.answered.load()),
        static_cast<unsigned long long>(counters.blockPages.load()),
        static_cast<unsigned long long>(counters.cut.load()),
        static_cast<unsigned long long>(counters.undecided.load()), kDecisionMs);
    std::printf("soak: flows left in the driver: %ld, connections left in the proxy: %ld\n",
                end.flows, end.connections);
    std::printf(
        "soak: host threads %zu -> %zu, descriptors %zu -> %zu, heap %ld KiB -> %ld KiB (%+ld "
        "KiB, bound %ld KiB)\n",
        warm.threads, end.threads, warm.descriptors, end.descriptors, warm.heapKib, end.heapKib,
        heapGrowthKib, arguments.heapBoundKib);
    std::printf("soak: the host settled %.1f s after the load stopped\n", settled);
    if (warm.heapKib == 0 && end.heapKib == 0) {
        std::printf("soak: the heap is not measured: the allocator is not glibc's (a sanitizer)\n");
    }
    const bool held = !failed && hostRuns && warm.heapKib >= 0 && end.flows == 0 &&
                      end.connections == 0 && end.threads <= warm.threads &&
                      end.descriptors <= warm.descriptors &&
                      heapGrowthKib <= arguments.heapBoundKib && counters.answered.load() > 0 &&
                      counters.blockPages.load() > 0;
    if (end.descriptors > warm.descriptors) {
        std::printf(
            "soak: host descriptors while warm: %s\nsoak: host descriptors at the end: %s\n",
            warmDescriptors.c_str(), DescriptorKinds(product.Host()->Pid()).c_str());
    }
    if (!hostRuns) {
        std::printf("soak: the driver host ended: %s\n", product.Host()->Output().c_str());
    }
    std::printf("soak: %s\n", held ? "every check held" : "a check failed");
    const int hostStatus = product.StopHost();
    if (hostStatus != 0) {
        std::printf("soak: the driver host stopped with status %d\n", hostStatus);
    }
    return held && hostStatus == 0 ? 0 : 1;
}

}  // namespace wexo::soak
