#include "os/bridge/device_bridge.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "os/bridge/peer.h"
#include "os/core/process.h"
#include "os/core/sync.h"

namespace os {
namespace {

// ---- Wire format: a 32-bit body length, then the body: a 32-bit operation and its fields. ----

enum class OP : uint32_t {
    Open = 1,
    Control = 2,
    Close = 3,
    Commit = 10,
    CommitReply = 11,
    Import = 12,
    ImportReply = 13,
    Reply = 100,
};

// A frame's body, built on the stack: every frame of a call fits in it, only an open's name may
// need the heap.
class WRITER {
  public:
    explicit WRITER(OP op) { Put(static_cast<uint32_t>(op)); }
    template <typename T>
    WRITER& Put(T value) {
        return PutBytes(&value, sizeof(T));
    }
    WRITER& PutBytes(const void* data, size_t length) {
        if (length == 0) {
            return *this;
        }
        if (heap_.empty() && size_ + length <= sizeof inline_) {
            std::memcpy(inline_ + size_, data, length);
        } else {
            if (heap_.empty()) {
                heap_.assign(inline_, inline_ + size_);
            }
            heap_.insert(heap_.end(), static_cast<const uint8_t*>(data),
                         static_cast<const uint8_t*>(data) + length);
        }
        size_ += length;
        return *this;
    }
    std::span<const uint8_t> Body() const {
        return heap_.empty() ? std::span<const uint8_t>(inline_, size_)
                             : std::span<const uint8_t>(heap_);
    }

  private:
    uint8_t inline_[64];
    size_t size_ = 0;
    std::vector<uint8_t> heap_;
};

class READER {
  public:
    explicit READER(const std::vector<uint8_t>& body) : body_(body) {}
    template <typename T>
    bool Get(T* value) {
        if (body_.size() - offset_ < sizeof(T)) {
            return false;
        }
        std::memcpy(value, body_.data() + offset_, sizeof(T));
        offset_ += sizeof(T);
        return true;
    }
    size_t Left() const { return body_.size() - offset_; }
    const uint8_t* Here() const { return body_.data() + offset_; }

  private:
    const std::vector<uint8_t>& body_;
    size_t offset_ = 0;
};

// Frames beyond 64 KiB, a peer that stops inside a frame or stops reading: the connection ends.
constexpr bridge::FRAME_OPTIONS kFrameOptions{DEVICE_BRIDGE_SERVER::kMaxFrame,
                                              DEVICE_BRIDGE_SERVER::kPeerTimeoutMs,
                                              DEVICE_BRIDGE_SERVER::kPeerTimeoutMs};

// One frame, with an optional descriptor.
bool SendFrame(int fd, const WRITER& writer, int passFd = -1) {
    std::span<const int> fds;
    if (passFd >= 0) {
        fds = std::span<const int>(&passFd, 1);
    }
    return bridge::WriteFrame(fd, writer.Body(), fds, kFrameOptions) == bridge::FRAME_STATUS::Ok;
}

// One frame's body (at least its operation); a descriptor that came with it lands in *passed
// (closed when nobody asked for it). `idleTimeoutMs` bounds the wait for its first byte.
bool ReceiveFrame(bridge::FRAME_READER& frames, std::vector<uint8_t>* body, int* passed,
                  int idleTimeoutMs) {
    std::vector<bridge::UNIQUE_FD> fds;
    if (frames.Read(*body, passed != nullptr ? &fds : nullptr, kFrameOptions, idleTimeoutMs) !=
            bridge::FRAME_STATUS::Ok ||
        body->size() < sizeof(uint32_t)) {
        return false;
    }
    if (passed != nullptr && !fds.empty()) {
        *passed = fds.front().Release();
    }
    return true;
}

OP OpOf(const std::vector<uint8_t>& body) {
    uint32_t op = 0;
    std::memcpy(&op, body.data(), sizeof op);
    return static_cast<OP>(op);
}

}  // namespace

std::string DeviceBridgeRuntimeDir() {
    const char* dir = std::getenv("WEXO_RUNTIME_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/run/wexo";
}

// ================================ Host side ================================

namespace {

struct CALLER;

struct CONNECTION {
    int fd = -1;
    bridge::FRAME_READER* frames = nullptr;
    std::shared_ptr<CALLER> caller;
};

// A process that called in, as the host's stand-in for it (one per real process, shared with the
// registry bridge), and the opens it made, by the number the caller knows them by.
struct CALLER {
    std::shared_ptr<bridge::PEER_PROCESS> peer;
    std::mutex lock;
    std::map<uint64_t, std::shared_ptr<void>> files;
    uint64_t nextFile = 1;
    size_t connections = 0;

    pid_t Pid() const { return peer->Peer().pid; }
    uint32_t ProcessId() const { return peer->ProcessId(); }
};

// Whether a descriptor a caller passed is an eventfd: anything else (a pipe that fills up, a
// socket) could stall the host when the driver sets the event behind it.
bool IsEventFd(int fd) {
    char link[64];
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(path.c_str(), link, sizeof link);
    return n > 0 && std::string_view(link, static_cast<size_t>(n)) == "anon_inode:[eventfd]";
}

// The driver's questions to the caller while one of its requests runs, asked over the connection
// that carries the request.
class CONNECTION_QUESTIONS final : public bridge::PEER_QUESTIONS {
  public:
    CONNECTION_QUESTIONS(int fd, bridge::FRAME_READER& frames) : fd_(fd), frames_(frames) {}

    uint64_t CommitRegion(size_t size) override {
        std::vector<uint8_t> body;
        if (!SendFrame(fd_, WRITER(OP::Commit).Put<uint64_t>(size)) ||
            !ReceiveFrame(frames_, &body, nullptr, DEVICE_BRIDGE_SERVER::kPeerTimeoutMs) ||
            OpOf(body) != OP::CommitReply) {
            return 0;
        }
        READER reader(body);
        uint32_t op = 0;
        uint64_t address = 0;
        reader.Get(&op);
        return reader.Get(&address) ? address : 0;
    }

    NTSTATUS ImportHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                          std::shared_ptr<void>* object) override {
        std::vector<uint8_t> body;
        int passed = -1;
        if (!SendFrame(fd_, WRITER(OP::Import)
                                .Put<uint64_t>(handle)
                                .Put<uint32_t>(desiredAccess)
                                .Put<uint32_t>(static_cast<uint32_t>(type))) ||
            !ReceiveFrame(frames_, &body, &passed, DEVICE_BRIDGE_SERVER::kPeerTimeoutMs) ||
            OpOf(body) != OP::ImportReply) {
            if (passed >= 0) {
                close(passed);
            }
            return STATUS_INVALID_HANDLE;
        }
        READER reader(body);
        uint32_t op = 0;
        int32_t status = STATUS_INVALID_HANDLE;
        reader.Get(&op);
        reader.Get(&status);
        if (!NT_SUCCESS(status) || passed < 0 || type != ObjectType::Event || !IsEventFd(passed)) {
            if (passed >= 0) {
                close(passed);
            }
            return NT_SUCCESS(status) ? STATUS_INVALID_HANDLE : status;
        }
        // The driver sets events under its own locks: a count that the caller's descriptor
        // cannot take now is dropped (a set event is set), never waited for.
        fcntl(passed, F_SETFL, fcntl(passed, F_GETFL) | O_NONBLOCK);
        // The stand-in: every Set is one count on the caller's eventfd, which the caller turns
        // into a Set of its own event.
        auto* event = new Event(EventType::Synchronization, false);
        event->SetForwarder([passed] {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = write(passed, &one, sizeof one);
        });
        *object = std::shared_ptr<Event>(event, [passed](Event* e) {
            close(passed);
            delete e;
        });
        return STATUS_SUCCESS;
    }

  private:
    const int fd_;
    bridge::FRAME_READER& frames_;
};

}  // namespace

struct DEVICE_BRIDGE_SERVER::STATE {
    DEVICE_GATEWAY* devices = nullptr;
    uint64_t instance = 0;
    bridge::ACCEPT_LOOP loop;
    bool running = false;
    mutable std::mutex lock;
    std::map<pid_t, std::shared_ptr<CALLER>> callers;

    void Serve(int fd, const bridge::PEER_IDENTITY& identity);
    bool Handle(CONNECTION* connection, const std::vector<uint8_t>& body);
    std::shared_ptr<CALLER> CallerFor(const bridge::PEER_IDENTITY& identity);
    void Leave(const std::shared_ptr<CALLER>& caller);
};

namespace {

// Closes every open of a caller that is gone, as its handle rundown would: cleanup, then close, in
// the caller's process context.
void CloseCallerOpens(DEVICE_GATEWAY& devices, CALLER& caller) {
    std::map<uint64_t, std::shared_ptr<void>> files;
    {
        std::lock_guard guard(caller.lock);
        files.swap(caller.files);
    }
    ScopedProcessContext context(caller.ProcessId());
    for (auto& [id, file] : files) {
        devices.Close(file);
    }
}

}  // namespace

std::shared_ptr<CALLER> DEVICE_BRIDGE_SERVER::STATE::CallerFor(
    const bridge::PEER_IDENTITY& identity) {
    // Under the lock throughout: the connections of one process arrive on threads of their own and
    // must all find the one caller its opens are kept in.
    std::lock_guard guard(lock);
    auto it = callers.find(identity.pid);
    if (it != callers.end()) {
        if (it->second->peer->Peer().startTime == identity.startTime &&
            it->second->peer->IsAlive()) {
            ++it->second->connections;
            return it->second;
        }
        // The pid now names another process: the old caller's opens are not its to use. They are
        // closed in the old caller's context before its stand-in makes way for the new one.
        std::shared_ptr<CALLER> stale = it->second;
        callers.erase(it);
        CloseCallerOpens(*devices, *stale);
    }
    auto caller = std::make_shared<CALLER>();
    caller->peer = bridge::PEER_PROCESS::Attach(identity);
    if (!caller->peer) {
        return nullptr;
    }
    caller->connections = 1;
    callers[identity.pid] = caller;
    return caller;
}

void DEVICE_BRIDGE_SERVER::STATE::Leave(const std::shared_ptr<CALLER>& caller) {
    {
        std::lock_guard guard(lock);
        if (--caller->connections > 0) {
            return;
        }
        auto it = callers.find(caller->Pid());
        if (it != callers.end() && it->second == caller) {
            callers.erase(it);
        }
    }
    // The stand-in itself ends once no bridge holds it any more.
    CloseCallerOpens(*devices, *caller);
}

void DEVICE_BRIDGE_SERVER::STATE::Serve(int fd, const bridge::PEER_IDENTITY& identity) {
    // The host's own threads act for the host itself; a connection from its own pid would put a
    // stand-in in front of the real process.
    if (identity.pid == getpid()) {
        return;
    }
    // The requests are run here, on the thread that reads them, one at a time.
    bridge::FRAME_READER frames(fd);
    CONNECTION connection{fd, &frames, CallerFor(identity)};
    if (!connection.caller) {
        return;
    }
    std::vector<uint8_t> body;
    while (ReceiveFrame(frames, &body, nullptr, -1)) {
        if (!Handle(&connection, body)) {
            break;  // a caller that does not keep to the format is not served further
        }
    }
    // Shut down before the loop closes it: a caller thread still waiting for an answer learns at
    // once that none will come.
    shutdown(fd, SHUT_RDWR);
    Leave(connection.caller);
}

bool DEVICE_BRIDGE_SERVER::STATE::Handle(CONNECTION* connection, const std::vector<uint8_t>& body) {
    CALLER& caller = *connection->caller;
    READER reader(body);
    uint32_t op = 0;
    reader.Get(&op);
    ScopedProcessContext context(caller.ProcessId());
    CONNECTION_QUESTIONS questions(connection->fd, *connection->frames);
    bridge::SCOPED_PEER_QUESTIONS asking(*caller.peer, questions);
    switch (static_cast<OP>(op)) {
        case OP::Open: {
            if (reader.Left() % sizeof(char16_t) != 0 || reader.Left() > 2 * 1024) {
                return false;
            }
            std::u16string name(reader.Left() / sizeof(char16_t), u'\0');
            std::memcpy(name.data(), reader.Here(), reader.Left());
            std::shared_ptr<void> file;
            NTSTATUS status = devices->Open(name, caller.ProcessId(), &file);
            uint64_t id = 0;
            if (NT_SUCCESS(status)) {
                std::lock_guard guard(caller.lock);
                id = caller.nextFile++;
                caller.files.emplace(id, file);
            }
            return SendFrame(
                connection->fd,
                WRITER(OP::Reply).Put<int32_t>(status).Put<uint64_t>(instance).Put<uint64_t>(id));
        }
        case OP::Control: {
            uint64_t instanceOf = 0, id = 0, input = 0, output = 0;
            uint32_t code = 0, inputLength = 0, outputLength = 0, thread = 0;
            if (!reader.Get(&instanceOf) || !reader.Get(&id) || !reader.Get(&code) ||
                !reader.Get(&input) || !reader.Get(&inputLength) || !reader.Get(&output) ||
                !reader.Get(&outputLength) || !reader.Get(&thread) || thread == 0) {
                return false;
            }
            // The request runs as the caller's own thread: what the driver binds to a thread (the
            // caller authentication) is bound to that one, within the caller's process.
            ScopedRequestorThread requestor(thread);
            std::shared_ptr<void> file;
            {
                std::lock_guard guard(caller.lock);
                auto it = caller.files.find(id);
                if (instanceOf == instance && it != caller.files.end()) {
                    file = it->second;
                }
            }
            uint64_t information = 0;
            NTSTATUS status = file ? devices->Control(file, code, input, inputLength, output,
                                                      outputLength, &information)
                                   : STATUS_INVALID_HANDLE;
            return SendFrame(connection->fd,
                             WRITER(OP::Reply).Put<int32_t>(status).Put<uint64_t>(information));
        }
        case OP::Close: {
            uint64_t instanceOf = 0, id = 0;
            if (!reader.Get(&instanceOf) || !reader.Get(&id)) {
                return false;
            }
            std::shared_ptr<void> file;
            {
                std::lock_guard guard(caller.lock);
                auto it = caller.files.find(id);
                if (instanceOf == instance && it != caller.files.end()) {
                    file = it->second;
                    caller.files.erase(it);
                }
            }
            if (file) {
                devices->Close(file);
            }
            return SendFrame(connection->fd,
                             WRITER(OP::Reply)
                                 .Put<int32_t>(file ? STATUS_SUCCESS : STATUS_INVALID_HANDLE)
                                 .Put<uint64_t>(0));
        }
        default:
            return false;
    }
}

DEVICE_BRIDGE_SERVER::DEVICE_BRIDGE_SERVER(DEVICE_GATEWAY& devices)
    : state_(std::make_shared<STATE>()) {
    state_->devices = &devices;
}

DEVICE_BRIDGE_SERVER::~DEVICE_BRIDGE_SERVER() {
    Stop();
}

NTSTATUS DEVICE_BRIDGE_SERVER::Start(const std::string& runtimeDir,
                                     const bridge::CONNECTION_LIMITS& limits) {
    STATE& s = *state_;
    if (s.running) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    uint32_t error = ERROR_SUCCESS;
    auto listener = bridge::SOCKET_LISTENER::Listen(runtimeDir, kDeviceSocketName, &error, nullptr);
    if (listener == nullptr) {
        switch (error) {
            case ERROR_ACCESS_DENIED:
                return STATUS_ACCESS_DENIED;  // a folder others could put a socket of theirs in
            case ERROR_PATH_NOT_FOUND:
            case ERROR_FILE_NOT_FOUND:
                return STATUS_OBJECT_PATH_NOT_FOUND;
            case ERROR_INVALID_NAME:
                return STATUS_NAME_TOO_LONG;
            case ERROR_ALREADY_EXISTS:
                return STATUS_OBJECT_NAME_COLLISION;  // another host serves this folder
            default:
                return STATUS_UNSUCCESSFUL;
        }
    }
    std::random_device random;
    s.instance = (static_cast<uint64_t>(random()) << 32) | random();
    STATE* raw = &s;
    error =
        s.loop.Start(std::move(listener), limits,
                     [raw](int fd, const bridge::PEER_IDENTITY& peer) { raw->Serve(fd, peer); });
    if (error != ERROR_SUCCESS) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    s.running = true;
    return STATUS_SUCCESS;
}

void DEVICE_BRIDGE_SERVER::Stop() {
    STATE& s = *state_;
    if (!s.running) {
        return;
    }
    // Every connection is shut down (a thread waiting for its caller inside a request wakes) and
    // its caller's opens closed as it ends; the socket file goes with the listener.
    s.loop.Stop();
    s.running = false;
}

size_t DEVICE_BRIDGE_SERVER::ConnectionCount() const {
    return state_->loop.ActiveConnections();
}

size_t DEVICE_BRIDGE_SERVER::CallerCount() const {
    std::lock_guard guard(state_->lock);
    return state_->callers.size();
}

// ================================ Caller side ================================

namespace {

// An open as the caller holds it: the host's instance and the open's number there.
struct REMOTE_FILE {
    uint64_t instance = 0;
    uint64_t id = 0;
};

}  // namespace

struct DEVICE_BRIDGE_CLIENT::STATE {
    std::string socketPath;

    // An eventfd whose counts set `event`; -1 when none can be made. The event keeps the
    // descriptor and its waiters wait on it themselves: a count the host writes wakes a waiting
    // thread directly, with no thread of the bridge in between.
    static int Export(Event& event) {
        int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd >= 0) {
            event.AddSource(fd);
        }
        return fd;
    }

    // The host's questions while a request runs, then its answer.
    bool AwaitReply(int fd, bridge::FRAME_READER& frames, std::vector<uint8_t>* reply) {
        for (;;) {
            if (!ReceiveFrame(frames, reply, nullptr, -1)) {
                return false;
            }
            READER reader(*reply);
            uint32_t op = 0;
            reader.Get(&op);
            if (static_cast<OP>(op) == OP::Reply) {
                return true;
            }
            if (static_cast<OP>(op) == OP::Commit) {
                uint64_t size = 0;
                reader.Get(&size);
                auto process = CurrentProcess();
                uint64_t address = process ? process->CommitRegion(size) : 0;
                if (!SendFrame(fd, WRITER(OP::CommitReply).Put<uint64_t>(address))) {
                    return false;
                }
            } else if (static_cast<OP>(op) == OP::Import) {
                uint64_t handle = 0;
                uint32_t access = 0, type = 0;
                reader.Get(&handle);
                reader.Get(&access);
                reader.Get(&type);
                int passFd = -1;
                NTSTATUS status = ExportHandle(handle, access, type, &passFd);
                if (!SendFrame(fd, WRITER(OP::ImportReply).Put<int32_t>(status), passFd)) {
                    return false;
                }
            } else {
                return false;
            }
        }
    }

    NTSTATUS ExportHandle(HANDLE handle, uint32_t access, uint32_t type, int* passFd) {
        auto process = CurrentProcess();
        HANDLE_ENTRY entry;
        if (!process || !process->LookupHandle(handle, &entry)) {
            return STATUS_INVALID_HANDLE;
        }
        if (static_cast<uint32_t>(entry.type) != type) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if ((entry.access & access) != access) {
            return STATUS_ACCESS_DENIED;
        }
        if (entry.type != ObjectType::Event) {
            return STATUS_NOT_SUPPORTED;  // only events cross between processes
        }
        *passFd = Export(*std::static_pointer_cast<Event>(entry.object));
        return *passFd >= 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
};

namespace {

// A thread's connection to the host of one client, with what it keeps from call to call.
struct LINK {
    explicit LINK(int socket) : fd(socket), frames(socket) {}
    ~LINK() { close(fd); }
    const int fd;
    bridge::FRAME_READER frames;
    std::vector<uint8_t> reply;
};

// This thread's connections, by client; made on first use and again after the host went away.
struct THREAD_CONNECTIONS {
    std::unordered_map<const void*, std::unique_ptr<LINK>> links;
};
thread_local THREAD_CONNECTIONS tConnections;

int Connect(const std::string& path) {
    bridge::UNIQUE_FD fd;
    return bridge::ConnectSocket(path, &fd) == ERROR_SUCCESS ? fd.Release() : -1;
}

}  // namespace

DEVICE_BRIDGE_CLIENT::DEVICE_BRIDGE_CLIENT(std::string runtimeDir)
    : state_(std::make_shared<STATE>()) {
    state_->socketPath = std::move(runtimeDir) + "/" + kDeviceSocketName;
}

DEVICE_BRIDGE_CLIENT::~DEVICE_BRIDGE_CLIENT() {
    tConnections.links.erase(state_.get());
}

namespace {

// One request over this thread's connection; its answer (valid until the thread's next request),
// or null when the host cannot be reached or went away meanwhile.
const std::vector<uint8_t>* Exchange(DEVICE_BRIDGE_CLIENT::STATE& state, const WRITER& request) {
    auto it = tConnections.links.find(&state);
    if (it == tConnections.links.end()) {
        int fd = Connect(state.socketPath);
        if (fd < 0) {
            return nullptr;
        }
        it = tConnections.links.emplace(&state, std::make_unique<LINK>(fd)).first;
    }
    LINK& link = *it->second;
    if (SendFrame(link.fd, request) && state.AwaitReply(link.fd, link.frames, &link.reply)) {
        return &link.reply;
    }
    tConnections.links.erase(it);
    return nullptr;
}

}  // namespace

NTSTATUS DEVICE_BRIDGE_CLIENT::Open(const std::u16string& name, uint32_t /*processId*/,
                                    std::shared_ptr<void>* file) {
    WRITER request(OP::Open);
    request.PutBytes(name.data(), name.size() * sizeof(char16_t));
    const std::vector<uint8_t>* reply = Exchange(*state_, request);
    if (reply == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;  // no host: as for a driver that is not loaded
    }
    READER reader(*reply);
    uint32_t op = 0;
    int32_t status = STATUS_UNSUCCESSFUL;
    auto remote = std::make_shared<REMOTE_FILE>();
    if (!reader.Get(&op) || !reader.Get(&status) || !reader.Get(&remote->instance) ||
        !reader.Get(&remote->id)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) {
        *file = remote;
    }
    return status;
}

void DEVICE_BRIDGE_CLIENT::Close(const std::shared_ptr<void>& file) {
    auto remote = std::static_pointer_cast<REMOTE_FILE>(file);
    // A host that went away closed the open with the connection already.
    Exchange(*state_, WRITER(OP::Close).Put(remote->instance).Put(remote->id));
}

NTSTATUS DEVICE_BRIDGE_CLIENT::Control(const std::shared_ptr<void>& file, uint32_t code,
                                       uint64_t input, uint32_t inputLength, uint64_t output,
                                       uint32_t outputLength, uint64_t* information) {
    auto remote = std::static_pointer_cast<REMOTE_FILE>(file);
    const std::vector<uint8_t>* reply = Exchange(*state_, WRITER(OP::Control)
                                                              .Put(remote->instance)
                                                              .Put(remote->id)
                                                              .Put(code)
                                                              .Put(input)
                                                              .Put(inputLength)
                                                              .Put(output)
                                                              .Put(outputLength)
                                                              .Put(CurrentThreadId()));
    if (reply == nullptr) {
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    READER reader(*reply);
    uint32_t op = 0;
    int32_t status = STATUS_UNSUCCESSFUL;
    uint64_t info = 0;
    if (!reader.Get(&op) || !reader.Get(&status) || !reader.Get(&info)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (information != nullptr) {
        *information = info;
    }
    return status;
}

}  // namespace os
