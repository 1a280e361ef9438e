#include "common/request_target.h"

namespace wexo {

std::string_view ProxyAuthority(std::string_view proxyPrefix) {
    size_t scheme = proxyPrefix.find("://");
    std::string_view authority =
        scheme == std::string_view::npos ? proxyPrefix : proxyPrefix.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        authority = authority.substr(at + 1);
    }
    return authority;
}

std::string_view RequestedHost(std::string_view hostHeader, std::string_view proxyPrefix) {
    if (!proxyPrefix.empty()) {
        std::string_view authority = ProxyAuthority(proxyPrefix);
        if (!authority.empty()) {
            return authority;
        }
    }
    return hostHeader;
}

std::string_view HostHeaderBesideAuthority(std::string_view hostHeader,
                                           std::string_view proxyPrefix) {
    return ProxyAuthority(proxyPrefix).empty() ? std::string_view() : hostHeader;
}

}  // namespace wexo
