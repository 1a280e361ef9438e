#include "os/wfp/linux/bpf_socket_owner.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "os/core/debugger.h"
#include "os/wfp/linux/bpf/socket_owner_record.h"

#ifdef WEXO_BPF_OWNER_BUILT
#include <bpf/bpf.h>
#include <bpf/libbpf.h>

// The skeleton bpftool writes is C; its embedded object and casts are not ours to tidy.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#include <socket_owner.skel.h>
#pragma GCC diagnostic pop
#endif

namespace os {

namespace {

// The key's form of an address: IPv4 as IPv4-mapped IPv6, the port in network byte order.
[[maybe_unused]] bool KeyAddress(const sockaddr_storage& from, uint8_t to[16], uint16_t* port) {
    if (from.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
        memset(to, 0, 10);
        to[10] = 0xff;
        to[11] = 0xff;
        memcpy(to + 12, &v4.sin_addr, 4);
        *port = v4.sin_port;
        return true;
    }
    if (from.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        memcpy(to, &v6.sin6_addr, 16);
        *port = v6.sin6_port;
        return true;
    }
    return false;
}

[[maybe_unused]] BPF_SOCKET_OWNER OwnerOf(const wexo_owner_record& record) {
    // /proc reports start times in clock ticks: nanoseconds divided as the kernel divides them.
    static const uint64_t nsPerTick =
        1'000'000'000ull / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
    BPF_SOCKET_OWNER owner;
    owner.pid = static_cast<pid_t>(record.tgid);
    owner.tid = static_cast<pid_t>(record.tid);
    owner.uid = static_cast<uid_t>(record.uid);
    owner.cgroup = record.cgroup;
    owner.startTime = record.start_boottime_ns / nsPerTick;
    return owner;
}

// The fields of one /proc/self/mountinfo line: ... mount-point options - fstype source ...
bool IsCgroup2Line(const std::string& line, std::string* mountPoint) {
    std::istringstream fields(line);
    std::string field;
    std::string point;
    for (int index = 0; fields >> field; ++index) {
        if (index == 4)
            point = field;
        if (field == "-") {
            std::string type;
            fields >> type;
            if (type != "cgroup2")
                return false;
            *mountPoint = point;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string CgroupV2Mount() {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::string point;
        // Mount points with spaces are escaped (\040); a cgroup mount has none in practice.
        if (IsCgroup2Line(line, &point))
            return point;
    }
    return {};
}

std::string CurrentCgroupV2() {
    const std::string mount = CgroupV2Mount();
    if (mount.empty())
        return {};
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        if (line.rfind("0::", 0) == 0) {
            const std::string path = line.substr(3);
            return path == "/" ? mount : mount + path;
        }
    }
    return {};
}

uint64_t NetnsCookieOf(int fd) {
#ifdef SO_NETNS_COOKIE
    uint64_t cookie = 0;
    socklen_t size = sizeof(cookie);
    if (::getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &size) == 0 &&
        size == sizeof(cookie))
        return cookie;
#else
    (void)fd;
#endif
    return 0;
}

BPF_SOCKET_OWNERS::BPF_SOCKET_OWNERS(const BPF_SOCKET_OWNERS_OPTIONS& options) {
    whyNot_ = Start(options);
    if (!whyNot_.empty()) {
        Close();
        DebuggerPrint(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL,
                      "socket owners: no connect-time records (" + whyNot_ +
                          "), owners are found in /proc\n");
    }
}

BPF_SOCKET_OWNERS::~BPF_SOCKET_OWNERS() {
    Close();
}

#ifdef WEXO_BPF_OWNER_BUILT

namespace {

// libbpf writes its own warnings to standard error; the one line above says what matters.
int Quiet(enum libbpf_print_level, const char*, va_list) {
    return 0;
}

std::string Failure(const char* what, int error) {
    return std::string(what) + ": " + strerror(error < 0 ? -error : error);
}

}  // namespace

std::string BPF_SOCKET_OWNERS::Start(const BPF_SOCKET_OWNERS_OPTIONS& options) {
    const char* setting = std::getenv("WEXO_BPF_OWNER");
    if (!options.enabled || (setting != nullptr && strcmp(setting, "0") == 0))
        return "switched off";
    if (::access("/sys/kernel/btf/vmlinux", R_OK) != 0)
        return "the kernel has no BTF";
    std::string folder = options.cgroup;
    if (const char* named = std::getenv("WEXO_BPF_OWNER_CGROUP");
        folder.empty() && named != nullptr)
        folder = named;
    if (folder.empty()) {
        folder = CgroupV2Mount();
        if (folder.empty())
            return "no cgroup v2 hierarchy is mounted";
    }
    const int cgroup = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cgroup < 0) {
        const int error = errno;
        return Failure(("the cgroup " + folder).c_str(), error);
    }
    libbpf_set_print(Quiet);
    skeleton_ = socket_owner_bpf__open();
    if (skeleton_ == nullptr) {
        const int error = errno;
        ::close(cgroup);
        return Failure("the program did not open", error);
    }
    if (options.maxStreams != 0)
        bpf_map__set_max_entries(skeleton_->maps.streams, options.maxStreams);
    if (options.maxDatagramSockets != 0)
        bpf_map__set_max_entries(skeleton_->maps.datagram_sockets, options.maxDatagramSockets);
    if (const int error = socket_owner_bpf__load(skeleton_); error != 0) {
        ::close(cgroup);
        return Failure("the program did not load", error);
    }
    bpf_program* programs[kLinks] = {
        skeleton_->progs.record_stream,   skeleton_->progs.record_connect4,
        skeleton_->progs.record_connect6, skeleton_->progs.record_sendmsg4,
        skeleton_->progs.record_sendmsg6,
    };
    for (int i = 0; i < kLinks; ++i) {
        links_[i] = bpf_program__attach_cgroup(programs[i], cgroup);
        if (links_[i] == nullptr) {
            const int error = errno;
            ::close(cgroup);
            return Failure(("not attached to " + folder).c_str(), error);
        }
    }
    ::close(cgroup);
    streams_ = bpf_map__fd(skeleton_->maps.streams);
    datagrams_ = bpf_map__fd(skeleton_->maps.datagram_sockets);
    return {};
}

void BPF_SOCKET_OWNERS::Close() {
    for (bpf_link*& link : links_) {
        if (link != nullptr)
            bpf_link__destroy(link);
        link = nullptr;
    }
    if (skeleton_ != nullptr)
        socket_owner_bpf__destroy(skeleton_);
    skeleton_ = nullptr;
    streams_ = -1;
    datagrams_ = -1;
}

std::optional<BPF_SOCKET_OWNER> BPF_SOCKET_OWNERS::FindStream(
    uint64_t netns, const sockaddr_storage& local, const sockaddr_storage& remote) const {
    if (streams_ < 0)
        return std::nullopt;
    wexo_stream_key key;
    memset(&key, 0, sizeof(key));
    key.netns = netns;
    if (!KeyAddress(local, key.local, &key.local_port) ||
        !KeyAddress(remote, key.remote, &key.remote_port))
        return std::nullopt;
    wexo_owner_record record;
    if (bpf_map_lookup_elem(streams_, &key, &record) != 0)
        return std::nullopt;
    return OwnerOf(record);
}

std::optional<BPF_SOCKET_OWNER> BPF_SOCKET_OWNERS::FindDatagram(uint64_t socketCookie) const {
    if (datagrams_ < 0)
        return std::nullopt;
    wexo_owner_record record;
    if (bpf_map_lookup_elem(datagrams_, &socketCookie, &record) != 0)
        return std::nullopt;
    return OwnerOf(record);
}

#else  // built without BPF

std::string BPF_SOCKET_OWNERS::Start(const BPF_SOCKET_OWNERS_OPTIONS&) {
    return "not built with BPF";
}

void BPF_SOCKET_OWNERS::Close() {}

std::optional<BPF_SOCKET_OWNER> BPF_SOCKET_OWNERS::FindStream(uint64_t, const sockaddr_storage&,
                                                              const sockaddr_storage&) const {
    return std::nullopt;
}

std::optional<BPF_SOCKET_OWNER> BPF_SOCKET_OWNERS::FindDatagram(uint64_t) const {
    return std::nullopt;
}

#endif

}  // namespace os
