// The registry store: the key tree, its handles, notifications, callbacks and persistence.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>

#include "os/core/clock.h"
#include "os/core/process.h"
#include "os/registry/registry.h"
#include "os/registry/registry_file.h"

namespace os {
namespace detail {

struct RegValueEntry {
    std::string name;
    std::string upper;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

struct RegNotifyEntry {
    uint64_t handleId = 0;
    Event* event = nullptr;
    uint32_t filter = 0;
    bool subtree = false;
};

struct RegKeyNode {
    std::string name;
    RegKeyNode* parent = nullptr;  // a live key's parent is live: keys with subkeys are not deleted
    bool deleted = false;
    std::string deletedPath;
    uint64_t lastWriteTime = 0;
    std::map<std::string, std::shared_ptr<RegKeyNode>> subkeys;  // by upper-cased name
    std::vector<RegValueEntry> values;                           // in the order first set
    std::vector<RegNotifyEntry> notifications;
    // Shared with the subkeys that inherited it; replaced, never changed, by a security change.
    std::shared_ptr<const REG_SECURITY> security;
    uint64_t remote = 0;  // a remote store's handle: each handle has a node of its own
};

}  // namespace detail

using detail::RegKeyNode;
using detail::RegNotifyEntry;
using detail::RegValueEntry;
namespace file = registry_file;

namespace {

constexpr char kRootName[] = "REGISTRY";

std::atomic<uint64_t> gNextHandleId{1};
std::atomic<uint64_t> gNextCookie{1};

std::string UpperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && UpperAscii(a) == UpperAscii(b);
}

// Splits a relative path into key names. An empty path has no components.
bool SplitPath(std::string_view path, std::vector<std::string>& components) {
    if (path.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('\\', start);
        std::string_view component = path.substr(start, end - start);
        if (!file::IsValidKeyName(component))
            return false;
        components.emplace_back(component);
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

// Whether `node` is the HKEY_USERS key itself.
bool IsUsersRoot(const RegKeyNode* node) {
    return node != nullptr && node->parent != nullptr && node->parent->parent == nullptr &&
           UpperAscii(node->name) == "USER";
}

// The descriptor a new key named `name` gets below `parent` when its creator gives none: a user's
// hive is the user's, everything else inherits.
std::shared_ptr<const REG_SECURITY> InheritedSecurity(const RegKeyNode* parent,
                                                      std::string_view name) {
    static const auto machine = std::make_shared<const REG_SECURITY>(MachineKeySecurity());
    if (parent == nullptr)
        return machine;
    if (IsUsersRoot(parent)) {
        if (auto user = UserOfHiveName(name))
            return std::make_shared<const REG_SECURITY>(UserHiveSecurity(*user));
    }
    return parent->security;
}

// Whether the key has the descriptor it would have got by inheritance (the file then leaves it
// out).
bool HasInheritedSecurity(const RegKeyNode& node) {
    if (node.parent != nullptr && !IsUsersRoot(node.parent))
        return node.security == node.parent->security || *node.security == *node.parent->security;
    return *node.security == *InheritedSecurity(node.parent, node.name);
}

std::shared_ptr<RegKeyNode> NewNode(std::string_view name, RegKeyNode* parent) {
    auto node = std::make_shared<RegKeyNode>();
    node->name = std::string(name);
    node->parent = parent;
    node->lastWriteTime = QuerySystemTime();
    node->security = InheritedSecurity(parent, name);
    return node;
}

RegKeyNode* Child(RegKeyNode* node, std::string_view name) {
    auto it = node->subkeys.find(UpperAscii(name));
    return it == node->subkeys.end() ? nullptr : it->second.get();
}

RegKeyNode* AddChild(RegKeyNode* node, std::string_view name) {
    auto child = NewNode(name, node);
    RegKeyNode* raw = child.get();
    node->subkeys.emplace(UpperAscii(name), std::move(child));
    return raw;
}

// Key names from below the root down to `node`.
std::vector<std::string> ComponentsOf(const RegKeyNode* node) {
    std::vector<std::string> components;
    for (; node != nullptr && node->parent != nullptr; node = node->parent) {
        components.push_back(node->name);
    }
    return {components.rbegin(), components.rend()};
}

std::string JoinPath(const std::vector<std::string>& components) {
    std::string path = std::string("\\") + kRootName;
    for (const std::string& component : components) {
        path += '\\';
        path += component;
    }
    return path;
}

std::vector<RegValueEntry>::iterator FindValue(RegKeyNode* node, const std::string& upper) {
    return std::find_if(node->values.begin(), node->values.end(),
                        [&](const RegValueEntry& value) { return value.upper == upper; });
}

// Sets the events of the registrations that a change of kind `filterBit` at `node` satisfies: the
// node's own, and its ancestors' that watch their subtree.
void FireLocked(RegKeyNode* node, uint32_t filterBit) {
    bool self = true;
    for (RegKeyNode* n = node; n != nullptr; n = n->parent, self = false) {
        auto& entries = n->notifications;
        for (auto it = entries.begin(); it != entries.end();) {
            if ((it->filter & filterBit) != 0 && (self || it->subtree)) {
                it->event->Set();
                it = entries.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void FireAllLocked(RegKeyNode* node) {
    for (RegNotifyEntry& entry : node->notifications)
        entry.event->Set();
    node->notifications.clear();
}

void Serialize(const RegKeyNode& node, file::ImageWriter& writer) {
    std::vector<uint8_t> security;
    if (!HasInheritedSecurity(node))
        security = EncodeRegSecurity(*node.security);
    writer.BeginKey(node.name, node.lastWriteTime, static_cast<uint32_t>(node.values.size()),
                    security);
    for (const RegValueEntry& value : node.values)
        writer.Value(value.name, value.type, value.data);
    writer.SubkeyCount(static_cast<uint32_t>(node.subkeys.size()));
    for (const auto& [upper, child] : node.subkeys)
        Serialize(*child, writer);
    writer.EndKey();
}

void BuildFromImage(file::ImageKey& image, RegKeyNode* node) {
    node->lastWriteTime = image.lastWriteTime;
    REG_SECURITY security;
    if (!image.security.empty() && DecodeRegSecurity(image.security, &security))
        node->security = std::make_shared<const REG_SECURITY>(std::move(security));
    for (file::ImageValue& value : image.values) {
        node->values.push_back(
            {value.name, UpperAscii(value.name), value.type, std::move(value.data)});
    }
    for (file::ImageKey& subkey : image.subkeys) {
        RegKeyNode* child = AddChild(node, subkey.name);
        BuildFromImage(subkey, child);
    }
}

}  // namespace

struct RegistryStore::Impl {
    struct Link {
        std::vector<std::string> from;  // upper-cased
        std::vector<std::string> to;
    };
    struct CallbackEntry {
        uint64_t cookie = 0;
        std::string altitude;
        RegistryCallback callback;
        bool removed = false;
        int active = 0;                                         // calls running now
        Event idle{EventType::Notification, /*initial*/ true};  // set while none runs
    };

    std::mutex lock;                          // the tree, handles' notifications, the file
    std::shared_ptr<REGISTRY_REMOTE> remote;  // set: every operation goes there
    std::shared_ptr<RegKeyNode> root;
    std::vector<Link> links;
    bool persistent = false;
    int lockFd = -1;
    RegistryWriteFault fault = RegistryWriteFault::None;
    std::atomic<bool> accessCheck{true};

    std::mutex callbackLock;
    std::vector<std::shared_ptr<CallbackEntry>> callbacks;

    // ---- paths (lock held) ----

    void ApplyLinks(std::vector<std::string>& components) const {
        for (int round = 0; round < 8; ++round) {
            bool replaced = false;
            for (const Link& link : links) {
                if (components.size() < link.from.size())
                    continue;
                bool match = true;
                for (size_t i = 0; i < link.from.size() && match; ++i) {
                    match = UpperAscii(components[i]) == link.from[i];
                }
                if (!match)
                    continue;
                std::vector<std::string> rewritten = link.to;
                rewritten.insert(rewritten.end(), components.begin() + link.from.size(),
                                 components.end());
                components = std::move(rewritten);
                replaced = true;
            }
            if (!replaced)
                return;
        }
    }

    // The absolute key names (below the root) that `path` names, links resolved.
    NTSTATUS Absolute(const RegKey* base, std::string_view path,
                      std::vector<std::string>& components) const {
        components.clear();
        if (base != nullptr) {
            if (!base->IsValid())
                return STATUS_INVALID_HANDLE;
            if (BaseNode(*base)->deleted)
                return STATUS_KEY_DELETED;
            if (!path.empty() && path.front() == '\\')
                return STATUS_OBJECT_NAME_INVALID;
            components = ComponentsOf(BaseNode(*base));
        } else {
            if (path.empty() || path.front() != '\\')
                return STATUS_OBJECT_NAME_INVALID;
            path.remove_prefix(1);
            std::string_view first = path.substr(0, path.find('\\'));
            if (!EqualsIgnoringCase(first, kRootName))
                return STATUS_OBJECT_PATH_NOT_FOUND;
            path.remove_prefix(first.size());
            if (!path.empty()) {
                path.remove_prefix(1);  // the backslash after the root
                if (path.empty())
                    return STATUS_OBJECT_NAME_INVALID;
            }
        }
        if (!SplitPath(path, components))
            return STATUS_OBJECT_NAME_INVALID;
        ApplyLinks(components);
        if (components.size() > file::kMaxDepth)
            return STATUS_OBJECT_NAME_INVALID;
        return STATUS_SUCCESS;
    }

    static RegKeyNode* BaseNode(const RegKey& key);

    // The one access check of the store: whether the calling thread's caller is granted every
    // right of `desired` on the key (lock held).
    NTSTATUS Check(const RegKeyNode* node, uint32_t desired) const {
        if (!accessCheck.load(std::memory_order_relaxed))
            return STATUS_SUCCESS;
        return RegistryAccessGranted(*node->security, desired) ? STATUS_SUCCESS
                                                               : STATUS_ACCESS_DENIED;
    }

    RegKeyNode* Find(const std::vector<std::string>& components) const {
        RegKeyNode* node = root.get();
        for (const std::string& component : components) {
            node = Child(node, component);
            if (node == nullptr)
                return nullptr;
        }
        return node;
    }

    // The name as the keys that exist spell it, the rest as given.
    std::string CanonicalPath(std::vector<std::string> components) const {
        RegKeyNode* node = root.get();
        for (std::string& component : components) {
            node = node != nullptr ? Child(node, component) : nullptr;
            if (node != nullptr)
                component = node->name;
        }
        return JoinPath(components);
    }

    // ---- persistence (lock held) ----

    NTSTATUS PersistLocked() {
        if (!persistent)
            return STATUS_SUCCESS;
        file::ImageWriter writer;
        Serialize(*root, writer);
        std::vector<uint8_t> image = writer.Finish();
        file::WriteStop stop = file::WriteStop::None;
        switch (fault) {
            case RegistryWriteFault::None:
                break;
            case RegistryWriteFault::FailOpen:
                stop = file::WriteStop::FailOpen;
                break;
            case RegistryWriteFault::CrashMidWrite:
                stop = file::WriteStop::MidWrite;
                break;
            case RegistryWriteFault::CrashBeforeRename:
                stop = file::WriteStop::BeforeRename;
                break;
        }
        return file::WriteFileAtomically(pathForWrites, image, stop) == 0
                   ? STATUS_SUCCESS
                   : STATUS_REGISTRY_IO_FAILED;
    }
    std::string pathForWrites;

    // ---- callbacks (no store lock held) ----

    NTSTATUS RunCallbacks(const REG_NOTIFY_INFO& info);
    // Names an existing key in `info` and runs the callbacks for an operation on it that needs
    // the rights of `desired`. A key that is gone is refused first, then a top-level key when
    // `refuseTopLevel` is set, then a caller the key's descriptor does not grant them.
    NTSTATUS RunCallbacksOnKey(RegKeyNode* node, bool refuseTopLevel, uint32_t desired,
                               REG_NOTIFY_INFO info);
    bool Removed(const CallbackEntry& entry);
};

// The handle's node; RegKey keeps it private to everyone but the store.
RegKeyNode* RegistryStore::Impl::BaseNode(const RegKey& key) {
    return key.node_.get();
}

namespace {

thread_local std::vector<const void*> tRunningCallbacks;

}  // namespace

NTSTATUS RegistryStore::Impl::RunCallbacksOnKey(RegKeyNode* node, bool refuseTopLevel,
                                                uint32_t desired, REG_NOTIFY_INFO info) {
    std::string path;
    {
        std::lock_guard guard(lock);
        if (node->deleted)
            return STATUS_KEY_DELETED;
        if (refuseTopLevel && (node->parent == nullptr || node->parent == root.get()))
            return STATUS_ACCESS_DENIED;
        NTSTATUS status = Check(node, desired);
        if (!NT_SUCCESS(status))
            return status;
        path = JoinPath(ComponentsOf(node));
    }
    info.keyPath = path;
    info.processId = CurrentProcessId();
    return RunCallbacks(info);
}

bool RegistryStore::Impl::Removed(const CallbackEntry& entry) {
    std::lock_guard guard(callbackLock);
    return entry.removed;
}

NTSTATUS RegistryStore::Impl::RunCallbacks(const REG_NOTIFY_INFO& info) {
    std::vector<std::shared_ptr<CallbackEntry>> snapshot;
    {
        std::lock_guard guard(callbackLock);
        for (const auto& entry : callbacks) {
            if (++entry->active == 1)
                entry->idle.Reset();
            snapshot.push_back(entry);
        }
    }
    struct Release {
        Impl* impl;
        CallbackEntry* entry;
        ~Release() {
            tRunningCallbacks.pop_back();
            std::lock_guard guard(impl->callbackLock);
            if (--entry->active == 0)
                entry->idle.Set();
        }
    };
    NTSTATUS status = STATUS_SUCCESS;
    for (const auto& entry : snapshot) {
        tRunningCallbacks.push_back(entry.get());
        Release release{this, entry.get()};
        if (NT_SUCCESS(status) && !Removed(*entry))
            status = entry->callback(info);
    }
    return status;
}

// ---- RegKey ----

RegKey::RegKey(PredefinedKey root) : RegKey(SystemRegistry()->Root(root)) {}

RegKey::RegKey(RegKey&& other) noexcept
    : store_(std::move(other.store_)), node_(std::move(other.node_)), id_(other.id_) {
    other.id_ = 0;
}

RegKey& RegKey::operator=(RegKey&& other) noexcept {
    if (this != &other) {
        Close();
        store_ = std::move(other.store_);
        node_ = std::move(other.node_);
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

RegKey::~RegKey() {
    Close();
}

void RegKey::Close() {
    if (store_ != nullptr)
        store_->CloseHandle(*this);
    store_.reset();
    node_.reset();
    id_ = 0;
}

std::string RegKey::Path() const {
    return IsValid() ? store_->PathOf(*this) : std::string();
}

// ---- RegistryStore ----

RegistryStore::RegistryStore() : impl_(std::make_unique<Impl>()) {
    impl_->root = NewNode(kRootName, nullptr);
    RegKeyNode* machine = AddChild(impl_->root.get(), "MACHINE");
    AddChild(impl_->root.get(), "USER");
    AddChild(machine, "SOFTWARE");
    AddChild(AddChild(machine, "SYSTEM"), "ControlSet001");
    AddChild(Child(impl_->root.get(), "USER"), ".DEFAULT");
    impl_->links.push_back(
        {{"MACHINE", "SYSTEM", "CURRENTCONTROLSET"}, {"MACHINE", "SYSTEM", "ControlSet001"}});
}

RegistryStore::~RegistryStore() {
    if (impl_->lockFd >= 0)
        ::close(impl_->lockFd);
}

std::shared_ptr<RegistryStore> RegistryStore::CreateInMemory() {
    return std::shared_ptr<RegistryStore>(new RegistryStore());
}

std::shared_ptr<RegistryStore> RegistryStore::CreateRemote(
    std::shared_ptr<REGISTRY_REMOTE> remote) {
    std::shared_ptr<RegistryStore> store(new RegistryStore());
    store->impl_->remote = std::move(remote);
    return store;
}

bool RegistryStore::IsRemote() const {
    return impl_->remote != nullptr;
}

RegKey RegistryStore::RemoteKey(uint64_t handle) {
    RegKey key;
    key.store_ = shared_from_this();
    key.node_ = std::make_shared<RegKeyNode>();
    key.node_->remote = handle;
    key.id_ = gNextHandleId++;
    return key;
}

std::shared_ptr<RegistryStore> RegistryStore::OpenFile(const std::string& path,
                                                       const RegistryOpenOptions& options,
                                                       RegistryOpenResult* result) {
    RegistryOpenResult local;
    RegistryOpenResult& report = result != nullptr ? *result : local;
    report = {};
    auto fail = [&](uint32_t error, const std::string& what) -> std::shared_ptr<RegistryStore> {
        report.error = error;
        report.message = "registry file \"" + path + "\": " + what;
        return nullptr;
    };
    if (path.empty())
        return fail(ERROR_INVALID_PARAMETER, "no path");

    std::shared_ptr<RegistryStore> store(new RegistryStore());
    Impl& impl = *store->impl_;
    store->path_ = path;
    impl.pathForWrites = path;

    // One store per file: a second one would overwrite the first one's changes.
    const std::string lockPath = path + ".lock";
    impl.lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (impl.lockFd < 0) {
        return fail(Win32ErrorFromErrno(errno),
                    std::string("cannot open the lock file: ") + std::strerror(errno));
    }
    if (::flock(impl.lockFd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK)
            return fail(ERROR_SHARING_VIOLATION, "in use by another store");
        return fail(Win32ErrorFromErrno(err), std::string("cannot lock: ") + std::strerror(err));
    }
    // What a crash before a rename left behind is never the store.
    ::unlink((path + ".tmp").c_str());

    std::vector<uint8_t> bytes;
    int err = file::ReadWholeFile(path, bytes);
    bool writeNow = false;
    if (err == ENOENT) {
        writeNow = true;
    } else if (err != 0) {
        return fail(Win32ErrorFromErrno(err), std::string("cannot read: ") + std::strerror(err));
    } else {
        file::ImageKey image;
        file::ParseError parse = file::ParseImage(bytes, image);
        if (parse == file::ParseError::None && !EqualsIgnoringCase(image.name, kRootName)) {
            parse = file::ParseError::Malformed;
        }
        if (parse == file::ParseError::NewerVersion) {
            return fail(ERROR_NOT_SUPPORTED, file::ParseErrorText(parse));
        }
        if (parse != file::ParseError::None) {
            if (!options.startEmptyIfCorrupt) {
                return fail(ERROR_REGISTRY_CORRUPT, file::ParseErrorText(parse));
            }
            std::string aside = path + ".corrupt";
            for (int n = 1; ::access(aside.c_str(), F_OK) == 0; ++n) {
                aside = path + ".corrupt." + std::to_string(n);
            }
            if (::rename(path.c_str(), aside.c_str()) != 0) {
                int renameError = errno;
                return fail(Win32ErrorFromErrno(renameError),
                            std::string(file::ParseErrorText(parse)) +
                                "; cannot move it aside: " + std::strerror(renameError));
            }
            report.error = ERROR_REGISTRY_CORRUPT;
            report.message = "registry file \"" + path + "\": " + file::ParseErrorText(parse) +
                             "; moved to \"" + aside + "\" and started empty";
            report.corruptCopy = aside;
            writeNow = true;
        } else {
            impl.root = NewNode(kRootName, nullptr);
            BuildFromImage(image, impl.root.get());
            for (const char* top : {"MACHINE", "USER"}) {
                if (Child(impl.root.get(), top) == nullptr)
                    AddChild(impl.root.get(), top);
            }
        }
    }
    impl.persistent = true;
    if (writeNow) {
        std::lock_guard guard(impl.lock);
        if (impl.PersistLocked() != STATUS_SUCCESS) {
            std::string notice = report.message;
            fail(ERROR_REGISTRY_IO_FAILED, "cannot write the new store");
            if (!notice.empty())
                report.message = notice + "; " + report.message;
            return nullptr;
        }
    }
    return store;
}

void RegistryStore::SetWriteFault(RegistryWriteFault fault) {
    std::lock_guard guard(impl_->lock);
    impl_->fault = fault;
}

void RegistryStore::SetAccessCheck(bool enabled) {
    impl_->accessCheck.store(enabled);
}

RegKey RegistryStore::Root(PredefinedKey root) {
    if (impl_->remote != nullptr)
        return RemoteKey(root == PredefinedKey::LocalMachine ? kRemoteLocalMachine : kRemoteUsers);
    std::lock_guard guard(impl_->lock);
    RegKey key;
    key.store_ = shared_from_this();
    key.node_ = impl_->root->subkeys.at(root == PredefinedKey::LocalMachine ? "MACHINE" : "USER");
    key.id_ = gNextHandleId++;
    return key;
}

void RegistryStore::CloseHandle(RegKey& key) {
    if (key.node_ == nullptr)
        return;
    if (impl_->remote != nullptr) {
        if (key.node_->remote > kRemoteUsers)
            impl_->remote->CloseKey(key.node_->remote);
        return;
    }
    std::lock_guard guard(impl_->lock);
    auto& entries = key.node_->notifications;
    std::erase_if(entries, [&](const RegNotifyEntry& entry) { return entry.handleId == key.id_; });
}

std::string RegistryStore::PathOf(const RegKey& key) {
    if (impl_->remote != nullptr) {
        std::string path;
        return NT_SUCCESS(impl_->remote->KeyPath(key.node_->remote, path)) ? path : std::string();
    }
    std::lock_guard guard(impl_->lock);
    const RegKeyNode* node = key.node_.get();
    return node->deleted ? node->deletedPath : JoinPath(ComponentsOf(node));
}

namespace {

NTSTATUS CheckHandle(const RegKey& key, const RegistryStore* store) {
    if (!key.IsValid() || key.Store().get() != store)
        return STATUS_INVALID_HANDLE;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RegistryStore::RemoteBase(const RegKey* base, uint64_t* handle) const {
    *handle = kRemoteNoKey;
    if (base == nullptr)
        return STATUS_SUCCESS;
    if (!base->IsValid() || base->Store().get() != this)
        return STATUS_INVALID_HANDLE;
    *handle = base->node_->remote;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::CreateKey(const RegKey* base, std::string_view path, RegKey& out,
                                  uint32_t* disposition, const REG_SECURITY* security) {
    if (base != nullptr && base->IsValid() && base->Store().get() != this) {
        return STATUS_INVALID_HANDLE;
    }
    if (impl_->remote != nullptr) {
        uint64_t baseHandle = kRemoteNoKey;
        uint64_t handle = 0;
        NTSTATUS status = RemoteBase(base, &baseHandle);
        if (NT_SUCCESS(status))
            status = impl_->remote->CreateKey(baseHandle, path, &handle, disposition, security);
        if (NT_SUCCESS(status))
            out = RemoteKey(handle);
        return status;
    }
    std::shared_ptr<const REG_SECURITY> given;
    if (security != nullptr) {
        if (!IsValidRegSecurity(*security))
            return STATUS_INVALID_SECURITY_DESCR;
        const REG_CALLER caller = CurrentRegistryCaller();
        REG_SECURITY resolved = *security;
        if (resolved.owner.empty())
            resolved.owner = caller.administrator ? AdministratorsSid() : caller.user;
        if (!caller.administrator && resolved.owner != caller.user && impl_->accessCheck.load()) {
            return STATUS_INVALID_OWNER;
        }
        given = std::make_shared<const REG_SECURITY>(std::move(resolved));
    }
    std::vector<std::string> components;
    std::string complete;
    {
        std::lock_guard guard(impl_->lock);
        NTSTATUS status = impl_->Absolute(base, path, components);
        if (!NT_SUCCESS(status))
            return status;
        // A create asks to change the deepest key of the path that is there.
        RegKeyNode* deepest = impl_->root.get();
        for (const std::string& component : components) {
            RegKeyNode* child = Child(deepest, component);
            if (child == nullptr)
                break;
            deepest = child;
        }
        status = impl_->Check(deepest, KEY_CREATE_SUB_KEY);
        if (!NT_SUCCESS(status))
            return status;
        complete = impl_->CanonicalPath(components);
    }
    REG_NOTIFY_INFO info;
    info.notifyClass = REG_NOTIFY_CLASS::RegNtPreCreateKeyEx;
    info.keyPath = complete;
    info.processId = CurrentProcessId();
    NTSTATUS status = impl_->RunCallbacks(info);
    if (!NT_SUCCESS(status))
        return status;

    std::unique_lock guard(impl_->lock);
    if (base != nullptr && Impl::BaseNode(*base)->deleted)
        return STATUS_KEY_DELETED;
    RegKeyNode* node = impl_->root.get();
    RegKeyNode* firstParent = nullptr;
    RegKeyNode* firstCreated = nullptr;
    for (const std::string& component : components) {
        RegKeyNode* child = Child(node, component);
        if (child == nullptr && node == impl_->root.get())
            return STATUS_ACCESS_DENIED;
        if (child == nullptr) {
            child = AddChild(node, component);
            if (firstCreated == nullptr) {
                firstParent = node;
                firstCreated = child;
            }
        }
        node = child;
    }
    if (firstCreated != nullptr && given != nullptr)
        node->security = std::move(given);
    if (firstCreated != nullptr) {
        uint64_t parentWriteTime = firstParent->lastWriteTime;
        firstParent->lastWriteTime = QuerySystemTime();
        status = impl_->PersistLocked();
        if (!NT_SUCCESS(status)) {
            firstParent->subkeys.erase(UpperAscii(firstCreated->name));
            firstParent->lastWriteTime = parentWriteTime;
            return status;
        }
        FireLocked(firstParent, REG_NOTIFY_CHANGE_NAME);
    }
    RegKey key;
    key.store_ = shared_from_this();
    key.node_ =
        node == impl_->root.get() ? impl_->root : node->parent->subkeys.at(UpperAscii(node->name));
    key.id_ = gNextHandleId++;
    guard.unlock();  // replacing `out` closes the handle it held, which takes the lock
    out = std::move(key);
    if (disposition != nullptr) {
        *disposition = firstCreated != nullptr ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::OpenKey(const RegKey* base, std::string_view path, RegKey& out) {
    if (base != nullptr && base->IsValid() && base->Store().get() != this) {
        return STATUS_INVALID_HANDLE;
    }
    if (impl_->remote != nullptr) {
        uint64_t baseHandle = kRemoteNoKey;
        uint64_t handle = 0;
        NTSTATUS status = RemoteBase(base, &baseHandle);
        if (NT_SUCCESS(status))
            status = impl_->remote->OpenKey(baseHandle, path, &handle);
        if (NT_SUCCESS(status))
            out = RemoteKey(handle);
        return status;
    }
    std::unique_lock guard(impl_->lock);
    std::vector<std::string> components;
    NTSTATUS status = impl_->Absolute(base, path, components);
    if (!NT_SUCCESS(status))
        return status;
    RegKeyNode* node = impl_->Find(components);
    if (node == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    status = impl_->Check(node, KEY_READ);
    if (!NT_SUCCESS(status))
        return status;
    RegKey key;
    key.store_ = shared_from_this();
    key.node_ =
        node == impl_->root.get() ? impl_->root : node->parent->subkeys.at(UpperAscii(node->name));
    key.id_ = gNextHandleId++;
    guard.unlock();  // replacing `out` closes the handle it held, which takes the lock
    out = std::move(key);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::DeleteKey(const RegKey& key) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->DeleteKey(key.node_->remote);
    RegKeyNode* node = key.node_.get();
    REG_NOTIFY_INFO info;
    info.notifyClass = REG_NOTIFY_CLASS::RegNtPreDeleteKey;
    status = impl_->RunCallbacksOnKey(node, true, KEY_DELETE, info);
    if (!NT_SUCCESS(status))
        return status;

    std::lock_guard guard(impl_->lock);
    if (node->deleted)
        return STATUS_KEY_DELETED;
    if (!node->subkeys.empty())
        return STATUS_CANNOT_DELETE;
    RegKeyNode* parent = node->parent;
    const std::string upper = UpperAscii(node->name);
    std::shared_ptr<RegKeyNode> holder = parent->subkeys.at(upper);
    uint64_t parentWriteTime = parent->lastWriteTime;
    parent->subkeys.erase(upper);
    parent->lastWriteTime = QuerySystemTime();
    status = impl_->PersistLocked();
    if (!NT_SUCCESS(status)) {
        parent->subkeys.emplace(upper, std::move(holder));
        parent->lastWriteTime = parentWriteTime;
        return status;
    }
    node->deletedPath = JoinPath(ComponentsOf(node));
    node->deleted = true;
    node->parent = nullptr;
    FireAllLocked(node);
    FireLocked(parent, REG_NOTIFY_CHANGE_NAME);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::RenameKey(const RegKey& key, std::string_view newName) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->RenameKey(key.node_->remote, newName);
    if (!file::IsValidKeyName(newName))
        return STATUS_OBJECT_NAME_INVALID;
    RegKeyNode* node = key.node_.get();
    REG_NOTIFY_INFO info;
    info.notifyClass = REG_NOTIFY_CLASS::RegNtPreRenameKey;
    info.newName = newName;
    status = impl_->RunCallbacksOnKey(node, true, KEY_WRITE, info);
    if (!NT_SUCCESS(status))
        return status;

    std::lock_guard guard(impl_->lock);
    if (node->deleted)
        return STATUS_KEY_DELETED;
    RegKeyNode* parent = node->parent;
    const std::string oldUpper = UpperAscii(node->name);
    const std::string newUpper = UpperAscii(newName);
    if (newUpper != oldUpper && parent->subkeys.count(newUpper) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    const std::string oldName = node->name;
    const uint64_t parentWriteTime = parent->lastWriteTime;
    auto move = [&](const std::string& from, const std::string& to, std::string_view name) {
        auto holder = std::move(parent->subkeys.at(from));
        parent->subkeys.erase(from);
        node->name = std::string(name);
        parent->subkeys.emplace(to, std::move(holder));
    };
    move(oldUpper, newUpper, newName);
    parent->lastWriteTime = QuerySystemTime();
    status = impl_->PersistLocked();
    if (!NT_SUCCESS(status)) {
        move(newUpper, oldUpper, oldName);
        parent->lastWriteTime = parentWriteTime;
        return status;
    }
    FireLocked(parent, REG_NOTIFY_CHANGE_NAME);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::EnumerateKey(const RegKey& key, uint32_t index, std::string& name) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->EnumerateKey(key.node_->remote, index, name);
    std::lock_guard guard(impl_->lock);
    const RegKeyNode* node = key.node_.get();
    if (node->deleted)
        return STATUS_KEY_DELETED;
    status = impl_->Check(node, KEY_ENUMERATE_SUB_KEYS);
    if (!NT_SUCCESS(status))
        return status;
    if (index >= node->subkeys.size())
        return STATUS_NO_MORE_ENTRIES;
    name = std::next(node->subkeys.begin(), index)->second->name;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::QueryKeyInfo(const RegKey& key, REG_KEY_INFO& info) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->QueryKeyInfo(key.node_->remote, info);
    std::lock_guard guard(impl_->lock);
    const RegKeyNode* node = key.node_.get();
    if (node->deleted)
        return STATUS_KEY_DELETED;
    status = impl_->Check(node, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status))
        return status;
    info = {};
    info.subKeys = static_cast<uint32_t>(node->subkeys.size());
    for (const auto& [upper, child] : node->subkeys) {
        info.maxSubKeyLen = std::max(info.maxSubKeyLen, static_cast<uint32_t>(child->name.size()));
    }
    info.values = static_cast<uint32_t>(node->values.size());
    for (const RegValueEntry& value : node->values) {
        info.maxValueNameLen =
            std::max(info.maxValueNameLen, static_cast<uint32_t>(value.name.size()));
        info.maxValueLen = std::max(info.maxValueLen, static_cast<uint32_t>(value.data.size()));
    }
    info.lastWriteTime = node->lastWriteTime;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::SetValue(const RegKey& key, std::string_view name, uint32_t type,
                                 std::span<const uint8_t> data) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->SetValue(key.node_->remote, name, type, data);
    if (!file::IsValidValueName(name) || data.size() > UINT32_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    RegKeyNode* node = key.node_.get();
    REG_NOTIFY_INFO info;
    info.notifyClass = REG_NOTIFY_CLASS::RegNtPreSetValueKey;
    info.valueName = name;
    info.type = type;
    info.data = data;
    status = impl_->RunCallbacksOnKey(node, false, KEY_SET_VALUE, info);
    if (!NT_SUCCESS(status))
        return status;

    std::lock_guard guard(impl_->lock);
    if (node->deleted)
        return STATUS_KEY_DELETED;
    const std::string upper = UpperAscii(name);
    const uint64_t writeTime = node->lastWriteTime;
    auto it = FindValue(node, upper);
    std::optional<RegValueEntry> previous;
    if (it != node->values.end()) {
        // The value keeps the name it was first set with, whatever case this call spells.
        previous = std::move(*it);
        *it = {previous->name, upper, type, {data.begin(), data.end()}};
    } else {
        node->values.push_back({std::string(name), upper, type, {data.begin(), data.end()}});
    }
    node->lastWriteTime = QuerySystemTime();
    status = impl_->PersistLocked();
    if (!NT_SUCCESS(status)) {
        if (previous) {
            *FindValue(node, upper) = std::move(*previous);
        } else {
            node->values.pop_back();
        }
        node->lastWriteTime = writeTime;
        return status;
    }
    FireLocked(node, REG_NOTIFY_CHANGE_LAST_SET);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::QueryValue(const RegKey& key, std::string_view name, REG_VALUE& value) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->QueryValue(key.node_->remote, name, value);
    std::lock_guard guard(impl_->lock);
    RegKeyNode* node = key.node_.get();
    if (node->deleted)
        return STATUS_KEY_DELETED;
    status = impl_->Check(node, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status))
        return status;
    auto it = FindValue(node, UpperAscii(name));
    if (it == node->values.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    value.type = it->type;
    value.data = it->data;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::DeleteValue(const RegKey& key, std::string_view name) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->DeleteValue(key.node_->remote, name);
    RegKeyNode* node = key.node_.get();
    REG_NOTIFY_INFO info;
    info.notifyClass = REG_NOTIFY_CLASS::RegNtPreDeleteValueKey;
    info.valueName = name;
    status = impl_->RunCallbacksOnKey(node, false, KEY_SET_VALUE, info);
    if (!NT_SUCCESS(status))
        return status;

    std::lock_guard guard(impl_->lock);
    if (node->deleted)
        return STATUS_KEY_DELETED;
    auto it = FindValue(node, UpperAscii(name));
    if (it == node->values.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const auto index = it - node->values.begin();
    RegValueEntry removed = std::move(*it);
    node->values.erase(it);
    const uint64_t writeTime = node->lastWriteTime;
    node->lastWriteTime = QuerySystemTime();
    status = impl_->PersistLocked();
    if (!NT_SUCCESS(status)) {
        node->values.insert(node->values.begin() + index, std::move(removed));
        node->lastWriteTime = writeTime;
        return status;
    }
    FireLocked(node, REG_NOTIFY_CHANGE_LAST_SET);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::EnumerateValue(const RegKey& key, uint32_t index, std::string& name,
                                       REG_VALUE* value) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->EnumerateValue(key.node_->remote, index, name, value);
    std::lock_guard guard(impl_->lock);
    const RegKeyNode* node = key.node_.get();
    if (node->deleted)
        return STATUS_KEY_DELETED;
    status = impl_->Check(node, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status))
        return status;
    if (index >= node->values.size())
        return STATUS_NO_MORE_ENTRIES;
    const RegValueEntry& entry = node->values[index];
    name = entry.name;
    if (value != nullptr) {
        value->type = entry.type;
        value->data = entry.data;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::NotifyChange(const RegKey& key, Event& event, uint32_t filter,
                                     bool watchSubtree) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->NotifyChange(key.node_->remote, event, filter, watchSubtree);
    constexpr uint32_t kAll = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                              REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
    if (filter == 0 || (filter & ~kAll) != 0)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard guard(impl_->lock);
    RegKeyNode* node = key.node_.get();
    if (node->deleted)
        return STATUS_KEY_DELETED;
    status = impl_->Check(node, KEY_NOTIFY);
    if (!NT_SUCCESS(status))
        return status;
    node->notifications.push_back({key.id_, &event, filter, watchSubtree});
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::QueryKeySecurity(const RegKey& key, REG_SECURITY& security) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->QueryKeySecurity(key.node_->remote, security);
    std::lock_guard guard(impl_->lock);
    const RegKeyNode* node = key.node_.get();
    if (node->deleted)
        return STATUS_KEY_DELETED;
    status = impl_->Check(node, READ_CONTROL);
    if (!NT_SUCCESS(status))
        return status;
    security = *node->security;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::SetKeySecurity(const RegKey& key, const REG_SECURITY& security) {
    NTSTATUS status = CheckHandle(key, this);
    if (!NT_SUCCESS(status))
        return status;
    if (impl_->remote != nullptr)
        return impl_->remote->SetKeySecurity(key.node_->remote, security);
    if (!IsValidRegSecurity(security))
        return STATUS_INVALID_SECURITY_DESCR;
    const REG_CALLER caller = CurrentRegistryCaller();
    std::lock_guard guard(impl_->lock);
    RegKeyNode* node = key.node_.get();
    if (node->deleted)
        return STATUS_KEY_DELETED;
    auto next = std::make_shared<REG_SECURITY>(security);
    if (next->owner.empty())
        next->owner = node->security->owner;
    const bool newOwner = next->owner != node->security->owner;
    status = impl_->Check(node, newOwner ? WRITE_DAC | WRITE_OWNER : WRITE_DAC);
    if (!NT_SUCCESS(status))
        return status;
    // Only an administrator may give a key away.
    if (newOwner && !caller.administrator && next->owner != caller.user &&
        impl_->accessCheck.load()) {
        return STATUS_INVALID_OWNER;
    }
    std::shared_ptr<const REG_SECURITY> previous = std::move(node->security);
    node->security = std::move(next);
    status = impl_->PersistLocked();
    if (!NT_SUCCESS(status)) {
        node->security = std::move(previous);
        return status;
    }
    FireLocked(node, REG_NOTIFY_CHANGE_SECURITY);
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::RegisterCallback(RegistryCallback callback, std::string_view altitude,
                                         uint64_t* cookie) {
    if (!callback || cookie == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (impl_->remote != nullptr)
        return STATUS_NOT_SUPPORTED;  // callbacks run in the process that holds the store
    std::lock_guard guard(impl_->callbackLock);
    if (!altitude.empty()) {
        for (const auto& entry : impl_->callbacks) {
            if (entry->altitude == altitude)
                return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
        }
    }
    auto entry = std::make_shared<Impl::CallbackEntry>();
    entry->cookie = gNextCookie++;
    entry->altitude = std::string(altitude);
    entry->callback = std::move(callback);
    impl_->callbacks.push_back(entry);
    *cookie = entry->cookie;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryStore::UnregisterCallback(uint64_t cookie) {
    std::shared_ptr<Impl::CallbackEntry> entry;
    {
        std::lock_guard guard(impl_->callbackLock);
        auto& list = impl_->callbacks;
        auto it = std::find_if(list.begin(), list.end(),
                               [&](const auto& candidate) { return candidate->cookie == cookie; });
        if (it == list.end())
            return STATUS_INVALID_PARAMETER;
        entry = *it;
        entry->removed = true;
        list.erase(it);
    }
    // A callback that unregisters itself cannot wait for its own return.
    bool insideItself = std::find(tRunningCallbacks.begin(), tRunningCallbacks.end(),
                                  entry.get()) != tRunningCallbacks.end();
    if (!insideItself)
        WaitForSingleObject(entry->idle, INFINITE);
    return STATUS_SUCCESS;
}

// ---- The process's registry ----

namespace {

std::mutex gSystemLock;
std::shared_ptr<RegistryStore> gSystem;

}  // namespace

std::shared_ptr<RegistryStore> SystemRegistry() {
    std::lock_guard guard(gSystemLock);
    if (gSystem == nullptr)
        gSystem = RegistryStore::CreateInMemory();
    return gSystem;
}

std::shared_ptr<RegistryStore> SetSystemRegistry(std::shared_ptr<RegistryStore> store) {
    std::lock_guard guard(gSystemLock);
    std::swap(gSystem, store);
    return store;
}

ScopedSystemRegistry::ScopedSystemRegistry(std::shared_ptr<RegistryStore> store)
    : previous_(SetSystemRegistry(std::move(store))) {}

ScopedSystemRegistry::~ScopedSystemRegistry() {
    SetSystemRegistry(std::move(previous_));
}

}  // namespace os
