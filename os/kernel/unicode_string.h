// The kernel's counted wide string: lengths in bytes, the text not necessarily NUL-terminated.
// Object names, link targets and the driver's own strings all travel in this form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace os {

struct UNICODE_STRING {
    uint16_t Length = 0;         // bytes in use, without any terminating NUL
    uint16_t MaximumLength = 0;  // bytes the buffer holds
    char16_t* Buffer = nullptr;

    std::u16string_view View() const {
        return Buffer == nullptr ? std::u16string_view{}
                                 : std::u16string_view{Buffer, Length / sizeof(char16_t)};
    }
};

// The longest text a counted string can describe, in bytes (an even number below 65536).
constexpr size_t kMaxUnicodeStringBytes = 0xFFFE;

// A counted string over text the caller keeps alive, for names passed in (RTL_CONSTANT_STRING in
// spirit): the callee only reads it. Text longer than a counted string can hold is cut.
inline UNICODE_STRING UnicodeStringOf(std::u16string_view text) {
    size_t bytes = text.size() * sizeof(char16_t);
    if (bytes > kMaxUnicodeStringBytes) {
        bytes = kMaxUnicodeStringBytes;
    }
    UNICODE_STRING string;
    string.Length = static_cast<uint16_t>(bytes);
    string.MaximumLength = static_cast<uint16_t>(bytes);
    string.Buffer = const_cast<char16_t*>(text.data());
    return string;
}

// RtlUpcaseUnicodeChar for the letters names use: ASCII, Latin-1, Greek and Cyrillic.
constexpr char16_t RtlUpcaseUnicodeChar(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ||
        (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) || (c >= 0x430 && c <= 0x44F)) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<char16_t>(c - 0x50);
    }
    return c;
}

// Names compare as the object manager compares them: without case.
constexpr bool NamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) {
            return false;
        }
    }
    return true;
}

constexpr bool NameBeginsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && NamesEqual(text.substr(0, prefix.size()), prefix);
}

inline bool RtlEqualUnicodeString(const UNICODE_STRING& a, const UNICODE_STRING& b,
                                  bool caseInsensitive) {
    return caseInsensitive ? NamesEqual(a.View(), b.View()) : a.View() == b.View();
}

// True when the string begins with the prefix.
inline bool RtlPrefixUnicodeString(const UNICODE_STRING& prefix, const UNICODE_STRING& string,
                                   bool caseInsensitive) {
    std::u16string_view text = string.View();
    std::u16string_view start = prefix.View();
    if (text.size() < start.size()) {
        return false;
    }
    text = text.substr(0, start.size());
    return caseInsensitive ? NamesEqual(text, start) : text == start;
}

}  // namespace os
