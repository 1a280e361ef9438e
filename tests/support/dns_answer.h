// A resolver's answer as tests send it through the simulated network: one question for `name`
// (type A, class IN) and one A record of `address` that points back to it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace wexo::testing {

inline std::vector<uint8_t> DnsAnswerA(const std::string& name,
                                       const std::array<uint8_t, 4>& address) {
    std::vector<uint8_t> m = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) {
            dot = name.size();
        }
        m.push_back(static_cast<uint8_t>(dot - start));
        m.insert(m.end(), name.begin() + static_cast<long>(start),
                 name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    m.push_back(0);
    const uint8_t tail[] = {0, 1, 0, 1, 0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    m.insert(m.end(), std::begin(tail), std::end(tail));
    m.insert(m.end(), address.begin(), address.end());
    return m;
}

}  // namespace wexo::testing
