// Accounts and the machine's name: the Linux user database behind the service's account look-ups.
#pragma once

#include <cstdint>
#include <string>

namespace os {

// The name of a Linux user; empty when the user database does not know the uid.
std::string LookupUserName(uint32_t uid);
// The host name without its domain part; empty when it cannot be read.
std::string GetComputerName();

}  // namespace os
