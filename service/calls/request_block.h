// A request block as the driver wrote it into the service's memory: the fixed record of its code,
// then the parts its pointer fields name. The block is trusted less than its source suggests:
// every pointer and length is checked against the block before anything is read through it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace wexo::svc {

class REQUEST_BLOCK {
  public:
    REQUEST_BLOCK(const uint8_t* block, uint32_t size) : block_(block), size_(size) {}

    const uint8_t* Data() const { return block_; }
    uint32_t Size() const { return size_; }
    uint64_t Address() const { return reinterpret_cast<uint64_t>(block_); }

    // Copies the fixed record out of the block (which need not be aligned for it); false when the
    // block is shorter than the record.
    template <typename RECORD>
    bool Record(RECORD* record) const {
        if (block_ == nullptr || size_ < sizeof(RECORD)) {
            return false;
        }
        std::memcpy(record, block_, sizeof(RECORD));
        return true;
    }

    // The bytes [pointer, pointer + length). A zero length is an empty part whatever the pointer
    // says. Otherwise the range must lie in the block after the fixed record of `recordSize`.
    bool Part(uint64_t pointer, uint32_t length, uint32_t recordSize, std::string_view* part) const;
    // A NUL-terminated text: a null pointer is empty; otherwise it must start in the block after
    // the record and its NUL must be in the block too.
    bool String(uint64_t pointer, uint32_t recordSize, std::string_view* text) const;

  private:
    const uint8_t* block_;
    uint32_t size_;
};

}  // namespace wexo::svc
