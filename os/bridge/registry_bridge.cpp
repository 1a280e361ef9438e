#include "os/bridge/registry_bridge.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "os/core/process.h"
#include "os/core/sync.h"

namespace os {
namespace {

using bridge::FRAME_STATUS;
using bridge::PEER_IDENTITY;
using bridge::PEER_PROCESS;
using bridge::UNIQUE_FD;

// ---- Messages ----
//
// Request:      u8 op, u64 request id (0: no answer wanted), the op's fields.
// Answer:       u8 kAnswer, u64 request id, u32 NTSTATUS, the op's results on success.
// Notification: u8 kNotification, u64 notification id.
// Integers are little-endian; strings and data are a u32 length and the bytes. Handles on the
// wire are the host's 32-bit numbers (0 no key, 1 and 2 the roots).

enum Op : uint8_t {
    kCreateKey = 1,
    kOpenKey,
    kCloseKey,
    kDeleteKey,
    kRenameKey,
    kEnumerateKey,
    kQueryKeyInfo,
    kSetValue,
    kQueryValue,
    kDeleteValue,
    kEnumerateValue,
    kNotifyChange,
    kKeyPath,
    kQueryKeySecurity,
    kSetKeySecurity,
};
constexpr uint8_t kAnswer = 0x80;
constexpr uint8_t kNotification = 0x81;
constexpr uint32_t kFirstHandle = 16;

class WRITER {
  public:
    WRITER& U8(uint8_t value) {
        bytes_.push_back(value);
        return *this;
    }
    WRITER& U32(uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            bytes_.push_back(static_cast<uint8_t>(value >> shift));
        return *this;
    }
    WRITER& U64(uint64_t value) {
        for (int shift = 0; shift < 64; shift += 8)
            bytes_.push_back(static_cast<uint8_t>(value >> shift));
        return *this;
    }
    WRITER& Bytes(std::span<const uint8_t> data) {
        U32(static_cast<uint32_t>(data.size()));
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }
    WRITER& Str(std::string_view text) {
        return Bytes({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    }
    const std::vector<uint8_t>& Data() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

class READER {
  public:
    explicit READER(std::span<const uint8_t> data) : data_(data) {}
    uint8_t U8() { return static_cast<uint8_t>(Int(1)); }
    uint32_t U32() { return static_cast<uint32_t>(Int(4)); }
    uint64_t U64() { return Int(8); }
    std::vector<uint8_t> Bytes() {
        std::span<const uint8_t> view = View();
        return {view.begin(), view.end()};
    }
    std::string Str() {
        std::span<const uint8_t> view = View();
        return {reinterpret_cast<const char*>(view.data()), view.size()};
    }
    bool Ok() const { return ok_; }
    // Every byte was read and nothing was missing: anything else is a malformed message.
    bool Complete() const { return ok_ && position_ == data_.size(); }

  private:
    uint64_t Int(size_t size) {
        if (!ok_ || data_.size() - position_ < size) {
            ok_ = false;
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < size; ++i)
            value |= static_cast<uint64_t>(data_[position_ + i]) << (8 * i);
        position_ += size;
        return value;
    }
    std::span<const uint8_t> View() {
        const uint32_t size = U32();
        if (!ok_ || data_.size() - position_ < size) {
            ok_ = false;
            return {};
        }
        auto view = data_.subspan(position_, size);
        position_ += size;
        return view;
    }

    std::span<const uint8_t> data_;
    size_t position_ = 0;
    bool ok_ = true;
};

}  // namespace

// ---- The host's end ----

namespace {

// One client connection: its keys, its armed notifications and the thread that waits for them.
class SERVER_CONNECTION {
  public:
    SERVER_CONNECTION(int socket, std::shared_ptr<PEER_PROCESS> process,
                      std::shared_ptr<RegistryStore> store, const REGISTRY_BRIDGE_OPTIONS& options,
                      std::atomic<size_t>& handleCount)
        : socket_(socket),
          process_(std::move(process)),
          caller_(RegCallerForUid(process_->Peer().uid)),
          options_(options),
          handleCount_(handleCount),
          store_(std::move(store)),
          localMachine_(store_->Root(HKEY_LOCAL_MACHINE)),
          users_(store_->Root(HKEY_USERS)) {}

    void Run();

  private:
    struct Armed {
        uint64_t id = 0;
        uint32_t handle = 0;
        std::shared_ptr<Event> event;
    };

    // False: the request was malformed and the connection ends.
    bool Handle(std::span<const uint8_t> request);
    bool Answer(uint64_t requestId, NTSTATUS status, const WRITER* results);
    const RegKey* Base(uint32_t handle) const;
    const RegKey* Key(uint32_t handle) const;
    // Whether this caller may not read the value (a secret and the caller is not root).
    bool Hidden(const RegKey& key, std::string_view valueName) const;
    NTSTATUS AddKey(RegKey key, uint32_t* handle);
    void CloseKey(uint32_t handle);
    void Watch();
    void StopWatching();

    const int socket_;
    std::shared_ptr<PEER_PROCESS> process_;
    // Who the store judges: the peer's uid as the kernel gave it, not a look-up by pid.
    const REG_CALLER caller_;
    const REGISTRY_BRIDGE_OPTIONS& options_;
    std::atomic<size_t>& handleCount_;
    std::shared_ptr<RegistryStore> store_;
    RegKey localMachine_;
    RegKey users_;
    std::map<uint32_t, RegKey> keys_;  // the connection's own thread only
    uint32_t nextHandle_ = kFirstHandle;

    std::mutex writeLock_;  // answers and notifications come from two threads
    std::mutex armedLock_;
    std::vector<Armed> armed_;
    bool stopWatching_ = false;
    Event wake_{EventType::Synchronization, false};
    std::thread watcher_;
};

void SERVER_CONNECTION::Run() {
    watcher_ = std::thread([this] { Watch(); });
    std::vector<uint8_t> request;
    for (;;) {
        FRAME_STATUS status = bridge::ReadFrame(socket_, request, nullptr, options_.frames);
        // A frame that is too large, cut off, late or malformed ends the connection: nothing
        // after it can be trusted to start where a frame starts.
        if (status != FRAME_STATUS::Ok || !Handle(request))
            break;
    }
    ::shutdown(socket_, SHUT_RDWR);
    {
        // The host closes what the client left open, in the client's name, as a process's
        // handles are closed when it ends.
        ScopedProcessContext context(process_->ProcessId());
        handleCount_ -= keys_.size();
        keys_.clear();
    }
    StopWatching();
}

const RegKey* SERVER_CONNECTION::Base(uint32_t handle) const {
    if (handle == kRemoteNoKey)
        return nullptr;
    return Key(handle);
}

bool SERVER_CONNECTION::Hidden(const RegKey& key, std::string_view valueName) const {
    if (options_.secretValues.empty() || process_->Peer().uid == 0 || !key.IsValid()) {
        return false;
    }
    auto same = [](std::string_view a, std::string_view b) {
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::toupper(static_cast<unsigned char>(x)) ==
                          std::toupper(static_cast<unsigned char>(y));
               });
    };
    for (const REGISTRY_SECRET_VALUE& secret : options_.secretValues) {
        if (same(secret.value, valueName) && same(secret.key, key.Path())) {
            return true;
        }
    }
    return false;
}

const RegKey* SERVER_CONNECTION::Key(uint32_t handle) const {
    static const RegKey kNone;
    if (handle == kRemoteLocalMachine)
        return &localMachine_;
    if (handle == kRemoteUsers)
        return &users_;
    auto it = keys_.find(handle);
    return it != keys_.end() ? &it->second : &kNone;  // an invalid RegKey: STATUS_INVALID_HANDLE
}

NTSTATUS SERVER_CONNECTION::AddKey(RegKey key, uint32_t* handle) {
    if (keys_.size() >= options_.maxHandlesPerConnection)
        return STATUS_INSUFFICIENT_RESOURCES;
    while (nextHandle_ < kFirstHandle || keys_.count(nextHandle_) != 0)
        ++nextHandle_;  // wraps after four billion opens; skips the numbers still in use
    *handle = nextHandle_++;
    keys_.emplace(*handle, std::move(key));
    ++handleCount_;
    return STATUS_SUCCESS;
}

void SERVER_CONNECTION::CloseKey(uint32_t handle) {
    auto it = keys_.find(handle);
    if (it == keys_.end())
        return;
    keys_.erase(it);  // the store cancels the key's registrations before the events go
    --handleCount_;
    std::lock_guard guard(armedLock_);
    std::erase_if(armed_, [&](const Armed& armed) { return armed.handle == handle; });
    wake_.Set();
}

bool SERVER_CONNECTION::Answer(uint64_t requestId, NTSTATUS status, const WRITER* results) {
    if (requestId == 0)
        return true;
    WRITER answer;
    answer.U8(kAnswer).U64(requestId);
    const bool withResults = NT_SUCCESS(status) && results != nullptr;
    const size_t size = answer.Data().size() + 4 + (withResults ? results->Data().size() : 0);
    if (size > options_.frames.maxPayload) {
        // The client could not take it; it gets a failure it can report instead.
        answer.U32(static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES));
    } else {
        answer.U32(static_cast<uint32_t>(status));
    }
    std::vector<uint8_t> bytes = answer.Data();
    if (withResults && size <= options_.frames.maxPayload)
        bytes.insert(bytes.end(), results->Data().begin(), results->Data().end());
    std::lock_guard guard(writeLock_);
    return bridge::WriteFrame(socket_, bytes, {}, options_.frames) == FRAME_STATUS::Ok;
}

bool SERVER_CONNECTION::Handle(std::span<const uint8_t> request) {
    READER in(request);
    const uint8_t op = in.U8();
    const uint64_t requestId = in.U64();
    const uint32_t handle = in.U32();
    if (!in.Ok())
        return false;
    ScopedProcessContext context(process_->ProcessId());
    ScopedRegistryCaller asCaller(caller_);
    WRITER out;
    NTSTATUS status = STATUS_SUCCESS;
    switch (op) {
        case kCreateKey:
        case kOpenKey: {
            const std::string path = in.Str();
            std::optional<REG_SECURITY> security;
            if (op == kCreateKey && in.U8() != 0) {
                security.emplace();
                if (!DecodeRegSecurity(in.Bytes(), &*security))
                    return false;
            }
            if (!in.Complete())
                return false;
            RegKey key;
            uint32_t disposition = 0;
            const RegKey* base = Base(handle);
            status = op == kCreateKey ? store_->CreateKey(base, path, key, &disposition,
                                                          security ? &*security : nullptr)
                                      : store_->OpenKey(base, path, key);
            uint32_t added = 0;
            if (NT_SUCCESS(status))
                status = AddKey(std::move(key), &added);
            out.U32(added).U32(disposition);
            break;
        }
        case kCloseKey:
            if (!in.Complete())
                return false;
            CloseKey(handle);
            break;
        case kDeleteKey:
            if (!in.Complete())
                return false;
            status = store_->DeleteKey(*Key(handle));
            break;
        case kRenameKey: {
            const std::string name = in.Str();
            if (!in.Complete())
                return false;
            status = store_->RenameKey(*Key(handle), name);
            break;
        }
        case kEnumerateKey: {
            const uint32_t index = in.U32();
            if (!in.Complete())
                return false;
            std::string name;
            status = store_->EnumerateKey(*Key(handle), index, name);
            out.Str(name);
            break;
        }
        case kQueryKeyInfo: {
            if (!in.Complete())
                return false;
            REG_KEY_INFO info;
            status = store_->QueryKeyInfo(*Key(handle), info);
            out.U32(info.subKeys).U32(info.maxSubKeyLen).U32(info.values);
            out.U32(info.maxValueNameLen).U32(info.maxValueLen).U64(info.lastWriteTime);
            break;
        }
        case kSetValue: {
            const std::string name = in.Str();
            const uint32_t type = in.U32();
            const std::vector<uint8_t> data = in.Bytes();
            if (!in.Complete())
                return false;
            status = store_->SetValue(*Key(handle), name, type, data);
            break;
        }
        case kQueryValue: {
            const std::string name = in.Str();
            if (!in.Complete())
                return false;
            REG_VALUE value;
            status = Hidden(*Key(handle), name) ? STATUS_ACCESS_DENIED
                                                : store_->QueryValue(*Key(handle), name, value);
            out.U32(value.type).Bytes(value.data);
            break;
        }
        case kDeleteValue: {
            const std::string name = in.Str();
            if (!in.Complete())
                return false;
            status = store_->DeleteValue(*Key(handle), name);
            break;
        }
        case kEnumerateValue: {
            const uint32_t index = in.U32();
            const bool withValue = in.U8() != 0;
            if (!in.Complete())
                return false;
            std::string name;
            REG_VALUE value;
            status =
                store_->EnumerateValue(*Key(handle), index, name, withValue ? &value : nullptr);
            if (NT_SUCCESS(status) && withValue && Hidden(*Key(handle), name)) {
                status = STATUS_ACCESS_DENIED;
                value = REG_VALUE{};
            }
            out.Str(name).U32(value.type).Bytes(value.data);
            break;
        }
        case kNotifyChange: {
            const uint64_t notificationId = in.U64();
            const uint32_t filter = in.U32();
            const bool subtree = in.U8() != 0;
            if (!in.Complete())
                return false;
            std::lock_guard guard(armedLock_);
            if (armed_.size() >= options_.maxNotificationsPerConnection) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            auto event = std::make_shared<Event>(EventType::Notification, false);
            status = store_->NotifyChange(*Key(handle), *event, filter, subtree);
            if (NT_SUCCESS(status)) {
                armed_.push_back({notificationId, handle, std::move(event)});
                wake_.Set();
            }
            break;
        }
        case kKeyPath: {
            if (!in.Complete())
                return false;
            const RegKey* key = Key(handle);
            status = key->IsValid() ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
            out.Str(key->Path());
            break;
        }
        case kQueryKeySecurity: {
            if (!in.Complete())
                return false;
            REG_SECURITY security;
            status = store_->QueryKeySecurity(*Key(handle), security);
            out.Bytes(EncodeRegSecurity(security));
            break;
        }
        case kSetKeySecurity: {
            REG_SECURITY security;
            if (!DecodeRegSecurity(in.Bytes(), &security) || !in.Complete())
                return false;
            status = store_->SetKeySecurity(*Key(handle), security);
            break;
        }
        default:
            return false;
    }
    return Answer(requestId, status, &out);
}

void SERVER_CONNECTION::Watch() {
    for (;;) {
        std::vector<std::shared_ptr<Event>> events;  // kept alive while waited on
        std::vector<DispatcherObject*> objects{&wake_};
        {
            std::lock_guard guard(armedLock_);
            if (stopWatching_)
                return;
            for (const Armed& armed : armed_) {
                events.push_back(armed.event);
                objects.push_back(armed.event.get());
            }
        }
        const uint32_t result = WaitForMultipleObjects(objects, false, INFINITE);
        if (result == WAIT_OBJECT_0 || result >= WAIT_OBJECT_0 + objects.size())
            continue;
        const Event* fired = events[result - WAIT_OBJECT_0 - 1].get();
        std::optional<uint64_t> id;
        {
            std::lock_guard guard(armedLock_);
            auto it = std::find_if(armed_.begin(), armed_.end(),
                                   [&](const Armed& armed) { return armed.event.get() == fired; });
            if (it != armed_.end()) {
                id = it->id;
                armed_.erase(it);
            }
        }
        if (!id)
            continue;  // its key was closed meanwhile
        WRITER notification;
        notification.U8(kNotification).U64(*id);
        std::lock_guard guard(writeLock_);
        if (bridge::WriteFrame(socket_, notification.Data(), {}, options_.frames) !=
            FRAME_STATUS::Ok) {
            ::shutdown(socket_, SHUT_RDWR);  // a client that does not read ends its connection
        }
    }
}

void SERVER_CONNECTION::StopWatching() {
    {
        std::lock_guard guard(armedLock_);
        stopWatching_ = true;
        wake_.Set();
    }
    if (watcher_.joinable())
        watcher_.join();
    std::lock_guard guard(armedLock_);
    armed_.clear();
}

}  // namespace

struct REGISTRY_BRIDGE_SERVER::State {
    REGISTRY_BRIDGE_OPTIONS options;
    std::shared_ptr<RegistryStore> store;
    bridge::ACCEPT_LOOP loop;
    std::atomic<size_t> handles{0};
};

REGISTRY_BRIDGE_SERVER::REGISTRY_BRIDGE_SERVER() = default;

REGISTRY_BRIDGE_SERVER::~REGISTRY_BRIDGE_SERVER() {
    Stop();
}

uint32_t REGISTRY_BRIDGE_SERVER::Start(const std::string& runtimeDir,
                                       const REGISTRY_BRIDGE_OPTIONS& options, std::string* why) {
    if (state_ != nullptr)
        return ERROR_SERVICE_ALREADY_RUNNING;
    uint32_t error = ERROR_SUCCESS;
    auto listener = bridge::SOCKET_LISTENER::Listen(runtimeDir, kRegistrySocketName, &error, why);
    if (listener == nullptr)
        return error;
    auto state = std::make_shared<State>();
    state->options = options;
    state->store = SystemRegistry();
    State* raw = state.get();
    error = state->loop.Start(
        std::move(listener), options.connections, [raw](int socket, const PEER_IDENTITY& peer) {
            SERVER_CONNECTION connection(socket, PEER_PROCESS::Attach(peer), raw->store,
                                         raw->options, raw->handles);
            connection.Run();
        });
    if (error != ERROR_SUCCESS)
        return error;
    state_ = std::move(state);
    return ERROR_SUCCESS;
}

void REGISTRY_BRIDGE_SERVER::Stop() {
    if (state_ == nullptr)
        return;
    state_->loop.Stop();
    state_.reset();
}

std::string REGISTRY_BRIDGE_SERVER::SocketPath() const {
    return state_ != nullptr ? state_->loop.SocketPath() : std::string();
}

size_t REGISTRY_BRIDGE_SERVER::ConnectionCount() const {
    return state_ != nullptr ? state_->loop.ActiveConnections() : 0;
}

size_t REGISTRY_BRIDGE_SERVER::RefusedConnectionCount() const {
    return state_ != nullptr ? state_->loop.RefusedConnections() : 0;
}

size_t REGISTRY_BRIDGE_SERVER::OpenHandleCount() const {
    return state_ != nullptr ? state_->handles.load() : 0;
}

// ---- The client's end ----

namespace {

// One connection to the host. Its reader thread hands answers to the callers that wait for them
// and sets the events of notifications.
struct LINK {
    UNIQUE_FD socket;
    uint32_t generation = 0;
    std::mutex writeLock;
    std::mutex lock;
    std::condition_variable answered;
    bool dead = false;
    bool closing = false;  // the client is going: events are not touched any more
    std::map<uint64_t, std::optional<std::vector<uint8_t>>> pending;
    struct Watch {
        Event* event = nullptr;
        uint64_t handle = 0;
    };
    std::map<uint64_t, Watch> watches;
    std::thread reader;

    void Read(const bridge::FRAME_OPTIONS& frames);
};

void LINK::Read(const bridge::FRAME_OPTIONS& frames) {
    std::vector<uint8_t> frame;
    while (bridge::ReadFrame(socket.Get(), frame, nullptr, frames) == FRAME_STATUS::Ok) {
        READER in(frame);
        const uint8_t kind = in.U8();
        const uint64_t id = in.U64();
        if (!in.Ok() || (kind != kAnswer && kind != kNotification))
            break;
        std::lock_guard guard(lock);
        if (kind == kAnswer) {
            auto it = pending.find(id);
            if (it != pending.end()) {
                it->second = std::vector<uint8_t>(frame.begin() + 9, frame.end());
                answered.notify_all();
            }
        } else {
            auto it = watches.find(id);
            if (it != watches.end()) {
                it->second.event->Set();
                watches.erase(it);
            }
        }
    }
    ::shutdown(socket.Get(), SHUT_RDWR);
    std::lock_guard guard(lock);
    dead = true;
    answered.notify_all();
    // The host that watched for these is gone: wake the waiters so that they look again.
    if (!closing) {
        for (auto& [id, watch] : watches)
            watch.event->Set();
    }
    watches.clear();
}

class REGISTRY_BRIDGE_CLIENT final : public REGISTRY_REMOTE {
  public:
    REGISTRY_BRIDGE_CLIENT(std::string socketPath, const REGISTRY_BRIDGE_CLIENT_OPTIONS& options)
        : socketPath_(std::move(socketPath)), options_(options) {}
    ~REGISTRY_BRIDGE_CLIENT() override;

    uint32_t Connect();

    NTSTATUS CreateKey(uint64_t base, std::string_view path, uint64_t* handle,
                       uint32_t* disposition, const REG_SECURITY* security) override;
    NTSTATUS OpenKey(uint64_t base, std::string_view path, uint64_t* handle) override;
    void CloseKey(uint64_t handle) override;
    NTSTATUS DeleteKey(uint64_t handle) override;
    NTSTATUS RenameKey(uint64_t handle, std::string_view newName) override;
    NTSTATUS EnumerateKey(uint64_t handle, uint32_t index, std::string& name) override;
    NTSTATUS QueryKeyInfo(uint64_t handle, REG_KEY_INFO& info) override;
    NTSTATUS SetValue(uint64_t handle, std::string_view name, uint32_t type,
                      std::span<const uint8_t> data) override;
    NTSTATUS QueryValue(uint64_t handle, std::string_view name, REG_VALUE& value) override;
    NTSTATUS DeleteValue(uint64_t handle, std::string_view name) override;
    NTSTATUS EnumerateValue(uint64_t handle, uint32_t index, std::string& name,
                            REG_VALUE* value) override;
    NTSTATUS NotifyChange(uint64_t handle, Event& event, uint32_t filter,
                          bool watchSubtree) override;
    NTSTATUS KeyPath(uint64_t handle, std::string& path) override;
    NTSTATUS QueryKeySecurity(uint64_t handle, REG_SECURITY& security) override;
    NTSTATUS SetKeySecurity(uint64_t handle, const REG_SECURITY& security) override;

  private:
    // The live connection, connecting when there is none. Null when the host cannot be reached.
    std::shared_ptr<LINK> Link(uint32_t* error = nullptr);
    // The host's number for a handle of `link`; false for a handle of an earlier connection.
    static bool WireHandle(const LINK& link, uint64_t handle, uint32_t* wire);
    // Sends a request (its op and handle first, then `fields`) and waits for the answer: its
    // status, and the results in *results.
    NTSTATUS Call(uint8_t op, uint64_t handle, const WRITER& fields, READER* results,
                  std::vector<uint8_t>* storage, std::shared_ptr<LINK>* used = nullptr,
                  uint64_t watchId = 0, Event* watchEvent = nullptr);

    const std::string socketPath_;
    const REGISTRY_BRIDGE_CLIENT_OPTIONS options_;
    std::mutex lock_;
    std::shared_ptr<LINK> link_;
    uint32_t generation_ = 0;
    std::atomic<uint64_t> nextId_{1};
};

REGISTRY_BRIDGE_CLIENT::~REGISTRY_BRIDGE_CLIENT() {
    std::shared_ptr<LINK> link;
    {
        std::lock_guard guard(lock_);
        link = std::move(link_);
    }
    if (link == nullptr)
        return;
    {
        std::lock_guard guard(link->lock);
        link->closing = true;
    }
    ::shutdown(link->socket.Get(), SHUT_RDWR);
    if (link->reader.joinable())
        link->reader.join();
}

uint32_t REGISTRY_BRIDGE_CLIENT::Connect() {
    uint32_t error = ERROR_SUCCESS;
    Link(&error);
    return error;
}

std::shared_ptr<LINK> REGISTRY_BRIDGE_CLIENT::Link(uint32_t* error) {
    std::lock_guard guard(lock_);
    if (link_ != nullptr) {
        std::unique_lock linkGuard(link_->lock);
        if (!link_->dead)
            return link_;
        linkGuard.unlock();
        if (link_->reader.joinable())
            link_->reader.join();
        link_.reset();
    }
    UNIQUE_FD socket;
    uint32_t result = bridge::ConnectSocket(socketPath_, &socket);
    if (error != nullptr)
        *error = result;
    if (result != ERROR_SUCCESS)
        return nullptr;
    auto link = std::make_shared<LINK>();
    link->socket = std::move(socket);
    link->generation = ++generation_;
    LINK* raw = link.get();
    const bridge::FRAME_OPTIONS frames = options_.frames;
    link->reader = std::thread([raw, frames] { raw->Read(frames); });
    link_ = link;
    return link;
}

bool REGISTRY_BRIDGE_CLIENT::WireHandle(const LINK& link, uint64_t handle, uint32_t* wire) {
    if (handle <= kRemoteUsers) {
        *wire = static_cast<uint32_t>(handle);
        return true;
    }
    if ((handle >> 32) != link.generation)
        return false;
    *wire = static_cast<uint32_t>(handle);
    return true;
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::Call(uint8_t op, uint64_t handle, const WRITER& fields,
                                      READER* results, std::vector<uint8_t>* storage,
                                      std::shared_ptr<LINK>* used, uint64_t watchId,
                                      Event* watchEvent) {
    std::shared_ptr<LINK> link = Link();
    if (link == nullptr)
        return STATUS_REGISTRY_UNREACHABLE;
    uint32_t wire = 0;
    if (!WireHandle(*link, handle, &wire))
        return STATUS_REGISTRY_UNREACHABLE;  // opened on a connection that was lost
    const uint64_t id = nextId_++;
    WRITER request;
    request.U8(op).U64(id).U32(wire);
    std::vector<uint8_t> bytes = request.Data();
    bytes.insert(bytes.end(), fields.Data().begin(), fields.Data().end());
    if (bytes.size() > options_.frames.maxPayload)
        return STATUS_INVALID_PARAMETER;  // more than the host takes in one request
    {
        std::lock_guard guard(link->lock);
        if (link->dead)
            return STATUS_REGISTRY_UNREACHABLE;
        link->pending.emplace(id, std::nullopt);
        // Armed before the request goes: the host may report the change before its answer.
        if (watchEvent != nullptr)
            link->watches[watchId] = {watchEvent, handle};
    }
    FRAME_STATUS sent;
    {
        std::lock_guard guard(link->writeLock);
        sent = bridge::WriteFrame(link->socket.Get(), bytes, {}, options_.frames);
    }
    if (sent != FRAME_STATUS::Ok)
        ::shutdown(link->socket.Get(), SHUT_RDWR);  // the reader ends and marks the link dead
    std::unique_lock guard(link->lock);
    const bool came =
        link->answered.wait_for(guard, std::chrono::milliseconds(options_.responseTimeoutMs),
                                [&] { return link->dead || link->pending.at(id).has_value(); });
    std::optional<std::vector<uint8_t>> answer = std::move(link->pending.at(id));
    link->pending.erase(id);
    if (!answer) {
        if (watchEvent != nullptr)
            link->watches.erase(watchId);
        guard.unlock();
        if (!came)
            ::shutdown(link->socket.Get(), SHUT_RDWR);  // a host that does not answer is lost
        return STATUS_REGISTRY_UNREACHABLE;
    }
    guard.unlock();
    *storage = std::move(*answer);
    *results = READER(*storage);
    const auto status = static_cast<NTSTATUS>(results->U32());
    if (!results->Ok())
        return STATUS_REGISTRY_UNREACHABLE;
    if (!NT_SUCCESS(status) && watchEvent != nullptr) {
        std::lock_guard watchGuard(link->lock);
        link->watches.erase(watchId);
    }
    if (used != nullptr)
        *used = link;
    return status;
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::CreateKey(uint64_t base, std::string_view path, uint64_t* handle,
                                           uint32_t* disposition, const REG_SECURITY* security) {
    if (security != nullptr && !IsValidRegSecurity(*security))
        return STATUS_INVALID_SECURITY_DESCR;  // the host would take it for a malformed request
    WRITER fields;
    fields.Str(path).U8(security != nullptr ? 1 : 0);
    if (security != nullptr)
        fields.Bytes(EncodeRegSecurity(*security));
    READER results({});
    std::vector<uint8_t> storage;
    std::shared_ptr<LINK> link;
    NTSTATUS status = Call(kCreateKey, base, fields, &results, &storage, &link);
    if (!NT_SUCCESS(status))
        return status;
    const uint32_t wire = results.U32();
    const uint32_t created = results.U32();
    if (!results.Ok())
        return STATUS_REGISTRY_UNREACHABLE;
    *handle = (static_cast<uint64_t>(link->generation) << 32) | wire;
    if (disposition != nullptr)
        *disposition = created;
    return status;
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::OpenKey(uint64_t base, std::string_view path, uint64_t* handle) {
    WRITER fields;
    fields.Str(path);
    READER results({});
    std::vector<uint8_t> storage;
    std::shared_ptr<LINK> link;
    NTSTATUS status = Call(kOpenKey, base, fields, &results, &storage, &link);
    if (!NT_SUCCESS(status))
        return status;
    const uint32_t wire = results.U32();
    if (!results.Ok())
        return STATUS_REGISTRY_UNREACHABLE;
    *handle = (static_cast<uint64_t>(link->generation) << 32) | wire;
    return status;
}

void REGISTRY_BRIDGE_CLIENT::CloseKey(uint64_t handle) {
    std::shared_ptr<LINK> link;
    {
        std::lock_guard guard(lock_);
        link = link_;
    }
    uint32_t wire = 0;
    if (link == nullptr || !WireHandle(*link, handle, &wire))
        return;  // its connection is gone, and the host closed it then
    {
        std::lock_guard guard(link->lock);
        if (link->dead)
            return;
        std::erase_if(link->watches,
                      [&](const auto& entry) { return entry.second.handle == handle; });
    }
    // No answer is asked for: a close cannot fail in a way the caller could act on.
    WRITER request;
    request.U8(kCloseKey).U64(0).U32(wire);
    std::lock_guard guard(link->writeLock);
    if (bridge::WriteFrame(link->socket.Get(), request.Data(), {}, options_.frames) !=
        FRAME_STATUS::Ok) {
        ::shutdown(link->socket.Get(), SHUT_RDWR);
    }
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::DeleteKey(uint64_t handle) {
    READER results({});
    std::vector<uint8_t> storage;
    return Call(kDeleteKey, handle, WRITER(), &results, &storage);
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::RenameKey(uint64_t handle, std::string_view newName) {
    WRITER fields;
    fields.Str(newName);
    READER results({});
    std::vector<uint8_t> storage;
    return Call(kRenameKey, handle, fields, &results, &storage);
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::EnumerateKey(uint64_t handle, uint32_t index, std::string& name) {
    WRITER fields;
    fields.U32(index);
    READER results({});
    std::vector<uint8_t> storage;
    NTSTATUS status = Call(kEnumerateKey, handle, fields, &results, &storage);
    if (!NT_SUCCESS(status))
        return status;
    std::string found = results.Str();
    if (!results.Ok())
        return STATUS_REGISTRY_UNREACHABLE;
    name = std::move(found);
    return status;
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::QueryKeyInfo(uint64_t handle, REG_KEY_INFO& info) {
    READER results({});
    std::vector<uint8_t> storage;
    NTSTATUS status = Call(kQueryKeyInfo, handle, WRITER(), &results, &storage);
    if (!NT_SUCCESS(status))
        return status;
    REG_KEY_INFO found;
    found.subKeys = results.U32();
    found.maxSubKeyLen = results.U32();
    found.values = results.U32();
    found.maxValueNameLen = results.U32();
    found.maxValueLen = results.U32();
    found.lastWriteTime = results.U64();
    if (!results.Ok())
        return STATUS_REGISTRY_UNREACHABLE;
    info = found;
    return status;
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::SetValue(uint64_t handle, std::string_view name, uint32_t type,
                                          std::span<const uint8_t> data) {
    if (data.size() > UINT32_MAX)
        return STATUS_INVALID_PARAMETER;
    WRITER fields;
    fields.Str(name).U32(type).Bytes(data);
    READER results({});
    std::vector<uint8_t> storage;
    return Call(kSetValue, handle, fields, &results, &storage);
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::QueryValue(uint64_t handle, std::string_view name,
                                            REG_VALUE& value) {
    WRITER fields;
    fields.Str(name);
    READER results({});
    std::vector<uint8_t> storage;
    NTSTATUS status = Call(kQueryValue, handle, fields, &results, &storage);
    if (!NT_SUCCESS(status))
        return status;
    REG_VALUE found;
    found.type = results.U32();
    found.data = results.Bytes();
    if (!results.Ok())
        return STATUS_REGISTRY_UNREACHABLE;
    value = std::move(found);
    return status;
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::DeleteValue(uint64_t handle, std::string_view name) {
    WRITER fields;
    fields.Str(name);
    READER results({});
    std::vector<uint8_t> storage;
    return Call(kDeleteValue, handle, fields, &results, &storage);
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::EnumerateValue(uint64_t handle, uint32_t index, std::string& name,
                                                REG_VALUE* value) {
    WRITER fields;
    fields.U32(index).U8(value != nullptr ? 1 : 0);
    READER results({});
    std::vector<uint8_t> storage;
    NTSTATUS status = Call(kEnumerateValue, handle, fields, &results, &storage);
    if (!NT_SUCCESS(status))
        return status;
    std::string found = results.Str();
    REG_VALUE foundValue;
    foundValue.type = results.U32();
    foundValue.data = results.Bytes();
    if (!results.Ok())
        return STATUS_REGISTRY_UNREACHABLE;
    name = std::move(found);
    if (value != nullptr)
        *value = std::move(foundValue);
    return status;
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::NotifyChange(uint64_t handle, Event& event, uint32_t filter,
                                              bool watchSubtree) {
    const uint64_t watchId = nextId_++;
    WRITER fields;
    fields.U64(watchId).U32(filter).U8(watchSubtree ? 1 : 0);
    READER results({});
    std::vector<uint8_t> storage;
    return Call(kNotifyChange, handle, fields, &results, &storage, nullptr, watchId, &event);
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::KeyPath(uint64_t handle, std::string& path) {
    READER results({});
    std::vector<uint8_t> storage;
    NTSTATUS status = Call(kKeyPath, handle, WRITER(), &results, &storage);
    if (!NT_SUCCESS(status))
        return status;
    std::string found = results.Str();
    if (!results.Ok())
        return STATUS_REGISTRY_UNREACHABLE;
    path = std::move(found);
    return status;
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::QueryKeySecurity(uint64_t handle, REG_SECURITY& security) {
    READER results({});
    std::vector<uint8_t> storage;
    NTSTATUS status = Call(kQueryKeySecurity, handle, WRITER(), &results, &storage);
    if (!NT_SUCCESS(status))
        return status;
    REG_SECURITY found;
    if (!DecodeRegSecurity(results.Bytes(), &found) || !results.Ok())
        return STATUS_REGISTRY_UNREACHABLE;
    security = std::move(found);
    return status;
}

NTSTATUS REGISTRY_BRIDGE_CLIENT::SetKeySecurity(uint64_t handle, const REG_SECURITY& security) {
    if (!IsValidRegSecurity(security))
        return STATUS_INVALID_SECURITY_DESCR;
    WRITER fields;
    fields.Bytes(EncodeRegSecurity(security));
    READER results({});
    std::vector<uint8_t> storage;
    return Call(kSetKeySecurity, handle, fields, &results, &storage);
}

std::mutex gInstalledLock;
bool gInstalled = false;
std::shared_ptr<RegistryStore> gPrevious;

}  // namespace

std::shared_ptr<RegistryStore> OpenRegistryBridge(const std::string& runtimeDir,
                                                  const REGISTRY_BRIDGE_CLIENT_OPTIONS& options,
                                                  uint32_t* connectError) {
    auto client =
        std::make_shared<REGISTRY_BRIDGE_CLIENT>(runtimeDir + "/" + kRegistrySocketName, options);
    const uint32_t error = client->Connect();
    if (connectError != nullptr)
        *connectError = error;
    return RegistryStore::CreateRemote(std::move(client));
}

uint32_t ConnectRegistryBridge(const std::string& runtimeDir) {
    uint32_t error = ERROR_SUCCESS;
    auto store = OpenRegistryBridge(runtimeDir, {}, &error);
    std::lock_guard guard(gInstalledLock);
    auto previous = SetSystemRegistry(std::move(store));
    if (!gInstalled) {
        gPrevious = std::move(previous);
        gInstalled = true;
    }
    return error;
}

void DisconnectRegistryBridge() {
    std::lock_guard guard(gInstalledLock);
    if (!gInstalled)
        return;
    SetSystemRegistry(std::move(gPrevious));
    gInstalled = false;
}

}  // namespace os
