#include "common/url_normalize.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace wexo {
namespace {

constexpr bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// ASCII only: a host's other bytes are not characters we may fold.
constexpr char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// -1 when the byte is not a hex digit.
constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

constexpr char UpperHex(char c) {
    return (c >= 'a' && c <= 'f') ? static_cast<char>(c - ('a' - 'A')) : c;
}

constexpr bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Lower-case of every byte by table: a host is folded on every request, and a table keeps the
// loop free of branches.
constexpr std::array<char, 256> kLowerTable = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<size_t>(c)] = Lower(static_cast<char>(c));
    }
    return table;
}();

char* CopyLower(std::string_view text, char* out) {
    for (const char c : text) {
        *out++ = kLowerTable[static_cast<unsigned char>(c)];
    }
    return out;
}

// The bytes the first look at a path stops at: the ones that end the path, a percent sign, and a
// "/" (which matters only when a "/" or "." follows it).
constexpr uint8_t kPathEnds = 1;
constexpr uint8_t kPathPercent = 2;
constexpr uint8_t kPathSlash = 4;
constexpr std::array<uint8_t, 256> kPathTable = [] {
    std::array<uint8_t, 256> table{};
    table['?'] = kPathEnds;
    table['#'] = kPathEnds;
    table['%'] = kPathPercent;
    table['/'] = kPathSlash;
    return table;
}();

bool IsIPv6Address(std::string_view text) {
    char copy[INET6_ADDRSTRLEN + 1];
    in6_addr address;
    if (text.size() >= sizeof copy) {
        return false;
    }
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return inet_pton(AF_INET6, copy, &address) == 1;
}

// Writes ":port" unless the port is empty or the default one; leading zeros go, since a server
// reads the number.
char* AppendPort(std::string_view port, uint16_t defaultPort, char* out) {
    bool digits = !port.empty();
    for (const char c : port) {
        digits = digits && IsDigit(c);
    }
    if (digits) {
        while (port.size() > 1 && port.front() == '0') {
            port.remove_prefix(1);
        }
        if (port.size() <= 5) {
            unsigned value = 0;
            for (const char c : port) {
                value = value * 10 + static_cast<unsigned>(c - '0');
            }
            if (value == defaultPort) {
                return out;
            }
        }
    }
    if (port.empty()) {
        return out;
    }
    *out++ = ':';
    return CopyLower(port, out);
}

}  // namespace

std::string_view NormalizeHostInto(std::string_view host, std::span<char> buffer,
                                   uint16_t defaultPort) {
    if (buffer.size() < host.size()) {
        return {};
    }
    host = Trim(host);
    char* const start = buffer.data();
    char* out = start;

    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        const std::string_view after =
            close == std::string_view::npos ? std::string_view() : host.substr(close + 1);
        if (close == std::string_view::npos || (!after.empty() && after.front() != ':')) {
            // Not a literal a server would accept; compared as it is, without letter case.
            out = CopyLower(host, out);
            return {start, static_cast<size_t>(out - start)};
        }
        out = CopyLower(host.substr(0, close + 1), out);
        if (!after.empty()) {
            out = AppendPort(after.substr(1), defaultPort, out);
        }
        return {start, static_cast<size_t>(out - start)};
    }

    std::string_view name = host;
    std::string_view port;
    bool hasPort = false;
    const size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
        name = host.substr(0, colon);
        if (host.find(':', colon + 1) != std::string_view::npos) {
            if (IsIPv6Address(host)) {
                // Written without brackets: there is no port to tell apart.
                out = CopyLower(host, out);
                return {start, static_cast<size_t>(out - start)};
            }
            // No port has a colon in it; servers that do not refuse such a host read the name
            // before the first one.
        } else {
            port = host.substr(colon + 1);
            hasPort = true;
        }
    }
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    if (name.empty()) {
        return {};
    }
    out = CopyLower(name, out);
    if (hasPort) {
        out = AppendPort(port, defaultPort, out);
    }
    return {start, static_cast<size_t>(out - start)};
}

std::string NormalizeHost(std::string_view host, uint16_t defaultPort) {
    std::string normalized(host.size(), '\0');
    const std::string_view written = NormalizeHostInto(host, normalized, defaultPort);
    normalized.resize(written.size());
    return normalized;
}

std::string_view NormalizePathInto(std::string_view target, std::span<char> buffer) {
    if (buffer.size() < target.size() + 1) {
        return {};
    }
    char* const p = buffer.data();
    // One look first: most paths a browser sends are already in their normal form, and are then
    // copied whole. A "/." that is not a dot segment ("/.well-known") only costs the slow way.
    size_t end = target.size();
    bool normal = !target.empty() && target.front() == '/';
    const auto* bytes = reinterpret_cast<const unsigned char*>(target.data());
    for (size_t i = 0; i < target.size(); ++i) {
        const uint8_t kind = kPathTable[bytes[i]];
        if (kind == 0) {
            continue;
        }
        if (kind == kPathEnds) {
            end = i;
            break;
        }
        if (kind == kPathPercent ||
            (i + 1 < target.size() && (bytes[i + 1] == '/' || bytes[i + 1] == '.'))) {
            normal = false;
        }
    }
    if (normal) {
        std::memcpy(p, target.data(), target.size());
        return {p, target.size()};
    }
    const std::string_view path = target.substr(0, end);
    const std::string_view rest = target.substr(end);

    // First the percent-encodings, so that an encoded dot or slash takes part in the segment
    // rules below exactly as the server's own decoding makes it do.
    size_t length = 0;
    if (path.empty() || path.front() != '/') {
        p[length++] = '/';
    }
    for (size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        const int high = c == '%' && i + 2 < path.size() ? HexValue(path[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(path[i + 2]) : -1;
        if (low < 0) {
            p[length++] = c;
            continue;
        }
        const auto decoded = static_cast<unsigned char>(high * 16 + low);
        if (IsUnreserved(decoded) || decoded == '/') {
            p[length++] = static_cast<char>(decoded);
        } else {
            p[length++] = '%';
            p[length++] = UpperHex(path[i + 1]);
            p[length++] = UpperHex(path[i + 2]);
        }
        i += 2;
    }

    // Then the segments, in place: what is kept is never longer than what was read, so the
    // write position never passes the read position.
    size_t read = 0;
    size_t write = 0;
    p[write++] = '/';
    while (read < length) {
        while (read < length && p[read] == '/') {
            ++read;
        }
        if (read == length) {
            break;
        }
        const size_t segment = read;
        while (read < length && p[read] != '/') {
            ++read;
        }
        const size_t size = read - segment;
        if (size == 1 && p[segment] == '.') {
            continue;
        }
        if (size == 2 && p[segment] == '.' && p[segment + 1] == '.') {
            // Up one level: drop the last kept segment and its "/" (the root stays).
            if (write > 1) {
                --write;
                while (p[write - 1] != '/') {
                    --write;
                }
            }
            continue;
        }
        std::memmove(p + write, p + segment, size);
        write += size;
        if (read < length) {
            p[write++] = '/';
        }
    }
    if (!rest.empty()) {
        std::memcpy(p + write, rest.data(), rest.size());
    }
    return {p, write + rest.size()};
}

std::string NormalizePath(std::string_view target) {
    std::string normalized(target.size() + 1, '\0');
    const std::string_view written = NormalizePathInto(target, normalized);
    normalized.resize(written.size());
    return normalized;
}

std::string ServerReadPath(std::string_view target) {
    const size_t end = std::min(target.find_first_of("?#"), target.size());
    const std::string_view path = target.substr(0, end);
    std::string read;
    read.reserve(target.size());
    bool parameters = false;
    for (size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        const bool encodedBackslash = c == '%' && i + 2 < path.size() && path[i + 1] == '5' &&
                                      (path[i + 2] == 'c' || path[i + 2] == 'C');
        if (c == '/' || c == '\\' || encodedBackslash) {
            read.push_back('/');
            parameters = false;
            i += encodedBackslash ? 2 : 0;
        } else if (c == ';') {
            parameters = true;
        } else if (!parameters) {
            read.push_back(c);
        }
    }
    read.append(target.substr(end));
    return NormalizePath(read);
}

}  // namespace wexo
