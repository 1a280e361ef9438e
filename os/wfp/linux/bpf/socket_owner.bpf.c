/* Who opened a connection, written down by the kernel as it happens, so that the host finds the
 * owner of a redirected connection with one map lookup instead of a walk of /proc.
 *
 * TCP: sock_ops at BPF_SOCK_OPS_TCP_CONNECT_CB. The key has to be what the proxy sees of the
 * accepted connection: the client's address and port, the original destination, and the network
 * namespace. A cgroup connect4/connect6 hook runs before the kernel has picked the local port (and,
 * for an unbound socket, the local address), so it cannot write that key. TCP_CONNECT_CB runs from
 * tcp_connect(), after inet_hash_connect() has bound both and before the SYN leaves, still in the
 * connecting task's context: the tuple and the task are both at hand, and the record is there
 * before the proxy can accept the connection. ACTIVE_ESTABLISHED_CB would come a round trip later
 * and in softirq context, where the current task is not the owner.
 *
 * UDP: there is no hook after a datagram socket's connect has bound it (the cgroup connect hook
 * comes before the autobind, a connected socket's send() passes no hook with an address, and an
 * unconnected socket's source address is picked per datagram by the route). So a UDP record is
 * keyed by the socket's cookie instead, written from cgroup/connect4/6 (connected sockets, as
 * glibc's resolver uses) and cgroup/sendmsg4/6 (sendto with an address). The host asks sock_diag
 * for the socket by its tuple in its own namespace, which gives the cookie; a cookie is unique on
 * the machine, so namespaces cannot mix there either.
 *
 * Nothing here refuses anything: every hook lets the operation go on. */

/* The kernel's types come first: the libbpf headers build on them. */
// clang-format off
#include "vmlinux.h"
// clang-format on

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "os/wfp/linux/bpf/socket_owner_record.h"

#define AF_INET 2
#define AF_INET6 10

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, WEXO_OWNER_MAX_STREAMS);
    __type(key, struct wexo_stream_key);
    __type(value, struct wexo_owner_record);
} streams SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, WEXO_OWNER_MAX_DATAGRAM_SOCKETS);
    __type(key, __u64); /* the socket's cookie */
    __type(value, struct wexo_owner_record);
} datagram_sockets SEC(".maps");

/* The calling task; uid is filled in by the caller. */
static __always_inline void record_task(struct wexo_owner_record* record) {
    struct task_struct* task = bpf_get_current_task_btf();
    record->tgid = task->tgid;
    record->tid = task->pid;
    /* /proc/<pid>/stat gives the group leader's start, which names the process. */
    record->start_boottime_ns = task->group_leader->start_boottime;
    record->cgroup = bpf_get_current_cgroup_id();
}

static __always_inline void mapped_ipv4(__u8* to, __be32 address) {
    __builtin_memset(to, 0, 10);
    to[10] = 0xff;
    to[11] = 0xff;
    __builtin_memcpy(to + 12, &address, 4);
}

static __always_inline int is_mapped_ipv4(const struct in6_addr* address) {
    return address->in6_u.u6_addr32[0] == 0 && address->in6_u.u6_addr32[1] == 0 &&
           address->in6_u.u6_addr32[2] == bpf_htonl(0xffff);
}

SEC("sockops")
int record_stream(struct bpf_sock_ops* ops) {
    if (ops->op != BPF_SOCK_OPS_TCP_CONNECT_CB)
        return 1;
    struct bpf_sock* socket = ops->sk;
    if (socket == 0)
        return 1;
    struct tcp_sock* tcp = bpf_skc_to_tcp_sock(socket);
    if (tcp == 0)
        return 1;
    const struct sock* sk = &tcp->inet_conn.icsk_inet.sk;
    const struct sock_common* common = &sk->__sk_common;

    struct wexo_stream_key key;
    __builtin_memset(&key, 0, sizeof(key));
    key.netns = bpf_get_netns_cookie(ops);
    const unsigned short family = common->skc_family;
    if (family == AF_INET) {
        mapped_ipv4(key.local, common->skc_rcv_saddr);
        mapped_ipv4(key.remote, common->skc_daddr);
    } else if (family == AF_INET6) {
        struct in6_addr remote = common->skc_v6_daddr;
        if (is_mapped_ipv4(&remote)) {
            /* A dual-stack socket to an IPv4 address: tcp_v4_connect has set the IPv4 fields,
             * the IPv6 view of the local address is written only after this callback. */
            mapped_ipv4(key.local, common->skc_rcv_saddr);
            mapped_ipv4(key.remote, common->skc_daddr);
        } else {
            struct in6_addr local = common->skc_v6_rcv_saddr;
            __builtin_memcpy(key.local, &local, 16);
            __builtin_memcpy(key.remote, &remote, 16);
        }
    } else {
        return 1;
    }
    key.local_port = bpf_htons(common->skc_num);
    key.remote_port = common->skc_dport;

    struct wexo_owner_record record;
    __builtin_memset(&record, 0, sizeof(record));
    record_task(&record);
    /* The socket's user, as sock_diag reports it: the same answer the /proc path gives. */
    record.uid = sk->sk_uid.val;
    bpf_map_update_elem(&streams, &key, &record, BPF_ANY);
    return 1;
}

static __always_inline void record_datagram_socket(struct bpf_sock_addr* address) {
    if (address->protocol != IPPROTO_UDP || address->user_port != bpf_htons(WEXO_OWNER_DNS_PORT))
        return;
    __u64 cookie = bpf_get_socket_cookie(address);
    struct wexo_owner_record record;
    __builtin_memset(&record, 0, sizeof(record));
    record_task(&record);
    /* A socket that sends query after query keeps its record; only a new sender writes. */
    const struct wexo_owner_record* known = bpf_map_lookup_elem(&datagram_sockets, &cookie);
    if (known != 0 && known->tgid == record.tgid && known->tid == record.tid &&
        known->start_boottime_ns == record.start_boottime_ns)
        return;
    struct task_struct* task = bpf_get_current_task_btf();
    record.uid = task->cred->fsuid.val;
    bpf_map_update_elem(&datagram_sockets, &cookie, &record, BPF_ANY);
}

SEC("cgroup/connect4")
int record_connect4(struct bpf_sock_addr* address) {
    record_datagram_socket(address);
    return 1;
}

SEC("cgroup/connect6")
int record_connect6(struct bpf_sock_addr* address) {
    record_datagram_socket(address);
    return 1;
}

SEC("cgroup/sendmsg4")
int record_sendmsg4(struct bpf_sock_addr* address) {
    record_datagram_socket(address);
    return 1;
}

SEC("cgroup/sendmsg6")
int record_sendmsg6(struct bpf_sock_addr* address) {
    record_datagram_socket(address);
    return 1;
}

/* bpf_get_current_task_btf() is offered only to GPL-compatible programs. */
char LICENSE[] SEC("license") = "Dual BSD/GPL";
