// The host a plain-HTTP request is judged by. The driver (for the service-domain pass) and the
// service (for the lookup) must agree on it, or a request could be passed by one name and fetched
// by another.
#pragma once

#include <string_view>

namespace wexo {

// The authority of an absolute-form target's prefix ("HTTP://user@host:port" → "host:port"):
// after the scheme, before any "/", "?" or "#", after any user information. Empty when none.
std::string_view ProxyAuthority(std::string_view proxyPrefix);

// A proxy (absolute-form) request names the site it fetches in its target, whatever its Host
// header says: its authority, when it has one, wins over the header.
std::string_view RequestedHost(std::string_view hostHeader, std::string_view proxyPrefix);

// The Host header of an absolute-form request whose prefix names an authority of its own; empty
// for any other request (RequestedHost is then the only host it names). A proxy contacts the
// authority, but many origin servers sent the same request serve the site its Host header names,
// so a request that names two hosts reaches either one, depending on who receives it.
std::string_view HostHeaderBesideAuthority(std::string_view hostHeader,
                                           std::string_view proxyPrefix);

}  // namespace wexo
