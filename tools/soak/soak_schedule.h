// What both forms of the soak share: the policy server's schedule of failures, the arguments, and
// the counts a process's threads and descriptors are judged by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/peers/policy_server.h"

namespace wexo::soak {

enum class PHASE { Normal, ServerErrors, Garbage, Hanging, Refusing };

// Ten phases of equal length; the service restarts as the fourth and the seventh begin.
inline constexpr PHASE kSchedule[] = {
    PHASE::Normal, PHASE::ServerErrors, PHASE::Normal, PHASE::Garbage,      PHASE::Hanging,
    PHASE::Normal, PHASE::Refusing,     PHASE::Normal, PHASE::ServerErrors, PHASE::Normal};
inline constexpr size_t kPhases = std::size(kSchedule);
inline bool RestartsServiceAt(size_t phase) {
    return phase == 3 || phase == 6;
}

const char* PhaseName(PHASE phase);
// Sets the policy server up for the phase, undoing whatever the last one did. Reopening a
// listener that refused binds in the calling thread's network namespace, so a server started in a
// namespace is told from a thread in it.
void Enter(peers::PolicyServer& server, PHASE phase);

struct SOAK_ARGUMENTS {
    long seconds = 1800;
    int clients = 4;
    long paceMs = 10;
    long heapBoundKib = 4 * 1024;
    // Through the real backend: the installed programs in network namespaces of the soak's own.
    bool real = false;
};

// Entries of a folder (of /proc/<pid>/task or /proc/<pid>/fd), "." and ".." not counted.
size_t CountEntries(const std::string& folder);

}  // namespace wexo::soak
