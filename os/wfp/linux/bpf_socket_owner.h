// The owners of sockets as the kernel recorded them at connect time (bpf/socket_owner.bpf.c): a
// program attached to a cgroup v2 folder writes, for every outbound TCP connection of a process
// in or below it, its tuple and namespace -> the process, and for every UDP socket that sends to
// port 53 its cookie -> the process. A lookup is one read of a map, whatever runs on the machine.
//
// Where the records cannot be had (built without BPF, switched off by WEXO_BPF_OWNER=0 or the
// options, no cgroup v2, no BTF in the kernel, no privilege to load, a load or attach that fails)
// one debug line says why and every lookup answers unknown, so that callers keep their /proc walk.
// The program is attached by links: it goes with this object or with the process.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct socket_owner_bpf;
struct bpf_link;

namespace os {

struct BPF_SOCKET_OWNER {
    pid_t pid = 0;  // the thread group, as the initial pid namespace numbers it
    pid_t tid = 0;  // the thread that connected or sent
    uid_t uid = 0;
    uint64_t cgroup = 0;  // the sender's cgroup v2 id (the inode of its folder)
    // Clock ticks since boot, as field 22 of /proc/<pid>/stat: with the pid, the process even
    // after the pid is reused.
    uint64_t startTime = 0;
};

struct BPF_SOCKET_OWNERS_OPTIONS {
    // The cgroup v2 folder whose processes are recorded (and those below it); empty: the folder
    // WEXO_BPF_OWNER_CGROUP names (for a harness that runs the host beside its own clients), else
    // the root of the v2 hierarchy, every process of the machine.
    std::string cgroup;
    // False: off, as with WEXO_BPF_OWNER=0 in the environment.
    bool enabled = true;
    // The map bounds; 0: the program's own (WEXO_OWNER_MAX_*).
    uint32_t maxStreams = 0;
    uint32_t maxDatagramSockets = 0;
};

// Where the cgroup v2 hierarchy is mounted, from /proc/self/mountinfo (it is not always
// /sys/fs/cgroup: a hybrid set-up mounts it at /sys/fs/cgroup/unified); empty when it is not.
std::string CgroupV2Mount();
// The cgroup v2 folder of this process (the mount joined with the "0::" line of
// /proc/self/cgroup); empty when there is no v2 hierarchy.
std::string CurrentCgroupV2();
// The cookie of the network namespace a socket belongs to (SO_NETNS_COOKIE); 0 when not told.
uint64_t NetnsCookieOf(int fd);

class BPF_SOCKET_OWNERS {
  public:
    explicit BPF_SOCKET_OWNERS(const BPF_SOCKET_OWNERS_OPTIONS& options = {});
    ~BPF_SOCKET_OWNERS();
    BPF_SOCKET_OWNERS(const BPF_SOCKET_OWNERS&) = delete;
    BPF_SOCKET_OWNERS& operator=(const BPF_SOCKET_OWNERS&) = delete;

    // Whether the records are kept; else why not.
    bool Ready() const { return streams_ >= 0; }
    const std::string& WhyNot() const { return whyNot_; }

    // The owner of the TCP socket in namespace `netns` (its cookie) whose local address is
    // `local` and remote address `remote` (IPv4, IPv6 or IPv4-mapped, ports included), as it was
    // when it connected; none when no connect of that tuple was recorded.
    std::optional<BPF_SOCKET_OWNER> FindStream(uint64_t netns, const sockaddr_storage& local,
                                               const sockaddr_storage& remote) const;
    // The last sender on the UDP socket with this cookie (sock_diag's idiag_cookie, SO_COOKIE).
    std::optional<BPF_SOCKET_OWNER> FindDatagram(uint64_t socketCookie) const;

  private:
    // Loads and attaches; the reason when it cannot.
    std::string Start(const BPF_SOCKET_OWNERS_OPTIONS& options);
    void Close();

    socket_owner_bpf* skeleton_ = nullptr;
    static constexpr int kLinks = 5;
    bpf_link* links_[kLinks] = {};
    int streams_ = -1;  // the maps' descriptors, owned by the skeleton
    int datagrams_ = -1;
    std::string whyNot_;
};

}  // namespace os
