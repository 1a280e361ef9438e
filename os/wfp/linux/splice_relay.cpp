#include "os/wfp/linux/splice_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <vector>

namespace os::wfplinux {
namespace {

// What the host sends: a connection's token, with its two sockets (a connection to take) or
// without (a connection to reset, which the host ended itself).
struct HAND_OVER {
    uint64_t token = 0;
};

constexpr uint64_t kControlTag = ~0ull;
constexpr size_t kMoveChunk = 256 * 1024;
constexpr int kPipeSize = 1 << 20;
constexpr size_t kPipePoolSize = 64;
// The descriptor the relay's end of the socket pair takes in the relay.
constexpr int kRelayControlFd = 3;

void SetLinger(int fd, bool resetOnClose) {
    linger how{resetOnClose ? 1 : 0, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &how, sizeof how);
}

// One relayed connection: side 0 is the client's socket, side 1 the upstream one. What one side
// sends waits in its pipe until the other side takes it.
struct PAIR {
    uint64_t token = 0;
    int fd[2] = {-1, -1};
    int pipe[2][2] = {{-1, -1}, {-1, -1}};
    size_t inPipe[2] = {0, 0};
    bool readEnded[2] = {false, false};
    bool finSent[2] = {false, false};
    bool hungUp[2] = {false, false};
    bool watched[2] = {true, true};  // in the epoll set
    uint32_t interest[2] = {EPOLLIN, EPOLLIN};
};

class RELAY_LOOP {
  public:
    explicit RELAY_LOOP(int control) : control_(control) {}
    ~RELAY_LOOP() {
        if (epoll_ >= 0) {
            close(epoll_);
        }
    }

    void Run() {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        epoll_event control{EPOLLIN, {.u64 = kControlTag}};
        if (epoll_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, control_, &control) != 0) {
            return;
        }
        epoll_event events[128];
        while (!hostGone_) {
            const int n = epoll_wait(epoll_, events, 128, -1);
            if (n < 0 && errno != EINTR) {
                break;
            }
            for (int i = 0; i < n && !hostGone_; ++i) {
                const uint64_t tag = events[i].data.u64;
                if (tag == kControlTag) {
                    TakeFromHost();
                    continue;
                }
                auto it = pairs_.find(tag >> 1);
                if (it == pairs_.end()) {
                    continue;  // ended earlier in this batch
                }
                const int side = static_cast<int>(tag & 1);
                if ((events[i].events & (EPOLLERR | EPOLLHUP)) != 0) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    getsockopt(it->second.fd[side], SOL_SOCKET, SO_ERROR, &error, &length);
                    if (error != 0) {
                        Finish(it, RELAY_END::Reset);
                        continue;
                    }
                    it->second.hungUp[side] = true;
                }
                Step(it);
            }
        }
        // The host is gone: nothing here can be accounted for any more.
        while (!pairs_.empty()) {
            Finish(pairs_.begin(), RELAY_END::Reset, false);
        }
    }

  private:
    using ITERATOR = std::unordered_map<uint64_t, PAIR>::iterator;

    void TakeFromHost() {
        for (;;) {
            HAND_OVER message;
            iovec data{&message, sizeof message};
            alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
            msghdr header{};
            header.msg_iov = &data;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(control_, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return;
            }
            if (n <= 0) {
                hostGone_ = true;
                return;
            }
            std::vector<int> fds;
            for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                    for (size_t i = 0; i < count; ++i) {
                        int fd;
                        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                        fds.push_back(fd);
                    }
                }
            }
            const bool truncated = (header.msg_flags & MSG_CTRUNC) != 0;
            if (static_cast<size_t>(n) != sizeof message) {
                for (int fd : fds) {
                    close(fd);
                }
                continue;  // not this protocol: nothing to answer
            }
            if (fds.empty() && !truncated) {
                auto it = pairs_.find(message.token);
                if (it != pairs_.end()) {
                    Finish(it, RELAY_END::Reset, false);  // the host ended it already
                }
                continue;
            }
            if (fds.size() != 2 || truncated || pairs_.count(message.token) != 0) {
                // Descriptors the kernel could not give this process (its limit): the connection
                // is lost, and its sockets with it.
                for (int fd : fds) {
                    CloseWithReset(fd);
                }
                Report(message.token, RELAY_END::Reset);
                continue;
            }
            auto [it, added] = pairs_.try_emplace(message.token);
            PAIR& pair = it->second;
            pair.token = message.token;
            for (int side : {0, 1}) {
                // They come set to reset when closed (HandToRelay): closed by anything but a clean
                // end (this relay killed, say), the connection is reset, so that its peers do not
                // take a cut-off stream for a whole one.
                pair.fd[side] = fds[side];
                epoll_event event{EPOLLIN,
                                  {.u64 = (message.token << 1) | static_cast<uint64_t>(side)}};
                epoll_ctl(epoll_, EPOLL_CTL_ADD, pair.fd[side], &event);
            }
            Step(it);  // bytes may be waiting already
        }
    }

    // Moves whatever can move now, both ways.
    void Step(ITERATOR it) {
        PAIR& p = it->second;
        for (int side : {0, 1}) {
            const int other = 1 - side;
            if (!Flush(p, side)) {
                Finish(it, RELAY_END::Reset);
                return;
            }
            if (!p.readEnded[side] && p.inPipe[side] == 0) {
                if (p.pipe[side][0] < 0 && !pipes_.Take(p.pipe[side])) {
                    Finish(it, RELAY_END::Reset);  // no descriptors for a pipe
                    return;
                }
                const ssize_t n = splice(p.fd[side], nullptr, p.pipe[side][1], nullptr, kMoveChunk,
                                         SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
                if (n > 0) {
                    p.inPipe[side] += static_cast<size_t>(n);
                    if (!Flush(p, side)) {
                        Finish(it, RELAY_END::Reset);
                        return;
                    }
                } else if (n == 0) {
                    p.readEnded[side] = true;
                } else if (errno != EAGAIN && errno != EINTR) {
                    Finish(it, RELAY_END::Reset);
                    return;
                }
            }
            if (p.inPipe[side] == 0) {
                pipes_.Give(p.pipe[side]);
                if (p.readEnded[side] && !p.finSent[other]) {
                    shutdown(p.fd[other], SHUT_WR);
                    p.finSent[other] = true;
                }
            }
        }
        if (p.readEnded[0] && p.readEnded[1] && p.finSent[0] && p.finSent[1]) {
            Finish(it, RELAY_END::Closed);
            return;
        }
        UpdateInterest(p, 0);
        UpdateInterest(p, 1);
    }

    // What side's pipe holds goes to the other side's socket, as far as it takes it.
    static bool Flush(PAIR& p, int side) {
        while (p.inPipe[side] > 0) {
            const ssize_t n = splice(p.pipe[side][0], nullptr, p.fd[1 - side], nullptr,
                                     p.inPipe[side], SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                p.inPipe[side] -= static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return true;
            } else {
                return false;
            }
        }
        return true;
    }

    void UpdateInterest(PAIR& p, int side) {
        uint32_t events = 0;
        if (!p.readEnded[side] && p.inPipe[side] == 0) {
            events |= EPOLLIN;
        }
        if (p.inPipe[1 - side] > 0) {
            events |= EPOLLOUT;
        }
        epoll_event event{events, {.u64 = (p.token << 1) | static_cast<uint64_t>(side)}};
        if (events == 0 && p.hungUp[side]) {
            // epoll reports a hang-up whatever the mask: a socket with nothing to do now leaves
            // the set until it has (its next read or write then finds out what is left).
            if (p.watched[side]) {
                epoll_ctl(epoll_, EPOLL_CTL_DEL, p.fd[side], nullptr);
                p.watched[side] = false;
            }
            return;
        }
        if (!p.watched[side]) {
            epoll_ctl(epoll_, EPOLL_CTL_ADD, p.fd[side], &event);
            p.watched[side] = true;
        } else if (events != p.interest[side]) {
            epoll_ctl(epoll_, EPOLL_CTL_MOD, p.fd[side], &event);
        }
        p.interest[side] = events;
    }

    void Finish(ITERATOR it, RELAY_END end, bool report = true) {
        PAIR& p = it->second;
        for (int side : {0, 1}) {
            if (p.watched[side]) {
                epoll_ctl(epoll_, EPOLL_CTL_DEL, p.fd[side], nullptr);
            }
            if (end == RELAY_END::Closed) {
                SetLinger(p.fd[side], false);  // what is still queued goes out after the FIN
            }
            close(p.fd[side]);
            for (int& fd : p.pipe[side]) {
                if (fd >= 0) {
                    close(fd);
                }
            }
        }
        const uint64_t token = p.token;
        pairs_.erase(it);
        if (report) {
            Report(token, end);
        }
    }

    void Report(uint64_t token, RELAY_END end) {
        RELAY_REPORT report{token, end};
        // Blocking: the host reads its reports on its loop, and a report must not be lost.
        while (send(control_, &report, sizeof report, MSG_NOSIGNAL) < 0) {
            if (errno == EAGAIN) {
                pollfd wait{control_, POLLOUT, 0};
                poll(&wait, 1, 100);
            } else if (errno != EINTR) {
                hostGone_ = true;
                return;
            }
        }
    }

    const int control_;
    int epoll_ = -1;
    bool hostGone_ = false;
    std::unordered_map<uint64_t, PAIR> pairs_;
    PIPE_POOL pipes_;
};

}  // namespace

bool PIPE_POOL::Take(int (&ends)[2]) {
    {
        std::lock_guard guard(lock_);
        if (!pool_.empty()) {
            ends[0] = pool_.back()[0];
            ends[1] = pool_.back()[1];
            pool_.pop_back();
            return true;
        }
    }
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        ends[0] = ends[1] = -1;
        return false;
    }
    fcntl(ends[1], F_SETPIPE_SZ, kPipeSize);  // fewer, larger moves; best effort
    return true;
}

void PIPE_POOL::Give(int (&ends)[2]) {
    if (ends[0] < 0) {
        return;
    }
    {
        std::lock_guard guard(lock_);
        if (pool_.size() < kPipePoolSize) {
            pool_.push_back({ends[0], ends[1]});
            ends[0] = ends[1] = -1;
            return;
        }
    }
    close(ends[0]);
    close(ends[1]);
    ends[0] = ends[1] = -1;
}

void PIPE_POOL::Clear() {
    std::lock_guard guard(lock_);
    for (auto& ends : pool_) {
        close(ends[0]);
        close(ends[1]);
    }
    pool_.clear();
}

void RunSpliceRelay(int control) {
    RELAY_LOOP loop(control);
    loop.Run();
}

bool StartSpliceRelay(SPLICE_RELAY* relay, std::string* why) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        *why = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        *why = std::string("fork: ") + std::strerror(errno);
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    if (pid == 0) {
        // The relay keeps its end of the pair and the standard streams, nothing of the host's:
        // not its listeners, and not the sockets of the connections it still inspects.
        if (dup2(ends[1], kRelayControlFd) < 0) {
            _exit(1);
        }
        close_range(kRelayControlFd + 1, ~0u, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD}) {
            ::signal(signal, SIG_DFL);
        }
        ::signal(SIGPIPE, SIG_IGN);  // a write to a peer gone is an error, not the relay's end
        prctl(PR_SET_NAME, "wexo-relay");
        RunSpliceRelay(kRelayControlFd);
        _exit(0);
    }
    close(ends[1]);
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    // Room for a burst of hand-overs (many connections passing at once): past the system's
    // ceiling where the privilege to pass it is there, best effort.
    const int room = 4 << 20;
    if (setsockopt(ends[0], SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) != 0) {
        setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    }
    relay->pid = pid;
    relay->control = ends[0];
    return true;
}

bool HandToRelay(const SPLICE_RELAY& relay, uint64_t token, int clientFd, int upstreamFd) {
    HAND_OVER message{token};
    iovec data{&message, sizeof message};
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    if (clientFd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(2 * sizeof(int));
        const int fds[2] = {clientFd, upstreamFd};
        std::memcpy(CMSG_DATA(rights), fds, sizeof fds);
        // Set before they travel: a relay that dies before it has taken them off its socket drops
        // them there, and a FIN then would pass for the end of a response.
        SetLinger(clientFd, true);
        SetLinger(upstreamFd, true);
    }
    if (sendmsg(relay.control, &header, MSG_DONTWAIT | MSG_NOSIGNAL) ==
        static_cast<ssize_t>(sizeof message)) {
        return true;
    }
    if (clientFd >= 0) {
        SetLinger(clientFd, false);  // still the host's, to close cleanly when that is their end
        SetLinger(upstreamFd, false);
    }
    return false;
}

void CloseWithReset(int fd) {
    SetLinger(fd, true);
    close(fd);
}

int ReadRelayReports(const SPLICE_RELAY& relay, RELAY_REPORT* reports, size_t room) {
    size_t count = 0;
    while (count < room) {
        const ssize_t n = recv(relay.control, &reports[count], sizeof reports[count], MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        }
        if (n <= 0) {
            return -1;
        }
        if (static_cast<size_t>(n) == sizeof reports[count]) {
            ++count;
        }
    }
    return static_cast<int>(count);
}

void StopSpliceRelay(SPLICE_RELAY* relay, int waitMs) {
    if (relay->control >= 0) {
        close(relay->control);
        relay->control = -1;
    }
    if (relay->pid <= 0) {
        return;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (waitpid(relay->pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(relay->pid, SIGKILL);
            waitpid(relay->pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    relay->pid = -1;
}

}  // namespace os::wfplinux
