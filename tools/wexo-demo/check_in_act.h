// The demo's check-in act: the installed programs check in with the reference API server on
// loopback, which hands them a new policy-server list and then sends the device dormant and back.
#pragma once

#include <string>

namespace wexo::demo {

// Runs the act with `policyFile` on both policy servers. 0 when every step showed what it should.
int RunCheckInAct(const std::string& policyFile);

}  // namespace wexo::demo
