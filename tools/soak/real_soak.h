// The soak through the real backend: the installed programs (the driver host with the product's
// nftables table and proxy, the service, the reference policy server) in network namespaces of the
// soak's own, browsers in the client namespace making real HTTP and HTTPS connections to a web
// server in the server namespace while the policy server fails on the soak's schedule and the
// service is stopped and started again twice. The driver host is judged from outside: its threads
// and descriptors from /proc, its flows, open proxied connections and heap from the status line
// it prints on SIGUSR1.
#pragma once

#include "tools/soak/soak_schedule.h"

namespace wexo::soak {

// The exit status: 0 when every check held, 1 when one did not, 2 when the product did not start,
// 77 when this machine cannot make the namespaces (the reason is printed).
int RunRealSoak(const SOAK_ARGUMENTS& arguments);

}  // namespace wexo::soak
