#include "tools/pipeline/host_image.h"

#include <elf.h>
#include <limits.h>
#include <stdlib.h>

#include <cstring>

#include "tools/pipeline/program_environment.h"

namespace wexo::pipeline {
namespace {

#if defined(__x86_64__)
constexpr uint16_t kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t kMachine = EM_AARCH64;
#else
#error "the host's ELF machine is not known"
#endif

// Whether a table of `count` entries of `entrySize` bytes at `offset` lies within `size` bytes.
bool TableFits(uint64_t offset, uint64_t entrySize, uint64_t count, uint64_t size) {
    if (count == 0) {
        return true;
    }
    return offset <= size && entrySize <= (size - offset) / count;
}

}  // namespace

std::string HostImagePath() {
    if (const char* staged = EnvironmentValue("WEXO_DRIVER_IMAGE")) {
        return staged;
    }
    char resolved[PATH_MAX];
    return ::realpath("/proc/self/exe", resolved) != nullptr ? std::string(resolved)
                                                             : std::string();
}

std::u16string NativeNameOf(const std::string& linuxPath) {
    if (linuxPath.empty() || linuxPath[0] != '/') {
        return {};
    }
    std::u16string name = u"\\??\\C:";
    for (unsigned char c : linuxPath) {
        // Names of the product's folders are ASCII; a wider byte stands for itself.
        name.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
    }
    return name;
}

bool IsWholeElfImage(std::span<const uint8_t> head, uint64_t size) {
    Elf64_Ehdr header;
    if (head.size() < sizeof header) {
        return false;
    }
    std::memcpy(&header, head.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_machine != kMachine || (header.e_type != ET_EXEC && header.e_type != ET_DYN)) {
        return false;
    }
    if (header.e_phnum == 0 || header.e_phentsize < sizeof(Elf64_Phdr)) {
        return false;
    }
    if (header.e_shoff != 0 && header.e_shentsize < sizeof(Elf64_Shdr)) {
        return false;
    }
    return TableFits(header.e_phoff, header.e_phentsize, header.e_phnum, size) &&
           (header.e_shoff == 0 ||
            TableFits(header.e_shoff, header.e_shentsize, header.e_shnum, size));
}

}  // namespace wexo::pipeline
