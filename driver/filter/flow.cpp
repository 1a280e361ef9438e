#include "driver/filter/flow.h"

#include <cstring>
#include <new>

namespace wexo::drv {

// ---- Names ----

FLOW_NAMES* FLOW_NAMES::Create(std::string_view host, std::string_view path,
                               std::string_view proxyPrefix) {
    size_t textSize = host.size() + path.size() + proxyPrefix.size() + 3;
    void* block = os::ExAllocatePoolWithTag(os::PoolType::NonPaged, sizeof(FLOW_NAMES) + textSize,
                                            kFlowNamesTag);
    if (block == nullptr) {
        return nullptr;
    }
    auto* names = new (block) FLOW_NAMES();
    names->hostLength_ = static_cast<uint32_t>(host.size());
    names->pathLength_ = static_cast<uint32_t>(path.size());
    names->proxyLength_ = static_cast<uint32_t>(proxyPrefix.size());
    char* text = reinterpret_cast<char*>(names + 1);
    for (std::string_view part : {host, path, proxyPrefix}) {
        if (!part.empty()) {
            std::memcpy(text, part.data(), part.size());
        }
        text += part.size();
        *text++ = '\0';
    }
    return names;
}

void FLOW_NAMES::Free(FLOW_NAMES* names) {
    if (names != nullptr) {
        names->~FLOW_NAMES();
        os::ExFreePoolWithTag(names, kFlowNamesTag);
    }
}

// ---- References ----

void ReferenceFlow(FLOW* flow, int32_t count) {
    flow->referenceCount.fetch_add(count, std::memory_order_relaxed);
}

void ReleaseFlow(FLOW* flow) {
    if (flow->referenceCount.fetch_sub(1, std::memory_order_acq_rel) == 0) {
        flow->table->Free(flow);
    }
}

// ---- Table ----

FLOW_TABLE::FLOW_TABLE(uint16_t depth)
    : lookaside_(os::PoolType::NonPaged, sizeof(FLOW), kFlowTag, depth) {}

FLOW_TABLE::~FLOW_TABLE() = default;

FLOW* FLOW_TABLE::Allocate() {
    void* entry = lookaside_.Allocate();
    if (entry == nullptr) {
        return nullptr;
    }
    std::memset(entry, 0, sizeof(FLOW));
    FLOW* flow = new (entry) FLOW();
    flow->table = this;
    flow->flowNumber = nextFlowNumber_.fetch_add(1) + 1;
    return flow;
}

void FLOW_TABLE::Free(FLOW* flow) {
    flow->~FLOW();
    lookaside_.Free(flow);
}

void FLOW_TABLE::Link(FLOW* flow) {
    std::lock_guard guard(listLock_);
    list_.PushBack(flow);
}

bool FLOW_TABLE::Unlink(FLOW* flow) {
    std::lock_guard guard(listLock_);
    return list_.Remove(flow);
}

std::vector<FLOW*> FLOW_TABLE::ReferenceAll() {
    std::vector<FLOW*> flows;
    std::lock_guard guard(listLock_);
    list_.ForEach([&](FLOW* flow) {
        ReferenceFlow(flow);
        flows.push_back(flow);
    });
    return flows;
}

size_t FLOW_TABLE::LinkedCount() const {
    std::lock_guard guard(listLock_);
    return list_.Size();
}

}  // namespace wexo::drv
