#include "os/kernel/object_namespace.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "os/kernel/device.h"
#include "os/kernel/kernel_handles.h"

namespace os {

// Defined here: only the namespace reads or changes what a directory holds.
class OBJECT_DIRECTORY final : public NAMED_OBJECT {
  public:
    explicit OBJECT_DIRECTORY(std::u16string name) : name_(std::move(name)) {}
    std::u16string ObjectName() const override { return name_; }

    // Keyed by the upper-case name; guarded by the namespace's lock.
    std::map<std::u16string, std::shared_ptr<NAMED_OBJECT>> entries;

  private:
    std::u16string name_;
};

namespace {

constexpr uint32_t FILE_DEVICE_DISK = 0x00000007;
// The longest name a counted string can carry, in characters.
constexpr size_t kMaxNameCharacters = kMaxUnicodeStringBytes / sizeof(char16_t);

std::u16string Upper(std::u16string_view text) {
    std::u16string upper(text);
    for (auto& c : upper) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return upper;
}

std::u16string ChildName(const OBJECT_DIRECTORY& parent, std::u16string_view leaf) {
    std::u16string name = parent.ObjectName();
    if (name != u"\\") {
        name += u'\\';
    }
    name += leaf;
    return name;
}

struct FOUND {
    NTSTATUS status = STATUS_SUCCESS;
    std::shared_ptr<NAMED_OBJECT> object;
    // What is left of the name inside the device that was reached ("\x\y"), else empty.
    std::u16string rest;
};

struct Namespace {
    std::mutex lock;
    std::shared_ptr<OBJECT_DIRECTORY> root = std::make_shared<OBJECT_DIRECTORY>(u"\\");
    std::shared_ptr<OBJECT_DIRECTORY> global;
    std::shared_ptr<OBJECT_DIRECTORY> logonSessions;

    Namespace() {
        auto device = AddDirectory(root, u"Device");
        global = AddDirectory(root, u"GLOBAL??");
        auto sessions = AddDirectory(root, u"Sessions");
        logonSessions = AddDirectory(AddDirectory(sessions, u"0"), u"DosDevices");
        AddLink(root, u"DosDevices", u"\\??");
        AddLink(global, u"Global", u"\\GLOBAL??");
        auto volume =
            std::make_shared<DEVICE_OBJECT>(u"\\Device\\HarddiskVolume1", FILE_DEVICE_DISK, false);
        device->entries.emplace(Upper(u"HarddiskVolume1"), volume);
        AddLink(global, u"C:", u"\\Device\\HarddiskVolume1");
        AddLink(root, u"SystemRoot", u"\\Device\\HarddiskVolume1\\Windows");
    }

    static std::shared_ptr<OBJECT_DIRECTORY> AddDirectory(
        const std::shared_ptr<OBJECT_DIRECTORY>& parent, std::u16string_view leaf) {
        auto directory = std::make_shared<OBJECT_DIRECTORY>(ChildName(*parent, leaf));
        parent->entries.emplace(Upper(leaf), directory);
        return directory;
    }

    static void AddLink(const std::shared_ptr<OBJECT_DIRECTORY>& parent, std::u16string_view leaf,
                        std::u16string_view target) {
        parent->entries.emplace(Upper(leaf), std::make_shared<SYMBOLIC_LINK>(
                                                 ChildName(*parent, leaf), std::u16string(target)));
    }

    static std::shared_ptr<NAMED_OBJECT> Find(const OBJECT_DIRECTORY& directory,
                                              std::u16string_view leaf) {
        auto it = directory.entries.find(Upper(leaf));
        return it != directory.entries.end() ? it->second : nullptr;
    }

    // The logon session's own device directory, when it has one (the system's has none: it sees
    // "\GLOBAL??" alone).
    std::shared_ptr<OBJECT_DIRECTORY> SessionDirectoryLocked(uint64_t logonId) const {
        if (logonId == kSystemLogonId) {
            return nullptr;
        }
        std::u16string name = LogonSessionDirectoryName(logonId);
        auto found = Find(*logonSessions, name.substr(name.rfind(u'\\') + 1));
        return std::dynamic_pointer_cast<OBJECT_DIRECTORY>(found);
    }

    // Looks a name up from `start` (a relative name) or the root (an absolute one). Links are
    // followed, the last component's only when openLink is false.
    FOUND ResolveLocked(std::shared_ptr<OBJECT_DIRECTORY> start, std::u16string name, bool openLink,
                        uint64_t logonId) const {
        int reparses = 0;
        for (;;) {
            std::shared_ptr<OBJECT_DIRECTORY> directory = start;
            size_t position = 0;
            if (!name.empty() && name[0] == u'\\') {
                directory = root;
                position = 1;
                if (name.size() == 1) {
                    return {STATUS_SUCCESS, root, {}};
                }
            } else if (!directory) {
                return {STATUS_OBJECT_PATH_SYNTAX_BAD, nullptr, {}};
            } else if (name.empty()) {
                return {STATUS_SUCCESS, directory, {}};
            }
            // Set after "\??": where a name missing from the session's directory is looked for.
            std::shared_ptr<OBJECT_DIRECTORY> fallback;
            bool reparsed = false;
            while (!reparsed) {
                size_t end = name.find(u'\\', position);
                if (end == std::u16string::npos) {
                    end = name.size();
                }
                std::u16string_view leaf(name.data() + position, end - position);
                const bool last = end == name.size();
                if (leaf.empty()) {
                    return {STATUS_OBJECT_NAME_INVALID, nullptr, {}};
                }
                std::shared_ptr<NAMED_OBJECT> object;
                std::shared_ptr<OBJECT_DIRECTORY> nextFallback;
                if (directory == root && !fallback && NamesEqual(leaf, u"??")) {
                    auto session = SessionDirectoryLocked(logonId);
                    object = session ? session : global;
                    if (session) {
                        nextFallback = global;
                    }
                } else {
                    object = Find(*directory, leaf);
                    if (!object && fallback) {
                        object = Find(*fallback, leaf);
                    }
                }
                fallback = nextFallback;
                if (!object) {
                    return {last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND,
                            nullptr,
                            {}};
                }
                auto* link = dynamic_cast<SYMBOLIC_LINK*>(object.get());
                if (link != nullptr && !(last && openLink)) {
                    std::u16string next = link->Target() + name.substr(end);
                    if (++reparses > kMaxLinkReparses || next.empty() || next[0] != u'\\') {
                        return {STATUS_OBJECT_PATH_NOT_FOUND, nullptr, {}};
                    }
                    name = std::move(next);
                    reparsed = true;
                    continue;
                }
                auto sub = std::dynamic_pointer_cast<OBJECT_DIRECTORY>(object);
                if (sub && !last) {
                    directory = std::move(sub);
                    position = end + 1;
                    continue;
                }
                return {STATUS_SUCCESS, std::move(object), last ? u"" : name.substr(end)};
            }
        }
    }

    // The directory that is to hold the last component of an absolute name, and that component.
    NTSTATUS ParentLocked(std::u16string_view name, uint64_t logonId,
                          std::shared_ptr<OBJECT_DIRECTORY>* parent, std::u16string* leaf) const {
        if (name.size() < 2 || name[0] != u'\\' || name.size() > kMaxNameCharacters) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        size_t split = name.rfind(u'\\');
        *leaf = std::u16string(name.substr(split + 1));
        if (leaf->empty()) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        std::u16string parentName(split == 0 ? u"\\" : name.substr(0, split));
        FOUND found = ResolveLocked(nullptr, parentName, false, logonId);
        if (!NT_SUCCESS(found.status)) {
            return found.status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND
                                                                : found.status;
        }
        *parent = std::dynamic_pointer_cast<OBJECT_DIRECTORY>(found.object);
        return *parent && found.rest.empty() ? STATUS_SUCCESS : STATUS_OBJECT_PATH_NOT_FOUND;
    }

    // Inserts an object under an absolute name; the object's own name is made by `make`.
    template <typename Make>
    NTSTATUS InsertLocked(std::u16string_view name, uint64_t logonId, Make make) {
        std::shared_ptr<OBJECT_DIRECTORY> parent;
        std::u16string leaf;
        NTSTATUS status = ParentLocked(name, logonId, &parent, &leaf);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::u16string key = Upper(leaf);
        if (parent->entries.count(key) != 0) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        parent->entries.emplace(std::move(key), make(ChildName(*parent, leaf)));
        return STATUS_SUCCESS;
    }

    // Removes the entry an absolute name names (links not followed at the last component) when
    // `accept` takes it. A name under "\??" is looked for where a lookup would find it.
    template <typename Accept>
    NTSTATUS RemoveLocked(std::u16string_view name, uint64_t logonId, Accept accept) {
        std::shared_ptr<OBJECT_DIRECTORY> parent;
        std::u16string leaf;
        NTSTATUS status = ParentLocked(name, logonId, &parent, &leaf);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::u16string key = Upper(leaf);
        auto it = parent->entries.find(key);
        if (it == parent->entries.end() && parent != global &&
            parent == SessionDirectoryLocked(logonId) && NameBeginsWith(name, u"\\??\\")) {
            parent = global;
            it = parent->entries.find(key);
        }
        if (it == parent->entries.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (!accept(it->second)) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        parent->entries.erase(it);
        return STATUS_SUCCESS;
    }
};

Namespace& Names() {
    static Namespace* names = new Namespace();
    return *names;
}

uint64_t CallerLogonId() {
    auto process = CurrentProcess();
    return process ? process->AuthenticationId() : kSystemLogonId;
}

// The object an open names, for ZwOpenDirectoryObject and ZwOpenSymbolicLinkObject.
NTSTATUS OpenByAttributes(const OBJECT_ATTRIBUTES* attributes, bool openLink, FOUND* found) {
    if (attributes == nullptr || attributes->ObjectName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name(attributes->ObjectName->View());
    std::shared_ptr<OBJECT_DIRECTORY> start;
    if (attributes->RootDirectory != 0) {
        if (!name.empty() && name[0] == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        std::shared_ptr<NAMED_OBJECT> root;
        NTSTATUS status = ReferenceAnyObject(attributes->RootDirectory, DIRECTORY_TRAVERSE,
                                             ObjectType::Directory, &root);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        start = std::dynamic_pointer_cast<OBJECT_DIRECTORY>(root);
        if (!start) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
    } else if (name.empty() || name[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    const uint64_t logonId = CallerLogonId();
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    *found = names.ResolveLocked(std::move(start), std::move(name), openLink, logonId);
    return found->status;
}

NTSTATUS InsertOpened(const OBJECT_ATTRIBUTES* attributes, std::shared_ptr<NAMED_OBJECT> object,
                      ObjectType type, uint32_t access, HANDLE* handle) {
    HANDLE opened = InsertHandleFor(attributes->Attributes, std::move(object), type, access);
    if (opened == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *handle = opened;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZwOpenDirectoryObject(HANDLE* handle, uint32_t desiredAccess,
                               const OBJECT_ATTRIBUTES* attributes) {
    if (handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *handle = 0;
    FOUND found;
    NTSTATUS status = OpenByAttributes(attributes, false, &found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!std::dynamic_pointer_cast<OBJECT_DIRECTORY>(found.object) || !found.rest.empty()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return InsertOpened(attributes, std::move(found.object), ObjectType::Directory, desiredAccess,
                        handle);
}

NTSTATUS ZwOpenSymbolicLinkObject(HANDLE* handle, uint32_t desiredAccess,
                                  const OBJECT_ATTRIBUTES* attributes) {
    if (handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *handle = 0;
    FOUND found;
    NTSTATUS status = OpenByAttributes(attributes, true, &found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (dynamic_cast<SYMBOLIC_LINK*>(found.object.get()) == nullptr || !found.rest.empty()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return InsertOpened(attributes, std::move(found.object), ObjectType::SymbolicLink,
                        desiredAccess, handle);
}

NTSTATUS ZwQuerySymbolicLinkObject(HANDLE linkHandle, UNICODE_STRING* target,
                                   uint32_t* returnedLength) {
    std::shared_ptr<NAMED_OBJECT> object;
    NTSTATUS status =
        ReferenceAnyObject(linkHandle, SYMBOLIC_LINK_QUERY, ObjectType::SymbolicLink, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* link = dynamic_cast<SYMBOLIC_LINK*>(object.get());
    if (link == nullptr || target == nullptr) {
        return link == nullptr ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_PARAMETER;
    }
    const size_t bytes = link->Target().size() * sizeof(char16_t);
    if (returnedLength != nullptr) {
        *returnedLength = static_cast<uint32_t>(bytes + sizeof(char16_t));
    }
    if (target->MaximumLength < bytes || (bytes != 0 && target->Buffer == nullptr)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (bytes != 0) {
        std::memcpy(target->Buffer, link->Target().data(), bytes);
    }
    target->Length = static_cast<uint16_t>(bytes);
    if (target->MaximumLength >= bytes + sizeof(char16_t)) {
        target->Buffer[bytes / sizeof(char16_t)] = u'\0';
    }
    return STATUS_SUCCESS;
}

NTSTATUS ObQueryNameString(const NAMED_OBJECT* object, OBJECT_NAME_INFORMATION* info,
                           uint32_t length, uint32_t* returnLength) {
    if (object == nullptr || returnLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = object->ObjectName();
    if (name.size() > kMaxNameCharacters - 1) {
        name.resize(kMaxNameCharacters - 1);
    }
    const size_t bytes = name.size() * sizeof(char16_t);
    const size_t needed = sizeof(OBJECT_NAME_INFORMATION) + bytes + sizeof(char16_t);
    *returnLength = static_cast<uint32_t>(needed);
    if (info == nullptr || length < needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* text = reinterpret_cast<char16_t*>(info + 1);
    std::memcpy(text, name.data(), bytes);
    text[name.size()] = u'\0';
    info->Name.Buffer = text;
    info->Name.Length = static_cast<uint16_t>(bytes);
    info->Name.MaximumLength = static_cast<uint16_t>(bytes + sizeof(char16_t));
    return STATUS_SUCCESS;
}

NTSTATUS ObCreateDirectoryObject(std::u16string_view name) {
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    return names.InsertLocked(name, CallerLogonId(), [](std::u16string fullName) {
        return std::make_shared<OBJECT_DIRECTORY>(std::move(fullName));
    });
}

NTSTATUS ObDeleteDirectoryObject(std::u16string_view name) {
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    return names.RemoveLocked(name, CallerLogonId(), [&](const std::shared_ptr<NAMED_OBJECT>& o) {
        return std::dynamic_pointer_cast<OBJECT_DIRECTORY>(o) != nullptr && o != names.global &&
               o != names.logonSessions;
    });
}

NTSTATUS ObCreateSymbolicLink(std::u16string_view name, std::u16string_view target,
                              uint64_t logonId) {
    if (target.size() > kMaxNameCharacters - 1) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    return names.InsertLocked(name, logonId, [&](std::u16string fullName) {
        return std::make_shared<SYMBOLIC_LINK>(std::move(fullName), std::u16string(target));
    });
}

NTSTATUS ObDeleteSymbolicLink(std::u16string_view name, uint64_t logonId) {
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    return names.RemoveLocked(name, logonId, [](const std::shared_ptr<NAMED_OBJECT>& object) {
        return dynamic_cast<SYMBOLIC_LINK*>(object.get()) != nullptr;
    });
}

NTSTATUS ObInsertDevice(const std::shared_ptr<DEVICE_OBJECT>& device) {
    if (!device || device->Name().empty()) {
        return STATUS_SUCCESS;  // an unnamed device stands in no directory
    }
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    return names.InsertLocked(
        device->Name(), kSystemLogonId,
        [&](std::u16string) -> std::shared_ptr<NAMED_OBJECT> { return device; });
}

void ObRemoveDevice(const std::shared_ptr<DEVICE_OBJECT>& device) {
    if (!device || device->Name().empty()) {
        return;
    }
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    names.RemoveLocked(device->Name(), kSystemLogonId,
                       [&](const std::shared_ptr<NAMED_OBJECT>& object) {
                           return object == std::static_pointer_cast<NAMED_OBJECT>(device);
                       });
}

NTSTATUS ObLookupDevice(std::u16string_view name, uint64_t logonId,
                        std::shared_ptr<DEVICE_OBJECT>* device) {
    if (name.empty() || name[0] != u'\\') {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    FOUND found;
    {
        Namespace& names = Names();
        std::lock_guard guard(names.lock);
        found = names.ResolveLocked(nullptr, std::u16string(name), false, logonId);
    }
    if (!NT_SUCCESS(found.status)) {
        return found.status;
    }
    auto reached = std::dynamic_pointer_cast<DEVICE_OBJECT>(found.object);
    if (!reached || !found.rest.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *device = std::move(reached);
    return STATUS_SUCCESS;
}

std::u16string LogonSessionDirectoryName(uint64_t logonId) {
    char text[64];
    std::snprintf(text, sizeof text, "\\Sessions\\0\\DosDevices\\%08lx-%08lx",
                  static_cast<unsigned long>(logonId >> 32),
                  static_cast<unsigned long>(logonId & 0xFFFFFFFFu));
    return std::u16string(text, text + std::strlen(text));
}

NTSTATUS CreateLogonSessionDirectory(uint64_t logonId) {
    const std::u16string name = LogonSessionDirectoryName(logonId);
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    NTSTATUS status = names.InsertLocked(name, kSystemLogonId, [](std::u16string fullName) {
        auto directory = std::make_shared<OBJECT_DIRECTORY>(std::move(fullName));
        Namespace::AddLink(directory, u"Global", u"\\GLOBAL??");
        return directory;
    });
    return status == STATUS_OBJECT_NAME_COLLISION ? STATUS_SUCCESS : status;
}

NTSTATUS DeleteLogonSessionDirectory(uint64_t logonId) {
    return ObDeleteDirectoryObject(LogonSessionDirectoryName(logonId));
}

NTSTATUS DeclareVolume(std::u16string_view deviceName, std::u16string_view driveLetter) {
    if (!NameBeginsWith(deviceName, u"\\Device\\")) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    auto device =
        std::make_shared<DEVICE_OBJECT>(std::u16string(deviceName), FILE_DEVICE_DISK, false);
    NTSTATUS status = ObInsertDevice(device);
    if (!NT_SUCCESS(status) || driveLetter.empty()) {
        return status;
    }
    status = ObCreateSymbolicLink(u"\\GLOBAL??\\" + std::u16string(driveLetter), deviceName);
    if (!NT_SUCCESS(status)) {
        ObRemoveDevice(device);
    }
    return status;
}

void RemoveVolume(std::u16string_view deviceName, std::u16string_view driveLetter) {
    if (!driveLetter.empty()) {
        ObDeleteSymbolicLink(u"\\GLOBAL??\\" + std::u16string(driveLetter));
    }
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    names.RemoveLocked(deviceName, kSystemLogonId, [](const std::shared_ptr<NAMED_OBJECT>& object) {
        return std::dynamic_pointer_cast<DEVICE_OBJECT>(object) != nullptr;
    });
}

}  // namespace os
