// Which process the calling thread acts for. Threads of tests and tools run inside simulated
// processes, so "the registered service process", "every process but the service" and "the caller
// of this registry change" are real distinctions in one Linux process. A thread not attached to a
// simulated process acts for the real one (its Linux pid).
#pragma once

#include <cstdint>

namespace os {

uint32_t CurrentProcessId();

// Makes the calling thread act for another process while it lives (KeStackAttachProcess in spirit).
class ScopedProcessContext {
public:
    explicit ScopedProcessContext(uint32_t processId);
    ~ScopedProcessContext();
    ScopedProcessContext(const ScopedProcessContext&) = delete;
    ScopedProcessContext& operator=(const ScopedProcessContext&) = delete;

private:
    uint32_t previous_;
};

}  // namespace os
