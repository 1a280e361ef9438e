// Benchmarks whose ratio compares two paths through the kernel run every thread on the core they
// start on: on a small machine shared with other work the two legs then differ by the path, not
// by where the scheduler happens to wake the other threads. WEXO_BENCH_ANY_CPU turns this off.
#pragma once

#include <sched.h>

#include <cstdlib>

namespace wexo::bench {

// Pins the calling thread (and the threads it starts later, which inherit it) to its core.
inline void StayOnThisCore() {
    if (const int cpu = sched_getcpu(); cpu >= 0 && std::getenv("WEXO_BENCH_ANY_CPU") == nullptr) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
    }
}

}  // namespace wexo::bench
