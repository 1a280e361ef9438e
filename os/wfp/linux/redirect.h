// What the transparent proxy needs of a socket beyond the ordinary calls: the mark that lets its
// own connections pass the redirect table, and where a redirected connection was going.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <span>
#include <string>

#include "os/wfp/ip_packet.h"

namespace os {

// The loopback address of a family (AF_INET or AF_INET6) with a port in host order.
sockaddr_storage LoopbackAddress(int family, uint16_t port);
// An address as the engine's tuples hold it, and its port in host order.
IP_ADDRESS_BYTES AddressBytes(const sockaddr_storage& address, uint16_t* port);
socklen_t AddressLength(const sockaddr_storage& address);

// A non-blocking socket of `type` bound to the loopback address of `family` (IPv6 only for
// AF_INET6) on `port` (0: one chosen now, given back in *bound); -1 with errno kept and the reason
// in *why. A redirect rewrites destinations to exactly this address, so the redirect's backends
// bind it rather than every address.
int BindLoopback(int family, int type, uint16_t port, uint16_t* bound, std::string* why);
// The same bound to every address of `family`: the listeners for forwarded traffic, which a
// redirect in the prerouting hook sends to the address of the interface it came in on.
int BindAny(int family, int type, uint16_t port, uint16_t* bound, std::string* why);

// The same address and port (an IPv4-mapped IPv6 address is its IPv4 one).
bool SameEndpoint(const sockaddr_storage& a, const sockaddr_storage& b);

// The value of the netlink attribute of `type` among `area`'s attributes (the nested-attribute
// flags ignored); empty when absent or when the attributes run past `area`.
std::span<const uint8_t> FindNetlinkAttribute(std::span<const uint8_t> area, uint16_t type);

// Whether the machine forwards what comes in on the interface that holds `local`, the address a
// redirect of forwarded traffic rewrote the destination to: for IPv4 that interface's forwarding
// switch, for IPv6 the switch of all interfaces (the only one the kernel asks). The redirect turns
// a packet that would be forwarded into one for this machine before the kernel decides whether it
// forwards at all, so without this a machine that routes for nobody would relay for anyone who
// sends it packets for elsewhere. Read in the calling thread's network namespace.
bool ForwardsFrom(const sockaddr_storage& local);

// Marks a socket (SO_MARK) before it connects or sends, so that the redirect table passes its
// traffic. ERROR_SUCCESS or the Win32 error of the failure (ERROR_ACCESS_DENIED without
// CAP_NET_ADMIN).
uint32_t SetSocketMark(int fd, uint32_t mark);

// The destination a redirected TCP connection's client asked for, as connection tracking recorded
// it before the redirect rewrote it (for a tracked connection that was not redirected, simply the
// address it was made to). An IPv4 connection accepted on a dual-stack socket comes back as
// AF_INET. ERROR_NOT_FOUND when connection tracking holds no entry for it, ERROR_INVALID_PARAMETER
// for a socket that is not a connected TCP socket.
uint32_t OriginalDestination(int fd, sockaddr_storage* destination);

// The same for a redirected UDP datagram, which has no connection to ask: connection tracking's
// entry for the exchange whose reply goes from `redirectedTo` (the local address and port the
// redirect rewrote the destination to) back to `client`. Both of one family. ERROR_NOT_FOUND
// when no entry is tracked, ERROR_INVALID_PARAMETER for addresses of different or unknown
// families, ERROR_ACCESS_DENIED without CAP_NET_ADMIN.
uint32_t OriginalDatagramDestination(const sockaddr_storage& client,
                                     const sockaddr_storage& redirectedTo,
                                     sockaddr_storage* destination);

}  // namespace os
