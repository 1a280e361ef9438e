// The driver's record of one TCP connection (FLOW), numbered "FC#" from 1: what the stream
// classify has learnt about it, the client data it holds back while a lookup is pending, and the
// references that keep it alive while it is queued or holds data. Flows come from a non-paged
// lookaside list, so "no memory" at connection set-up is a path tests can take.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "driver/filter/http2_request.h"
#include "driver/filter/http_framing.h"
#include "driver/filter/http_request.h"
#include "os/kernel/pool.h"
#include "os/wfp/net_buffer.h"

namespace wexo::drv {

inline constexpr uint32_t kFlowTag = os::MakePoolTag("WxFl");
inline constexpr uint32_t kFlowNamesTag = os::MakePoolTag("WxFn");
inline constexpr uint16_t kFlowLookasideDepth = 512;

enum FLOW_STATE : uint32_t {
    FLOW_STATE_NEW = 0,          // not yet classified
    FLOW_STATE_PASSED = 1,       // no further inspection
    FLOW_STATE_FINISHED = 2,     // verdict applied, or the connection is closing
    FLOW_STATE_HTTP_PARSED = 3,  // transient, under the flow lock
    FLOW_STATE_HTTP_LOOKUP = 4,  // HTTP lookup pending
    FLOW_STATE_TLS_HELLO = 5,    // TLS client hello seen
    FLOW_STATE_TLS_FLIGHT = 6,   // transient, under the flow lock
    FLOW_STATE_TLS_LOOKUP = 7,   // TLS lookup pending
    // An HTTP connection whose requests so far were allowed: every later request is judged too.
    FLOW_STATE_HTTP_WATCH = 8,
    // Closed by a verdict: no more data passes in either direction, only the FINs.
    FLOW_STATE_BLOCKED = 9,
    // A later request of an HTTP connection was blocked and the connection closed toward the
    // server: the server's answers to the earlier requests still reach the client, nothing more
    // of the client's reaches the server.
    FLOW_STATE_DRAINING = 10,
    // Watched, and the head of a later request is being gathered in the held data.
    FLOW_STATE_HTTP_GATHER = 11,
    // An allowed CONNECT opened a tunnel, and the first bytes of the connection inside it are
    // being gathered in the held data until they can be judged.
    FLOW_STATE_TUNNEL_GATHER = 12,
    // The client hello names a host its destination was never given for: it is held, with what
    // follows, until the connection toward the server goes to an address of that name.
    FLOW_STATE_TLS_RETARGET = 13,
};

constexpr bool IsWatched(uint32_t state) {
    return state == FLOW_STATE_HTTP_WATCH || state == FLOW_STATE_HTTP_GATHER;
}

constexpr bool IsLookupPending(uint32_t state) {
    return state == FLOW_STATE_HTTP_LOOKUP || state == FLOW_STATE_TLS_LOOKUP ||
           state == FLOW_STATE_TLS_RETARGET;
}

// Host, URL path and proxy prefix kept for the lookup: one pool block holding three
// NUL-terminated copies and their lengths.
class FLOW_NAMES {
  public:
    // Null when the pool refuses.
    static FLOW_NAMES* Create(std::string_view host, std::string_view path,
                              std::string_view proxyPrefix);
    static void Free(FLOW_NAMES* names);

    std::string_view Host() const { return {Text(0), hostLength_}; }
    std::string_view Path() const { return {Text(hostLength_ + 1), pathLength_}; }
    std::string_view ProxyPrefix() const {
        return {Text(hostLength_ + pathLength_ + 2), proxyLength_};
    }

  private:
    FLOW_NAMES() = default;
    const char* Text(size_t offset) const {
        return reinterpret_cast<const char*>(this + 1) + offset;
    }
    uint32_t hostLength_ = 0;
    uint32_t pathLength_ = 0;
    uint32_t proxyLength_ = 0;
};

struct FlowNamesDeleter {
    void operator()(FLOW_NAMES* names) const { FLOW_NAMES::Free(names); }
};
using FlowNamesPtr = std::unique_ptr<FLOW_NAMES, FlowNamesDeleter>;

class FLOW_TABLE;

// Intrusive links: a flow is in the driver-wide flow list through one pair and in the lookup
// queue or the in-progress list through the other.
struct FLOW_LINKS {
    struct FLOW* previous = nullptr;
    struct FLOW* next = nullptr;
    const void* list = nullptr;  // the list it is in, or null
};

struct FLOW {
    FLOW_LINKS flowLinks;
    FLOW_LINKS queueLinks;
    FLOW_TABLE* table = nullptr;

    uint64_t flowId = 0;     // WFP flow handle
    uint32_t calloutId = 0;  // runtime ID of the stream callout of the flow's family
    uint16_t layerId = 0;    // stream layer: 20 for IPv4, 22 for IPv6
    uint64_t processId = 0;  // 0 when the metadata had none
    // Extra references beyond the base one; a release that finds 0 frees the flow.
    std::atomic<int32_t> referenceCount{0};
    // Changed only under the flow lock; read without it where a stale value is re-checked.
    std::atomic<uint32_t> state{FLOW_STATE_NEW};
    FlowNamesPtr names;
    uint8_t sessionId[32] = {};
    uint32_t sessionIdLength = 0;
    uint8_t remoteAddress[16] = {};  // network byte order
    uint32_t addressLength = 0;      // 4 for the IPv4 stream layer, 16 otherwise
    uint8_t sessionReuse = 0;        // the server resumed the session the client offered
    uint32_t flowNumber = 0;         // "FC#"
    // Client data held back while a lookup is pending: cloned lists, oldest first. One reference
    // is held per list.
    os::NetBufferListChain heldData;
    uint32_t heldBytes = 0;
    // HTTP flows: where the requests of the connection begin and end. Held data starts at a
    // request's first byte; the reader has taken `scanOffset` bytes of it.
    HTTP_FRAMING framing;
    // An HTTP/2 connection (prior knowledge) reads its requests with this instead of `framing`.
    std::optional<HTTP2_REQUEST_READER> http2;
    uint32_t scanOffset = 0;
    // The lookup pending is for a request after the connection's first (the responses to earlier
    // ones may still be on their way, so a block cannot answer with a redirect).
    uint8_t laterRequest = 0;
    // The engine deleted the flow (its flow-delete ran): nothing may be left held in it.
    uint8_t deleted = 0;
    uint8_t clientFinSeen = 0;  // the client sent a disconnect while data was held
    uint8_t serverFinSeen = 0;  // the server sent a disconnect while a lookup was pending
    // The first bytes were a TLS handshake record the parse could not read as a client hello: the
    // connection has no server name to go by, and is never passed for that alone.
    uint8_t helloUnread = 0;
    // The connection carries a tunnel an allowed CONNECT opened: what the proxy answers first is
    // not a server's flight, so a TLS connection inside is looked up on its hello.
    uint8_t inTunnel = 0;
    // The request before the one being read offered an upgrade: what follows it may be the
    // protocol the server switched to rather than a request.
    uint8_t upgradeOffered = 0;
    // The held hello is on its way to the server once more: the flow already waits for the
    // server's flight, but what the client sends meanwhile must not overtake the hello.
    std::atomic<bool> helloForwarding{false};
    // The name the connection gives is not known to be its destination's (our service domain
    // toward a server that is not ours, a server name that does not resolve): it is judged by
    // the names its destination was answered for as well.
    std::atomic<bool> judgeDestinationToo{false};
    // The first outbound bytes were incomplete and the engine was asked for more of them. Only
    // the flow's outbound classify (one at a time per flow) touches it.
    bool moreRequested = false;
    // How far the looks at those first bytes have read an unfinished HTTP request head.
    HTTP_HEAD_SCAN headScan;
};

// Adds a reference.
void ReferenceFlow(FLOW* flow, int32_t count = 1);
// Drops a reference; the last one frees the names and returns the flow to its lookaside list.
void ReleaseFlow(FLOW* flow);

// An intrusive list of flows through one of their link pairs.
template <FLOW_LINKS FLOW::*Links>
class FLOW_LIST {
  public:
    bool Empty() const { return head_ == nullptr; }
    size_t Size() const { return size_; }
    FLOW* Head() const { return head_; }
    bool Contains(const FLOW* flow) const { return (flow->*Links).list == this; }

    void PushBack(FLOW* flow) {
        FLOW_LINKS& links = flow->*Links;
        links.previous = tail_;
        links.next = nullptr;
        links.list = this;
        if (tail_ != nullptr) {
            (tail_->*Links).next = flow;
        } else {
            head_ = flow;
        }
        tail_ = flow;
        ++size_;
    }
    // Does nothing when the flow is not in this list.
    bool Remove(FLOW* flow) {
        FLOW_LINKS& links = flow->*Links;
        if (links.list != this) {
            return false;
        }
        if (links.previous != nullptr) {
            (links.previous->*Links).next = links.next;
        } else {
            head_ = links.next;
        }
        if (links.next != nullptr) {
            (links.next->*Links).previous = links.previous;
        } else {
            tail_ = links.previous;
        }
        links = FLOW_LINKS{};
        --size_;
        return true;
    }
    FLOW* PopFront() {
        FLOW* flow = head_;
        if (flow != nullptr) {
            Remove(flow);
        }
        return flow;
    }
    template <typename F>
    void ForEach(F&& visit) const {
        for (FLOW* flow = head_; flow != nullptr; flow = (flow->*Links).next) {
            visit(flow);
        }
    }

  private:
    FLOW* head_ = nullptr;
    FLOW* tail_ = nullptr;
    size_t size_ = 0;
};

// The flow lookaside list, the driver-wide flow list with its own lock, and the flow numbers.
class FLOW_TABLE {
  public:
    explicit FLOW_TABLE(uint16_t depth = kFlowLookasideDepth);
    ~FLOW_TABLE();
    FLOW_TABLE(const FLOW_TABLE&) = delete;
    FLOW_TABLE& operator=(const FLOW_TABLE&) = delete;

    // A zeroed flow owned by this table, with the next flow number; null when the list refuses.
    FLOW* Allocate();
    // Returns a flow that was never linked (its number is not reused).
    void Free(FLOW* flow);

    void Link(FLOW* flow);
    // Unlinks the flow when it is linked; returns whether it was.
    bool Unlink(FLOW* flow);
    // Every linked flow, each with a reference the caller releases.
    std::vector<FLOW*> ReferenceAll();
    size_t LinkedCount() const;
    // Flows allocated and not yet freed.
    size_t InUse() const { return lookaside_.InUse(); }

    // The next flow will be "FC#1" again.
    void ResetFlowNumbers() { nextFlowNumber_.store(0); }

  private:
    os::LookasideList lookaside_;
    std::atomic<uint32_t> nextFlowNumber_{0};
    mutable std::mutex listLock_;
    FLOW_LIST<&FLOW::flowLinks> list_;
};

}  // namespace wexo::drv
