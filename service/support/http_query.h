// Name/value pairs of the service's HTTP requests and their encoding into a query string or a
// form body: names as given, values percent-encoded except for the bytes - . / 0-9 A-Z _ a-z ~.
#pragma once

#include <cstdarg>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wexo::svc {

// One pair. A pair without a value (a null pointer or std::nullopt) is left out of the request.
struct HTTPX_NAME_VALUE {
    HTTPX_NAME_VALUE(std::string_view n, const char* v)
        : name(n), value(v != nullptr ? std::optional<std::string_view>(v) : std::nullopt) {}
    HTTPX_NAME_VALUE(std::string_view n, std::string_view v) : name(n), value(v) {}
    HTTPX_NAME_VALUE(std::string_view n, const std::string& v) : name(n), value(v) {}
    HTTPX_NAME_VALUE(std::string_view n, std::nullopt_t) : name(n) {}

    std::string_view name;
    std::optional<std::string_view> value;
};

using HTTPX_PAIRS = std::span<const HTTPX_NAME_VALUE>;

// Whether a value byte is written as it is.
bool HttpxKeepsByte(unsigned char byte);
// Length of the encoded value: 3 bytes for every byte that is encoded.
size_t HttpxEncodedLength(std::string_view value);
// Appends the encoded value ("%" and two upper-case hexadecimal digits per encoded byte).
void HttpxAppendEncoded(std::string& out, std::string_view value);

// The pairs with a value, each "name=encoded value", the first preceded by `first` (for a query
// string "?", for a form body nothing), the later ones by "&". Each written pair is logged with
// its raw value (HTTP category). Empty when no pair has a value. Raises STRING_NO_MEMORY.
std::string HttpxEncodePairs(HTTPX_PAIRS pairs, std::string_view first);

}  // namespace wexo::svc
