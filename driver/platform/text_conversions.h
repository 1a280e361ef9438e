// Numbers and bytes to text and back, with the upper-case digits "0123456789ABCDEF". Byte variants
// write 8-bit characters, wide variants 16-bit ones. Every writer returns the position after the
// last character it wrote, so that calls chain; the variants that end the text with a NUL
// (the "Z" ones) return the position of that NUL, where a chained call goes on. The caller gives
// room for the output: 2 characters a byte (3 spaced), 9 a word, kMaxHexDigits or
// kMaxDecimalCharacters for one value, one more for a NUL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wexo::drv {

inline constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr size_t kMaxHexDigits = 8;
constexpr size_t kMaxDecimalCharacters = 11;  // "-2147483648"

// Two digits a byte, no separator.
char* BytesToHex(char* out, const void* bytes, size_t count);
char16_t* BytesToHex(char16_t* out, const void* bytes, size_t count);
// Two digits a byte, a space between bytes.
char* BytesToSpacedHex(char* out, const void* bytes, size_t count);
char16_t* BytesToSpacedHex(char16_t* out, const void* bytes, size_t count);
// Eight digits a word, a space between words.
char* WordsToHex(char* out, const uint32_t* words, size_t count);
char16_t* WordsToHex(char16_t* out, const uint32_t* words, size_t count);
// The digits without leading zeros, "0" for zero; the wide variant (the event log's) adds a NUL.
char* ValueToHex(char* out, uint32_t value);
char16_t* ValueToHexZ(char16_t* out, uint32_t value);
// A leading "-" for negative values.
char* SignedToDecimal(char* out, int32_t value);
char* SignedToDecimalZ(char* out, int32_t value);
char16_t* SignedToDecimal(char16_t* out, int32_t value);
char16_t* SignedToDecimalZ(char16_t* out, int32_t value);
char* UnsignedToDecimal(char* out, uint32_t value);
char* UnsignedToDecimalZ(char* out, uint32_t value);
char16_t* UnsignedToDecimal(char16_t* out, uint32_t value);
char16_t* UnsignedToDecimalZ(char16_t* out, uint32_t value);

// The value of the digits from `text` up to the first non-digit or `end`; no sign, and a value
// past 32 bits wraps. *stop (optional) is where reading stopped.
uint32_t DecimalToValue(const char* text, const char* end, const char** stop = nullptr);
// Reads 0-9, A-F and a-f, skipping spaces, up to any other character or `end`; wraps likewise.
uint32_t HexToValue(const char* text, const char* end, const char** stop = nullptr);

// The first space or character 9 to 13 (tab, line feed, vertical tab, form feed, carriage return)
// in [text, end), or null when there is none.
const char* FindWhiteSpace(const char* text, const char* end);
// The position after the leading white space of [text, end) (`end` when all of it is).
const char* SkipWhiteSpace(const char* text, const char* end);

}  // namespace wexo::drv
