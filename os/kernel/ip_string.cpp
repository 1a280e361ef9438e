#include "os/kernel/ip_string.h"

#include <arpa/inet.h>

#include <string>

namespace os {

namespace {

NTSTATUS Parse(int family, std::string_view text, void* address) {
    // inet_pton reads up to a NUL: the text must be the whole of what is given.
    if (text.empty() || text.size() > 64 || text.find('\0') != std::string_view::npos) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::string terminated(text);
    return inet_pton(family, terminated.c_str(), address) == 1 ? STATUS_SUCCESS
                                                               : STATUS_INVALID_PARAMETER;
}

}  // namespace

NTSTATUS RtlIpv4StringToAddress(std::string_view text, uint8_t (&address)[4]) {
    return Parse(AF_INET, text, address);
}

NTSTATUS RtlIpv6StringToAddress(std::string_view text, uint8_t (&address)[16]) {
    return Parse(AF_INET6, text, address);
}

}  // namespace os
