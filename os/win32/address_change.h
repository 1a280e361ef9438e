// NotifyAddrChange over rtnetlink: a request arms an event that is set once when an IPv4 address
// is added to or removed from an interface of the caller's network namespace. As on Windows, whose
// notification covers the IPv4 address table only, IPv6 changes do not count; nor does a message
// about an address already there (the lifetime refreshes of DHCP renewals, flag changes), which
// the kernel reports with the same RTM_NEWADDR as an addition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "os/core/status.h"
#include "os/core/sync.h"

namespace os {

namespace detail {
struct ADDRESS_REQUEST;
}

// One request at a time, each with a netlink socket (subscribed to the kernel's IPv4 address
// group, in the namespace of the thread that calls Request), the IPv4 address table read when it
// was armed, and a thread that waits on the socket in poll(). The event belongs to the caller and
// must outlive the request: after Cancel, a new Request or the destructor, nothing touches it any
// more.
class ADDRESS_CHANGE_NOTIFICATION {
  public:
    ADDRESS_CHANGE_NOTIFICATION() = default;
    ~ADDRESS_CHANGE_NOTIFICATION();
    ADDRESS_CHANGE_NOTIFICATION(const ADDRESS_CHANGE_NOTIFICATION&) = delete;
    ADDRESS_CHANGE_NOTIFICATION& operator=(const ADDRESS_CHANGE_NOTIFICATION&) = delete;

    // Arms a request (cancelling the one before, done or not). The event is reset, as an
    // overlapped request resets its event when it starts, and set once when an IPv4 address that
    // the table does not hold is added (RTM_NEWADDR), or one is removed (RTM_DELADDR). When the
    // kernel's messages overflowed the socket the table is read again, and a difference counts.
    // Returns ERROR_IO_PENDING when armed, else the error (the mapped errno of the socket or of the
    // table's reading, ERROR_NOT_ENOUGH_MEMORY when no thread can be started).
    uint32_t Request(Event& event);
    // CancelIPChangeNotify: disarms the request. Returns at once but for joining the request's
    // thread, which is woken and ends without further work; its socket is closed.
    void Cancel();
    // Whether a request is armed and has not fired yet.
    bool IsPending() const;

  private:
    std::shared_ptr<detail::ADDRESS_REQUEST> request_;
};

// Test hook: as if the kernel reported an address change (sets the event of every armed request,
// which fires it).
void SimulateAddressChange();
// Test hook: waits, in real time and up to the limit, until at least count requests of the process
// are armed and not yet fired (so that a simulated change reaches them). True when they are.
bool WaitForAddressChangeRequests(size_t count, uint32_t milliseconds);

}  // namespace os
