#include "common/service_domain.h"

#include <cstddef>

namespace wexo {
namespace {

// Only ASCII letters fold: host bytes are not decoded, so no locale may change the answer.
constexpr char FoldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsServiceDomain(std::string_view host) {
    // A port is not part of a name; one that stays after normalising is not our servers' (and a
    // name a server reads ends before it anyway).
    if (host.empty() || host.find(':') != std::string_view::npos) {
        return false;
    }
    std::string_view tail = host;
    size_t last = host.rfind('.');
    if (last != std::string_view::npos && last > 0) {
        size_t secondToLast = host.rfind('.', last - 1);
        if (secondToLast != std::string_view::npos) {
            tail = host.substr(secondToLast + 1);
        }
    }
    return EqualsIgnoringCase(tail, kServiceDomain);
}

}  // namespace wexo
