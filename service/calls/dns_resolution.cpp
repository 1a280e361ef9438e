#include "service/calls/dns_resolution.h"

#include <cstring>
#include <new>
#include <vector>

#include "common/records.h"
#include "os/core/status.h"
#include "service/calls/request_block.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

unsigned long Ul(uint64_t value) {
    return static_cast<unsigned long>(value);
}

// The answer record followed by its address array, as one block the driver copies.
class ADDRESS_ANSWER {
  public:
    ADDRESS_ANSWER() { std::memset(&empty_, 0, sizeof empty_); }

    // False when the array cannot be had: the answer then stays empty.
    bool Build(const std::vector<IP_ADDRESS>& addresses, uint32_t elementSize) {
        try {
            block_.assign(sizeof(DNS_ADDRESS_ANSWER) + addresses.size() * elementSize, 0);
        } catch (const std::bad_alloc&) {
            block_.clear();
            return false;
        }
        DNS_ADDRESS_ANSWER answer{};
        answer.count = static_cast<uint32_t>(addresses.size());
        uint8_t* array = block_.data() + sizeof answer;
        answer.addresses = addresses.empty() ? 0 : reinterpret_cast<uint64_t>(array);
        for (size_t i = 0; i < addresses.size(); ++i) {
            std::memcpy(array + i * elementSize, addresses[i].Bytes(), elementSize);
        }
        std::memcpy(block_.data(), &answer, sizeof answer);
        return true;
    }

    const void* Data() const {
        return block_.empty() ? static_cast<const void*>(&empty_) : block_.data();
    }
    uint32_t Size() const {
        return block_.empty() ? sizeof empty_ : static_cast<uint32_t>(block_.size());
    }

  private:
    DNS_ADDRESS_ANSWER empty_;
    std::vector<uint8_t> block_;
};

void ResolveAndComplete(SERVICE_CALL& call, const std::string& host, AddressFamily family) {
    const bool v6 = family == AddressFamily::V6;
    const uint8_t length = v6 ? 16 : 4;
    const unsigned long sc = Ul(call.Sequence());
    if (v6) {
        DebugWrite(LINE_VERBOSE, "SC_ResolveDnsNameV6: SC#%lu, \n    Host = \"%s\"", sc,
                   host.c_str());
    } else {
        DebugWrite(LINE_VERBOSE, "SC_ResolveDnsNameV4: SC#%lu,\n    Host = \"%s\"", sc,
                   host.c_str());
    }

    std::vector<IP_ADDRESS> results;
    uint32_t error = ResolveName(host, family, &results);
    ADDRESS_ANSWER answer;
    if (error != 0) {
        uint32_t flags =
            (error == os::WSAHOST_NOT_FOUND || error == os::WSANO_DATA) ? LINE_VERBOSE : 0;
        std::string text = os::SystemMessageText(error);
        if (v6) {
            DebugWrite(flags,
                       "SC_ResolveDnsNameV6: SC#%lu,\n    Unable to resolve host name \"%s\".\n    "
                       "%s Error code = %d",
                       sc, host.c_str(), text.c_str(), static_cast<int>(error));
        } else {
            DebugWrite(flags,
                       "SC_ResolveDnsNameV4: SC#%lu,\n    Unable to resolve host name \"%s\".\n    "
                       "%s Error code = %d",
                       sc, host.c_str(), text.c_str(), static_cast<int>(error));
        }
        call.Complete(answer.Data(), answer.Size(), static_cast<int32_t>(error));
        if (v6) {
            DebugWrite(LINE_VERBOSE, "SC_ResolveDnsNameV6: SC#%lu, Complete with error = %lu", sc,
                       Ul(error));
        } else {
            DebugWrite(LINE_VERBOSE, "SC_ResolveDnsNameV4: SC#%lu, Complete with error = %lu", sc,
                       Ul(error));
        }
        return;
    }
    if (results.empty()) {
        call.Complete(answer.Data(), answer.Size(), 0);
        if (v6) {
            DebugPrint("SC_ResolveDnsNameV6: SC#%lu, Empty address table", sc);
        } else {
            DebugPrint("SC_ResolveDnsNameV4: SC#%lu, Empty address table", sc);
        }
        return;
    }

    std::vector<IP_ADDRESS> kept;
    try {
        for (const IP_ADDRESS& address : results) {
            if (address.Length() != length || address.IsLoopback()) {
                continue;
            }
            const uint8_t* b = address.Bytes();
            if (v6) {
                unsigned long g[8];
                Ipv6Groups(b, g);
                DebugPrint(
                    "SC_ResolveDnsNameV6: SC#%lu,\n    Host = \"%s\", IPv6 = "
                    "%lx:%lx:%lx:%lx:%lx:%lx:%lx:%lx",
                    sc, host.c_str(), g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7]);
            } else {
                DebugPrint("SC_ResolveDnsNameV4: SC#%lu,\n    Host = \"%s\", IPv4 = %u.%u.%u.%u",
                           sc, host.c_str(), b[0], b[1], b[2], b[3]);
            }
            kept.push_back(address);
        }
    } catch (const std::bad_alloc&) {
        kept.clear();
    }
    // Without memory for the array the answer is complete but empty.
    answer.Build(kept, length);
    call.Complete(answer.Data(), answer.Size(), 0);
    if (v6) {
        DebugPrint("SC_ResolveDnsNameV6: SC#%lu, Complete", sc);
    } else {
        DebugPrint("SC_ResolveDnsNameV4: SC#%lu, Complete", sc);
    }
}

}  // namespace

bool ParseDnsNameRequest(const uint8_t* block, uint32_t size, std::string_view* hostName) {
    REQUEST_BLOCK request(block, size);
    DNS_NAME_REQUEST record{};
    if (!request.Record(&record)) {
        return false;
    }
    return request.String(record.hostName, sizeof record, hostName);
}

void SC_ResolveDnsNameV4(SERVICE_CALL& call, const std::string& hostName) {
    ResolveAndComplete(call, hostName, AddressFamily::V4);
}

void SC_ResolveDnsNameV6(SERVICE_CALL& call, const std::string& hostName) {
    ResolveAndComplete(call, hostName, AddressFamily::V6);
}

void DispatchResolveDnsName(SERVICE_CALL& call, AddressFamily family, const uint8_t* block,
                            uint32_t size) {
    std::string_view host;
    if (!ParseDnsNameRequest(block, size, &host)) {
        DebugPrint("SC_ResolveDnsName%s: SC#%lu, Malformed request block of %lu bytes",
                   family == AddressFamily::V6 ? "V6" : "V4", Ul(call.Sequence()), Ul(size));
        call.Complete(nullptr, 0, SC_STATUS_BAD_REQUEST);
        return;
    }
    std::string name(host);
    if (family == AddressFamily::V6) {
        SC_ResolveDnsNameV6(call, name);
    } else {
        SC_ResolveDnsNameV4(call, name);
    }
}

}  // namespace wexo::svc
