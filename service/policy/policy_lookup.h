// The answer to one URL lookup of the driver: may this outbound HTTP or HTTPS request pass, or must
// the client be sent to a block page? The lookup composes the URL to judge, applies the
// service-domain exclusion and the HTTPS session shortcut, otherwise asks the policy decision,
// records the outcome in the session map and completes the service call with allow or a redirect
// response.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/sync.h"
#include "service/calls/ip_address.h"
#include "service/calls/service_call.h"
#include "service/checkin/identity.h"

namespace wexo::svc {

class HTTPS_SESSION_MAP;

// What the decision is asked about one lookup.
struct POLICY_QUERY {
    bool https = false;
    std::string_view lookupUrl;
    // The host the lookup URL names (LOOKUP_TARGET::host); empty when it names none and the
    // lookup URL begins with the address text.
    std::string_view host;
    IP_ADDRESS address;
    std::string_view addressText;
    std::string_view userName;
    std::string_view deviceId;
    uint32_t flowNumber = 0;
    uint32_t callNumber = 0;
};

// The decision on a lookup the lookup could not settle by itself (the blocked-address cache, the
// filtering switch-off and the redirect query to the policy server). True: redirect to
// *redirectUrl. Called on many worker threads at once.
class POLICY_DECISION {
  public:
    virtual ~POLICY_DECISION() = default;
    virtual bool Decide(const POLICY_QUERY& query, std::string* redirectUrl) = 0;
};

// A POLICY_LOOKUP_REQUEST as read from its block; the views point into the block.
struct POLICY_LOOKUP_INPUT {
    uint64_t processId = 0;
    std::string_view tlsSessionId;
    std::string_view host;
    std::string_view urlPath;
    std::string_view proxyPrefix;
    std::string_view userSid;
    IP_ADDRESS address;
    uint32_t sessionId = 0;
    uint32_t flowNumber = 0;
    bool https = false;
    bool sessionReuse = false;
    // The driver sent a session ID longer than a TLS session ID can be; it is not used.
    uint32_t droppedSessionIdLength = 0;
};

// Reads the request block: every pointer and length is checked against [block, block + size),
// parts must follow the fixed record, the address must be 4 or 16 bytes (or absent). False, with
// what did not add up in *problem, when the block is not a request; nothing outside it is read.
bool ParsePolicyLookupRequest(const uint8_t* block, uint32_t size, POLICY_LOOKUP_INPUT* input,
                              std::string* problem);

// The URL a lookup is judged by, the host it names, and the "%sURL" label of its log lines.
struct LOOKUP_TARGET {
    std::string host;
    std::string lookupUrl;
    const char* label = "";
};

// Origin form: host and path. Absolute form (a proxy request): the authority of the proxy prefix
// (the host a proxy actually contacts; the Host header when the prefix has none) and the path,
// labelled "Proxy ", so that the path is never lost. No host at all: the address text and the path.
// Host and path are in the form servers read them (common/url_normalize.h): the host of every
// kind, and the path when there is one; a lookup without a path stays the bare host.
LOOKUP_TARGET ComposeLookupTarget(const POLICY_LOOKUP_INPUT& input, const std::string& addressText);
// Every reading of the request that some server acts on, in the order they are looked up; the
// request is blocked when any of them is. First ComposeLookupTarget's. An absolute-form request
// whose Host header names another host than its authority (compared as NormalizeHost reads them,
// with the target scheme's port) is also looked up by that host, without the "Proxy " label: a
// proxy fetches the authority, many origin servers the Host header. For each host, a path that
// ServerReadPath reads otherwise than NormalizePath is also looked up in that reading.
std::vector<LOOKUP_TARGET> ComposeLookupTargets(const POLICY_LOOKUP_INPUT& input,
                                                const std::string& addressText);
// The ending of every log line of a lookup (session ID, reuse, HTTPS).
std::string LookupLogSuffix(std::string_view tlsSessionId, bool sessionReuse, bool https);
// The "HTTP/1.1 302 Other" response that sends the browser to the redirect URL.
std::string RedirectResponse(std::string_view redirectUrl);

// What a lookup uses besides its request; all of it outlives the service-call workers.
struct POLICY_LOOKUP_CONTEXT {
    POLICY_DECISION& decision;
    HTTPS_SESSION_MAP& sessions;
    DEVICE_INFORMATION& device;
    // The service's stop event: a lookup waiting for the device information gives up on it.
    os::Event& stopEvent;
    // The lookup's own: who each SID is, read once a lifetime rather than on every connection.
    ACCOUNT_NAMES accounts{};
};

// Looks up each of ComposeLookupTargets in turn, every one through the whole path (service-domain
// exclusion, decision, log lines), until one is blocked: that block and its redirect answer the
// call. Always completes the call: allow (status 1168, no text) or redirect (status 0, the
// response).
void SC_PolicyLookup(SERVICE_CALL& call, const POLICY_LOOKUP_INPUT& request,
                     POLICY_LOOKUP_CONTEXT& context);

// Code 0 of the dispatcher: parse, then SC_PolicyLookup; a block that does not add up is logged
// and answered with SC_STATUS_BAD_REQUEST.
void DispatchPolicyLookup(POLICY_LOOKUP_CONTEXT& context, SERVICE_CALL& call, const uint8_t* block,
                          uint32_t size);

}  // namespace wexo::svc
