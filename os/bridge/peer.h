// The plumbing of the bridges between the driver host and the other processes of the product: the
// runtime folder, a listening Unix socket made safely, who is at the other end of a connection
// (credentials pinned to the peer's process), the simulated process that stands for a peer,
// length-prefixed frames that may carry file descriptors, and a small accept loop with a thread
// per connection. Nothing here knows what the frames mean.
//
// Frames: a 32-bit little-endian payload length, then the payload. A length above the reader's
// maximum ends the connection (it is never allocated). File descriptors travel as SCM_RIGHTS on
// the first byte of a frame. Sockets are non-blocking: a peer that stops in the middle of a frame,
// or stops reading what it is sent, is dropped after the time-out instead of holding a thread. The
// time-outs run on the os/ clock, so that a test moves a virtual clock instead of waiting.
//
// Peer identity: SO_PEERCRED gives the pid, uid and gid the peer had when it connected; the pid is
// pinned at once by a pidfd (SO_PEERPIDFD, which names the connecting process itself; pidfd_open
// of the pid where the kernel has no SO_PEERPIDFD). The process's start time (field 22 of
// /proc/<pid>/stat) is read next, and then the pidfd is polled: while the pidfd's process has not
// exited its pid cannot have been given to another process, so the start time read belongs to it.
// A pid and a start time together name one process for the life of the system, so a later
// process that happens to get the same pid is never taken for the earlier one.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "os/core/process.h"

namespace os::bridge {

// ---- Runtime folder ----

constexpr char kDefaultRuntimeDirectory[] = "/run/wexo";
constexpr char kRuntimeDirectoryVariable[] = "WEXO_RUNTIME_DIR";

// WEXO_RUNTIME_DIR when it is set and not empty, else "/run/wexo".
std::string RuntimeDirectory();

// Makes sure `path` is a folder a server may put its socket in, where no other user can remove,
// rename or replace the socket or the folder: created 0755 when it is missing (its parent must
// exist); refused when it is not a folder (a symbolic link included), is owned by neither root
// nor this process's user, or is writable by its group or by others, and when a folder above it
// (as named and as resolved) is owned by another user or writable by others without the sticky
// bit (/tmp, sticky, is fine: only an entry's owner may rename or remove it there).
// ERROR_SUCCESS, or a Win32 error with the reason in *why.
uint32_t PrepareRuntimeDirectory(const std::string& path, std::string* why);

// ---- File descriptors ----

class UNIQUE_FD {
  public:
    UNIQUE_FD() = default;
    explicit UNIQUE_FD(int fd) : fd_(fd) {}
    UNIQUE_FD(UNIQUE_FD&& other) noexcept : fd_(other.Release()) {}
    UNIQUE_FD& operator=(UNIQUE_FD&& other) noexcept;
    UNIQUE_FD(const UNIQUE_FD&) = delete;
    UNIQUE_FD& operator=(const UNIQUE_FD&) = delete;
    ~UNIQUE_FD() { Reset(); }

    int Get() const { return fd_; }
    bool IsValid() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// ---- Peer identity ----

// The start time of a process in clock ticks since boot (field 22 of /proc/<pid>/stat), 0 when the
// process does not exist or the file cannot be read.
uint64_t ProcessStartTime(pid_t pid);

struct PEER_IDENTITY {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    uint64_t startTime = 0;
    std::shared_ptr<UNIQUE_FD> pidfd;  // shared so that the identity can be copied
};

// The peer of a connected Unix socket. False (with the reason) when the credentials cannot be
// read or the peer ended before it could be pinned.
bool IdentifyPeer(int socket, PEER_IDENTITY* peer, std::string* why);
// The same for a process known by its pid (uid and gid from /proc/<pid>).
bool IdentifyProcess(pid_t pid, PEER_IDENTITY* peer, std::string* why);
// Whether the identity still names a running process: its pidfd has not exited and the pid's
// start time is still the one recorded. False for a process that ended, and for an identity whose
// start time does not belong to the process that now has the pid.
bool IsSameProcess(const PEER_IDENTITY& peer);

// The session a peer runs in: its login session (/proc/<pid>/sessionid) when it has one, as the
// process list reports it; otherwise 0 for root (the system's services) and 1 for other users.
uint32_t PeerSessionId(pid_t pid, uid_t uid);

// What the host may ask a peer while it serves one of that peer's requests on the current thread:
// to commit a region in the peer's memory, and for the object behind one of the peer's handles.
// The bridge that carries the request answers them over the request's own connection.
class PEER_QUESTIONS {
  public:
    virtual ~PEER_QUESTIONS() = default;
    virtual uint64_t CommitRegion(size_t size) = 0;
    virtual NTSTATUS ImportHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                                  std::shared_ptr<void>* object) = 0;
};

class PEER_PROCESS;

// Makes `questions` the way to reach `peer` for what the driver asks of it on this thread, for
// the scope's life.
class SCOPED_PEER_QUESTIONS {
  public:
    SCOPED_PEER_QUESTIONS(const PEER_PROCESS& peer, PEER_QUESTIONS& questions);
    ~SCOPED_PEER_QUESTIONS();
    SCOPED_PEER_QUESTIONS(const SCOPED_PEER_QUESTIONS&) = delete;
    SCOPED_PEER_QUESTIONS& operator=(const SCOPED_PEER_QUESTIONS&) = delete;

  private:
    const PEER_PROCESS* previousPeer_;
    PEER_QUESTIONS* previousQuestions_;
};

// The process of the host's process table that stands for a peer process while any connection
// of it (to any bridge) is open: one per real process (pid and start time), so that the registry
// and the control device see the same caller. Its id is the peer's real pid (simulated processes
// have ids above the highest real pid, so the two never meet); only a connection from the host's
// own process gets a simulated id, so that the host's threads remain the host. Its user is the
// peer's uid as a SID, its session the peer's login session, and root runs in the system's logon
// session. Its memory is the peer's own, reached through the pid while the pinned process lives;
// regions and handles are asked of the peer through the questions of the request in progress. A
// pid that names a new process retires the stand-in of the one before. The process is ended
// (its handles closed) when the last holder lets it go.
class PEER_PROCESS {
  public:
    // Null when no process can be made for the peer.
    static std::shared_ptr<PEER_PROCESS> Attach(const PEER_IDENTITY& peer);
    ~PEER_PROCESS();
    PEER_PROCESS(const PEER_PROCESS&) = delete;
    PEER_PROCESS& operator=(const PEER_PROCESS&) = delete;

    uint32_t ProcessId() const { return process_->Id(); }
    const std::shared_ptr<PROCESS>& Process() const { return process_; }
    const PEER_IDENTITY& Peer() const { return peer_; }
    // Whether the peer process still runs (IsSameProcess of its identity).
    bool IsAlive() const { return IsSameProcess(peer_); }

  private:
    PEER_PROCESS(PEER_IDENTITY peer, std::shared_ptr<PROCESS> process)
        : peer_(std::move(peer)), process_(std::move(process)) {}
    PEER_IDENTITY peer_;
    std::shared_ptr<PROCESS> process_;
};

// ---- Frames ----

constexpr uint32_t kFrameHeaderSize = 4;
constexpr size_t kMaxFrameDescriptors = 8;

struct FRAME_OPTIONS {
    uint32_t maxPayload = 1u << 20;
    int midFrameTimeoutMs = 5000;  // from the first byte of a frame to its last
    int writeTimeoutMs = 5000;     // for the whole frame to be taken by the peer
};

enum class FRAME_STATUS {
    Ok,
    Closed,    // the peer closed the connection between frames
    Cut,       // the connection ended inside a frame
    TooLarge,  // the length is above the maximum
    TimedOut,  // the rest of a frame did not come in time, or the peer stopped reading
    Failed,    // a socket error, or descriptors that could not be taken
};
const char* FrameStatusText(FRAME_STATUS status);

// Reads one frame. `idleTimeoutMs` bounds the wait for its first byte (-1: no bound; a shut-down
// socket ends the wait). Descriptors that came with it go to *fds (closed when fds is null).
FRAME_STATUS ReadFrame(int socket, std::vector<uint8_t>& payload, std::vector<UNIQUE_FD>* fds,
                       const FRAME_OPTIONS& options, int idleTimeoutMs = -1);
// Writes one frame, with up to kMaxFrameDescriptors descriptors.
FRAME_STATUS WriteFrame(int socket, std::span<const uint8_t> payload, std::span<const int> fds,
                        const FRAME_OPTIONS& options);

// The frames of one connection, read as ReadFrame reads them but with fewer system calls: it
// waits for the socket first and then takes whatever is there (up to a small buffer), so that a
// small frame comes in one read, and bytes beyond the frame stay here for the next one. Every
// read of the connection goes through the same reader. Descriptors that come with bytes of a
// later frame are the current frame's (a peer that waits for each answer never sends them so).
class FRAME_READER {
  public:
    explicit FRAME_READER(int socket) : socket_(socket) {}
    FRAME_READER(const FRAME_READER&) = delete;
    FRAME_READER& operator=(const FRAME_READER&) = delete;

    FRAME_STATUS Read(std::vector<uint8_t>& payload, std::vector<UNIQUE_FD>* fds,
                      const FRAME_OPTIONS& options, int idleTimeoutMs = -1);

  private:
    static constexpr size_t kBufferSize = 512;
    size_t Buffered() const { return end_ - begin_; }
    // Reads what the socket has into the buffer, waiting until the deadline; Ok, Closed (the
    // peer's end), TimedOut or Failed.
    FRAME_STATUS Fill(std::vector<UNIQUE_FD>* fds, bool* lost, int64_t deadline);

    const int socket_;
    uint8_t buffer_[kBufferSize];
    size_t begin_ = 0;
    size_t end_ = 0;
};

// ---- Sockets ----

// A listening socket at folder/name. The folder is prepared as PrepareRuntimeDirectory says; a
// stale socket file is removed, but a socket someone still listens on is refused
// (ERROR_ALREADY_EXISTS). The socket file is mode 0666: any local process may connect, and the
// server decides by the peer's identity what it may do, so that a refused caller gets the error
// of the operation (access denied) instead of a failed connect. The file is removed when the
// listener goes.
class SOCKET_LISTENER {
  public:
    static std::unique_ptr<SOCKET_LISTENER> Listen(const std::string& folder,
                                                   const std::string& name, uint32_t* error,
                                                   std::string* why);
    ~SOCKET_LISTENER();
    SOCKET_LISTENER(const SOCKET_LISTENER&) = delete;
    SOCKET_LISTENER& operator=(const SOCKET_LISTENER&) = delete;

    int Fd() const { return fd_.Get(); }
    const std::string& Path() const { return path_; }

  private:
    SOCKET_LISTENER() = default;
    UNIQUE_FD fd_;
    std::string path_;
};

// Connects to the socket at `path` (non-blocking, close-on-exec). ERROR_SUCCESS, or
// ERROR_FILE_NOT_FOUND when nothing listens there, ERROR_ACCESS_DENIED, or another error.
uint32_t ConnectSocket(const std::string& path, UNIQUE_FD* socket);

// How many connections an accept loop serves at once, by who connects. A privileged caller (root,
// or the user the server runs as: the service, the host's own tools) has a budget of its own that
// no other user's connections take from, so a local user who floods the socket cannot keep the
// service out; every other user (by uid) has a share of its own, and all of them together a cap.
struct CONNECTION_LIMITS {
    size_t privileged = 1024;  // the service holds one per thread, 16 per processor
    size_t perUser = 16;
    size_t allUsers = 64;
};

// Whether a peer of that uid is privileged for CONNECTION_LIMITS: root, or this process's user.
bool IsPrivilegedPeer(uid_t uid);

// Accepts connections on a thread of its own and runs the handler for each on a thread of the
// connection's own, with the peer identified. Connections beyond their caller's limit, and peers
// that cannot be identified, are closed at once. The loop owns each connection's socket: it is
// closed after the handler returns, and Stop shuts it down so that the handler's reads end.
class ACCEPT_LOOP {
  public:
    using Handler = std::function<void(int socket, const PEER_IDENTITY& peer)>;

    ACCEPT_LOOP() = default;
    ~ACCEPT_LOOP();
    ACCEPT_LOOP(const ACCEPT_LOOP&) = delete;
    ACCEPT_LOOP& operator=(const ACCEPT_LOOP&) = delete;

    uint32_t Start(std::unique_ptr<SOCKET_LISTENER> listener, const CONNECTION_LIMITS& limits,
                   Handler handler);
    // Stops accepting, shuts every connection down and waits for their threads.
    void Stop();
    size_t ActiveConnections() const;
    size_t RefusedConnections() const { return refused_.load(); }
    std::string SocketPath() const;

  private:
    struct Connection;
    void Run();
    void Serve(const std::shared_ptr<Connection>& connection);
    void ReapFinishedLocked(std::vector<std::thread>& done);
    bool HasRoomLocked(uid_t uid) const;

    std::unique_ptr<SOCKET_LISTENER> listener_;
    UNIQUE_FD stopFd_;
    Handler handler_;
    CONNECTION_LIMITS limits_;
    std::thread acceptThread_;
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::atomic<size_t> refused_{0};
    bool stopping_ = false;
};

}  // namespace os::bridge
