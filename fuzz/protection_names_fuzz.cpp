// The names the self-protection judges: file names against the protected folder and registry key
// names against the protected patterns, as another process spells them. Whatever the bytes, the
// verdict must not depend on letter case, and a name judged inside the folder must lie below it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver/protection/file_protection.h"
#include "driver/protection/registry_protection.h"

namespace {

using namespace wexo::drv;

constexpr char16_t kFolder[] = u"\\Device\\HarddiskVolume1\\Program Files\\Vendor\\Agent";
constexpr std::string_view kPatterns[] = {
    "REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel",
    "REGISTRY\\MACHINE\\SYSTEM\\<CS>\\services\\WexoWfp",
    "REGISTRY\\MACHINE\\SYSTEM\\<CS>\\Control\\SafeBoot\\Network\\WexoWfp.sys",
};

template <typename CHAR>
std::basic_string<CHAR> Upper(std::basic_string_view<CHAR> text) {
    std::basic_string<CHAR> upper(text);
    for (CHAR& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<CHAR>(c - 'a' + 'A');
        }
    }
    return upper;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first half as a registry key name (bytes), the whole as a UTF-16 file name.
    const std::string_view key(reinterpret_cast<const char*>(data), size / 2);
    for (std::string_view pattern : kPatterns) {
        const KEY_MATCH match = MatchKey(key, pattern);
        if (MatchKey(Upper(key), pattern) != match) {
            std::abort();
        }
        if (match == KEY_MATCH::Exact && (key.empty() || key[0] != '\\')) {
            std::abort();
        }
    }

    std::u16string name(size / 2, u'\0');
    for (size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    // Names that begin like the folder's volume reach the interesting paths more often.
    std::u16string prefixed = std::u16string(kFolder).substr(0, size % 48) + name;
    for (const std::u16string& candidate : {name, prefixed}) {
        const NAME_CLASS verdict = ClassifyName(candidate, kFolder);
        if (ClassifyName(Upper(std::u16string_view(candidate)), kFolder) != verdict) {
            std::abort();
        }
        if (verdict == NAME_CLASS::Inside) {
            const std::u16string normalised = Upper(std::u16string_view(NormaliseText(candidate)));
            const std::u16string folder = Upper(std::u16string_view(kFolder)) + u"\\";
            if (normalised.compare(0, folder.size(), folder) != 0) {
                std::abort();
            }
        }
    }
    return 0;
}
