#include "os/wfp/linux/machine_resolvers.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "os/core/clock.h"

namespace os::wfplinux {
namespace {

using ADDRESS = std::array<uint8_t, 16>;

ADDRESS Mapped(const in_addr& v4) {
    ADDRESS address{};
    address[10] = 0xFF;
    address[11] = 0xFF;
    std::memcpy(address.data() + 12, &v4, 4);
    return address;
}

}  // namespace

std::vector<ADDRESS> ReadNameservers(std::string_view text) {
    std::vector<ADDRESS> addresses;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword;
        std::string value;
        if (!(words >> keyword >> value) || keyword != "nameserver") {
            continue;
        }
        value = value.substr(0, value.find('%'));
        in_addr v4{};
        in6_addr v6{};
        if (inet_pton(AF_INET, value.c_str(), &v4) == 1) {
            addresses.push_back(Mapped(v4));
        } else if (inet_pton(AF_INET6, value.c_str(), &v6) == 1) {
            ADDRESS address;
            std::memcpy(address.data(), &v6, 16);
            addresses.push_back(address);
        }
    }
    return addresses;
}

std::vector<std::string> MACHINE_RESOLVERS::DefaultFiles() {
    return {"/etc/resolv.conf", "/run/systemd/resolve/resolv.conf",
            "/run/NetworkManager/no-stub-resolv.conf"};
}

MACHINE_RESOLVERS::MACHINE_RESOLVERS(std::vector<std::string> files)
    : files_(std::move(files)), seen_(files_.size()) {}

void MACHINE_RESOLVERS::RefreshLocked() {
    const uint64_t now = QueryInterruptTime();
    if (checked_ && now - checkedAt_ < kTicksPerSecond) {
        return;
    }
    checked_ = true;
    checkedAt_ = now;
    bool changed = false;
    std::vector<SEEN> seen(files_.size());
    for (size_t i = 0; i < files_.size(); ++i) {
        struct stat status {};
        if (stat(files_[i].c_str(), &status) == 0) {
            seen[i] = {status.st_ino, status.st_size, status.st_ctim};
        }
        changed = changed || seen[i].inode != seen_[i].inode || seen[i].size != seen_[i].size ||
                  seen[i].changed.tv_sec != seen_[i].changed.tv_sec ||
                  seen[i].changed.tv_nsec != seen_[i].changed.tv_nsec;
    }
    if (!changed) {
        return;
    }
    std::vector<ADDRESS> addresses;
    for (size_t i = 0; i < files_.size(); ++i) {
        std::ifstream file(files_[i]);
        std::ostringstream text;
        text << file.rdbuf();
        for (const ADDRESS& address : ReadNameservers(text.str())) {
            if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
                addresses.push_back(address);
            }
        }
    }
    addresses_ = std::move(addresses);
    seen_ = std::move(seen);
}

bool MACHINE_RESOLVERS::Contains(const sockaddr_storage& resolver) {
    ADDRESS address{};
    if (resolver.ss_family == AF_INET) {
        address = Mapped(reinterpret_cast<const sockaddr_in&>(resolver).sin_addr);
    } else if (resolver.ss_family == AF_INET6) {
        std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in6&>(resolver).sin6_addr, 16);
    } else {
        return false;
    }
    std::lock_guard guard(lock_);
    RefreshLocked();
    return std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end();
}

}  // namespace os::wfplinux
