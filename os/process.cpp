#include "os/process.h"

#include <unistd.h>

namespace os {
namespace {

thread_local uint32_t tProcessId = 0;

}  // namespace

uint32_t CurrentProcessId() {
    return tProcessId != 0 ? tProcessId : static_cast<uint32_t>(getpid());
}

ScopedProcessContext::ScopedProcessContext(uint32_t processId) : previous_(tProcessId) {
    tProcessId = processId;
}

ScopedProcessContext::~ScopedProcessContext() { tProcessId = previous_; }

}  // namespace os
