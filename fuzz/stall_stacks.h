// Every thread's stack of this process on stderr, taken through gdb, for a harness that has found a
// stall and is about to abort: what the threads wait for is the finding's explanation. Only when
// the named variable is set (and gdb is there); otherwise nothing.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace wexo::fuzz {

inline void DumpStacksIfAsked(const char* variable) {
    if (std::getenv(variable) == nullptr) {
        return;
    }
    char command[160];
    std::snprintf(command, sizeof command,
                  "gdb -p %d -batch -ex 'thread apply all bt 30' 1>&2 2>/dev/null",
                  static_cast<int>(getpid()));
    [[maybe_unused]] int status = std::system(command);
}

}  // namespace wexo::fuzz
