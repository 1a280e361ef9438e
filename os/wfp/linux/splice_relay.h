// Relay processes for the connections the engine let pass. A passed connection is never inspected
// again, so its two sockets need not stay in the driver host: the proxy hands them over (by
// SCM_RIGHTS on a socket pair) to a relay, a process of its own that moves their bytes with
// splice(2) and reports how each one ended. Each relay has a descriptor table and a descriptor
// limit of its own, so the host's limit bounds only the connections it still inspects.
//
// The relay is forked from the host and runs nothing but its loop: the host's other descriptors
// are closed in it at once. It resets every connection it holds and ends when the host closes
// its end of the socket pair, or dies.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace os::wfplinux {

// Empty pipes kept for the next splice, so that a connection holds pipes only while bytes move
// (the proxy's and each relay's).
class PIPE_POOL {
  public:
    PIPE_POOL() = default;
    ~PIPE_POOL() { Clear(); }
    PIPE_POOL(const PIPE_POOL&) = delete;
    PIPE_POOL& operator=(const PIPE_POOL&) = delete;
    // A pipe from the pool or a new one; false (ends -1) when no pipe can be had.
    bool Take(int (&ends)[2]);
    // Back to the pool, or closed when the pool is full; the ends become -1.
    void Give(int (&ends)[2]);
    void Clear();

  private:
    std::mutex lock_;
    std::vector<std::array<int, 2>> pool_;
};

// How a relayed connection ended, as the relay reports it.
enum class RELAY_END : uint32_t {
    Closed = 0,  // both sides sent their FIN and it went on
    Reset = 1,   // a side was reset or failed, or the relay could not take the connection: both
                 // sides were reset
};

struct RELAY_REPORT {
    uint64_t token = 0;
    RELAY_END end = RELAY_END::Closed;
};

// A relay process as the host holds it.
struct SPLICE_RELAY {
    pid_t pid = -1;
    int control = -1;  // the host's end of the socket pair (non-blocking)
};

// Forks a relay; false with the reason in *why.
bool StartSpliceRelay(SPLICE_RELAY* relay, std::string* why);

// Hands a connection's two sockets to the relay (the host then closes its own copies); from then on
// they are reset when closed, unless they end cleanly in the relay. False when the relay cannot
// take them now (its socket is full, or it is gone): the host keeps them as they were.
bool HandToRelay(const SPLICE_RELAY& relay, uint64_t token, int clientFd, int upstreamFd);

// Closes a socket with a reset rather than a FIN: the peer learns at once that the connection is
// gone.
void CloseWithReset(int fd);

// Reads the relay's reports that are waiting, at most `room`; returns how many, or -1 once the
// relay is gone (its end closed or failed).
int ReadRelayReports(const SPLICE_RELAY& relay, RELAY_REPORT* reports, size_t room);

// Closes the host's end (the relay resets what it holds and ends) and waits for the relay, killing
// it when it takes longer than `waitMs`.
void StopSpliceRelay(SPLICE_RELAY* relay, int waitMs);

// The relay's loop, on `control`; returns when the host is gone. Public for the tests.
void RunSpliceRelay(int control);

}  // namespace os::wfplinux
