#include "service/calls/request_block.h"

namespace wexo::svc {

bool REQUEST_BLOCK::Part(uint64_t pointer, uint32_t length, uint32_t recordSize,
                         std::string_view* part) const {
    *part = {};
    if (length == 0) {
        return true;
    }
    if (block_ == nullptr || recordSize > size_) {
        return false;
    }
    uint64_t start = Address();
    // Offsets, not addresses, are compared, so no sum can wrap.
    if (pointer < start + recordSize || pointer - start > size_) {
        return false;
    }
    uint64_t offset = pointer - start;
    if (length > size_ - offset) {
        return false;
    }
    *part = std::string_view(reinterpret_cast<const char*>(block_ + offset), length);
    return true;
}

bool REQUEST_BLOCK::String(uint64_t pointer, uint32_t recordSize, std::string_view* text) const {
    *text = {};
    if (pointer == 0) {
        return true;
    }
    if (block_ == nullptr || recordSize > size_) {
        return false;
    }
    uint64_t start = Address();
    if (pointer < start + recordSize || pointer - start >= size_) {
        return false;
    }
    uint64_t offset = pointer - start;
    const void* nul = std::memchr(block_ + offset, 0, size_ - offset);
    if (nul == nullptr) {
        return false;
    }
    *text = std::string_view(reinterpret_cast<const char*>(block_ + offset),
                             static_cast<const uint8_t*>(nul) - (block_ + offset));
    return true;
}

}  // namespace wexo::svc
