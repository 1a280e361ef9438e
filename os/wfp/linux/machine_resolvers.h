// The resolvers the machine itself is set up to ask: the "nameserver" lines of its resolver
// configuration files (resolv.conf, and the lists of the upstream servers that a local stub such
// as systemd-resolved or NetworkManager's keeps). Only an administrator can change those, so
// what those servers answer may teach the driver which names an address stands for; a resolver
// a user picks (`dig @server`) could claim any address for any name.
#pragma once

#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace os::wfplinux {

// The addresses of the "nameserver" lines of a resolv.conf text (IPv4 or IPv6, a "%zone" suffix
// left out); lines that are comments or not an address are skipped.
std::vector<std::array<uint8_t, 16>> ReadNameservers(std::string_view text);

class MACHINE_RESOLVERS {
  public:
    // The files it reads; those missing add nothing.
    static std::vector<std::string> DefaultFiles();
    explicit MACHINE_RESOLVERS(std::vector<std::string> files = DefaultFiles());

    // Whether `resolver`'s address (its port is not looked at) is on one of the lists. A file is
    // read again once it has changed (its inode, size or change time), looked at no more than
    // once a second of the active clock.
    bool Contains(const sockaddr_storage& resolver);

  private:
    struct SEEN {
        ino_t inode = 0;
        off_t size = -1;
        timespec changed{};
    };
    void RefreshLocked();

    const std::vector<std::string> files_;
    std::mutex lock_;
    std::vector<SEEN> seen_;
    std::vector<std::array<uint8_t, 16>> addresses_;  // IPv4 as IPv4-mapped IPv6
    uint64_t checkedAt_ = 0;
    bool checked_ = false;
};

}  // namespace os::wfplinux
