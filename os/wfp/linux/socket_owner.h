// Who owns the client end of a proxied connection. First what the kernel recorded as the socket
// connected (bpf_socket_owner.h): one map lookup for TCP; for UDP the socket's cookie from the
// kernel's socket table (sock_diag), then one lookup. Where there is no record (the records are
// off or cannot be had, or the socket connected before they were kept), the uid and socket inode
// come from sock_diag and the process from the /proc/<pid>/fd links naming that inode. Finding a
// process that way means walking /proc, so every walk remembers each socket it passes; the next
// connection of an application already seen costs one check of the remembered link.
//
// Lookups see the sockets of the network namespace the object was made in.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "os/wfp/linux/bpf_socket_owner.h"

namespace os {

struct SOCKET_OWNER {
    // 0 when no process holds the socket any more (or none visible from here).
    pid_t pid = 0;
    uid_t uid = 0;
    // The process's start time in clock ticks since boot (/proc/<pid>/stat), which together with
    // the pid names the process even after the pid is reused; 0 with pid 0.
    uint64_t startTime = 0;
    // The socket's inode; 0 when the answer is a TCP connect-time record, which does not keep it.
    uint64_t inode = 0;
    // From a connect-time record only (0 from the /proc walk): the thread that connected or sent,
    // and its cgroup v2 id.
    pid_t tid = 0;
    uint64_t cgroup = 0;
};

struct SOCKET_OWNERS_OPTIONS {
    // The connect-time records; by default of every process on the machine (the root of the
    // cgroup v2 hierarchy, or the folder WEXO_BPF_OWNER_CGROUP names), unless WEXO_BPF_OWNER=0.
    BPF_SOCKET_OWNERS_OPTIONS records;
};

class SOCKET_OWNERS {
  public:
    explicit SOCKET_OWNERS(const SOCKET_OWNERS_OPTIONS& options = {});
    ~SOCKET_OWNERS();
    SOCKET_OWNERS(const SOCKET_OWNERS&) = delete;
    SOCKET_OWNERS& operator=(const SOCKET_OWNERS&) = delete;

    // Whether the kernel's socket table could be opened.
    bool Ready() const { return diag_ >= 0; }
    // Whether the connect-time records answer first.
    bool RecordsConnects() const { return records_.Ready(); }

    // The owner of the TCP or UDP socket whose local address is `source` and remote address is
    // `destination` (IPv4, IPv6 or IPv4-mapped IPv6, ports included; a UDP socket that sends
    // without connecting matches its local port alone); none when the kernel knows no such socket.
    // Without `walk`, only what the records and sock_diag tell: no /proc walk (pid 0 when no
    // record names the process), for callers that must not wait for one.
    std::optional<SOCKET_OWNER> Find(const sockaddr_storage& source,
                                     const sockaddr_storage& destination,
                                     int protocol = IPPROTO_TCP, bool walk = true);
    // The process that holds the socket now, from sock_diag and the /proc walk and not from the
    // connect-time records: the task a record names may have ended while the socket lives on in
    // another process (made in a parent, connected by a child that exited at once).
    std::optional<SOCKET_OWNER> FindHolder(const sockaddr_storage& source,
                                           const sockaddr_storage& destination,
                                           int protocol = IPPROTO_TCP);
    // The owner of the client of a connection the proxy accepted after a redirect: the client
    // socket's source is the accepted socket's peer, its destination the original destination.
    std::optional<SOCKET_OWNER> FindForAccepted(int fd);

    // Forgets every remembered socket, as after a restart.
    void ForgetAll();
    // How many /proc walks ran.
    uint64_t Scans() const;

  private:
    std::optional<SOCKET_OWNER> Find(const sockaddr_storage& source,
                                     const sockaddr_storage& destination, int protocol, bool walk,
                                     bool records);
    struct HOLDER {
        pid_t pid;
        int fd;
        uint64_t startTime;  // 0 until a lookup needs it
    };
    // Asks sock_diag for the socket; false when it knows none.
    bool QueryKernel(int protocol, const sockaddr_storage& source,
                     const sockaddr_storage& destination, uint64_t* inode, uid_t* uid,
                     uint64_t* cookie);
    // The process holding the socket: the remembered one if its link still names the socket,
    // else from a walk of /proc; null when none holds it (lock_ held).
    HOLDER* HolderOf(uint64_t inode);
    HOLDER* Scan(uint64_t inode);
    // One process's descriptors: each socket remembered, the holder of `inode` when found.
    HOLDER* ScanProcess(pid_t pid, uint64_t inode);

    BPF_SOCKET_OWNERS records_;
    uint64_t netns_ = 0;   // the cookie of the namespace the records are looked up in
    std::mutex diagLock_;  // diag_ and sequence_
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
