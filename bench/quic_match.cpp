// What the table's QUIC refusal costs a UDP flow that is not QUIC. The match runs in the kernel on
// every outbound datagram, so a voice call or a VPN tunnel pays for it on each packet it sends; it
// should not show in their throughput. Two pairs of network namespaces of the bench's own, each
// joined by a veth pair (root only, skipped elsewhere): in each client's namespace the product's
// table, the refusal on in one and off in the other (the table otherwise the same), and in each
// server's a receiver at 192.0.2.2. 1200-byte datagrams go from a client as fast as its receiver
// takes them (the sender keeps a window of datagrams in flight, so none is lost and the rate is
// the whole path's work per datagram). Short legs of the same flow alternate between the two pairs
// in the same run, so that both see the same machine; the ratio is the median of the pairs of
// legs, which a burst of other work in one leg does not move. (Both pairs with the refusal on
// measure 0.987-1.006: what the bench cannot tell apart.) Two flows, each a way a sloppy match
// could mistake for QUIC:
// - RtpLike: RTP's first byte (0x80) has the bit of a QUIC long header, so each datagram gets past
//   that bit of the table's first quick test and is turned away by the version bits its sequence
//   number does not have (one sequence number in 512 has them and goes on to the exact tests);
// - WireGuardLike: a tunnel's data message (type 4 and three zero bytes), which both quick tests
//   turn away at the first bit.
// Datagrams go in batches (sendmmsg, recvmmsg), which leaves the match a larger share of the
// per-datagram work than one system call each would. All of the bench's threads run on one core
// (see main). Counters: with_dgrams_per_s, without_dgrams_per_s, with_bytes_per_s,
// without_bytes_per_s, ratio = with / without (target: at least 0.98), refused (what the match
// counted of the flow: 0) and probe_refused (one QUIC Initial sent at the end from another socket,
// which the match must count, or the legs measured nothing).
//
// Measured on the 2-core development machine, two runs of --benchmark_repetitions=3 at a load
// average of 0.4-1.5: RtpLike 0.986-0.995, WireGuardLike 0.985-0.997 (about 170,000-195,000
// datagrams a second either way). The three exact rules alone, as every datagram met them before,
// measured 0.87-0.93; one quick rule with a set lookup in place of the two inline ones, 0.96-0.98
// (the lookup is a call, which costs about as much as three rules of inline tests here).
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/one_core.h"
#include "os/core/status.h"
#include "os/wfp/linux/nft_table.h"
#include "tests/os/wfp/linux/socket_util.h"
#include "tools/peers/network_namespaces.h"

namespace {

using Clock = std::chrono::steady_clock;
using SIDE = wexo::peers::NETWORK_NAMESPACES::SIDE;

constexpr size_t kDatagram = 1200;
constexpr int kBatch = 32;
// In flight at most: well under the veth's backlog and the receiver's buffer.
constexpr int64_t kWindow = 4 * kBatch;
constexpr int64_t kLeg = 1024;  // datagrams per leg
constexpr auto kStall = std::chrono::milliseconds(200);

enum class FLOW { Rtp, WireGuard };

// The flow's datagram number `n`, in place (sequence numbers and counters move as a real one's do).
void Fill(FLOW flow, uint64_t n, uint8_t* datagram) {
    if (flow == FLOW::Rtp) {
        // Version 2, payload type 96 (dynamic), sequence, 20 ms of 48 kHz per packet, an SSRC.
        const uint16_t sequence = static_cast<uint16_t>(0x1234 + n);
        const uint32_t timestamp = static_cast<uint32_t>(0x10000000 + n * 960);
        const uint8_t header[12] = {0x80,
                                    0x60,
                                    static_cast<uint8_t>(sequence >> 8),
                                    static_cast<uint8_t>(sequence),
                                    static_cast<uint8_t>(timestamp >> 24),
                                    static_cast<uint8_t>(timestamp >> 16),
                                    static_cast<uint8_t>(timestamp >> 8),
                                    static_cast<uint8_t>(timestamp),
                                    0x5e,
                                    0xed,
                                    0xca,
                                    0x11};
        std::memcpy(datagram, header, sizeof header);
    } else {
        // Transport data: type 4, three reserved bytes, the receiver's index, a little-endian
        // counter; the rest stands for the sealed packet.
        const uint8_t header[8] = {0x04, 0, 0, 0, 0x9a, 0x71, 0x03, 0x5c};
        std::memcpy(datagram, header, sizeof header);
        for (int i = 0; i < 8; ++i) {
            datagram[8 + i] = static_cast<uint8_t>(n >> (8 * i));
        }
    }
}

// Counts what arrives at its socket, on a thread of its own, and wakes a sender waiting for room.
class RECEIVER {
  public:
    explicit RECEIVER(int fd) : fd_(fd) {
        timeval wake{0, 20'000};  // to see `stopping_`
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
        thread_ = std::thread([this] { Serve(); });
    }
    ~RECEIVER() {
        stopping_ = true;
        thread_.join();
    }
    int64_t Received() const { return received_.load(); }
    // Until `done` holds of the number that has arrived; false when it did not within kStall.
    template <typename CONDITION>
    bool WaitFor(CONDITION done) {
        std::unique_lock<std::mutex> guard(lock_);
        return arrived_.wait_for(guard, kStall, [&] { return done(received_.load()); });
    }

  private:
    void Serve() {
        static thread_local std::array<std::array<uint8_t, 2048>, kBatch> buffers;
        std::array<iovec, kBatch> pieces{};
        std::array<mmsghdr, kBatch> messages{};
        while (!stopping_.load()) {
            for (int i = 0; i < kBatch; ++i) {
                pieces[i] = {buffers[i].data(), buffers[i].size()};
                messages[i] = {};
                messages[i].msg_hdr.msg_iov = &pieces[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = recvmmsg(fd_, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
            if (n <= 0) {
                continue;
            }
            {
                std::lock_guard<std::mutex> guard(lock_);
                received_ += n;
            }
            arrived_.notify_one();
        }
    }

    int fd_;
    std::atomic<int64_t> received_{0};
    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    std::condition_variable arrived_;
    std::thread thread_;
};

// One pair of namespaces: the receiver's and the sender's sockets, and the product's table.
struct NETWORK {
    std::unique_ptr<wexo::peers::NETWORK_NAMESPACES> namespaces;
    wexo::test::UNIQUE_FD receiving;
    wexo::test::UNIQUE_FD sending;
    wexo::test::UNIQUE_FD probing;  // unconnected: the refusal's ICMP error does not stick to it
    os::NFT_TABLE table;
    std::unique_ptr<RECEIVER> receiver;
    sockaddr_storage to{};

    ~NETWORK() {
        receiver.reset();
        if (namespaces) {
            namespaces->RunIn(SIDE::Client, [&] { table.Remove(); });
        }
    }

    bool Make(uint16_t port, bool rejectQuic, std::string* why) {
        if (!wexo::peers::NETWORK_NAMESPACES::Available(why)) {
            *why = "no network namespaces: " + *why;
            return false;
        }
        namespaces = wexo::peers::NETWORK_NAMESPACES::Create(why);
        if (!namespaces) {
            return false;
        }
        to = wexo::test::Address("192.0.2.2", port);
        namespaces->RunIn(SIDE::Server, [&] {
            receiving = wexo::test::Bound(SOCK_DGRAM, "192.0.2.2", port);
            const int room = 4 << 20;
            setsockopt(receiving.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
        });
        namespaces->RunIn(SIDE::Client, [&] {
            sending = wexo::test::UNIQUE_FD(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            probing = wexo::test::UNIQUE_FD(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            if (sending.Valid() && connect(sending.Get(), reinterpret_cast<const sockaddr*>(&to),
                                           wexo::test::AddressSize(to)) != 0) {
                sending.Reset();
            }
        });
        if (!receiving.Valid() || !sending.Valid() || !probing.Valid()) {
            *why = "the sockets could not be made";
            return false;
        }
        receiver = std::make_unique<RECEIVER>(receiving.Get());
        // The table as the product installs it; not watched, so that no thread of the watch
        // runs beside the legs.
        uint32_t installed = os::ERROR_GEN_FAILURE;
        namespaces->RunIn(SIDE::Client, [&] {
            os::NFT_TABLE_OPTIONS options;
            options.tcpProxyPort = 9;  // no TCP here
            options.rejectQuic = rejectQuic;
            options.watch = false;
            installed = table.Install(options, why);
        });
        return installed == os::ERROR_SUCCESS;
    }

    // The packets the table's QUIC counter holds; -1 when it cannot be read.
    int64_t Refused() const {
        std::string output;
        uint32_t result = os::ERROR_GEN_FAILURE;
        namespaces->RunIn(SIDE::Client, [&] {
            result = os::RunNftCommands(
                "list counter inet wexo " + std::string(os::kQuicCounter) + "\n", nullptr, &output);
        });
        const size_t at = output.find("packets ");
        return result == os::ERROR_SUCCESS && at != std::string::npos
                   ? std::strtoll(output.c_str() + at + 8, nullptr, 10)
                   : -1;
    }

    // A QUIC version 1 Initial as a client opens with it, from the probing socket.
    void Probe() const {
        std::vector<uint8_t> initial(kDatagram, 0);
        const uint8_t header[] = {0xc3, 0, 0, 0, 1, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0};
        std::memcpy(initial.data(), header, sizeof header);
        sendto(probing.Get(), initial.data(), initial.size(), 0,
               reinterpret_cast<const sockaddr*>(&to), wexo::test::AddressSize(to));
    }
};

// One leg: kLeg datagrams of the flow, each sent when the window has room, until the receiver has
// them all. Its wall time; zero when datagrams were lost (the window stalled).
Clock::duration Leg(NETWORK& network, FLOW flow, uint64_t* number) {
    static std::array<std::array<uint8_t, kDatagram>, kBatch> datagrams{};
    std::array<iovec, kBatch> pieces{};
    std::array<mmsghdr, kBatch> messages{};
    const int64_t base = network.receiver->Received();
    const auto start = Clock::now();
    for (int64_t sent = 0; sent < kLeg;) {
        auto room = [&](int64_t received) { return sent - (received - base) + kBatch <= kWindow; };
        if (!room(network.receiver->Received()) && !network.receiver->WaitFor(room)) {
            return {};
        }
        for (int i = 0; i < kBatch; ++i) {
            Fill(flow, (*number)++, datagrams[i].data());
            pieces[i] = {datagrams[i].data(), kDatagram};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        for (int done = 0; done < kBatch;) {
            const int n = sendmmsg(network.sending.Get(), messages.data() + done, kBatch - done, 0);
            if (n <= 0) {
                return {};
            }
            done += n;
        }
        sent += kBatch;
    }
    if (!network.receiver->WaitFor([&](int64_t received) { return received - base >= kLeg; })) {
        return {};
    }
    return Clock::now() - start;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void WithAndWithout(benchmark::State& state, FLOW flow, uint16_t port) {
    // [0] with the refusal, [1] without.
    NETWORK networks[2];
    std::string why;
    for (int side = 0; side < 2; ++side) {
        if (!networks[side].Make(port, side == 0, &why)) {
            state.SkipWithError(why.c_str());
            return;
        }
    }
    Clock::duration totals[2]{};
    std::vector<double> ratios;
    uint64_t numbers[2] = {};  // each pair's flow numbers its datagrams on from its last leg
    int first = 0;
    for (auto _ : state) {
        Clock::duration legs[2]{};
        // Each side first every other time, so that neither always follows the same thing.
        for (int side : {first, 1 - first}) {
            legs[side] = Leg(networks[side], flow, &numbers[side]);
            if (legs[side] == Clock::duration{}) {
                state.SkipWithError("datagrams were lost: the receiver did not get them all");
                return;
            }
            totals[side] += legs[side];
        }
        first = 1 - first;
        ratios.push_back(Seconds(legs[1]) / Seconds(legs[0]));
    }
    if (ratios.empty()) {
        return;
    }
    const int64_t refused = networks[0].Refused();
    networks[0].Probe();
    const int64_t probed = networks[0].Refused() - refused;
    const double datagrams = static_cast<double>(state.iterations() * kLeg);
    state.counters["with_dgrams_per_s"] = datagrams / Seconds(totals[0]);
    state.counters["without_dgrams_per_s"] = datagrams / Seconds(totals[1]);
    state.counters["with_bytes_per_s"] = datagrams * kDatagram / Seconds(totals[0]);
    state.counters["without_bytes_per_s"] = datagrams * kDatagram / Seconds(totals[1]);
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    state.counters["ratio"] = ratios[ratios.size() / 2];
    state.counters["refused"] = static_cast<double>(refused);
    state.counters["probe_refused"] = static_cast<double>(probed);
    state.SetBytesProcessed(static_cast<int64_t>(datagrams * 2 * kDatagram));
    if (refused != 0 || probed != 1) {
        state.SkipWithError("the match refused the flow, or not the probe");
    }
}

void BM_RtpLike(benchmark::State& state) {
    WithAndWithout(state, FLOW::Rtp, 5004);
}
BENCHMARK(BM_RtpLike)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WireGuardLike(benchmark::State& state) {
    WithAndWithout(state, FLOW::WireGuard, 51820);
}
BENCHMARK(BM_WireGuardLike)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    wexo::bench::StayOnThisCore();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
