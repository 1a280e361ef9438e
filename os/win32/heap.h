// The process heap of a program (HeapAlloc/HeapFree on GetProcessHeap()). It draws on the tagged
// accounting and failure switch of os/core/allocation.h under its own tag, so a program's "no
// memory" paths can be taken too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/core/allocation.h"

namespace os {

constexpr uint32_t kProcessHeapTag = MakePoolTag("Heap");
// Returns null when refused; memory is not zeroed.
void* HeapAlloc(size_t size);
void HeapFree(void* block);

}  // namespace os
