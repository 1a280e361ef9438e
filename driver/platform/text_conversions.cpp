#include "driver/platform/text_conversions.h"

namespace wexo::drv {
namespace {

bool IsWhiteSpace(char c) {
    return c == ' ' || (c >= 9 && c <= 13);
}

template <typename Char>
Char* ByteDigits(Char* out, uint8_t byte) {
    *out++ = static_cast<Char>(kHexDigits[byte >> 4]);
    *out++ = static_cast<Char>(kHexDigits[byte & 0xF]);
    return out;
}

template <typename Char>
Char* Bytes(Char* out, const void* bytes, size_t count, bool spaced) {
    const auto* data = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < count; ++i) {
        if (spaced && i != 0) {
            *out++ = static_cast<Char>(' ');
        }
        out = ByteDigits(out, data[i]);
    }
    return out;
}

template <typename Char>
Char* Words(Char* out, const uint32_t* words, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (i != 0) {
            *out++ = static_cast<Char>(' ');
        }
        for (int shift = 28; shift >= 0; shift -= 4) {
            *out++ = static_cast<Char>(kHexDigits[(words[i] >> shift) & 0xF]);
        }
    }
    return out;
}

// Digits of `value` in `base`, most significant first, without leading zeros.
template <typename Char>
Char* Digits(Char* out, uint32_t value, uint32_t base) {
    Char reversed[kMaxDecimalCharacters];
    size_t count = 0;
    do {
        reversed[count++] = static_cast<Char>(kHexDigits[value % base]);
        value /= base;
    } while (value != 0);
    while (count != 0) {
        *out++ = reversed[--count];
    }
    return out;
}

template <typename Char>
Char* Signed(Char* out, int32_t value) {
    // The magnitude is taken in unsigned arithmetic, so that the most negative value has one.
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        *out++ = static_cast<Char>('-');
        magnitude = 0u - magnitude;
    }
    return Digits(out, magnitude, 10);
}

template <typename Char>
Char* Terminated(Char* end) {
    *end = static_cast<Char>(0);
    return end;
}

}  // namespace

char* BytesToHex(char* out, const void* bytes, size_t count) {
    return Bytes(out, bytes, count, false);
}
char16_t* BytesToHex(char16_t* out, const void* bytes, size_t count) {
    return Bytes(out, bytes, count, false);
}
char* BytesToSpacedHex(char* out, const void* bytes, size_t count) {
    return Bytes(out, bytes, count, true);
}
char16_t* BytesToSpacedHex(char16_t* out, const void* bytes, size_t count) {
    return Bytes(out, bytes, count, true);
}
char* WordsToHex(char* out, const uint32_t* words, size_t count) {
    return Words(out, words, count);
}
char16_t* WordsToHex(char16_t* out, const uint32_t* words, size_t count) {
    return Words(out, words, count);
}
char* ValueToHex(char* out, uint32_t value) {
    return Digits(out, value, 16);
}
char16_t* ValueToHexZ(char16_t* out, uint32_t value) {
    return Terminated(Digits(out, value, 16));
}
char* SignedToDecimal(char* out, int32_t value) {
    return Signed(out, value);
}
char* SignedToDecimalZ(char* out, int32_t value) {
    return Terminated(Signed(out, value));
}
char16_t* SignedToDecimal(char16_t* out, int32_t value) {
    return Signed(out, value);
}
char16_t* SignedToDecimalZ(char16_t* out, int32_t value) {
    return Terminated(Signed(out, value));
}
char* UnsignedToDecimal(char* out, uint32_t value) {
    return Digits(out, value, 10);
}
char* UnsignedToDecimalZ(char* out, uint32_t value) {
    return Terminated(Digits(out, value, 10));
}
char16_t* UnsignedToDecimal(char16_t* out, uint32_t value) {
    return Digits(out, value, 10);
}
char16_t* UnsignedToDecimalZ(char16_t* out, uint32_t value) {
    return Terminated(Digits(out, value, 10));
}

uint32_t DecimalToValue(const char* text, const char* end, const char** stop) {
    uint32_t value = 0;
    while (text < end && *text >= '0' && *text <= '9') {
        value = value * 10 + static_cast<uint32_t>(*text - '0');
        ++text;
    }
    if (stop != nullptr) {
        *stop = text;
    }
    return value;
}

uint32_t HexToValue(const char* text, const char* end, const char** stop) {
    uint32_t value = 0;
    for (; text < end; ++text) {
        const char c = *text;
        uint32_t digit = 0;
        if (c == ' ') {
            continue;
        }
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else {
            break;
        }
        value = (value << 4) | digit;
    }
    if (stop != nullptr) {
        *stop = text;
    }
    return value;
}

const char* FindWhiteSpace(const char* text, const char* end) {
    for (; text < end; ++text) {
        if (IsWhiteSpace(*text)) {
            return text;
        }
    }
    return nullptr;
}

const char* SkipWhiteSpace(const char* text, const char* end) {
    while (text < end && IsWhiteSpace(*text)) {
        ++text;
    }
    return text;
}

}  // namespace wexo::drv
