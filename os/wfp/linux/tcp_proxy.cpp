#include "os/wfp/linux/tcp_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "os/core/status.h"
#include "os/wfp/linux/redirect.h"
#include "os/wfp/linux/splice_relay.h"
#include "os/wfp/wfp_flow.h"

namespace os::wfplinux {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr int kClient = 0;
constexpr int kUpstream = 1;
// Tags of the loop's own descriptors; a connection's are its id and side.
constexpr uint64_t kListenerV4Tag = ~0ull;
constexpr uint64_t kListenerV6Tag = ~0ull - 1;
constexpr uint64_t kWakeTag = ~0ull - 2;
// Relay processes' sockets: relay i is kRelayTag - i.
constexpr uint64_t kRelayTag = ~0ull - 3;
constexpr size_t kMostRelays = 64;
// The listeners for forwarded traffic, below the relays' tags.
constexpr uint64_t kForwardedV4Tag = kRelayTag - kMostRelays;
constexpr uint64_t kForwardedV6Tag = kForwardedV4Tag - 1;
// The interest of a socket that is out of the epoll set for good.
constexpr uint32_t kNoLongerWatched = ~0u;

int Other(int side) {
    return 1 - side;
}

// The client's sends go out to the server (outbound), the server's come in (inbound).
FWP_DIRECTION DirectionFrom(int readSide) {
    return readSide == kClient ? FWP_DIRECTION_OUTBOUND : FWP_DIRECTION_INBOUND;
}

// Where a direction's bytes are written.
int TargetOf(FWP_DIRECTION direction) {
    return direction == FWP_DIRECTION_OUTBOUND ? kUpstream : kClient;
}

sockaddr_storage SocketAddress(const IP_ADDRESS_BYTES& address, uint16_t port) {
    sockaddr_storage socketAddress{};
    if (address.family == AddressFamily::IPv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&socketAddress);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        std::memcpy(&v6->sin6_addr, address.bytes.data(), 16);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&socketAddress);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        std::memcpy(&v4->sin_addr, address.bytes.data(), 4);
    }
    return socketAddress;
}

// Where a connection's server end is while an engine callout has it opened elsewhere.
enum MOVE : int { kNotMoved = 0, kMoveAsked = 1, kMoveConnecting = 2 };

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// One proxied connection. The loop thread reads, connects and closes; deliveries may come from
// any thread and write under the lock.
struct CONNECTION {
    uint64_t id = 0;
    int fd[2] = {-1, -1};
    bool connecting = true;
    // The upstream side is connected, the flow waits for the owner look-up.
    bool upstreamReady = false;
    bool ownerPending = false;  // under the proxy's lock
    int64_t connectDeadline = 0;
    PROXIED_CONNECTION info;
    std::optional<uint64_t> processId;
    std::shared_ptr<StreamFlow> flow;

    std::mutex lock;
    // What is still to be written to each socket, and its FIN once that is out.
    std::string out[2];
    size_t outOffset[2] = {0, 0};
    bool finPending[2] = {false, false};
    bool finSent[2] = {false, false};
    bool readEnded[2] = {false, false};
    bool readPaused[2] = {false, false};
    // Bytes read from a side and handed to the engine, and how many bytes went on in that
    // direction (what a callout injects in their place included): the difference is what the
    // engine and its callouts hold, which is bounded as the buffers are.
    uint64_t readFrom[2] = {0, 0};
    uint64_t deliveredFrom[2] = {0, 0};
    bool heldPaused[2] = {false, false};
    // The side half-closed while the engine held its bound: what it sent before its FIN (no more
    // than the kernel had queued) is read, so that the FIN is seen. A callout that discards what
    // it takes (a blocked connection's later bytes) would otherwise never let the side end.
    bool readToEnd[2] = {false, false};
    int64_t heldSince[2] = {0, 0};
    // A side whose hang-up came while it was not to be read: out of the epoll set until there is
    // something to read or write on it again, since epoll reports a hang-up whatever the mask.
    bool parked[2] = {false, false};
    uint32_t interest[2] = {0, 0};
    bool reset = false;
    bool closed = false;
    // Pass-through: bytes read from a side wait in its pipe until its target takes them.
    bool spliced = false;
    int pipe[2][2] = {{-1, -1}, {-1, -1}};
    size_t inPipe[2] = {0, 0};
    bool finForwarded[2] = {false, false};  // a spliced side's FIN, given to the engine
    // The relay process that holds the sockets now (-1: this process); set on the loop thread.
    int relay = -1;
    // The server's end is opened again toward `movedTo` (RedirectServer asks, the loop does it):
    // the old socket is no longer read, what goes toward the server waits for the new one.
    std::atomic<int> move{kNotMoved};
    sockaddr_storage movedTo{};

    size_t Buffered(int side) const { return out[side].size() - outOffset[side]; }
};

struct TCP_PROXY::STATE {
    FilterEngine* engine = nullptr;
    TCP_PROXY_OPTIONS options;
    int epollFd = -1;
    int wakeFd = -1;
    // IPv4 and IPv6 loopback, then IPv4 and IPv6 on every address for forwarded traffic.
    int listeners[4] = {-1, -1, -1, -1};
    int spareFd = -1;  // given up to accept (and refuse) a connection when descriptors run out
    std::thread loop;
    std::atomic<bool> stopping{false};

    std::mutex lock;  // the connection table and the queues below
    std::map<uint64_t, std::shared_ptr<CONNECTION>> connections;
    std::vector<uint64_t> resetQueue;
    // Connections whose server end is to be opened again elsewhere.
    std::vector<uint64_t> moveQueue;
    // Connections whose last FIN went out on another thread: the loop looks whether they are done.
    std::vector<uint64_t> finishQueue;
    // Connects in the order they started, so in the order their deadlines come (one timeout).
    std::deque<std::pair<int64_t, uint64_t>> connectDeadlines;
    // Sides held back for what the engine holds, in the order their time runs out.
    std::deque<std::pair<int64_t, uint64_t>> heldDeadlines;
    // Owner look-ups walk /proc: they run on a thread of their own, never on the loop.
    std::deque<std::shared_ptr<CONNECTION>> ownerQueue;
    std::vector<uint64_t> ownersFound;
    std::condition_variable ownerWake;
    std::thread ownerThread;

    // Relay processes (the loop thread's, and Stop's once the loop has ended).
    struct RELAY_SLOT {
        SPLICE_RELAY process;
        size_t held = 0;
        bool gone = false;
    };
    std::vector<RELAY_SLOT> relays;
    size_t relayCapacity = 0;
    // Passed connections a relay could not take at once (its socket was full): tried again soon.
    std::deque<uint64_t> handOffs;
    int64_t handOffsTried = 0;
    std::vector<pid_t> relayPids;  // under lock, for RelayProcesses

    PIPE_POOL pipes;
    uint64_t nextId = 1;
    TCP_PROXY_COUNTS counts;
    std::atomic<uint64_t> highWater{0};
    std::atomic<uint64_t> heldHighWater{0};
    std::atomic<uint64_t> bytesMoved{0};

    void Run();
    void Accept(int listener, bool forwarded);
    void Refuse(int fd);
    // The upstream connect's outcome; a failure is counted and the connection finished.
    bool UpstreamFailed(const std::shared_ptr<CONNECTION>& c);
    void Connected(const std::shared_ptr<CONNECTION>& c);
    void DrainMoves();
    void Move(const std::shared_ptr<CONNECTION>& c);
    void Moved(const std::shared_ptr<CONNECTION>& c);
    void Readable(const std::shared_ptr<CONNECTION>& c, int side);
    void Writable(const std::shared_ptr<CONNECTION>& c, int side);
    void Spliced(const std::shared_ptr<CONNECTION>& c, int side);
    void ForwardFinIfDrained(const std::shared_ptr<CONNECTION>& c, int side);
    void MaybeSplice(const std::shared_ptr<CONNECTION>& c);
    // A side that hung up or failed: false when it is to be read (the read finds out what it was).
    bool HungUp(const std::shared_ptr<CONNECTION>& c, int side);
    void MaybeFinish(const std::shared_ptr<CONNECTION>& c);
    void Finish(const std::shared_ptr<CONNECTION>& c, bool withReset);
    void ExpireConnects();
    void ExpireHeld();
    void DrainResets();
    void DrainFinishes();
    std::shared_ptr<CONNECTION> Find(uint64_t id);
    // The connections a queue names that are still open; the queue is emptied.
    std::vector<std::shared_ptr<CONNECTION>> TakeQueued(std::vector<uint64_t>& queue);
    void OpenFlow(const std::shared_ptr<CONNECTION>& c);
    void DrainOwners();
    void OwnerLookups();
    // Hands a passed connection's sockets to a relay when nothing of it is in this process.
    void HandOff(const std::shared_ptr<CONNECTION>& c);
    // A relay that has room, started when none has; -1 when none can be had.
    int RelayWithRoom();
    void RelayReports(size_t index);
    void RetryHandOffs();
    void Wake();

    // Under the connection's lock.
    void WriteLocked(CONNECTION& c, int side);
    void UpdateInterestLocked(CONNECTION& c, int side);
    void UpdateHeldLocked(CONNECTION& c, int side);
    void QueueReset(CONNECTION& c);
    void Deliver(CONNECTION& c, FWP_DIRECTION direction, std::span<const uint8_t> bytes);
    void DeliverFin(CONNECTION& c, FWP_DIRECTION direction);
    NTSTATUS RedirectServer(CONNECTION& c, const IP_ADDRESS_BYTES& address);
};

namespace {

// A side not to be read now: read to its end, or its receiver's buffer or pipe is full, or the
// engine holds its bound.
bool NotToBeRead(const CONNECTION& c, int side) {
    return c.readEnded[side] || c.readPaused[side] || c.heldPaused[side];
}

class ENDPOINTS final : public StreamEndpoints {
  public:
    ENDPOINTS(TCP_PROXY::STATE* state, std::weak_ptr<CONNECTION> connection)
        : state_(state), connection_(std::move(connection)) {}
    void Deliver(FWP_DIRECTION direction, std::span<const uint8_t> bytes) override {
        if (auto c = connection_.lock()) {
            state_->Deliver(*c, direction, bytes);
        }
    }
    void DeliverFin(FWP_DIRECTION direction) override {
        if (auto c = connection_.lock()) {
            state_->DeliverFin(*c, direction);
        }
    }
    void Reset() override {
        if (auto c = connection_.lock()) {
            std::lock_guard guard(c->lock);
            state_->QueueReset(*c);
        }
    }
    bool CanRedirectServer() const override { return true; }
    NTSTATUS RedirectServer(const IP_ADDRESS_BYTES& address) override {
        auto c = connection_.lock();
        return c ? state_->RedirectServer(*c, address) : STATUS_CANCELLED;
    }

  private:
    TCP_PROXY::STATE* const state_;
    const std::weak_ptr<CONNECTION> connection_;
};

}  // namespace

void TCP_PROXY::STATE::UpdateInterestLocked(CONNECTION& c, int side) {
    if (c.closed || c.fd[side] < 0 || c.interest[side] == kNoLongerWatched) {
        return;
    }
    if (!c.connecting && c.readEnded[side] && c.finSent[side] && c.Buffered(side) == 0 &&
        c.inPipe[Other(side)] == 0) {
        // Read to its end and shut for writing: nothing more can happen on this socket, and epoll
        // would report its hang-up (which no interest mask turns off) on every wait until the
        // other side is done too.
        epoll_ctl(epollFd, EPOLL_CTL_DEL, c.fd[side], nullptr);
        c.interest[side] = kNoLongerWatched;
        return;
    }
    uint32_t events = 0;
    if (c.connecting) {
        events = side == kUpstream && !c.upstreamReady ? static_cast<uint32_t>(EPOLLOUT) : 0u;
    } else if (side == kUpstream && c.move.load() != kNotMoved) {
        events = c.move.load() == kMoveConnecting ? static_cast<uint32_t>(EPOLLOUT) : 0u;
    } else {
        if (!c.readEnded[side] && !c.readPaused[side] && !c.heldPaused[side] && !c.reset) {
            events |= EPOLLIN;
        } else if (c.heldPaused[side] && !c.reset) {
            events |= EPOLLRDHUP;  // its FIN, which a side not read would hide
        }
        const bool toWrite = c.Buffered(side) > 0 || (c.finPending[side] && !c.finSent[side]) ||
                             c.inPipe[Other(side)] > 0;
        if (toWrite && !c.reset) {
            events |= EPOLLOUT;
        }
    }
    epoll_event event{events, {.u64 = (c.id << 1) | static_cast<uint64_t>(side)}};
    if (c.parked[side]) {
        if (events != 0) {
            // To be read or written again: the hang-up is seen once more, after what is queued.
            epoll_ctl(epollFd, EPOLL_CTL_ADD, c.fd[side], &event);
            c.parked[side] = false;
            c.interest[side] = events;
        }
        return;
    }
    if (events == c.interest[side]) {
        return;
    }
    epoll_ctl(epollFd, EPOLL_CTL_MOD, c.fd[side], &event);
    c.interest[side] = events;
}

void TCP_PROXY::STATE::UpdateHeldLocked(CONNECTION& c, int side) {
    // Once a FIN went either way the exchange is ending: what a callout still takes from this side
    // it discards (a blocked request's successors, say), and the side must be read to its end for
    // the connection to close. A spliced flow holds nothing in the engine.
    if (c.spliced || c.finPending[kClient] || c.finPending[kUpstream] || c.readToEnd[side]) {
        c.deliveredFrom[side] = c.readFrom[side];
        c.heldPaused[side] = false;
        UpdateInterestLocked(c, side);
        return;
    }
    const uint64_t held =
        c.readFrom[side] > c.deliveredFrom[side] ? c.readFrom[side] - c.deliveredFrom[side] : 0;
    uint64_t seen = heldHighWater.load();
    while (held > seen && !heldHighWater.compare_exchange_weak(seen, held)) {
    }
    const size_t bound = options.maxHeldPerDirection;
    if (held > bound) {
        if (!c.heldPaused[side]) {
            c.heldPaused[side] = true;
            c.heldSince[side] = NowMs();
            std::lock_guard guard(lock);
            heldDeadlines.emplace_back(c.heldSince[side] + options.maxHeldMs, c.id);
        }
    } else if (c.heldPaused[side] && held <= bound / 2) {
        c.heldPaused[side] = false;
    }
    UpdateInterestLocked(c, side);
}

void TCP_PROXY::STATE::WriteLocked(CONNECTION& c, int side) {
    if (c.closed || c.reset || c.connecting || (side == kUpstream && c.move.load() != kNotMoved)) {
        return;
    }
    while (c.Buffered(side) > 0) {
        ssize_t n = send(c.fd[side], c.out[side].data() + c.outOffset[side], c.Buffered(side),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        if (n <= 0) {
            QueueReset(c);  // the receiver went away: the connection cannot go on
            return;
        }
        c.outOffset[side] += static_cast<size_t>(n);
        bytesMoved.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    if (c.Buffered(side) == 0) {
        c.out[side].clear();
        c.outOffset[side] = 0;
        if (c.finPending[side] && !c.finSent[side]) {
            shutdown(c.fd[side], SHUT_WR);
            c.finSent[side] = true;
            {
                std::lock_guard guard(lock);
                finishQueue.push_back(c.id);
            }
            Wake();
        }
    }
    // A receiver that does not keep up holds back its sender; once half is out, it goes on.
    const int source = Other(side);
    const size_t bound = options.maxBufferedPerDirection;
    if (c.Buffered(side) > bound) {
        c.readPaused[source] = true;
    } else if (c.readPaused[source] && c.Buffered(side) <= bound / 2) {
        c.readPaused[source] = false;
    }
    UpdateInterestLocked(c, side);
    UpdateInterestLocked(c, source);
}

void TCP_PROXY::STATE::QueueReset(CONNECTION& c) {
    if (c.reset || c.closed) {
        return;
    }
    c.reset = true;
    {
        std::lock_guard guard(lock);
        resetQueue.push_back(c.id);
    }
    Wake();
}

void TCP_PROXY::STATE::Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
}

void TCP_PROXY::STATE::Deliver(CONNECTION& c, FWP_DIRECTION direction,
                               std::span<const uint8_t> bytes) {
    const int target = TargetOf(direction);
    std::lock_guard guard(c.lock);
    if (c.closed || c.reset || c.finPending[target] || c.relay >= 0) {
        return;
    }
    c.out[target].append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    c.deliveredFrom[Other(target)] += bytes.size();
    WriteLocked(c, target);
    UpdateHeldLocked(c, Other(target));
    const uint64_t held = c.Buffered(target);
    uint64_t seen = highWater.load();
    while (held > seen && !highWater.compare_exchange_weak(seen, held)) {
    }
}

void TCP_PROXY::STATE::DeliverFin(CONNECTION& c, FWP_DIRECTION direction) {
    const int target = TargetOf(direction);
    {
        std::lock_guard guard(c.lock);
        if (c.closed || c.reset || c.finPending[target] || c.relay >= 0) {
            return;  // a relayed connection's FINs are the relay's
        }
        c.finPending[target] = true;
        WriteLocked(c, target);
        UpdateHeldLocked(c, kClient);
        UpdateHeldLocked(c, kUpstream);
    }
    uint64_t one = 1;  // the loop looks whether the connection is done
    [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
}

NTSTATUS TCP_PROXY::STATE::RedirectServer(CONNECTION& c, const IP_ADDRESS_BYTES& address) {
    if (address.family != AddressFamily::IPv4 && address.family != AddressFamily::IPv6) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard guard(c.lock);
        if (c.closed || c.reset) {
            return STATUS_CANCELLED;
        }
        // Only a server that has had nothing and said nothing can be left for another.
        if (c.connecting || c.spliced || c.relay >= 0 || c.move.load() != kNotMoved ||
            c.readFrom[kUpstream] > 0 || c.readEnded[kUpstream] || c.deliveredFrom[kClient] > 0 ||
            c.finPending[kUpstream]) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        uint16_t port = 0;
        AddressBytes(c.info.destination, &port);
        c.movedTo = SocketAddress(address, port);
        c.move.store(kMoveAsked);
        UpdateInterestLocked(c, kUpstream);
    }
    {
        std::lock_guard guard(lock);
        moveQueue.push_back(c.id);
    }
    Wake();
    return STATUS_SUCCESS;
}

void TCP_PROXY::STATE::DrainMoves() {
    for (auto& c : TakeQueued(moveQueue)) {
        Move(c);
    }
}

void TCP_PROXY::STATE::Move(const std::shared_ptr<CONNECTION>& c) {
    int fd = socket(c->movedTo.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    bool started =
        fd >= 0 && (options.mark == 0 || SetSocketMark(fd, options.mark) == ERROR_SUCCESS);
    if (started) {
        int rc =
            connect(fd, reinterpret_cast<const sockaddr*>(&c->movedTo), AddressLength(c->movedTo));
        started = rc == 0 || errno == EINPROGRESS;
    }
    if (!started) {
        if (fd >= 0) {
            close(fd);
        }
        {
            std::lock_guard guard(lock);
            ++counts.upstreamFailed;
        }
        Finish(c, true);
        return;
    }
    {
        std::lock_guard guard(c->lock);
        if (c->closed) {
            close(fd);
            return;
        }
        // The old server's socket goes unread: whatever it had sent is not the client's.
        if (!c->parked[kUpstream] && c->interest[kUpstream] != kNoLongerWatched) {
            epoll_ctl(epollFd, EPOLL_CTL_DEL, c->fd[kUpstream], nullptr);
        }
        CloseWithReset(c->fd[kUpstream]);
        c->fd[kUpstream] = fd;
        c->parked[kUpstream] = false;
        c->interest[kUpstream] = EPOLLOUT;
        epoll_event event{EPOLLOUT, {.u64 = (c->id << 1) | static_cast<uint64_t>(kUpstream)}};
        epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
        c->move.store(kMoveConnecting);
        c->connectDeadline = NowMs() + options.connectTimeoutMs;
    }
    std::lock_guard guard(lock);
    ++counts.moved;
    connectDeadlines.emplace_back(c->connectDeadline, c->id);
}

void TCP_PROXY::STATE::Moved(const std::shared_ptr<CONNECTION>& c) {
    if (UpstreamFailed(c)) {
        return;
    }
    std::lock_guard guard(c->lock);
    c->move.store(kNotMoved);
    WriteLocked(*c, kUpstream);
    UpdateInterestLocked(*c, kUpstream);
    UpdateInterestLocked(*c, kClient);
}

void TCP_PROXY::STATE::Refuse(int fd) {
    {
        // Counted before the reset, so whoever saw the reset also sees the count.
        std::lock_guard guard(lock);
        ++counts.refused;
    }
    CloseWithReset(fd);
}

void TCP_PROXY::STATE::Accept(int listener, bool forwarded) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if ((errno == EMFILE || errno == ENFILE) && spareFd >= 0) {
                // Out of descriptors: the waiting connection is refused at once instead of
                // waking the loop again and again; the open ones are not touched.
                close(spareFd);
                int refused = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (refused >= 0) {
                    Refuse(refused);
                }
                spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
                continue;
            }
            return;  // EAGAIN: all taken
        }
        auto c = std::make_shared<CONNECTION>();
        c->info.client = peer;
        c->info.forwarded = forwarded;
        const bool known = options.destination
                               ? options.destination(fd, &c->info)
                               : OriginalDestination(fd, &c->info.destination) == ERROR_SUCCESS;
        if (!known) {
            Refuse(fd);
            continue;
        }
        // A connection made to a listener itself was not redirected (the redirect leaves loopback
        // alone, and the table refuses the forwarded listeners' ports to what it did not redirect;
        // this holds without it): relayed, it would come back here, again and again, until the
        // descriptors ran out. One forwarded from where the machine does not forward would make
        // the proxy a relay for whoever sends it packets for elsewhere.
        sockaddr_storage local{};
        socklen_t localLength = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            SameEndpoint(local, c->info.destination) || (forwarded && !ForwardsFrom(local))) {
            Refuse(fd);
            continue;
        }
        c->fd[kClient] = fd;
        c->fd[kUpstream] = socket(c->info.destination.ss_family,
                                  SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (c->fd[kUpstream] < 0) {
            Refuse(fd);
            continue;
        }
        if (options.mark != 0 && SetSocketMark(c->fd[kUpstream], options.mark) != ERROR_SUCCESS) {
            // Unmarked, the connection would be redirected back to this proxy.
            close(c->fd[kUpstream]);
            Refuse(fd);
            continue;
        }
        int rc = connect(c->fd[kUpstream], reinterpret_cast<sockaddr*>(&c->info.destination),
                         AddressLength(c->info.destination));
        if (rc != 0 && errno != EINPROGRESS) {
            close(c->fd[kUpstream]);
            CloseWithReset(fd);
            std::lock_guard guard(lock);
            ++counts.upstreamFailed;
            continue;
        }
        c->connectDeadline = NowMs() + options.connectTimeoutMs;
        {
            std::lock_guard guard(lock);
            c->id = nextId++;
            connections.emplace(c->id, c);
            connectDeadlines.emplace_back(c->connectDeadline, c->id);
            ++counts.accepted;
            if (options.owner && !forwarded) {
                // The connect and the look-up run side by side; the flow opens when both are done.
                c->ownerPending = true;
                ownerQueue.push_back(c);
            }
        }
        if (options.owner && !forwarded) {
            ownerWake.notify_one();
        }
        std::lock_guard guard(c->lock);
        for (int side : {kClient, kUpstream}) {
            epoll_event event{0, {.u64 = (c->id << 1) | static_cast<uint64_t>(side)}};
            epoll_ctl(epollFd, EPOLL_CTL_ADD, c->fd[side], &event);
        }
        UpdateInterestLocked(*c, kUpstream);
    }
}

bool TCP_PROXY::STATE::UpstreamFailed(const std::shared_ptr<CONNECTION>& c) {
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(c->fd[kUpstream], SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == 0) {
        return false;
    }
    {
        std::lock_guard guard(lock);
        ++counts.upstreamFailed;
    }
    Finish(c, true);  // refused or unreachable: the client is reset
    return true;
}

void TCP_PROXY::STATE::Connected(const std::shared_ptr<CONNECTION>& c) {
    if (UpstreamFailed(c)) {
        return;
    }
    bool waiting;
    {
        std::lock_guard guard(lock);
        waiting = c->ownerPending;
    }
    {
        std::lock_guard guard(c->lock);
        c->upstreamReady = true;
        UpdateInterestLocked(*c, kUpstream);
    }
    if (!waiting) {
        OpenFlow(c);
    }
}

void TCP_PROXY::STATE::OpenFlow(const std::shared_ptr<CONNECTION>& c) {
    FLOW_TUPLE tuple;
    tuple.localAddress = AddressBytes(c->info.client, &tuple.localPort);
    tuple.remoteAddress = AddressBytes(c->info.destination, &tuple.remotePort);
    tuple.protocol = IPPROTO_TCP_VALUE;
    auto endpoints = std::make_shared<ENDPOINTS>(this, c);
    {
        std::lock_guard guard(c->lock);
        c->connecting = false;
    }
    // The flow-established classify runs now; a block there resets the connection.
    std::shared_ptr<StreamFlow> flow = engine->OpenStreamFlow(tuple, c->processId, endpoints);
    std::lock_guard guard(c->lock);
    c->flow = std::move(flow);
    UpdateInterestLocked(*c, kClient);
    UpdateInterestLocked(*c, kUpstream);
}

void TCP_PROXY::STATE::Readable(const std::shared_ptr<CONNECTION>& c, int side) {
    if (c->spliced) {
        Spliced(c, side);
        return;
    }
    uint8_t buffer[kReadChunk];
    ssize_t n = recv(c->fd[side], buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (n < 0) {
        c->flow->Abort();  // a reset from that end resets both
        return;
    }
    bytesMoved.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    {
        std::lock_guard guard(c->lock);
        if (side == kUpstream && c->move.load() != kNotMoved) {
            return;  // the old server's, read before the move was asked: nobody's now
        }
        c->readFrom[side] += static_cast<uint64_t>(n);
        if (n == 0) {
            c->readEnded[side] = true;
            UpdateInterestLocked(*c, side);
        }
    }
    // Not under the lock: the classify may deliver on this thread.
    c->flow->Send(DirectionFrom(side), std::span<const uint8_t>(buffer, static_cast<size_t>(n)),
                  n == 0);
    {
        std::lock_guard guard(c->lock);
        UpdateHeldLocked(*c, side);
    }
    MaybeSplice(c);
}

bool TCP_PROXY::STATE::HungUp(const std::shared_ptr<CONNECTION>& c, int side) {
    std::lock_guard guard(c->lock);
    if (!NotToBeRead(*c, side)) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(c->fd[side], SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
        // A reset: both sides are reset, as a read would have found, without reading what is
        // still queued past the bound. (A side read to its end reads as ended for good, not as
        // reset: only its error tells.)
        QueueReset(*c);
        return true;
    }
    // A plain hang-up: what is queued is read, and the hang-up seen, once the side is read again;
    // a side read to its end comes back when there is something to write to it.
    if (!c->parked[side] && c->interest[side] != kNoLongerWatched) {
        epoll_ctl(epollFd, EPOLL_CTL_DEL, c->fd[side], nullptr);
        c->parked[side] = true;
        c->interest[side] = 0;
    }
    return true;
}

void TCP_PROXY::STATE::MaybeSplice(const std::shared_ptr<CONNECTION>& c) {
    if (c->spliced || !c->flow->PassesThrough()) {
        return;
    }
    std::lock_guard guard(c->lock);
    if (c->reset || c->Buffered(kClient) > 0 || c->Buffered(kUpstream) > 0) {
        return;  // what is buffered goes out first, in order
    }
    // The pipes are taken when bytes come: an idle connection holds none.
    c->spliced = true;
    for (int side : {kClient, kUpstream}) {
        c->heldPaused[side] = false;
        UpdateInterestLocked(*c, side);
    }
    std::lock_guard counting(lock);
    ++counts.spliced;
}

void TCP_PROXY::STATE::HandOff(const std::shared_ptr<CONNECTION>& c) {
    std::lock_guard guard(c->lock);
    // Only a connection with nothing of it here: no byte buffered or in a pipe, no FIN on its way.
    if (!c->spliced || c->closed || c->reset || c->relay >= 0 || c->connecting) {
        return;
    }
    for (int side : {kClient, kUpstream}) {
        if (c->readEnded[side] || c->finPending[side] || c->Buffered(side) > 0 ||
            c->inPipe[side] > 0) {
            return;
        }
    }
    const int index = RelayWithRoom();
    if (index < 0) {
        return;  // spliced here
    }
    if (!HandToRelay(relays[index].process, c->id, c->fd[kClient], c->fd[kUpstream])) {
        // A burst of passed connections fills the relay's socket: spliced here until it has room.
        handOffs.push_back(c->id);
        return;
    }
    for (int side : {kClient, kUpstream}) {
        if (!c->parked[side] && c->interest[side] != kNoLongerWatched) {
            epoll_ctl(epollFd, EPOLL_CTL_DEL, c->fd[side], nullptr);
        }
        close(c->fd[side]);
        c->fd[side] = -1;
        pipes.Give(c->pipe[side]);
    }
    c->relay = index;
    ++relays[index].held;
    std::lock_guard counting(lock);
    ++counts.relayed;
}

void TCP_PROXY::STATE::RetryHandOffs() {
    handOffsTried = NowMs();
    std::deque<uint64_t> waiting;
    waiting.swap(handOffs);
    while (!waiting.empty()) {
        const uint64_t id = waiting.front();
        waiting.pop_front();
        if (std::shared_ptr<CONNECTION> c = Find(id)) {
            HandOff(c);
            if (!handOffs.empty() && handOffs.back() == id) {
                // Still no room: the rest wait for the next try, in their order.
                handOffs.insert(handOffs.end(), waiting.begin(), waiting.end());
                return;
            }
        }
    }
}

int TCP_PROXY::STATE::RelayWithRoom() {
    for (size_t i = 0; i < relays.size(); ++i) {
        if (!relays[i].gone && relays[i].held < relayCapacity) {
            return static_cast<int>(i);
        }
    }
    if (relays.size() >= kMostRelays) {
        return -1;
    }
    RELAY_SLOT slot;
    std::string why;
    if (!StartSpliceRelay(&slot.process, &why)) {
        return -1;
    }
    epoll_event event{EPOLLIN, {.u64 = kRelayTag - relays.size()}};
    epoll_ctl(epollFd, EPOLL_CTL_ADD, slot.process.control, &event);
    relays.push_back(slot);
    std::lock_guard counting(lock);
    ++counts.relays;
    relayPids.push_back(slot.process.pid);
    return static_cast<int>(relays.size() - 1);
}

// How relayed connections ended: their flows end as a spliced one's do, with both FINs or a reset.
// A relay that is gone took its connections with it: they were reset.
void TCP_PROXY::STATE::RelayReports(size_t index) {
    RELAY_SLOT& slot = relays[index];
    RELAY_REPORT reports[64];
    int n;
    while ((n = ReadRelayReports(slot.process, reports, std::size(reports))) > 0) {
        for (int i = 0; i < n; ++i) {
            std::shared_ptr<CONNECTION> c = Find(reports[i].token);
            if (!c || c->relay != static_cast<int>(index)) {
                continue;  // ended here first (and the relay was told)
            }
            if (reports[i].end == RELAY_END::Closed) {
                // Still the relay's while the FINs go through the engine: they are delivered
                // nowhere here, and the flow ends cleanly (its flow-delete runs).
                c->flow->Send(FWP_DIRECTION_OUTBOUND, {}, true);
                c->flow->Send(FWP_DIRECTION_INBOUND, {}, true);
            }
            {
                std::lock_guard guard(c->lock);
                c->relay = -1;
            }
            --slot.held;
            Finish(c, reports[i].end != RELAY_END::Closed);
        }
    }
    if (n == 0) {
        return;
    }
    epoll_ctl(epollFd, EPOLL_CTL_DEL, slot.process.control, nullptr);
    {
        std::lock_guard guard(lock);
        std::erase(relayPids, slot.process.pid);
    }
    StopSpliceRelay(&slot.process, 1000);
    slot.gone = true;
    std::vector<std::shared_ptr<CONNECTION>> lost;
    {
        std::lock_guard guard(lock);
        for (auto& [id, c] : connections) {
            if (c->relay == static_cast<int>(index)) {
                lost.push_back(c);
            }
        }
    }
    for (auto& c : lost) {
        {
            std::lock_guard guard(c->lock);
            c->relay = -1;
        }
        Finish(c, true);
    }
    slot.held = 0;
}

// Pass-through: from the socket into its pipe, and from the pipe to the other socket, without the
// bytes reaching user space.
void TCP_PROXY::STATE::Spliced(const std::shared_ptr<CONNECTION>& c, int side) {
    {
        std::lock_guard guard(c->lock);
        if (c->reset) {
            return;
        }
        if (c->readEnded[side]) {
            // A side read to its end is not read again, but epoll reports its reset (an error and
            // a hang-up, which no interest mask turns off) until the socket closes: without this
            // the loop would spin until the other side ends. It resets both, as a read would.
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(c->fd[side], SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
                QueueReset(*c);
            }
            return;
        }
        if (c->pipe[side][0] < 0 && !pipes.Take(c->pipe[side])) {
            QueueReset(*c);  // no descriptors left for a pipe: handled as a failed allocation
            return;
        }
        ssize_t n = splice(c->fd[side], nullptr, c->pipe[side][1], nullptr, kReadChunk * 4,
                           SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            n = -2;
        }
        if (n == -1) {
            QueueReset(*c);
            return;
        }
        if (n > 0) {
            bytesMoved.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
            c->inPipe[side] += static_cast<size_t>(n);
        } else if (n == 0) {
            c->readEnded[side] = true;
        }
        Writable(c, Other(side));  // moves what the pipe holds on
        if (c->inPipe[side] == 0) {
            pipes.Give(c->pipe[side]);  // nothing came, or everything went on at once
        }
        // A pipe not yet emptied holds the reading back until its target takes it.
        c->readPaused[side] = c->inPipe[side] > 0;
        UpdateInterestLocked(*c, side);
    }
    ForwardFinIfDrained(c, side);
}

// A spliced side's FIN goes through the engine once its pipe is empty, so that the flow ends as
// any other does (its FIN delivered in order, its flow-delete run).
void TCP_PROXY::STATE::ForwardFinIfDrained(const std::shared_ptr<CONNECTION>& c, int side) {
    {
        std::lock_guard guard(c->lock);
        if (!c->spliced || c->reset || !c->readEnded[side] || c->inPipe[side] > 0 ||
            c->finForwarded[side]) {
            return;
        }
        c->finForwarded[side] = true;
    }
    c->flow->Send(DirectionFrom(side), {}, true);
}

// Writes what waits for `side`: the buffer of delivered bytes, or the pipe of the other side.
// Called with the connection's lock held.
void TCP_PROXY::STATE::Writable(const std::shared_ptr<CONNECTION>& c, int side) {
    CONNECTION& conn = *c;
    if (conn.closed || conn.reset) {
        return;
    }
    const int source = Other(side);
    if (conn.spliced && conn.inPipe[source] > 0) {
        while (conn.inPipe[source] > 0) {
            ssize_t n = splice(conn.pipe[source][0], nullptr, conn.fd[side], nullptr,
                               conn.inPipe[source], SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                break;
            }
            if (n <= 0) {
                QueueReset(conn);
                return;
            }
            conn.inPipe[source] -= static_cast<size_t>(n);
            bytesMoved.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        }
        if (conn.inPipe[source] == 0) {
            pipes.Give(conn.pipe[source]);
        }
        conn.readPaused[source] = conn.inPipe[source] > 0;
        UpdateInterestLocked(conn, source);
    }
    WriteLocked(conn, side);
}

void TCP_PROXY::STATE::MaybeFinish(const std::shared_ptr<CONNECTION>& c) {
    bool done;
    {
        std::lock_guard guard(c->lock);
        done = c->reset ||
               (c->readEnded[kClient] && c->readEnded[kUpstream] && c->finSent[kClient] &&
                c->finSent[kUpstream] && c->Buffered(kClient) == 0 && c->Buffered(kUpstream) == 0);
    }
    if (done) {
        Finish(c, c->reset);
    }
}

void TCP_PROXY::STATE::Finish(const std::shared_ptr<CONNECTION>& c, bool withReset) {
    {
        std::lock_guard guard(c->lock);
        if (c->closed) {
            return;
        }
        c->closed = true;
        if (c->relay >= 0) {
            // Ended here (a reset the engine asked for, or the proxy stopping): the relay resets
            // its sockets.
            RELAY_SLOT& slot = relays[c->relay];
            HandToRelay(slot.process, c->id, -1, -1);
            --slot.held;
            c->relay = -1;
        }
        for (int side : {kClient, kUpstream}) {
            if (c->fd[side] >= 0) {
                epoll_ctl(epollFd, EPOLL_CTL_DEL, c->fd[side], nullptr);
                if (withReset) {
                    CloseWithReset(c->fd[side]);
                } else {
                    close(c->fd[side]);
                }
                c->fd[side] = -1;
            }
            for (int& end : c->pipe[side]) {
                if (end >= 0) {
                    close(end);
                    end = -1;
                }
            }
        }
    }
    // A flow still open ends as a reset one does (its flow-delete runs once).
    if (c->flow && !c->flow->IsDeleted()) {
        c->flow->Abort();
    }
    std::lock_guard guard(lock);
    connections.erase(c->id);
}

std::shared_ptr<CONNECTION> TCP_PROXY::STATE::Find(uint64_t id) {
    std::lock_guard guard(lock);
    auto it = connections.find(id);
    return it != connections.end() ? it->second : nullptr;
}

std::vector<std::shared_ptr<CONNECTION>> TCP_PROXY::STATE::TakeQueued(
    std::vector<uint64_t>& queue) {
    std::vector<std::shared_ptr<CONNECTION>> found;
    std::lock_guard guard(lock);
    for (uint64_t id : queue) {
        auto it = connections.find(id);
        if (it != connections.end()) {
            found.push_back(it->second);
        }
    }
    queue.clear();
    return found;
}

void TCP_PROXY::STATE::DrainResets() {
    for (auto& c : TakeQueued(resetQueue)) {
        Finish(c, true);
    }
}

void TCP_PROXY::STATE::DrainFinishes() {
    for (auto& c : TakeQueued(finishQueue)) {
        if (!c->connecting) {
            MaybeFinish(c);
        }
    }
}

void TCP_PROXY::STATE::DrainOwners() {
    for (auto& c : TakeQueued(ownersFound)) {
        bool ready;
        {
            std::lock_guard guard(c->lock);
            ready = c->upstreamReady && c->connecting && !c->closed;
        }
        if (ready) {
            OpenFlow(c);
        }
    }
}

void TCP_PROXY::STATE::OwnerLookups() {
    for (;;) {
        std::shared_ptr<CONNECTION> c;
        {
            std::unique_lock guard(lock);
            ownerWake.wait(guard, [this] { return stopping.load() || !ownerQueue.empty(); });
            if (stopping.load()) {
                return;
            }
            c = std::move(ownerQueue.front());
            ownerQueue.pop_front();
        }
        std::optional<uint64_t> process = options.owner(c->info);
        {
            std::lock_guard guard(lock);
            c->processId = process;
            c->ownerPending = false;
            ownersFound.push_back(c->id);
        }
        Wake();
    }
}

void TCP_PROXY::STATE::ExpireConnects() {
    const int64_t now = NowMs();
    std::vector<std::shared_ptr<CONNECTION>> late;
    {
        std::lock_guard guard(lock);
        while (!connectDeadlines.empty() && connectDeadlines.front().first <= now) {
            auto it = connections.find(connectDeadlines.front().second);
            connectDeadlines.pop_front();
            if (it != connections.end() &&
                (it->second->connecting || it->second->move.load() == kMoveConnecting) &&
                it->second->connectDeadline <= now) {
                late.push_back(it->second);
            }
        }
    }
    {
        std::lock_guard guard(lock);
        counts.upstreamFailed += late.size();
    }
    for (auto& c : late) {
        Finish(c, true);
    }
}

// A side held back longer than any lookup may take is not waiting for a verdict: the callout is
// discarding what it takes (a blocked connection's later bytes). It is read to its end, so that
// the FIN its sender queued behind what was not read arrives and the connection can close.
void TCP_PROXY::STATE::ExpireHeld() {
    const int64_t now = NowMs();
    std::vector<std::shared_ptr<CONNECTION>> due;
    {
        std::lock_guard guard(lock);
        while (!heldDeadlines.empty() && heldDeadlines.front().first <= now) {
            auto it = connections.find(heldDeadlines.front().second);
            heldDeadlines.pop_front();
            if (it != connections.end()) {
                due.push_back(it->second);
            }
        }
    }
    for (auto& c : due) {
        std::lock_guard guard(c->lock);
        for (int side : {kClient, kUpstream}) {
            if (c->heldPaused[side] && now - c->heldSince[side] >= options.maxHeldMs) {
                c->readToEnd[side] = true;
                UpdateHeldLocked(*c, side);
            }
        }
    }
}

void TCP_PROXY::STATE::Run() {
    // splice(2) has no MSG_NOSIGNAL: writing into a socket whose peer is gone raises SIGPIPE (on
    // the first write when the peer had sent its FIN before its reset), which ends a process that
    // does not ignore it. The signal goes to the writing thread, this one: blocked here, the
    // splice just fails with EPIPE and the connection is reset.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    epoll_event events[64];
    while (!stopping.load()) {
        int64_t timeout = handOffs.empty() ? 500 : 10;
        {
            std::lock_guard guard(lock);
            if (!heldDeadlines.empty()) {
                timeout = std::clamp<int64_t>(heldDeadlines.front().first - NowMs(), 1, timeout);
            }
        }
        int n = epoll_wait(epollFd, events, 64, static_cast<int>(timeout));
        if (n < 0 && errno != EINTR) {
            return;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == kListenerV4Tag || tag == kListenerV6Tag) {
                Accept(tag == kListenerV4Tag ? listeners[0] : listeners[1], false);
                continue;
            }
            if (tag == kForwardedV4Tag || tag == kForwardedV6Tag) {
                Accept(tag == kForwardedV4Tag ? listeners[2] : listeners[3], true);
                continue;
            }
            if (tag == kWakeTag) {
                uint64_t count;
                [[maybe_unused]] ssize_t r = read(wakeFd, &count, sizeof count);
                continue;
            }
            if (tag <= kRelayTag && tag > kRelayTag - kMostRelays) {
                RelayReports(static_cast<size_t>(kRelayTag - tag));
                continue;
            }
            std::shared_ptr<CONNECTION> c = Find(tag >> 1);
            if (!c || c->relay >= 0) {
                continue;  // gone, or handed to a relay earlier in this batch
            }
            const int side = static_cast<int>(tag & 1);
            const uint32_t what = events[i].events;
            if (c->connecting) {
                if (side == kUpstream && (what & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
                    Connected(c);
                } else if (side == kClient && (what & (EPOLLERR | EPOLLHUP)) != 0) {
                    // The client reset before its connection was open (while the owner look-up
                    // ran, say): nothing is to be presented, and its reset would be reported on
                    // every wait until then. Counted first: whoever sees it gone sees it counted.
                    {
                        std::lock_guard guard(lock);
                        ++counts.clientGone;
                    }
                    Finish(c, true);
                }
                continue;
            }
            if (side == kUpstream && c->move.load() != kNotMoved) {
                if (c->move.load() == kMoveConnecting &&
                    (what & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
                    Moved(c);
                }
                continue;  // asked: the old socket is closed before the next wait
            }
            if ((what & EPOLLOUT) != 0) {
                {
                    std::lock_guard guard(c->lock);
                    Writable(c, side);
                }
                ForwardFinIfDrained(c, Other(side));
            }
            if ((what & EPOLLRDHUP) != 0) {
                std::lock_guard guard(c->lock);
                c->readToEnd[side] = true;
                UpdateHeldLocked(*c, side);
            }
            const bool hungUp = (what & (EPOLLHUP | EPOLLERR)) != 0;
            if (((what & EPOLLIN) != 0 || hungUp) && !(hungUp && HungUp(c, side))) {
                Readable(c, side);
            }
            if (options.relayPassedFlows && c->spliced) {
                HandOff(c);
            }
            MaybeFinish(c);
        }
        DrainResets();
        DrainMoves();
        DrainOwners();
        DrainFinishes();
        ExpireConnects();
        ExpireHeld();
        if (!handOffs.empty() && NowMs() - handOffsTried >= 10) {
            RetryHandOffs();
        }
    }
}

TCP_PROXY::TCP_PROXY(FilterEngine& engine, TCP_PROXY_OPTIONS options)
    : state_(std::make_shared<STATE>()) {
    state_->engine = &engine;
    state_->options = std::move(options);
}

TCP_PROXY::~TCP_PROXY() {
    Stop();
}

namespace {

int Listen(int family, uint16_t port, uint16_t* bound, std::string* why, bool any = false) {
    const int fd = any ? BindAny(family, SOCK_STREAM, port, bound, why)
                       : BindLoopback(family, SOCK_STREAM, port, bound, why);
    if (fd >= 0 && listen(fd, 4096) != 0) {
        *why = std::string("cannot listen on the proxy port: ") + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int TCP_PROXY::Start(std::string* why) {
    STATE& s = *state_;
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    if (s.loop.joinable()) {
        reason = "already started";
        return EALREADY;
    }
    // Every proxied connection takes two descriptors (four more while a spliced one moves bytes):
    // as many as allowed, and with the privilege to raise the hard limit, as many as the kernel
    // allows a process.
    rlimit limit{};
    if (s.options.raiseDescriptorLimit && getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        rlim_t most = limit.rlim_max;
        if (FILE* file = fopen("/proc/sys/fs/nr_open", "r")) {
            unsigned long long kernelMost = 0;
            if (fscanf(file, "%llu", &kernelMost) == 1 && kernelMost > most) {
                most = static_cast<rlim_t>(kernelMost);
            }
            fclose(file);
        }
        rlimit raised{most, most};
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
    }
    // Both loopbacks on one port. Where ::1 has that port taken, redirected IPv6 connections would
    // reach whoever holds it: a port chosen here is chosen again, a given one is an error. The
    // same for the two listeners of forwarded traffic.
    auto closeListeners = [&s] {
        for (int& fd : s.listeners) {
            if (fd >= 0) {
                close(fd);
                fd = -1;
            }
        }
    };
    for (int pair = 0; pair < (s.options.forwarded ? 2 : 1); ++pair) {
        const bool any = pair == 1;
        const uint16_t asked = any ? s.options.forwardedPort : s.options.port;
        uint16_t& port = any ? forwardedPort_ : port_;
        int* fds = &s.listeners[2 * pair];
        for (int attempt = 1;; ++attempt) {
            fds[0] = Listen(AF_INET, asked, &port, &reason, any);
            if (fds[0] < 0) {
                const int err = errno != 0 ? errno : EINVAL;
                closeListeners();
                return err;
            }
            std::string v6Why;
            fds[1] = Listen(AF_INET6, port, nullptr, &v6Why, any);
            if (fds[1] >= 0 || errno != EADDRINUSE) {
                break;  // listening on both, or on IPv4 alone where there is no IPv6
            }
            close(fds[0]);
            fds[0] = -1;
            if (asked != 0 || attempt == 10) {
                reason = std::string("the proxy port is taken on ") + (any ? "::" : "::1") + " (" +
                         v6Why + ")";
                closeListeners();
                return EADDRINUSE;
            }
        }
    }
    s.epollFd = epoll_create1(EPOLL_CLOEXEC);
    s.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    s.spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (s.epollFd < 0 || s.wakeFd < 0) {
        reason = std::string("epoll: ") + std::strerror(errno);
        return errno;
    }
    epoll_event wake{EPOLLIN, {.u64 = kWakeTag}};
    epoll_ctl(s.epollFd, EPOLL_CTL_ADD, s.wakeFd, &wake);
    const uint64_t tags[4] = {kListenerV4Tag, kListenerV6Tag, kForwardedV4Tag, kForwardedV6Tag};
    for (int i = 0; i < 4; ++i) {
        if (s.listeners[i] >= 0) {
            epoll_event listener{EPOLLIN, {.u64 = tags[i]}};
            epoll_ctl(s.epollFd, EPOLL_CTL_ADD, s.listeners[i], &listener);
        }
    }
    s.relayCapacity = s.options.connectionsPerRelay;
    if (s.relayCapacity == 0) {
        // A relay inherits this process's limit; two descriptors a connection, and room for the
        // pipes of the ones that move bytes at one moment.
        rlimit now{};
        getrlimit(RLIMIT_NOFILE, &now);
        s.relayCapacity = now.rlim_cur > 512 ? static_cast<size_t>((now.rlim_cur - 512) / 3) : 1;
    }
    s.stopping = false;
    STATE* raw = &s;
    s.loop = std::thread([raw] { raw->Run(); });
    if (s.options.owner) {
        s.ownerThread = std::thread([raw] { raw->OwnerLookups(); });
    }
    return 0;
}

void TCP_PROXY::Stop() {
    STATE& s = *state_;
    if (!s.loop.joinable()) {
        return;
    }
    {
        std::lock_guard guard(s.lock);
        s.stopping = true;
    }
    s.ownerWake.notify_all();
    s.Wake();
    s.loop.join();
    if (s.ownerThread.joinable()) {
        s.ownerThread.join();
    }
    {
        std::lock_guard guard(s.lock);
        s.ownerQueue.clear();
        s.ownersFound.clear();
        s.finishQueue.clear();
        s.connectDeadlines.clear();
        s.heldDeadlines.clear();
    }
    s.pipes.Clear();
    std::vector<std::shared_ptr<CONNECTION>> open;
    {
        std::lock_guard guard(s.lock);
        for (auto& [id, c] : s.connections) {
            open.push_back(c);
        }
    }
    for (auto& c : open) {
        s.Finish(c, true);
    }
    for (auto& slot : s.relays) {
        StopSpliceRelay(&slot.process, 2000);
    }
    s.relays.clear();
    {
        std::lock_guard guard(s.lock);
        s.relayPids.clear();
    }
    s.engine->WaitForCompletions(5000);
    for (int& fd : s.listeners) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    for (int* fd : {&s.epollFd, &s.wakeFd, &s.spareFd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

std::vector<pid_t> TCP_PROXY::RelayProcesses() const {
    std::lock_guard guard(state_->lock);
    return state_->relayPids;
}

TCP_PROXY_COUNTS TCP_PROXY::Counts() const {
    std::lock_guard guard(state_->lock);
    TCP_PROXY_COUNTS counts = state_->counts;
    counts.open = state_->connections.size();
    counts.bufferedHighWater = state_->highWater.load();
    counts.heldHighWater = state_->heldHighWater.load();
    counts.bytesMoved = state_->bytesMoved.load(std::memory_order_relaxed);
    return counts;
}

}  // namespace os::wfplinux
