#include "service/policy/policy_lookup.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>
#include <utility>

#include "common/records.h"
#include "common/request_target.h"
#include "common/service_domain.h"
#include "common/url_normalize.h"
#include "os/core/clock.h"
#include "os/core/status.h"
#include "service/calls/request_block.h"
#include "service/checkin/identity.h"
#include "service/policy/https_session_map.h"
#include "service/support/debug_log.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

unsigned long Ul(uint64_t value) {
    return static_cast<unsigned long>(value);
}

// The port a target's host drops when it names it: a proxy told "https://host:443/..." reaches
// the same site as "https://host/...".
uint16_t TargetDefaultPort(const POLICY_LOOKUP_INPUT& input) {
    if (!ProxyAuthority(input.proxyPrefix).empty() &&
        EqualsNoCase(input.proxyPrefix.substr(0, 8), "https://")) {
        return kHttpsDefaultPort;
    }
    return kHttpDefaultPort;
}

// One spelling of the host for the lookup, the log lines, the session map and the caches,
// so that "Games.Test." cannot pass where "games.test" is blocked.
std::string LookupHost(std::string_view host, uint16_t defaultPort) {
    host = TrimBlanks(host);
    if (!host.empty() && host.back() == '/') {
        host.remove_suffix(1);
    }
    return NormalizeHost(host, defaultPort);
}

// The path as NormalizePath reads it, and with `alternate` also as ServerReadPath does when that
// differs. A lookup without a path (TLS, or a proxy target naming only its site) is judged by the
// host alone, so its lookup URL stays without one.
std::vector<std::string> LookupPaths(std::string_view urlPath, bool alternate) {
    if (urlPath.empty()) {
        return {std::string()};
    }
    std::vector<std::string> paths{NormalizePath(urlPath)};
    if (alternate) {
        std::string read = ServerReadPath(urlPath);
        if (read != paths.front()) {
            paths.push_back(std::move(read));
        }
    }
    return paths;
}

LOOKUP_TARGET Target(std::string host, std::string_view path, const char* label,
                     const std::string& addressText) {
    LOOKUP_TARGET target;
    target.lookupUrl = (host.empty() ? addressText : host) + std::string(path);
    target.host = std::move(host);
    target.label = label;
    return target;
}

void CompleteAllow(SERVICE_CALL& call) {
    POLICY_LOOKUP_ANSWER answer{};
    call.Complete(&answer, sizeof answer, static_cast<int32_t>(os::ERROR_NOT_FOUND));
}

void CompleteRedirect(SERVICE_CALL& call, std::string_view redirectUrl) {
    std::string response = RedirectResponse(redirectUrl);
    // The answer record and its text travel as one block.
    std::string block(sizeof(POLICY_LOOKUP_ANSWER) + response.size(), '\0');
    POLICY_LOOKUP_ANSWER answer{};
    answer.responseText = reinterpret_cast<uint64_t>(block.data() + sizeof answer);
    answer.responseTextLength = static_cast<uint32_t>(response.size());
    std::memcpy(block.data(), &answer, sizeof answer);
    std::memcpy(block.data() + sizeof answer, response.data(), response.size());
    call.Complete(block.data(), static_cast<uint32_t>(block.size()), 0);
}

}  // namespace

bool ParsePolicyLookupRequest(const uint8_t* block, uint32_t size, POLICY_LOOKUP_INPUT* input,
                              std::string* problem) {
    *input = POLICY_LOOKUP_INPUT();
    REQUEST_BLOCK request(block, size);
    POLICY_LOOKUP_REQUEST record{};
    if (!request.Record(&record)) {
        *problem = FormatText("a block of %lu bytes is shorter than the request record", Ul(size));
        return false;
    }
    struct FIELD {
        const char* name;
        uint64_t pointer;
        uint32_t length;
        std::string_view* part;
    };
    std::string_view address;
    const FIELD fields[] = {
        {"TLS session ID", record.tlsSessionId, record.tlsSessionIdLength, &input->tlsSessionId},
        {"Host", record.host, record.hostLength, &input->host},
        {"URL path", record.urlPath, record.urlPathLength, &input->urlPath},
        {"Proxy prefix", record.proxyPrefix, record.proxyPrefixLength, &input->proxyPrefix},
        {"User SID", record.userSid, record.userSidLength, &input->userSid},
        {"Remote address", record.remoteAddress, record.remoteAddressLength, &address},
    };
    for (const FIELD& field : fields) {
        if (!request.Part(field.pointer, field.length, sizeof record, field.part)) {
            *problem = FormatText("%s of %lu bytes at %#llx lies outside the block of %lu bytes",
                                  field.name, Ul(field.length),
                                  static_cast<unsigned long long>(field.pointer), Ul(size));
            *input = POLICY_LOOKUP_INPUT();
            return false;
        }
    }
    if (!address.empty() && address.size() != 4 && address.size() != 16) {
        *problem = FormatText("a remote address of %lu bytes", Ul(address.size()));
        *input = POLICY_LOOKUP_INPUT();
        return false;
    }
    input->address =
        IP_ADDRESS(static_cast<uint32_t>(address.size()),
                   reinterpret_cast<const uint8_t*>(address.empty() ? nullptr : address.data()));
    if (input->tlsSessionId.size() > HTTPS_SESSION_MAP::kMaxSessionIdLength) {
        input->droppedSessionIdLength = static_cast<uint32_t>(input->tlsSessionId.size());
        input->tlsSessionId = {};
    }
    input->processId = record.processId;
    input->sessionId = record.sessionId;
    input->flowNumber = record.flowNumber;
    input->https = record.https != 0;
    input->sessionReuse = record.sessionReuse != 0;
    return true;
}

LOOKUP_TARGET ComposeLookupTarget(const POLICY_LOOKUP_INPUT& input,
                                  const std::string& addressText) {
    const std::vector<std::string> paths = LookupPaths(input.urlPath, false);
    return Target(
        LookupHost(RequestedHost(input.host, input.proxyPrefix), TargetDefaultPort(input)),
        paths.front(), input.proxyPrefix.empty() ? "" : "Proxy ", addressText);
}

std::vector<LOOKUP_TARGET> ComposeLookupTargets(const POLICY_LOOKUP_INPUT& input,
                                                const std::string& addressText) {
    struct HOST {
        std::string name;
        const char* label;
    };
    const uint16_t defaultPort = TargetDefaultPort(input);
    std::vector<HOST> hosts{{LookupHost(RequestedHost(input.host, input.proxyPrefix), defaultPort),
                             input.proxyPrefix.empty() ? "" : "Proxy "}};
    std::string hostHeader =
        LookupHost(HostHeaderBesideAuthority(input.host, input.proxyPrefix), defaultPort);
    if (!hostHeader.empty() && hostHeader != hosts.front().name) {
        hosts.push_back({std::move(hostHeader), ""});
    }
    const std::vector<std::string> paths = LookupPaths(input.urlPath, true);
    std::vector<LOOKUP_TARGET> targets;
    for (const HOST& host : hosts) {
        for (const std::string& path : paths) {
            targets.push_back(Target(host.name, path, host.label, addressText));
        }
    }
    return targets;
}

std::string LookupLogSuffix(std::string_view tlsSessionId, bool sessionReuse, bool https) {
    if (!tlsSessionId.empty()) {
        return FormatText(",\n    %s SessionId = %s-%lu%s", "HTTPS",
                          SessionIdText(tlsSessionId).c_str(), Ul(tlsSessionId.size()),
                          sessionReuse ? ", reuse" : "");
    }
    if (sessionReuse) {
        return ",\n    reuse HTTPS session";
    }
    if (https) {
        return ",\n    HTTPS";
    }
    return {};
}

std::string RedirectResponse(std::string_view redirectUrl) {
    std::string url(redirectUrl);
    return FormatText(
        "HTTP/1.1 302 Other\r\nLocation: %s\r\nContent-Length:0\r\nConnection: close\r\n\r\n",
        url.c_str());
}

void SC_PolicyLookup(SERVICE_CALL& call, const POLICY_LOOKUP_INPUT& request,
                     POLICY_LOOKUP_CONTEXT& context) {
    const unsigned long fc = Ul(request.flowNumber);
    const unsigned long sc = Ul(call.Sequence());
    const unsigned long long pid = request.processId;
    const unsigned long session = Ul(request.sessionId);
    const std::string addressText = request.address.ToText();
    const std::vector<LOOKUP_TARGET> targets = ComposeLookupTargets(request, addressText);
    const char* ip = addressText.c_str();
    // Only built when the Verbose lines it ends are written.
    const std::string suffix =
        DebugCategoryEnabled(LINE_VERBOSE)
            ? LookupLogSuffix(request.tlsSessionId, request.sessionReuse, request.https)
            : std::string();
    std::string domain;
    std::string userName;
    context.accounts.Get(
        std::span(reinterpret_cast<const uint8_t*>(request.userSid.data()), request.userSid.size()),
        &domain, &userName);
    const char* user = userName.c_str();
    auto excluded = [](const LOOKUP_TARGET& target) {
        return !target.host.empty() && IsServiceDomain(target.host);
    };

    // A resumed session was judged when it began (a TLS lookup: one target, by its name), for the
    // user it was judged for: another user's connection offering its ID is looked up afresh, and
    // so is one that names another host (a server that resumes across its sites would serve it).
    if (request.sessionReuse && !excluded(targets.front())) {
        const char* label = targets.front().label;
        const char* url = targets.front().lookupUrl.c_str();
        std::string redirectUrl;
        std::string host;
        bool blocked = false;
        if (context.sessions.Get(request.tlsSessionId, userName, &redirectUrl, &host, &blocked) &&
            (request.host.empty() || NormalizeHost(request.host, kHttpsDefaultPort) ==
                                         NormalizeHost(host, kHttpsDefaultPort))) {
            if (blocked) {
                DebugWrite(LINE_VERBOSE,
                           "SC_PolicyLookup:\n    FC#%lu, SC#%lu,\n    BLOCKED,\n    UserName = "
                           "\"%s\", ProcessId = %llu, SessionId = %lu,\n    %sURL = \"%s\", \n    "
                           "IpAddress = %s%s",
                           fc, sc, user, pid, session, label, url, ip, suffix.c_str());
                CompleteRedirect(call, redirectUrl);
            } else {
                DebugWrite(LINE_VERBOSE,
                           "SC_PolicyLookup:\n    FC#%lu, SC#%lu,\n    ALLOWED,\n    UserName = "
                           "\"%s\", ProcessId = %llu, SessionId = %lu,\n    %sURL = \"%s\", \n    "
                           "IpAddress = %s%s",
                           fc, sc, user, pid, session, label, url, ip, suffix.c_str());
                CompleteAllow(call);
            }
            return;
        }
        DebugWrite(LINE_VERBOSE, "SC_PolicyLookup:\n    FC#%lu, SC#%lu, Session not found%s", fc,
                   sc, suffix.c_str());
    }

    bool deviceAsked = false;
    std::string deviceId;
    const LOOKUP_TARGET* allowed = nullptr;
    for (const LOOKUP_TARGET& target : targets) {
        const char* url = target.lookupUrl.c_str();
        if (excluded(target)) {
            DebugWrite(LINE_VERBOSE,
                       "SC_PolicyLookup:\n    FC#%lu, SC#%lu,\n    Excluding CV filter server = "
                       "\"%s\",\n    UserName = \"%s\", ProcessId = %llu, SessionId = %lu,\n    "
                       "%sURL = \"%s\",\n    IpAddress = %s%s",
                       fc, sc, target.host.c_str(), user, pid, session, target.label, url, ip,
                       suffix.c_str());
            continue;
        }
        DebugWrite(LINE_VERBOSE,
                   "SC_PolicyLookup:\n    FC#%lu, SC#%lu,\n    Starting ...\n    UserName = "
                   "\"%s\", ProcessId = %llu, SessionId = %lu,\n    %sURL = \"%s\",\n    "
                   "IpAddress = %s%s",
                   fc, sc, user, pid, session, target.label, url, ip, suffix.c_str());
        // Measured on the monotonic clock: a wall clock set back during the query must not wrap
        // it.
        const uint64_t start = os::QueryInterruptTime();
        if (!deviceAsked) {
            deviceAsked = true;
            if (context.device.WaitForDeviceInformation(context.stopEvent)) {
                deviceId = context.device.GetUniqueDeviceId();
            }
        }

        POLICY_QUERY query;
        query.https = request.https;
        query.lookupUrl = target.lookupUrl;
        query.host = target.host;
        query.address = request.address;
        query.addressText = addressText;
        query.userName = userName;
        query.deviceId = deviceId;
        query.flowNumber = request.flowNumber;
        query.callNumber = call.Sequence();
        std::string redirectUrl;
        const bool redirect = context.decision.Decide(query, &redirectUrl);

        const uint64_t elapsedMs = (os::QueryInterruptTime() - start) / os::kTicksPerMillisecond;
        const double seconds = static_cast<double>(elapsedMs) / 1000.0;
        if (redirect) {
            DebugWrite(LINE_VERBOSE,
                       "SC_PolicyLookup:\n    FC#%lu, SC#%lu,\n    Completed in %.3f seconds, "
                       "BLOCKED,\n    UserName = \"%s\", ProcessId = %llu, SessionId = %lu,\n    "
                       "%sURL = \"%s\", \n    IpAddress = %s%s",
                       fc, sc, seconds, user, pid, session, target.label, url, ip, suffix.c_str());
            context.sessions.Add(request.tlsSessionId, userName, &redirectUrl, target.host, true);
            CompleteRedirect(call, redirectUrl);
            return;
        }
        DebugWrite(LINE_VERBOSE,
                   "SC_PolicyLookup:\n    FC#%lu, SC#%lu,\n    Completed in %.3f seconds, "
                   "ALLOWED,\n    UserName = \"%s\", ProcessId = %llu, SessionId = %lu,\n    "
                   "%sURL = \"%s\",\n    IpAddress = %s%s",
                   fc, sc, seconds, user, pid, session, target.label, url, ip, suffix.c_str());
        if (allowed == nullptr) {
            allowed = &target;
        }
    }
    // A request of our own servers alone was never judged, so its session is not remembered.
    if (allowed != nullptr) {
        context.sessions.Add(request.tlsSessionId, userName, nullptr, allowed->host, false);
    }
    CompleteAllow(call);
}

void DispatchPolicyLookup(POLICY_LOOKUP_CONTEXT& context, SERVICE_CALL& call, const uint8_t* block,
                          uint32_t size) {
    POLICY_LOOKUP_INPUT input;
    std::string problem;
    if (!ParsePolicyLookupRequest(block, size, &input, &problem)) {
        DebugPrint("SC_PolicyLookup: SC#%lu, Malformed request block: %s", Ul(call.Sequence()),
                   problem.c_str());
        call.Complete(nullptr, 0, SC_STATUS_BAD_REQUEST);
        return;
    }
    if (input.droppedSessionIdLength != 0) {
        DebugPrint("SC_PolicyLookup: FC#%lu, SC#%lu, TLS session ID of %lu bytes ignored",
                   Ul(input.flowNumber), Ul(call.Sequence()), Ul(input.droppedSessionIdLength));
    }
    SC_PolicyLookup(call, input, context);
}

}  // namespace wexo::svc
