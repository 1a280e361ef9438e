#include "service/support/http_query.h"

#include <cstdio>
#include <limits>

#include "service/support/debug_log.h"
#include "service/support/string_no_memory.h"
#include "service/support/text.h"

namespace wexo::svc {

bool HttpxKeepsByte(unsigned char byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z') || byte == '-' || byte == '.' || byte == '/' ||
           byte == '_' || byte == '~';
}

size_t HttpxEncodedLength(std::string_view value) {
    size_t length = 0;
    for (const char c : value) {
        length += HttpxKeepsByte(static_cast<unsigned char>(c)) ? 1 : 3;
    }
    return length;
}

void HttpxAppendEncoded(std::string& out, std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (HttpxKeepsByte(byte)) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
}

std::string HttpxEncodePairs(HTTPX_PAIRS pairs, std::string_view first) {
    return WithStringMemory([&] {
        // The exact length first, so that the text is filled in one pass without growing.
        size_t length = 0;
        bool any = false;
        for (const HTTPX_NAME_VALUE& pair : pairs) {
            if (!pair.value) {
                continue;
            }
            const size_t part = (any ? 1 : first.size()) + pair.name.size() + 1;
            const size_t encoded = HttpxEncodedLength(*pair.value);
            if (encoded > std::numeric_limits<size_t>::max() - length - part) {
                throw std::length_error("query string too long");
            }
            length += part + encoded;
            any = true;
        }
        std::string text;
        text.reserve(length);
        const bool logPairs = DebugCategoryEnabled(LINE_HTTP);
        bool written = false;
        for (const HTTPX_NAME_VALUE& pair : pairs) {
            if (!pair.value) {
                continue;
            }
            if (written) {
                text += '&';
            } else {
                text.append(first);
                written = true;
            }
            text.append(pair.name);
            text += '=';
            HttpxAppendEncoded(text, *pair.value);
            if (logPairs) {
                const std::string name(pair.name);
                const std::string value(*pair.value);
                DebugWrite(LINE_HTTP, "\"%s\" = \"%s\"", name.c_str(), value.c_str());
            }
        }
        return text;
    });
}

}  // namespace wexo::svc
