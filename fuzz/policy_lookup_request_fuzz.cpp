// The service's reading of a request block the driver wrote: a policy lookup (code 0) or a name
// request (codes 1 and 2). Input: one byte picking the code, one byte saying whether the pointer
// fields hold offsets into the block (rebased here to addresses, so that in-block parts are
// reachable) or raw addresses, then the block itself in an exact-size heap copy, so that a read one
// byte past the block is caught. A block that parses must only name bytes inside itself; the whole
// lookup then runs on it with a decision and a resolver that never leave the process.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/service_calls.h"
#include "os/core/sync.h"
#include "service/calls/dns_resolution.h"
#include "service/calls/ip_address.h"
#include "service/calls/service_call.h"
#include "service/checkin/identity.h"
#include "service/policy/https_session_map.h"
#include "service/policy/policy_lookup.h"

namespace {

using namespace wexo;
using namespace wexo::svc;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool Inside(std::string_view part, const uint8_t* block, size_t size) {
    if (part.empty()) {
        return true;
    }
    auto start = reinterpret_cast<uintptr_t>(part.data());
    auto base = reinterpret_cast<uintptr_t>(block);
    return start >= base + sizeof(POLICY_LOOKUP_REQUEST) && start + part.size() <= base + size;
}

// Blocks every lookup URL whose length is odd; the redirect URL carries the URL back.
class PARITY_DECISION final : public POLICY_DECISION {
  public:
    bool Decide(const POLICY_QUERY& query, std::string* redirectUrl) override {
        if (query.lookupUrl.size() % 2 == 0) {
            return false;
        }
        *redirectUrl = "http://block.test/?u=" + std::string(query.lookupUrl);
        return true;
    }
};

// Two names resolve; nothing goes to the system resolver.
class LOCAL_RESOLVER final : public NAME_RESOLVER {
  public:
    uint32_t Resolve(const std::string& hostName, AddressFamily family,
                     std::vector<IP_ADDRESS>* addresses) override {
        addresses->clear();
        if (hostName == "localhost") {
            addresses->push_back(family == AddressFamily::V4 ? IP_ADDRESS::V4(127, 0, 0, 1)
                                                             : IP_ADDRESS());
            return 0;
        }
        if (hostName == "a.test" && family == AddressFamily::V4) {
            addresses->push_back(IP_ADDRESS::V4(192, 0, 2, 1));
            return 0;
        }
        return 11001;
    }
};

// Checks every answer the way the driver's copy engine would read it.
class CHECKING_SINK final : public SERVICE_CALL_SINK {
  public:
    void Complete(SERVICE_CALL& call, const void* answer, uint32_t answerSize,
                  int32_t status) override {
        completions++;
        if (status != 0 || answer == nullptr) {
            return;
        }
        auto base = reinterpret_cast<uintptr_t>(answer);
        if (call.Code() == SC_CODE_POLICY_LOOKUP) {
            Require(answerSize >= sizeof(POLICY_LOOKUP_ANSWER));
            POLICY_LOOKUP_ANSWER record;
            std::memcpy(&record, answer, sizeof record);
            Require(record.responseText >= base + sizeof record &&
                    record.responseText + record.responseTextLength <= base + answerSize);
            Require(std::memcmp(reinterpret_cast<const void*>(record.responseText),
                                "HTTP/1.1 302 Other\r\n", 20) == 0);
        } else {
            Require(answerSize >= sizeof(DNS_ADDRESS_ANSWER));
            DNS_ADDRESS_ANSWER record;
            std::memcpy(&record, answer, sizeof record);
            uint64_t element = call.Code() == SC_CODE_RESOLVE_V6 ? 16 : 4;
            Require(record.count == 0 ||
                    (record.addresses >= base + sizeof record &&
                     record.addresses + record.count * element <= base + answerSize));
        }
    }
    int completions = 0;
};

void Rebase(std::vector<uint8_t>& block, size_t offset) {
    if (block.size() < offset + 8) {
        return;
    }
    uint64_t value;
    std::memcpy(&value, block.data() + offset, sizeof value);
    if (value != 0) {
        value += reinterpret_cast<uint64_t>(block.data());
        std::memcpy(block.data() + offset, &value, sizeof value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LOCAL_RESOLVER resolver;
    static ScopedNameResolver scoped(resolver);
    if (size < 2) {
        return 0;
    }
    const uint32_t code = data[0] % 3;
    const bool offsets = (data[1] & 1) != 0;
    std::vector<uint8_t> block(data + 2, data + size);
    if (offsets) {
        if (code == SC_CODE_POLICY_LOOKUP) {
            for (size_t field : {8, 24, 40, 56, 72, 88}) {
                Rebase(block, field);
            }
        } else {
            Rebase(block, 0);
        }
    }
    const auto blockSize = static_cast<uint32_t>(block.size());

    if (code == SC_CODE_POLICY_LOOKUP) {
        POLICY_LOOKUP_INPUT input;
        std::string problem;
        if (ParsePolicyLookupRequest(block.data(), blockSize, &input, &problem)) {
            for (std::string_view part : {input.tlsSessionId, input.host, input.urlPath,
                                          input.proxyPrefix, input.userSid}) {
                Require(Inside(part, block.data(), block.size()));
            }
            Require(input.tlsSessionId.size() <= HTTPS_SESSION_MAP::kMaxSessionIdLength);
        } else {
            Require(!problem.empty());
        }
        PARITY_DECISION decision;
        HTTPS_SESSION_MAP sessions;
        DEVICE_INFORMATION device;
        device.SetReady();
        os::Event stop(os::EventType::Notification, false);
        POLICY_LOOKUP_CONTEXT context{decision, sessions, device, stop};
        CHECKING_SINK sink;
        SERVICE_CALL call(sink, MakeCallHandle(0, 1), code);
        DispatchPolicyLookup(context, call, block.data(), blockSize);
        Require(sink.completions == 1);
        return 0;
    }

    std::string_view host;
    if (ParseDnsNameRequest(block.data(), blockSize, &host) && !host.empty()) {
        auto start = reinterpret_cast<uintptr_t>(host.data());
        auto base = reinterpret_cast<uintptr_t>(block.data());
        Require(start >= base + sizeof(DNS_NAME_REQUEST) && start + host.size() < base + blockSize);
    }
    CHECKING_SINK sink;
    SERVICE_CALL call(sink, MakeCallHandle(0, 1), code);
    DispatchResolveDnsName(call, code == SC_CODE_RESOLVE_V6 ? AddressFamily::V6 : AddressFamily::V4,
                           block.data(), blockSize);
    Require(sink.completions == 1);
    return 0;
}
