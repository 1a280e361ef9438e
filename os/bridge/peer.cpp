#include "os/bridge/peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "os/core/clock.h"
#include "os/core/sid.h"
#include "os/core/status.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5; older C libraries do not name it
#endif

namespace os::bridge {
namespace {

std::string ErrnoText(int err) {
    return std::strerror(err);
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The clock of the peers' time-outs: os/'s, so that a test moves it instead of waiting.
int64_t ClockMs() {
    return static_cast<int64_t>(GetTickCount64());
}

// How often a wait looks at a virtual clock, which moves only when a test moves it.
constexpr int64_t kVirtualClockSliceMs = 5;

// Waits for `events` on the socket until the deadline on the clock `now` (-1: none). 1 ready, 0
// timed out, -1 error.
int WaitFor(int fd, short events, int64_t deadline, int64_t (*now)() = ClockMs) {
    for (;;) {
        int timeout = -1;
        bool sliced = false;
        if (deadline >= 0) {
            const int64_t remaining = std::max<int64_t>(0, deadline - now());
            sliced = now == ClockMs && remaining > 0 && ActiveClock().IsVirtual();
            timeout =
                static_cast<int>(sliced ? std::min(remaining, kVirtualClockSliceMs) : remaining);
        }
        pollfd entry{fd, events, 0};
        int ready = ::poll(&entry, 1, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -1;
        if (ready == 0) {
            if (sliced)
                continue;
            return 0;
        }
        return 1;  // readable, writable, or hung up / in error: the next call tells which
    }
}

// WaitFor as a frame's status: Ok once ready, TimedOut at the deadline, Failed on an error.
FRAME_STATUS AwaitReady(int fd, short events, int64_t deadline) {
    const int ready = WaitFor(fd, events, deadline);
    return ready > 0    ? FRAME_STATUS::Ok
           : ready == 0 ? FRAME_STATUS::TimedOut
                        : FRAME_STATUS::Failed;
}

bool ReadSmallFile(const std::string& path, std::string* text) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    *text = content.str();
    return true;
}

// True while the pidfd's process has not exited (a pidfd becomes readable when it exits).
bool PidfdRunning(int pidfd) {
    pollfd entry{pidfd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready == 0;
}

// Pins `pid` by the pidfd given (or opened now) and records its start time.
bool PinProcess(pid_t pid, UNIQUE_FD pidfd, PEER_IDENTITY* peer, std::string* why) {
    if (!pidfd.IsValid()) {
        // The system call itself: some C libraries declare the wrapper without C linkage.
        pidfd.Reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        if (!pidfd.IsValid()) {
            *why = "pidfd_open(" + std::to_string(pid) + "): " + ErrnoText(errno);
            return false;
        }
    }
    const uint64_t startTime = ProcessStartTime(pid);
    // Still running after the read: the pid was not reused between the pidfd and the read, so the
    // start time is the pidfd's process's own.
    if (startTime == 0 || !PidfdRunning(pidfd.Get())) {
        *why = "process " + std::to_string(pid) + " ended";
        return false;
    }
    peer->pid = pid;
    peer->startTime = startTime;
    ::fcntl(pidfd.Get(), F_SETFD, FD_CLOEXEC);
    peer->pidfd = std::make_shared<UNIQUE_FD>(std::move(pidfd));
    return true;
}

}  // namespace

// ---- Runtime folder ----

std::string RuntimeDirectory() {
    const char* value = std::getenv(kRuntimeDirectoryVariable);
    if (value != nullptr && *value != '\0')
        return value;
    return kDefaultRuntimeDirectory;
}

namespace {

// Whether a folder lets nobody but root and this user take, rename or replace what is in it.
bool KeepsOthersOut(const struct stat& info) {
    const bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return (info.st_uid == 0 || info.st_uid == ::geteuid()) &&
           (!othersWrite || (info.st_mode & S_ISVTX) != 0);
}

// The folders above `path`, as written (each prefix) and as resolved (each prefix of the real
// path of its parent): a symbolic link on the way is as safe as the folder it is in, and its
// target as safe as the folders it resolves to.
uint32_t CheckFoldersAbove(const std::string& path, std::string* why) {
    std::string absolute = path;
    if (absolute.front() != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) == nullptr) {
            *why = std::string("getcwd: ") + ErrnoText(errno);
            return Win32ErrorFromErrno(errno);
        }
        absolute = std::string(cwd) + "/" + absolute;
    }
    while (absolute.size() > 1 && absolute.back() == '/')
        absolute.pop_back();
    const std::string parent = absolute.substr(0, std::max<size_t>(1, absolute.rfind('/')));
    char resolved[PATH_MAX];
    if (::realpath(parent.c_str(), resolved) == nullptr) {
        *why = "runtime folder \"" + path + "\": " + ErrnoText(errno);
        return Win32ErrorFromErrno(errno);
    }
    for (const std::string& chain : {parent, std::string(resolved)}) {
        for (size_t end = chain.size();;) {
            const std::string folder = end == 0 ? "/" : chain.substr(0, end);
            struct stat info {};
            if (::lstat(folder.c_str(), &info) != 0) {
                *why = "folder \"" + folder + "\": " + ErrnoText(errno);
                return Win32ErrorFromErrno(errno);
            }
            if (S_ISDIR(info.st_mode) && !KeepsOthersOut(info)) {
                char mode[8];
                std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777);
                *why = "folder \"" + folder + "\" above the runtime folder can be changed by " +
                       "others (uid " + std::to_string(info.st_uid) + ", mode " + mode + ")";
                return ERROR_ACCESS_DENIED;
            }
            if (end == 0 || folder == "/")
                break;
            end = chain.rfind('/', end - 1);
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

uint32_t PrepareRuntimeDirectory(const std::string& path, std::string* why) {
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    if (path.empty()) {
        reason = "no runtime folder";
        return ERROR_INVALID_PARAMETER;
    }
    // Before anything is made there; a missing parent is reported by the mkdir below.
    const uint32_t above = CheckFoldersAbove(path, &reason);
    if (above != ERROR_SUCCESS && above != ERROR_FILE_NOT_FOUND && above != ERROR_PATH_NOT_FOUND)
        return above;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) {
            reason = "runtime folder \"" + path + "\": " + ErrnoText(errno);
            return Win32ErrorFromErrno(errno);
        }
        // mkdir applies the umask; chmod afterwards gives exactly 0755.
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            const int err = errno;
            reason = "cannot create the runtime folder \"" + path + "\": " + ErrnoText(err);
            return err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err);
        }
        ::chmod(path.c_str(), 0755);
        if (::lstat(path.c_str(), &info) != 0) {
            reason = "runtime folder \"" + path + "\": " + ErrnoText(errno);
            return Win32ErrorFromErrno(errno);
        }
    }
    if (!S_ISDIR(info.st_mode)) {
        reason = "runtime folder \"" + path + "\" is not a folder";
        return ERROR_ACCESS_DENIED;
    }
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
        reason = "runtime folder \"" + path + "\" is owned by uid " + std::to_string(info.st_uid) +
                 ", neither root nor this process's user";
        return ERROR_ACCESS_DENIED;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        reason = "runtime folder \"" + path + "\" is writable by others";
        return ERROR_ACCESS_DENIED;
    }
    return CheckFoldersAbove(path, &reason);  // the folders above, now that they all exist
}

// ---- File descriptors ----

UNIQUE_FD& UNIQUE_FD::operator=(UNIQUE_FD&& other) noexcept {
    if (this != &other)
        Reset(other.Release());
    return *this;
}

int UNIQUE_FD::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UNIQUE_FD::Reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

// ---- Peer identity ----

uint64_t ProcessStartTime(pid_t pid) {
    if (pid <= 0)
        return 0;
    std::string text;
    if (!ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", &text))
        return 0;
    // The command name is in parentheses and may hold anything, ")" included: fields are counted
    // from the last ")". Field 3 (state) follows it; the start time is field 22.
    size_t end = text.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(end + 1));
    std::string field;
    for (int number = 3; number <= 22; ++number) {
        if (!(fields >> field))
            return 0;
    }
    char* rest = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(field.c_str(), &rest, 10);
    if (errno != 0 || rest == field.c_str() || *rest != '\0')
        return 0;
    return value;
}

bool IdentifyPeer(int socket, PEER_IDENTITY* peer, std::string* why) {
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        reason = "SO_PEERCRED: " + ErrnoText(errno);
        return false;
    }
    if (credentials.pid <= 0) {
        reason = "the peer has no process";
        return false;
    }
    int pidfd = -1;
    length = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0)
        pidfd = -1;  // an older kernel: pidfd_open of the pid
    PEER_IDENTITY found;
    found.uid = credentials.uid;
    found.gid = credentials.gid;
    if (!PinProcess(credentials.pid, UNIQUE_FD(pidfd), &found, &reason))
        return false;
    *peer = std::move(found);
    return true;
}

bool IdentifyProcess(pid_t pid, PEER_IDENTITY* peer, std::string* why) {
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    PEER_IDENTITY found;
    if (!PinProcess(pid, UNIQUE_FD(), &found, &reason))
        return false;
    struct stat info {};
    if (::stat(("/proc/" + std::to_string(pid)).c_str(), &info) != 0) {
        reason = "process " + std::to_string(pid) + ": " + ErrnoText(errno);
        return false;
    }
    found.uid = info.st_uid;
    found.gid = info.st_gid;
    *peer = std::move(found);
    return true;
}

bool IsSameProcess(const PEER_IDENTITY& peer) {
    if (peer.pidfd == nullptr || !peer.pidfd->IsValid() || peer.startTime == 0)
        return false;
    if (!PidfdRunning(peer.pidfd->Get()))
        return false;
    return ProcessStartTime(peer.pid) == peer.startTime;
}

uint32_t PeerSessionId(pid_t pid, uid_t uid) {
    constexpr unsigned long long kNoLoginSession = 4294967295ull;
    std::string text;
    if (ReadSmallFile("/proc/" + std::to_string(pid) + "/sessionid", &text)) {
        char* rest = nullptr;
        errno = 0;
        unsigned long long value = std::strtoull(text.c_str(), &rest, 10);
        if (errno == 0 && rest != text.c_str() && value < kNoLoginSession)
            return static_cast<uint32_t>(value);
    }
    return uid == 0 ? 0 : 1;
}

namespace {

struct PeerTable {
    std::mutex lock;
    std::map<std::pair<pid_t, uint64_t>, std::weak_ptr<PEER_PROCESS>> peers;
};

PeerTable& Peers() {
    static PeerTable* table = new PeerTable();
    return *table;
}

// The executable as the process table names images: the Linux path under "C:" with backslashes.
std::string ImagePathOf(pid_t pid) {
    std::vector<char> buffer(4096);
    ssize_t got = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buffer.data(),
                             buffer.size() - 1);
    if (got <= 0)
        return {};
    std::string path = "C:";
    for (ssize_t i = 0; i < got; ++i)
        path.push_back(buffer[static_cast<size_t>(i)] == '/' ? '\\'
                                                             : buffer[static_cast<size_t>(i)]);
    return path;
}

thread_local const PEER_PROCESS* tQuestionedPeer = nullptr;
thread_local PEER_QUESTIONS* tQuestions = nullptr;

class PEER_REMOTE final : public PROCESS_REMOTE {
  public:
    explicit PEER_REMOTE(PEER_IDENTITY peer) : peer_(std::move(peer)) {}
    void SetOwner(const PEER_PROCESS* owner) { owner_ = owner; }

    int MemoryPid() const override {
        // Checked on every request: once the peer is gone its pid may name another process. The
        // pidfd alone suffices here: it was pinned to this very process when the peer connected,
        // and while it has not exited its pid cannot belong to anyone else.
        const bool running =
            peer_.pidfd != nullptr && peer_.pidfd->IsValid() && PidfdRunning(peer_.pidfd->Get());
        return running ? static_cast<int>(peer_.pid) : -1;
    }
    uint64_t CommitRegion(size_t size) override {
        PEER_QUESTIONS* questions = Questions();
        return questions != nullptr ? questions->CommitRegion(size) : 0;
    }
    NTSTATUS ImportHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                          std::shared_ptr<void>* object) override {
        PEER_QUESTIONS* questions = Questions();
        return questions != nullptr ? questions->ImportHandle(handle, desiredAccess, type, object)
                                    : STATUS_INVALID_HANDLE;
    }

  private:
    // Only a request of this peer, on the thread that serves it, may ask the peer anything.
    PEER_QUESTIONS* Questions() const {
        return tQuestionedPeer == owner_ && owner_ != nullptr ? tQuestions : nullptr;
    }
    const PEER_IDENTITY peer_;
    const PEER_PROCESS* owner_ = nullptr;
};

}  // namespace

SCOPED_PEER_QUESTIONS::SCOPED_PEER_QUESTIONS(const PEER_PROCESS& peer, PEER_QUESTIONS& questions)
    : previousPeer_(tQuestionedPeer), previousQuestions_(tQuestions) {
    tQuestionedPeer = &peer;
    tQuestions = &questions;
}

SCOPED_PEER_QUESTIONS::~SCOPED_PEER_QUESTIONS() {
    tQuestionedPeer = previousPeer_;
    tQuestions = previousQuestions_;
}

std::shared_ptr<PEER_PROCESS> PEER_PROCESS::Attach(const PEER_IDENTITY& peer) {
    PeerTable& table = Peers();
    // A retired stand-in ends after the table's lock is let go (its destructor takes the lock).
    std::shared_ptr<PEER_PROCESS> retired;
    std::lock_guard guard(table.lock);
    const auto key = std::make_pair(peer.pid, peer.startTime);
    for (auto it = table.peers.begin(); it != table.peers.end();) {
        if (it->first.first != peer.pid) {
            ++it;
            continue;
        }
        if (it->first == key) {
            if (auto existing = it->second.lock())
                return existing;
        } else if (auto stale = it->second.lock()) {
            // The pid names a new process, so the one it named has ended: its stand-in's handles
            // are closed now and its id is free for the new one.
            if (LookupProcess(stale->ProcessId()) == stale->Process())
                TerminateProcess(stale->ProcessId());
            retired = std::move(stale);
        }
        it = table.peers.erase(it);
    }
    const uint32_t session = PeerSessionId(peer.pid, peer.uid);
    const bool host = peer.pid == ::getpid();
    std::shared_ptr<PROCESS> process =
        host ? CreateProcess(UnixUserSid(peer.uid), session, ImagePathOf(peer.pid))
             : CreateProcessWithId(static_cast<uint32_t>(peer.pid), UnixUserSid(peer.uid), session,
                                   ImagePathOf(peer.pid));
    if (process == nullptr)
        return nullptr;
    process->SetAuthenticationId(peer.uid == 0 ? kSystemLogonId : DefaultLogonId(session));
    std::shared_ptr<PEER_PROCESS> attached(new PEER_PROCESS(peer, process));
    if (!host) {
        auto remote = std::make_shared<PEER_REMOTE>(peer);
        remote->SetOwner(attached.get());
        process->SetRemote(std::move(remote));
    }
    table.peers[key] = attached;
    return attached;
}

PEER_PROCESS::~PEER_PROCESS() {
    PeerTable& table = Peers();
    std::lock_guard guard(table.lock);
    auto it = table.peers.find({peer_.pid, peer_.startTime});
    if (it != table.peers.end() && it->second.expired())
        table.peers.erase(it);
    // A retired stand-in's id may already belong to its successor.
    if (LookupProcess(process_->Id()) == process_)
        TerminateProcess(process_->Id());
    else
        process_->Terminate();
}

// ---- Frames ----

const char* FrameStatusText(FRAME_STATUS status) {
    switch (status) {
        case FRAME_STATUS::Ok:
            return "ok";
        case FRAME_STATUS::Closed:
            return "closed";
        case FRAME_STATUS::Cut:
            return "cut off inside a frame";
        case FRAME_STATUS::TooLarge:
            return "frame too large";
        case FRAME_STATUS::TimedOut:
            return "timed out";
        case FRAME_STATUS::Failed:
            break;
    }
    return "failed";
}

namespace {

// Receives up to `size` bytes; descriptors that arrive are appended to *fds. >0 bytes, 0 at the
// end of the stream, -1 when nothing is there yet (EAGAIN), -2 on an error.
ssize_t ReceiveSome(int socket, uint8_t* buffer, size_t size, std::vector<UNIQUE_FD>* fds,
                    bool* descriptorsLost) {
    iovec io{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFrameDescriptors)];
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : -2;
    if ((message.msg_flags & MSG_CTRUNC) != 0)
        *descriptorsLost = true;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (fds != nullptr && fds->size() < kMaxFrameDescriptors)
                fds->emplace_back(fd);
            else
                ::close(fd);
        }
    }
    return got;
}

// Reads a frame's payload on from what *payload holds to `length` bytes, growing it as the bytes
// come, so that a length alone, with nothing after it, costs nothing.
FRAME_STATUS ReceiveRest(int socket, std::vector<uint8_t>& payload, size_t length,
                         std::vector<UNIQUE_FD>* fds, bool* lost, int64_t deadline) {
    constexpr size_t kFirstGrowth = 64 * 1024;
    size_t done = payload.size();
    while (done < length) {
        if (done == payload.size())
            payload.resize(std::min<size_t>(length, std::max(kFirstGrowth, 2 * done)));
        ssize_t got = ReceiveSome(socket, payload.data() + done, payload.size() - done, fds, lost);
        if (got > 0) {
            done += static_cast<size_t>(got);
            continue;
        }
        if (got == 0)
            return FRAME_STATUS::Cut;
        if (got == -2)
            return FRAME_STATUS::Failed;
        if (const FRAME_STATUS waited = AwaitReady(socket, POLLIN, deadline);
            waited != FRAME_STATUS::Ok)
            return waited;
    }
    return FRAME_STATUS::Ok;
}

}  // namespace

FRAME_STATUS ReadFrame(int socket, std::vector<uint8_t>& payload, std::vector<UNIQUE_FD>* fds,
                       const FRAME_OPTIONS& options, int idleTimeoutMs) {
    payload.clear();
    if (fds != nullptr)
        fds->clear();
    uint8_t header[kFrameHeaderSize];
    size_t have = 0;
    bool lost = false;
    int64_t deadline = idleTimeoutMs < 0 ? -1 : ClockMs() + idleTimeoutMs;
    // The header, then the payload; the mid-frame clock starts with the first byte.
    while (have < kFrameHeaderSize) {
        ssize_t got = ReceiveSome(socket, header + have, kFrameHeaderSize - have, fds, &lost);
        if (got > 0) {
            if (have == 0)
                deadline = ClockMs() + options.midFrameTimeoutMs;
            have += static_cast<size_t>(got);
            continue;
        }
        if (got == 0)
            return have == 0 ? FRAME_STATUS::Closed : FRAME_STATUS::Cut;
        if (got == -2)
            return FRAME_STATUS::Failed;
        if (const FRAME_STATUS waited = AwaitReady(socket, POLLIN, deadline);
            waited != FRAME_STATUS::Ok)
            return waited;
    }
    const uint32_t length =
        static_cast<uint32_t>(header[0]) | (static_cast<uint32_t>(header[1]) << 8) |
        (static_cast<uint32_t>(header[2]) << 16) | (static_cast<uint32_t>(header[3]) << 24);
    if (length > options.maxPayload)
        return FRAME_STATUS::TooLarge;
    if (FRAME_STATUS status = ReceiveRest(socket, payload, length, fds, &lost, deadline);
        status != FRAME_STATUS::Ok)
        return status;
    // Descriptors the control buffer could not hold were closed by the kernel: the frame is not
    // what its sender meant.
    return lost ? FRAME_STATUS::Failed : FRAME_STATUS::Ok;
}

FRAME_STATUS FRAME_READER::Fill(std::vector<UNIQUE_FD>* fds, bool* lost, int64_t deadline) {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (begin_ != 0) {
        std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    // A connection that waits for its peer's next frame rarely finds it there already: waiting
    // first saves the read that would only say so.
    bool wait = end_ == 0;
    for (;;) {
        if (wait) {
            if (const FRAME_STATUS waited = AwaitReady(socket_, POLLIN, deadline);
                waited != FRAME_STATUS::Ok)
                return waited;
        }
        ssize_t got = ReceiveSome(socket_, buffer_ + end_, kBufferSize - end_, fds, lost);
        if (got > 0) {
            end_ += static_cast<size_t>(got);
            return FRAME_STATUS::Ok;
        }
        if (got == 0)
            return FRAME_STATUS::Closed;
        if (got == -2)
            return FRAME_STATUS::Failed;
        wait = true;
    }
}

FRAME_STATUS FRAME_READER::Read(std::vector<uint8_t>& payload, std::vector<UNIQUE_FD>* fds,
                                const FRAME_OPTIONS& options, int idleTimeoutMs) {
    payload.clear();
    if (fds != nullptr)
        fds->clear();
    bool lost = false;
    // The mid-frame clock starts with the frame's first byte, which may be here already.
    int64_t deadline = Buffered() != 0     ? ClockMs() + options.midFrameTimeoutMs
                       : idleTimeoutMs < 0 ? -1
                                           : ClockMs() + idleTimeoutMs;
    while (Buffered() < kFrameHeaderSize) {
        const bool begun = Buffered() != 0;
        FRAME_STATUS status = Fill(fds, &lost, deadline);
        if (status == FRAME_STATUS::Closed)
            return begun ? FRAME_STATUS::Cut : FRAME_STATUS::Closed;
        if (status != FRAME_STATUS::Ok)
            return status;
        if (!begun)
            deadline = ClockMs() + options.midFrameTimeoutMs;
    }
    const uint8_t* header = buffer_ + begin_;
    const uint32_t length =
        static_cast<uint32_t>(header[0]) | (static_cast<uint32_t>(header[1]) << 8) |
        (static_cast<uint32_t>(header[2]) << 16) | (static_cast<uint32_t>(header[3]) << 24);
    if (length > options.maxPayload)
        return FRAME_STATUS::TooLarge;
    begin_ += kFrameHeaderSize;
    // What the buffer holds of the payload, then the rest straight into it.
    const size_t first = std::min<size_t>(length, Buffered());
    payload.assign(buffer_ + begin_, buffer_ + begin_ + first);
    begin_ += first;
    if (FRAME_STATUS status = ReceiveRest(socket_, payload, length, fds, &lost, deadline);
        status != FRAME_STATUS::Ok)
        return status;
    return lost ? FRAME_STATUS::Failed : FRAME_STATUS::Ok;
}

FRAME_STATUS WriteFrame(int socket, std::span<const uint8_t> payload, std::span<const int> fds,
                        const FRAME_OPTIONS& options) {
    if (payload.size() > UINT32_MAX || fds.size() > kMaxFrameDescriptors)
        return FRAME_STATUS::TooLarge;
    const auto length = static_cast<uint32_t>(payload.size());
    const uint8_t header[kFrameHeaderSize] = {
        static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
        static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    const int64_t deadline = ClockMs() + options.writeTimeoutMs;
    size_t sent = 0;  // of header and payload together
    const size_t total = kFrameHeaderSize + payload.size();
    while (sent < total) {
        iovec io[2];
        int count = 0;
        if (sent < kFrameHeaderSize) {
            io[count++] = {const_cast<uint8_t*>(header) + sent, kFrameHeaderSize - sent};
            if (!payload.empty())
                io[count++] = {const_cast<uint8_t*>(payload.data()), payload.size()};
        } else {
            const size_t offset = sent - kFrameHeaderSize;
            io[count++] = {const_cast<uint8_t*>(payload.data()) + offset, payload.size() - offset};
        }
        msghdr message{};
        message.msg_iov = io;
        message.msg_iovlen = static_cast<size_t>(count);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFrameDescriptors)];
        if (sent == 0 && !fds.empty()) {
            message.msg_control = control;
            message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
            cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
            cmsg->cmsg_level = SOL_SOCKET;
            cmsg->cmsg_type = SCM_RIGHTS;
            cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
            std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
        }
        ssize_t put;
        do {
            put = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        } while (put < 0 && errno == EINTR);
        if (put > 0) {
            sent += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return FRAME_STATUS::Failed;
        if (const FRAME_STATUS waited = AwaitReady(socket, POLLOUT, deadline);
            waited != FRAME_STATUS::Ok)
            return waited;
    }
    return FRAME_STATUS::Ok;
}

// ---- Sockets ----

namespace {

bool SocketAddress(const std::string& path, sockaddr_un* address) {
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

std::unique_ptr<SOCKET_LISTENER> SOCKET_LISTENER::Listen(const std::string& folder,
                                                         const std::string& name, uint32_t* error,
                                                         std::string* why) {
    uint32_t ignoredError = 0;
    std::string ignored;
    uint32_t& result = error != nullptr ? *error : ignoredError;
    std::string& reason = why != nullptr ? *why : ignored;
    result = PrepareRuntimeDirectory(folder, &reason);
    if (result != ERROR_SUCCESS)
        return nullptr;
    const std::string path = folder + "/" + name;
    sockaddr_un address{};
    if (name.empty() || name.find('/') != std::string::npos || !SocketAddress(path, &address)) {
        result = ERROR_INVALID_NAME;
        reason = "socket path \"" + path + "\" is not usable";
        return nullptr;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            result = ERROR_ALREADY_EXISTS;
            reason = "\"" + path + "\" exists and is not a socket";
            return nullptr;
        }
        UNIQUE_FD probe;
        if (ConnectSocket(path, &probe) == ERROR_SUCCESS) {
            result = ERROR_ALREADY_EXISTS;
            reason = "another server listens on \"" + path + "\"";
            return nullptr;
        }
        ::unlink(path.c_str());  // what a server that died left behind
    }
    UNIQUE_FD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.IsValid() ||
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        result = Win32ErrorFromErrno(errno);
        reason = "cannot bind \"" + path + "\": " + ErrnoText(errno);
        return nullptr;
    }
    // Nobody else can write the folder, so the file cannot be swapped before its mode is set.
    if (::chmod(path.c_str(), 0666) != 0 || ::listen(fd.Get(), 64) != 0) {
        result = Win32ErrorFromErrno(errno);
        reason = "cannot listen on \"" + path + "\": " + ErrnoText(errno);
        ::unlink(path.c_str());
        return nullptr;
    }
    std::unique_ptr<SOCKET_LISTENER> listener(new SOCKET_LISTENER());
    listener->fd_ = std::move(fd);
    listener->path_ = path;
    result = ERROR_SUCCESS;
    return listener;
}

SOCKET_LISTENER::~SOCKET_LISTENER() {
    if (fd_.IsValid())
        ::unlink(path_.c_str());
}

uint32_t ConnectSocket(const std::string& path, UNIQUE_FD* socket) {
    sockaddr_un address{};
    if (!SocketAddress(path, &address))
        return ERROR_INVALID_NAME;
    UNIQUE_FD fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.IsValid())
        return Win32ErrorFromErrno(errno);
    int status;
    do {
        status = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (status != 0 && errno == EINTR);
    if (status != 0 && errno == EAGAIN) {
        // The server's backlog is full: wait a little for room, as a blocking connect would.
        if (WaitFor(fd.Get(), POLLOUT, NowMs() + 2000, NowMs) == 1) {
            int err = 0;
            socklen_t length = sizeof err;
            ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &length);
            status = err == 0 ? 0 : -1;
            errno = err;
        }
    }
    if (status != 0) {
        int err = errno;
        if (err == ECONNREFUSED || err == ENOENT)
            return ERROR_FILE_NOT_FOUND;
        return Win32ErrorFromErrno(err);
    }
    *socket = std::move(fd);
    return ERROR_SUCCESS;
}

// ---- Accept loop ----

struct ACCEPT_LOOP::Connection {
    UNIQUE_FD socket;
    PEER_IDENTITY peer;
    uid_t uid = 0;  // known before the peer is pinned, for the limits
    std::thread thread;
    bool done = false;
};

bool IsPrivilegedPeer(uid_t uid) {
    return uid == 0 || uid == ::geteuid();
}

ACCEPT_LOOP::~ACCEPT_LOOP() {
    Stop();
}

uint32_t ACCEPT_LOOP::Start(std::unique_ptr<SOCKET_LISTENER> listener,
                            const CONNECTION_LIMITS& limits, Handler handler) {
    if (listener == nullptr || !handler || acceptThread_.joinable())
        return ERROR_INVALID_PARAMETER;
    stopFd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopFd_.IsValid())
        return Win32ErrorFromErrno(errno);
    listener_ = std::move(listener);
    handler_ = std::move(handler);
    limits_ = limits;
    stopping_ = false;
    acceptThread_ = std::thread([this] { Run(); });
    return ERROR_SUCCESS;
}

void ACCEPT_LOOP::Stop() {
    if (!acceptThread_.joinable())
        return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t put = ::write(stopFd_.Get(), &one, sizeof one);
    acceptThread_.join();
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        for (const auto& connection : connections_) {
            if (!connection->done)
                ::shutdown(connection->socket.Get(), SHUT_RDWR);
        }
        connections.swap(connections_);
    }
    for (const auto& connection : connections) {
        if (connection->thread.joinable())
            connection->thread.join();
    }
    listener_.reset();
    stopFd_.Reset();
}

size_t ACCEPT_LOOP::ActiveConnections() const {
    std::lock_guard guard(lock_);
    return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                             [](const auto& c) { return !c->done; }));
}

std::string ACCEPT_LOOP::SocketPath() const {
    return listener_ != nullptr ? listener_->Path() : std::string();
}

void ACCEPT_LOOP::ReapFinishedLocked(std::vector<std::thread>& done) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done) {
            done.push_back(std::move((*it)->thread));
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

bool ACCEPT_LOOP::HasRoomLocked(uid_t uid) const {
    const bool privileged = IsPrivilegedPeer(uid);
    size_t same = 0, users = 0;
    for (const auto& connection : connections_) {
        if (connection->done)
            continue;
        const bool theirs = connection->uid == uid;
        if (theirs)
            ++same;
        if (!IsPrivilegedPeer(connection->uid))
            ++users;
    }
    if (privileged)
        return same < limits_.privileged;
    return same < limits_.perUser && users < limits_.allUsers;
}

void ACCEPT_LOOP::Run() {
    for (;;) {
        pollfd entries[2] = {{listener_->Fd(), POLLIN, 0}, {stopFd_.Get(), POLLIN, 0}};
        int ready = ::poll(entries, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (entries[1].revents & POLLIN) != 0)
            return;
        UNIQUE_FD socket(
            ::accept4(listener_->Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket.IsValid())
            continue;  // the peer gave up already, or a transient shortage of descriptors
        std::vector<std::thread> finished;
        auto connection = std::make_shared<Connection>();
        // Who it is, cheaply, before anything is spent on pinning it.
        ucred credentials{};
        socklen_t length = sizeof credentials;
        const bool known =
            ::getsockopt(socket.Get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0;
        connection->uid = credentials.uid;
        {
            std::lock_guard guard(lock_);
            ReapFinishedLocked(finished);
            if (!known || !HasRoomLocked(connection->uid)) {
                ++refused_;
                socket.Reset();
            }
        }
        for (std::thread& thread : finished)
            thread.join();
        if (!socket.IsValid())
            continue;
        if (!IdentifyPeer(socket.Get(), &connection->peer, nullptr) ||
            connection->peer.uid != connection->uid) {
            ++refused_;
            continue;
        }
        connection->socket = std::move(socket);
        std::lock_guard guard(lock_);
        connections_.push_back(connection);
        connection->thread = std::thread([this, connection] { Serve(connection); });
    }
}

void ACCEPT_LOOP::Serve(const std::shared_ptr<Connection>& connection) {
    handler_(connection->socket.Get(), connection->peer);
    std::lock_guard guard(lock_);
    // Closed under the lock, so that Stop never shuts down a number already reused.
    connection->socket.Reset();
    connection->peer = {};
    connection->done = true;
}

}  // namespace os::bridge
