/* The records the connect-time program writes and the host reads. One header for both sides, so
 * that the kernel's and the host's view of a key or a record cannot drift apart. Plain C: it is
 * compiled for the BPF target against the kernel's own types as well as into the host. */
#pragma once

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

/* Datagrams are recorded only towards this port: the host asks for the owners of DNS queries
 * alone, and a socket that streams datagrams elsewhere would otherwise write a record per send. */
#define WEXO_OWNER_DNS_PORT 53

/* The most records of each kind, unless the loader sets another bound. A record is needed only
 * from a connect until the proxy accepts it, milliseconds later; the least recently used go first
 * when a map is full. */
#define WEXO_OWNER_MAX_STREAMS 16384
#define WEXO_OWNER_MAX_DATAGRAM_SOCKETS 4096

/* A TCP connection as its client socket sees it: both ends and the network namespace, whose
 * cookie keeps apart the same addresses and ports in two namespaces. IPv4 addresses are kept
 * IPv4-mapped (::ffff:a.b.c.d), as a dual-stack socket names them, so one key fits both forms. */
struct wexo_stream_key {
    __u64 netns;
    __u8 local[16];
    __u8 remote[16];
    __u16 local_port;  /* network byte order */
    __u16 remote_port; /* network byte order */
    __u32 zero;        /* padding, always 0: keys are compared byte by byte */
};

/* Who connected or sent: the process as the initial pid namespace numbers it. */
struct wexo_owner_record {
    __u32 tgid;
    __u32 tid;
    __u32 uid; /* TCP: the socket's user; UDP: the sender's file-system user */
    __u32 zero;
    __u64 cgroup;            /* the sender's cgroup v2 id */
    __u64 start_boottime_ns; /* the process's start, nanoseconds since boot */
};
