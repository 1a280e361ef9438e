// Who owns the client end of a proxied connection: the uid and socket inode come from the
// kernel's socket table (sock_diag), the process from the /proc/<pid>/fd links naming that inode.
// Finding a process means walking /proc, so every walk remembers each socket it passes; the next
// connection of an application already seen costs one check of the remembered link.
//
// Lookups see the sockets of the network namespace the object was made in.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace os {

struct SOCKET_OWNER {
    // 0 when no process holds the socket any more (or none visible from here).
    pid_t pid = 0;
    uid_t uid = 0;
    // The process's start time in clock ticks since boot (/proc/<pid>/stat), which together with
    // the pid names the process even after the pid is reused; 0 with pid 0.
    uint64_t startTime = 0;
    uint64_t inode = 0;
};

class SOCKET_OWNERS {
  public:
    SOCKET_OWNERS();
    ~SOCKET_OWNERS();
    SOCKET_OWNERS(const SOCKET_OWNERS&) = delete;
    SOCKET_OWNERS& operator=(const SOCKET_OWNERS&) = delete;

    // Whether the kernel's socket table could be opened.
    bool Ready() const { return diag_ >= 0; }

    // The owner of the TCP socket whose local address is `source` and remote address is
    // `destination` (IPv4, IPv6 or IPv4-mapped IPv6, ports included); none when the kernel knows
    // no such socket.
    std::optional<SOCKET_OWNER> Find(const sockaddr_storage& source,
                                     const sockaddr_storage& destination);
    // The owner of the client of a connection the proxy accepted after a redirect: the client
    // socket's source is the accepted socket's peer, its destination the original destination.
    std::optional<SOCKET_OWNER> FindForAccepted(int fd);

    // Forgets every remembered socket, as after a restart.
    void ForgetAll();
    // How many /proc walks ran.
    uint64_t Scans() const;

  private:
    struct HOLDER {
        pid_t pid;
        int fd;
        uint64_t startTime;  // 0 until a lookup needs it
    };
    // Asks sock_diag for the socket; false when it knows none.
    bool QueryKernel(const sockaddr_storage& source, const sockaddr_storage& destination,
                     uint64_t* inode, uid_t* uid);
    // The process holding the socket: the remembered one if its link still names the socket,
    // else from a walk of /proc; null when none holds it (lock_ held).
    HOLDER* HolderOf(uint64_t inode);
    HOLDER* Scan(uint64_t inode);
    // One process's descriptors: each socket remembered, the holder of `inode` when found.
    HOLDER* ScanProcess(pid_t pid, uint64_t inode);

    int diag_ = -1;
    uint32_t sequence_ = 0;
    mutable std::mutex lock_;
    std::unordered_map<uint64_t, HOLDER> holders_;  // socket inode -> a descriptor naming it
    uint64_t scans_ = 0;
    pid_t lastOwner_ = 0;  // the holder the last walk found
};

// The start time of a process in clock ticks since boot; 0 when it is gone.
uint64_t ProcessStartTime(pid_t pid);

}  // namespace os
