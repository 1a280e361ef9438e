#include "driver/filter/url_lookup.h"

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/service_domain.h"
#include "common/url_normalize.h"
#include "driver/filter/address_names.h"
#include "driver/platform/debug_print.h"
#include "driver/platform/event_log.h"
#include "driver/platform/identification.h"
#include "driver/platform/resolve_name.h"
#include "os/core/process.h"
#include "os/kernel/pool.h"

namespace wexo::drv {
namespace {

// What a lookup needs of a flow, copied under the flow lock.
struct LOOKUP_TARGET {
    uint32_t state = 0;
    uint32_t flowNumber = 0;
    uint64_t processId = 0;
    std::string host, path, proxy;
    uint8_t sessionId[32] = {};
    uint32_t sessionIdLength = 0;
    uint8_t address[16] = {};
    uint32_t addressLength = 0;
    uint8_t sessionReuse = 0;
    bool laterRequest = false;
    bool http2 = false;  // an HTTP/1.1 redirect text means nothing on an HTTP/2 connection
    bool judgeDestinationToo = false;
};

void PrintVerdictLine(bool serviceUnavailable, const LOOKUP_TARGET& t) {
    const uint8_t* a = t.address;
    const long flowNumber = static_cast<long>(t.flowNumber);
    if (t.addressLength == 16) {
        unsigned long g[8];
        for (int i = 0; i < 8; ++i) {
            g[i] = static_cast<unsigned long>(a[2 * i] << 8 | a[2 * i + 1]);
        }
        DriverPrintAndLog(
            serviceUnavailable
                ? "WexoW: ProcessUrlLookup: FC#%ld, Service unavailable; disconnecting "
                  "client,\n    Host=\"%s\",\n    URL=\"%s\",\n    Proxy=\"%s\",\n    "
                  "IPv6=%lx:%lx:%lx:%lx:%lx:%lx:%lx:%lx\n\n"
                : "WexoW: ProcessUrlLookup: FC#%ld, BLOCKED; disconnecting client,\n    "
                  "Host=\"%s\",\n    URL=\"%s\",\n    Proxy=\"%s\",\n    "
                  "IPv6=%lx:%lx:%lx:%lx:%lx:%lx:%lx:%lx\n\n",
            flowNumber, t.host.c_str(), t.path.c_str(), t.proxy.c_str(), g[0], g[1], g[2], g[3],
            g[4], g[5], g[6], g[7]);
        return;
    }
    DriverPrintAndLog(
        serviceUnavailable
            ? "WexoW: ProcessUrlLookup: FC#%ld, Service unavailable; disconnecting client,"
              "\n    Host=\"%s\",\n    URL=\"%s\",\n    Proxy=\"%s\",\n    "
              "IPv4=%u.%u.%u.%u\n\n"
            : "WexoW: ProcessUrlLookup: FC#%ld, BLOCKED; disconnecting client,\n    "
              "Host=\"%s\",\n    URL=\"%s\",\n    Proxy=\"%s\",\n    "
              "IPv4=%u.%u.%u.%u\n\n",
        flowNumber, t.host.c_str(), t.path.c_str(), t.proxy.c_str(), a[0], a[1], a[2], a[3]);
}

template <typename T>
uint64_t Address(const T* pointer) {
    return reinterpret_cast<uint64_t>(pointer);
}

std::string AddressText(const uint8_t* bytes, uint32_t length) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(length == 16 ? AF_INET6 : AF_INET, bytes, text, sizeof text);
    return text;
}

// The addresses the service resolved `host` to, the destination's family first.
RESOLVE_RESULT ResolveForDestination(SERVICE_CALL_QUEUE& queue, const std::string& host, bool v6) {
    RESOLVE_RESULT found = ResolveName(queue, host, v6 ? NameFamily::V6 : NameFamily::V4);
    if ((found.outcome == ResolveOutcome::Resolved && found.addresses.Count() == 0) ||
        found.outcome == ResolveOutcome::NotFound) {
        RESOLVE_RESULT other = ResolveName(queue, host, v6 ? NameFamily::V4 : NameFamily::V6);
        if (other.outcome == ResolveOutcome::Resolved && other.addresses.Count() > 0) {
            return other;
        }
    }
    return found;
}

}  // namespace

SERVICE_CALL_REQUEST PolicyLookupCall(const POLICY_LOOKUP_REQUEST& record, void* answerBuffer,
                                      uint32_t answerBufferSize, void** answerOut,
                                      uint32_t* answerSizeOut, int32_t* statusOut) {
    SERVICE_CALL_REQUEST request;
    request.code = SC_CODE_POLICY_LOOKUP;
    request.limitSeconds = kServiceCallTimeoutSeconds;
    request.record = &record;
    request.recordSize = sizeof record;
    request.requestParts = kPolicyLookupRequestParts;
    request.answerRecordSize = sizeof(POLICY_LOOKUP_ANSWER);
    request.answerParts = kPolicyLookupAnswerParts;
    request.answerOut = answerOut;
    request.answerSizeOut = answerSizeOut;
    request.answerBuffer = answerBuffer;
    request.answerBufferSize = answerBufferSize;
    request.statusOut = statusOut;
    return request;
}

URL_LOOKUP::URL_LOOKUP(STREAM_FILTER& filter, SERVICE_CALL_QUEUE& queue)
    : filter_(filter), queue_(queue) {}

URL_LOOKUP::~URL_LOOKUP() {
    StopWorkers();
}

void URL_LOOKUP::SetInjection(const os::INJECTION_HANDLE* injection,
                              os::NET_BUFFER_LIST_POOL* pool) {
    injection_ = injection;
    pool_ = pool;
}

os::NTSTATUS URL_LOOKUP::StartWorkers() {
    stop_.Reset();
    for (int i = 0; i < kWorkerCount; ++i) {
        os::NTSTATUS status = SystemThreadStart(&workers_[i], &stop_, &URL_LOOKUP::WorkerMain,
                                                reinterpret_cast<uintptr_t>(this));
        if (!os::NT_SUCCESS(status)) {
            WriteDriverEvent(DRIVER_EVENT_CREATE_THREAD_FAILED, UniqueValue("SCT "), status,
                             {StatusText(status)});
            SystemThreadStopAll(&stop_, workers_, workers_ + i, kStopSeconds);
            return status;
        }
    }
    started_ = true;
    return os::STATUS_SUCCESS;
}

void URL_LOOKUP::StopWorkers() {
    if (!started_) {
        return;
    }
    started_ = false;
    for (auto& worker : workers_) {
        worker.stopRequested = true;
    }
    SystemThreadStopAll(&stop_, workers_, workers_ + kWorkerCount, kStopSeconds);
}

void URL_LOOKUP::WorkerMain(SystemThread* record) {
    auto* self = reinterpret_cast<URL_LOOKUP*>(record->context);
    os::DispatcherObject* objects[] = {&self->filter_.LookupEvent(), record->stopEvent};
    for (;;) {
        if (os::WaitForMultipleObjects(objects, false, os::INFINITE) != os::WAIT_OBJECT_0) {
            return;
        }
        while (self->ProcessUrlLookup()) {
            if (os::WaitForSingleObject(*record->stopEvent, 0) == os::WAIT_OBJECT_0) {
                return;
            }
        }
    }
}

bool URL_LOOKUP::ProcessUrlLookup() {
    FLOW* flow = filter_.TakeForLookup();
    if (flow == nullptr) {
        return false;
    }
    LOOKUP_TARGET target;
    {
        std::lock_guard guard(filter_.FlowLock());
        target.state = flow->state.load();
        target.flowNumber = flow->flowNumber;
        target.processId = flow->processId;
        if (flow->names) {
            target.host = flow->names->Host();
            target.path = flow->names->Path();
            target.proxy = flow->names->ProxyPrefix();
        }
        target.sessionIdLength = std::min<uint32_t>(flow->sessionIdLength, 32);
        std::memcpy(target.sessionId, flow->sessionId, target.sessionIdLength);
        target.addressLength = std::min<uint32_t>(flow->addressLength, 16);
        std::memcpy(target.address, flow->remoteAddress, target.addressLength);
        target.sessionReuse = flow->sessionReuse;
        target.laterRequest = flow->laterRequest != 0;
        target.http2 = flow->http2.has_value();
        target.judgeDestinationToo = flow->judgeDestinationToo.load();
    }
    if (target.state == FLOW_STATE_TLS_RETARGET) {
        Retarget(flow, target.host, target.flowNumber);
        ReleaseFlow(flow);
        return true;
    }
    const bool https = target.state == FLOW_STATE_TLS_LOOKUP;

    // The user and session of the connection's process, from its token; a process that cannot
    // be opened gives no user and session 0. The copy lives until the call has ended.
    void* sid = nullptr;
    uint32_t sidLength = 0;
    uint32_t session = 0;
    ProcessUser(target.processId, &sid, &sidLength, &session);
    std::unique_ptr<void, void (*)(void*)> sidCopy(sid, [](void* p) { FreeProcessUserSid(p); });

    // One policy lookup of the flow under `host`; the block's text, when one is wanted and given,
    // is copied to `text`.
    auto ask = [&](const std::string& host, uint8_t** text, uint32_t* textLength) {
        POLICY_LOOKUP_REQUEST record{};
        record.processId = target.processId;
        record.tlsSessionId = target.sessionIdLength != 0 ? Address(target.sessionId) : 0;
        record.tlsSessionIdLength = target.sessionIdLength;
        record.host = Address(host.data());
        record.hostLength = static_cast<uint32_t>(host.size());
        record.urlPath = Address(target.path.data());
        record.urlPathLength = static_cast<uint32_t>(target.path.size());
        record.proxyPrefix = Address(target.proxy.data());
        record.proxyPrefixLength = static_cast<uint32_t>(target.proxy.size());
        record.userSid = Address(sid);
        record.userSidLength = sidLength;
        record.remoteAddress = Address(target.address);
        record.remoteAddressLength = target.addressLength;
        record.sessionId = session;
        record.flowNumber = target.flowNumber;
        record.https = https ? 1 : 0;
        record.sessionReuse = target.sessionReuse;

        alignas(8) uint8_t answerBuffer[kDriverAnswerBufferSize];
        void* answer = nullptr;
        uint32_t answerSize = 0;
        int32_t status = -1;
        // A TLS connection is closed on a block; its answer text is of no use.
        SERVICE_CALL_REQUEST request =
            PolicyLookupCall(record, answerBuffer, sizeof answerBuffer, https ? nullptr : &answer,
                             &answerSize, &status);
        CallResult result = queue_.Submit(request);

        Outcome outcome;
        switch (result) {
            case CallResult::Answered:
                outcome = status == 0 ? Outcome::BlockedAnswer : Outcome::Allowed;
                break;
            case CallResult::ServiceUnavailable:
                outcome = Outcome::NoService;
                break;
            default:
                outcome = Outcome::NotAnswered;
                break;
        }
        if (outcome == Outcome::BlockedAnswer && answer != nullptr) {
            const auto* a = static_cast<const POLICY_LOOKUP_ANSWER*>(answer);
            if (a->responseText != 0 && a->responseTextLength != 0) {
                // Without memory for the copy the block goes on without a text.
                *text = static_cast<uint8_t*>(os::ExAllocatePoolWithTag(
                    os::PoolType::NonPaged, a->responseTextLength, kRedirectTextTag));
                if (*text != nullptr) {
                    std::memcpy(*text, reinterpret_cast<const void*>(a->responseText),
                                a->responseTextLength);
                    *textLength = a->responseTextLength;
                }
            }
        }
        SERVICE_CALL_QUEUE::FreeAnswer(request, answer);
        return outcome;
    };

    uint8_t* text = nullptr;
    uint32_t textLength = 0;
    Outcome outcome = Outcome::Allowed;
    ADDRESS_NAMES::NAME_LIST known;
    const size_t knownCount = (https && target.host.empty()) || target.judgeDestinationToo
                                  ? filter_.AddressNames().NamesOf(
                                        MakeAddressKey(target.address, target.addressLength), known)
                                  : 0;
    if (knownCount == 0) {
        outcome = ask(target.host, &text, &textLength);
    } else {
        // A TLS connection that names nothing, or a connection whose name is not known to be its
        // destination's, is judged by what its destination was answered for (its own name
        // first, then the most recent names): blocked if any of them is.
        auto judge = [&](const std::string& name) {
            Outcome one = ask(name, &text, &textLength);
            if (one == Outcome::BlockedAnswer || one == Outcome::NoService) {
                outcome = one;
                return true;
            }
            if (one == Outcome::NotAnswered) {
                outcome = one;
            }
            return false;
        };
        bool decided = !target.host.empty() && judge(target.host);
        // Known names are kept normalised; the connection's own is not asked twice.
        const std::string own = NormalizeHost(target.host);
        for (size_t i = 0; i < knownCount && !decided; ++i) {
            decided = known[i] != own && judge(known[i]);
        }
    }
    // Our own servers judged by where they go are blocked only by a block: without an answer they
    // pass as they always have (the page a browser is sent to when no answer comes is ours).
    if (target.judgeDestinationToo && IsServiceDomain(NormalizeHost(target.host)) &&
        (outcome == Outcome::NoService || outcome == Outcome::NotAnswered)) {
        outcome = Outcome::Allowed;
    }

    HELD_DATA held = filter_.CompleteLookup(flow);
    if (!https) {
        // A later request of a connection cannot be answered with a redirect: the responses to
        // the earlier ones may still be on their way. It is cut toward the server instead, and
        // the browser asks again on a new connection, where the first request gets the text.
        const bool later = target.laterRequest;
        auto block = [&] {
            if (later) {
                filter_.Drain(flow, held);
            } else {
                Disconnect(flow, held);
            }
        };
        switch (outcome) {
            case Outcome::BlockedAnswer:
                if (text != nullptr && !later && !target.http2) {
                    Redirect(flow, held, text, textLength);
                    text = nullptr;
                } else {
                    if (text == nullptr || target.http2) {
                        PrintVerdictLine(false, target);
                    }
                    block();
                }
                break;
            case Outcome::NoService:
                PrintVerdictLine(true, target);
                block();
                break;
            case Outcome::NotAnswered:
                if (filter_.BlockOnFailure()) {
                    block();
                } else {
                    filter_.AdvanceHttp(flow, held, true);
                }
                break;
            case Outcome::Allowed:
                filter_.AdvanceHttp(flow, held, true);
                break;
        }
    } else if (outcome == Outcome::BlockedAnswer || outcome == Outcome::NoService ||
               (outcome == Outcome::NotAnswered && filter_.BlockOnFailure())) {
        Disconnect(flow, held);
    } else {
        Allow(flow, held);
    }
    if (text != nullptr) {
        os::ExFreePoolWithTag(text, kRedirectTextTag);
    }
    ReleaseFlow(flow);
    completed_.fetch_add(1);
    return true;
}

void URL_LOOKUP::Retarget(FLOW* flow, const std::string& host, uint32_t flowNumber) {
    // The destination is fixed since the hello was queued.
    const uint32_t length = flow->addressLength;
    const std::string destination = AddressText(flow->remoteAddress, length);
    const long number = static_cast<long>(flowNumber);
    const ADDRESS_KEY key = MakeAddressKey(flow->remoteAddress, length);
    ADDRESS_NAMES& names = filter_.AddressNames();
    // A burst of connections with one name queues many of these: the first one's outcome is
    // remembered for the others, so that the service resolves each name once, not per connection.
    if (names.WasGivenFor(key, host)) {
        HELD_DATA held = filter_.CompleteLookup(flow);
        filter_.ResumeHello(flow, held);
        return;
    }
    if (unresolved_.Contains(key, host)) {
        flow->judgeDestinationToo.store(true);
        HELD_DATA held = filter_.CompleteLookup(flow);
        filter_.ResumeHello(flow, held);
        return;
    }
    RESOLVE_RESULT found = ResolveForDestination(queue_, host, length == 16);
    bool close = false;
    if (found.outcome != ResolveOutcome::Resolved || found.addresses.Count() == 0) {
        // Nothing to compare with: a name that does not resolve has no servers of its own to
        // send it to, and the client's destination is all there is to go by.
        close = filter_.BlockOnFailure();
        DriverPrintAndLog(
            "WexoW: ClassifyTls: FC#%ld, \"%s\", which %s was never given for, cannot be "
            "resolved (%s); %s\n\n",
            number, host.c_str(), destination.c_str(), ResolveOutcomeName(found.outcome),
            close ? "closed" : "left to go where the client sent it");
        if (!close) {
            // A name the client made up says nothing of where it goes: the connection is judged
            // by what its destination was answered for too, and the name is not taken as one
            // of that address's (it would push the real ones out).
            flow->judgeDestinationToo.store(true);
            if (found.outcome == ResolveOutcome::NotFound) {
                unresolved_.Add(key, host);
            }
        }
    } else {
        const RESOLVED_ADDRESSES& addresses = found.addresses;
        bool listed = false;
        for (uint32_t i = 0; i < addresses.Count() && !listed; ++i) {
            listed = addresses.ElementSize() == length &&
                     std::memcmp(addresses.Address(i), flow->remoteAddress, length) == 0;
        }
        if (listed) {
            names.Learn(key, host, 0);
        } else {
            // Toward the name's own servers, so that a name borrowed by a server of another kind
            // only ever reaches the servers it names.
            os::IP_ADDRESS_BYTES to;
            to.family =
                addresses.ElementSize() == 16 ? os::AddressFamily::IPv6 : os::AddressFamily::IPv4;
            std::memcpy(to.bytes.data(), addresses.Address(0), addresses.ElementSize());
            const std::string toText = AddressText(addresses.Address(0), addresses.ElementSize());
            os::NTSTATUS status = os::FwpsStreamRedirectServer(flow->flowId, to);
            close = !os::NT_SUCCESS(status);
            if (close) {
                DriverPrintAndLog(
                    "WexoW: ClassifyTls: FC#%ld, the client hello names \"%s\", which %s was "
                    "never given for; its connection could not be moved to %s (0x%08lx): "
                    "closed\n\n",
                    number, host.c_str(), destination.c_str(), toText.c_str(),
                    static_cast<unsigned long>(static_cast<uint32_t>(status)));
            } else {
                DriverPrintAndLog(
                    "WexoW: ClassifyTls: FC#%ld, the client hello names \"%s\", which %s was "
                    "never given for; connected to %s, an address of that name, instead\n\n",
                    number, host.c_str(), destination.c_str(), toText.c_str());
            }
        }
    }
    HELD_DATA held = filter_.CompleteLookup(flow);
    if (close) {
        Disconnect(flow, held);
    } else {
        filter_.ResumeHello(flow, held);
    }
}

void URL_LOOKUP::Forward(FLOW* flow, HELD_DATA& held) {
    ForwardHeldData(injection_, flow, held);
}

void URL_LOOKUP::InjectEmpty(FLOW* flow, uint32_t flags) {
    InjectEmptySegment(injection_, flow, flags);
}

bool URL_LOOKUP::InjectText(FLOW* flow, uint8_t* text, uint32_t length) {
    os::NetBufferListPtr list;
    if (pool_ != nullptr && injection_ != nullptr) {
        list =
            pool_->AllocateNetBufferAndNetBufferList(std::span<uint8_t>(text, length), 0, length);
    }
    if (!list) {
        os::ExFreePoolWithTag(text, kRedirectTextTag);
        return false;
    }
    os::NTSTATUS status = os::FwpsStreamInjectAsync(
        *injection_, flow->flowId, flow->calloutId, flow->layerId, os::FWPS_STREAM_FLAG_RECEIVE,
        os::NetBufferListChain(std::move(list)), length,
        [text](os::NetBufferListChain data, os::NTSTATUS) {
            data.Clear();
            os::ExFreePoolWithTag(text, kRedirectTextTag);
        });
    if (!os::NT_SUCCESS(status)) {
        os::ExFreePoolWithTag(text, kRedirectTextTag);
        return false;
    }
    return true;
}

void URL_LOOKUP::Allow(FLOW* flow, HELD_DATA& held) {
    // Data the client sends while the verdict is applied is held too; forward until none is left.
    for (;;) {
        Forward(flow, held);
        if (filter_.EndLookup(flow, FLOW_STATE_PASSED, held)) {
            break;
        }
    }
    if (held.clientFinSeen) {
        InjectEmpty(flow, os::FWPS_STREAM_FLAG_SEND | os::FWPS_STREAM_FLAG_SEND_DISCONNECT);
    }
    if (held.serverFinSeen) {
        InjectEmpty(flow, os::FWPS_STREAM_FLAG_RECEIVE | os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT);
    }
}

void URL_LOOKUP::Disconnect(FLOW* flow, HELD_DATA& held) {
    filter_.EndWithHeldDiscarded(flow, held, FLOW_STATE_BLOCKED);
    if (held.clientFinSeen) {
        InjectEmpty(flow, os::FWPS_STREAM_FLAG_SEND | os::FWPS_STREAM_FLAG_SEND_DISCONNECT);
    }
    InjectEmpty(flow, os::FWPS_STREAM_FLAG_RECEIVE | os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT);
}

void URL_LOOKUP::Redirect(FLOW* flow, HELD_DATA& held, uint8_t* text, uint32_t length) {
    // Nothing the client sent reaches the server: not the request, and not what followed it, which
    // without the request would be read as a request of its own (a body can be made to look like
    // one).
    filter_.EndWithHeldDiscarded(flow, held, FLOW_STATE_BLOCKED);
    if (held.clientFinSeen) {
        InjectEmpty(flow, os::FWPS_STREAM_FLAG_SEND | os::FWPS_STREAM_FLAG_SEND_DISCONNECT);
    }
    if (held.serverFinSeen) {
        os::ExFreePoolWithTag(text, kRedirectTextTag);
        InjectEmpty(flow, os::FWPS_STREAM_FLAG_RECEIVE | os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT);
        return;
    }
    if (!InjectText(flow, text, length)) {
        InjectEmpty(flow, os::FWPS_STREAM_FLAG_RECEIVE | os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT);
    }
}

}  // namespace wexo::drv
