// One code point appended as UTF-8: the one encoder the platform layer and the driver share; and
// the strict decoder of UTF-8 into UTF-16 for names that come back from Linux.
#pragma once

#include <string>
#include <string_view>

namespace os {

inline void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// False for bytes that are not well-formed UTF-8 (overlong forms, surrogates and code points past
// U+10FFFF included): such a name has no UTF-16 spelling.
inline bool DecodeUtf8(std::string_view in, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < in.size();) {
        const auto lead = static_cast<unsigned char>(in[i]);
        char32_t c = 0;
        size_t length = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            c = lead;
            length = 1;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            length = 2;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            length = 3;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07;
            length = 4;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (i + length > in.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(in[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (next & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
        if (c >= 0x10000) {
            out->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return true;
}

}  // namespace os
