#include "driver/channel/block_copy.h"

#include <cstring>
#include <vector>

namespace wexo::drv {
namespace {

constexpr uint64_t kPageSize = 4096;

uint64_t LoadPointer(const std::vector<uint8_t>& bytes, size_t offset) {
    uint64_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

uint32_t LoadLength(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

void StorePointer(std::vector<uint8_t>& bytes, size_t offset, uint64_t value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// One part to append: where it comes from, how long it is, and which pointer field names it.
struct PendingPart {
    uint64_t source;
    size_t length;
    size_t pointerField;  // offset in the block being built
};

class BlockBuilder {
  public:
    BlockBuilder(const BlockMemory& source, uint32_t maxTotal)
        : source_(source), maxTotal_(maxTotal) {}

    // Walks the descriptors for the record (or array element) that starts at `base` in block_.
    bool Walk(std::span<const BLOCK_DESCRIPTOR> descriptors, size_t* index, size_t base,
              size_t fixedSize, bool insideArray) {
        while (*index < descriptors.size()) {
            const BLOCK_DESCRIPTOR& d = descriptors[(*index)++];
            if (d.kind == BlockPart::End) {
                return !insideArray;
            }
            if (d.kind == BlockPart::ArrayEnd) {
                return insideArray;
            }
            if (!FieldFits(d, fixedSize)) {
                return false;
            }
            size_t pointerField = base + d.pointerOffset;
            uint64_t pointer = LoadPointer(block_, pointerField);
            switch (d.kind) {
                case BlockPart::String: {
                    size_t length = 0;
                    if (pointer == 0) {
                        break;
                    }
                    if (!source_.StringLength(pointer, maxTotal_, &length)) {
                        return false;
                    }
                    if (length == 0) {
                        StorePointer(block_, pointerField, 0);
                        break;
                    }
                    if (!Append(pointer, length + 1, pointerField)) {
                        return false;
                    }
                    break;
                }
                case BlockPart::Bytes: {
                    uint32_t length = LoadLength(block_, base + d.lengthOffset);
                    if (length == 0) {
                        StorePointer(block_, pointerField, 0);
                        break;
                    }
                    if (pointer == 0 || !Append(pointer, length, pointerField)) {
                        return false;
                    }
                    break;
                }
                case BlockPart::Array: {
                    uint64_t count = LoadLength(block_, base + d.lengthOffset);
                    uint64_t bytes = count * d.elementSize;
                    size_t elementsStart = block_.size();
                    if (count == 0) {
                        StorePointer(block_, pointerField, 0);
                    } else if (pointer == 0 || !Append(pointer, bytes, pointerField)) {
                        return false;
                    }
                    // The element parts follow the whole array, element by element.
                    size_t elementDescriptors = *index;
                    for (uint64_t i = 0; i < count; ++i) {
                        *index = elementDescriptors;
                        if (!Walk(descriptors, index, elementsStart + i * d.elementSize,
                                  d.elementSize, true)) {
                            return false;
                        }
                    }
                    if (count == 0 && !Skip(descriptors, index)) {
                        return false;
                    }
                    break;
                }
                default:
                    return false;
            }
        }
        return !insideArray;
    }

    bool Start(uint64_t record, uint32_t recordSize) {
        if (recordSize > maxTotal_) {
            return false;
        }
        block_.resize(recordSize);
        return source_.Read(record, block_.data(), recordSize);
    }

    std::vector<uint8_t>& Bytes() { return block_; }
    const std::vector<PendingPart>& Parts() const { return parts_; }

  private:
    static bool FieldFits(const BLOCK_DESCRIPTOR& d, size_t fixedSize) {
        if (d.pointerOffset + sizeof(uint64_t) > fixedSize) {
            return false;
        }
        return d.kind == BlockPart::String || d.lengthOffset + sizeof(uint32_t) <= fixedSize;
    }

    // Appends the part's bytes now, so that nested array elements can be read from the copy.
    bool Append(uint64_t source, uint64_t length, size_t pointerField) {
        if (length > maxTotal_ || block_.size() + length > maxTotal_) {
            return false;
        }
        size_t offset = block_.size();
        block_.resize(offset + length);
        if (!source_.Read(source, block_.data() + offset, length)) {
            return false;
        }
        parts_.push_back(PendingPart{source, length, pointerField});
        offsets_.push_back(offset);
        return true;
    }

    // Passes over the element descriptors of an empty array.
    static bool Skip(std::span<const BLOCK_DESCRIPTOR> descriptors, size_t* index) {
        int depth = 1;
        while (*index < descriptors.size()) {
            BlockPart kind = descriptors[(*index)++].kind;
            if (kind == BlockPart::Array) {
                ++depth;
            } else if (kind == BlockPart::ArrayEnd && --depth == 0) {
                return true;
            } else if (kind == BlockPart::End) {
                return false;
            }
        }
        return false;
    }

  public:
    // Rewrites every part's pointer field to the part's final address.
    void Relocate(uint64_t blockAddress) {
        for (size_t i = 0; i < parts_.size(); ++i) {
            StorePointer(block_, parts_[i].pointerField, blockAddress + offsets_[i]);
        }
    }

  private:
    const BlockMemory& source_;
    uint32_t maxTotal_;
    std::vector<uint8_t> block_;
    std::vector<PendingPart> parts_;
    std::vector<size_t> offsets_;
};

}  // namespace

bool BlockMemory::StringLength(uint64_t address, size_t maxLength, size_t* length) const {
    size_t found = 0;
    uint8_t chunk[256];
    while (found <= maxLength) {
        uint64_t at = address + found;
        // Never read across a page the string may not reach.
        size_t take =
            static_cast<size_t>(std::min<uint64_t>(sizeof chunk, kPageSize - at % kPageSize));
        if (!Read(at, chunk, take)) {
            return false;
        }
        const void* nul = std::memchr(chunk, 0, take);
        if (nul != nullptr) {
            *length = found + static_cast<size_t>(static_cast<const uint8_t*>(nul) - chunk);
            return *length <= maxLength;
        }
        found += take;
    }
    return false;
}

bool KernelMemory::Read(uint64_t address, void* destination, size_t length) const {
    if (length != 0) {
        std::memcpy(destination, reinterpret_cast<const void*>(address), length);
    }
    return true;
}

bool KernelMemory::Write(uint64_t address, const void* source, size_t length) const {
    if (length != 0) {
        std::memcpy(reinterpret_cast<void*>(address), source, length);
    }
    return true;
}

bool KernelMemory::StringLength(uint64_t address, size_t maxLength, size_t* length) const {
    *length = strnlen(reinterpret_cast<const char*>(address), maxLength + 1);
    return *length <= maxLength;
}

bool CallerBlockMemory::Read(uint64_t address, void* destination, size_t length) const {
    return caller_.Read(address, destination, length);
}

bool CallerBlockMemory::Write(uint64_t address, const void* source, size_t length) const {
    return caller_.Write(address, source, length);
}

bool CopyBlock(const BlockMemory& source, uint64_t record, uint32_t recordSize,
               const BlockMemory& destination, uint64_t buffer, uint32_t bufferSize,
               const BlockAllocator& allocate, const std::function<void(uint64_t)>& release,
               std::span<const BLOCK_DESCRIPTOR> descriptors, uint32_t maxTotal,
               BLOCK_RESULT* result) {
    BlockBuilder builder(source, maxTotal);
    size_t index = 0;
    if (!builder.Start(record, recordSize) ||
        !builder.Walk(descriptors, &index, 0, recordSize, false)) {
        return false;
    }
    auto& bytes = builder.Bytes();
    uint32_t total = static_cast<uint32_t>(bytes.size());
    BLOCK_RESULT out;
    out.size = total;
    if (buffer != 0 && bufferSize >= total) {
        out.address = buffer;
    } else {
        out.address = allocate(total);
        out.allocated = true;
        if (out.address == 0) {
            return false;
        }
    }
    builder.Relocate(out.address);
    if (!destination.Write(out.address, bytes.data(), total)) {
        if (out.allocated) {
            release(out.address);
        }
        return false;
    }
    *result = out;
    return true;
}

}  // namespace wexo::drv
