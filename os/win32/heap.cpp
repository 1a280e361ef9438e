#include "os/win32/heap.h"

namespace os {

void* HeapAlloc(size_t size) {
    return TaggedAllocate(size, kProcessHeapTag);
}

void HeapFree(void* block) {
    TaggedFree(block, kProcessHeapTag);
}

}  // namespace os
