// The registrable domain of the product's own servers. Hosts in it are never looked up: the
// agent must always reach its own policy, API and update servers.
#pragma once

#include <string_view>

namespace wexo {

// Two labels; tests build their hosts from this constant rather than from its value.
inline constexpr std::string_view kServiceDomain = "wexo-filter.net";

// True when the host's last two labels (or the whole host, when it has fewer) equal
// kServiceDomain, ignoring the case of ASCII letters. An empty host is not in the domain, and
// neither is a host written with a trailing dot or with a port (anything after a colon).
bool IsServiceDomain(std::string_view host);

}  // namespace wexo
