// Small pieces the control sources (signals, logind) share: their threads block in poll() and are
// woken through an eventfd, and one may be ended from a handler running on that very thread.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <thread>

namespace os::detail {

// Wakes a thread polling the eventfd; a failed write only means it is awake already.
inline void WakeEventFd(int fd) {
    if (fd >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(fd, &one, sizeof one);
    }
}

// Joins the thread, unless the caller is that thread (a handler ending its own source): it then
// ends on its own once the handler returns.
inline void JoinUnlessSelf(std::thread& thread) {
    if (!thread.joinable()) {
        return;
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

}  // namespace os::detail
