#include "os/fltmgr/fltmgr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "os/core/utf8.h"
#include "os/fltmgr/filter_context.h"
#include "os/kernel/unicode_string.h"

namespace os {
namespace {

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && NamesEqual(text.substr(0, prefix.size()), prefix);
}

bool IsLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

std::u16string InstanceName(const FLT_FILTER& filter) {
    return filter.Name() + u" Instance";
}

}  // namespace

// The face's one table of volumes, filters and instances, under one lock.
struct FltState {
    std::mutex lock;
    bool systemVolumeMounted = false;  // the system volume is mounted at first use
    std::vector<std::shared_ptr<FLT_VOLUME>> volumes;
    std::vector<std::shared_ptr<FLT_FILTER>> filters;
    std::vector<std::shared_ptr<FLT_INSTANCE>> instances;

    static FltState& Get() {
        static FltState* state = new FltState();  // never destroyed: threads may outlive main
        return *state;
    }

    // Called with the lock held.
    void EnsureSystemVolumeLocked() {
        if (systemVolumeMounted) {
            return;
        }
        systemVolumeMounted = true;
        int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            volumes.push_back(std::shared_ptr<FLT_VOLUME>(new FLT_VOLUME(
                kSystemVolumeDeviceName, kSystemVolumeDriveLetter, "/", FLT_FSTYPE_NTFS, fd)));
        }
    }

    static std::shared_ptr<FLT_VOLUME> NewVolume(std::u16string deviceName,
                                                 std::u16string driveLetter, std::string folder,
                                                 uint32_t fileSystemType, int fd) {
        return std::shared_ptr<FLT_VOLUME>(new FLT_VOLUME(
            std::move(deviceName), std::move(driveLetter), std::move(folder), fileSystemType, fd));
    }

    static void SetMounted(FLT_VOLUME& volume, bool mounted) { volume.mounted_ = mounted; }
    static void SetRegistered(FLT_FILTER& filter, bool on) { filter.registered_ = on; }
    static void SetFiltering(FLT_FILTER& filter, bool on) { filter.filtering_ = on; }
    static void SetAttached(FLT_INSTANCE& instance, bool on) { instance.attached_ = on; }

    // Offers the filter an instance on the volume. The instance is attached while its set-up
    // runs (without the lock), so that set-up finds it and can do file I/O through it, and is
    // torn down again when set-up refuses.
    void OfferInstance(const std::shared_ptr<FLT_FILTER>& filter,
                       const std::shared_ptr<FLT_VOLUME>& volume, uint32_t flags) {
        auto instance = std::make_shared<FLT_INSTANCE>(filter, volume, InstanceName(*filter));
        {
            std::lock_guard guard(lock);
            if (!filter->Filtering() || !volume->Mounted()) {
                return;
            }
            for (const auto& existing : instances) {
                if (existing->Filter() == filter.get() && existing->Volume() == volume) {
                    return;
                }
            }
            SetAttached(*instance, true);
            instances.push_back(instance);
        }
        if (!filter->Registration().instanceSetup) {
            return;
        }
        FLT_RELATED_OBJECTS objects{filter.get(), volume, instance};
        NTSTATUS status = filter->Registration().instanceSetup(
            objects, flags, FILE_DEVICE_DISK_FILE_SYSTEM, volume->FileSystemType());
        if (!NT_SUCCESS(status)) {
            std::lock_guard guard(lock);
            DetachLocked(
                [&](const FLT_INSTANCE& candidate) { return &candidate == instance.get(); });
        }
    }

    // Detaches the instances that match; called with the lock held.
    template <typename Match>
    void DetachLocked(Match match) {
        auto end = std::remove_if(instances.begin(), instances.end(),
                                  [&](const std::shared_ptr<FLT_INSTANCE>& instance) {
                                      if (!match(*instance)) {
                                          return false;
                                      }
                                      SetAttached(*instance, false);
                                      return true;
                                  });
        instances.erase(end, instances.end());
    }
};

FLT_VOLUME::FLT_VOLUME(std::u16string deviceName, std::u16string driveLetter, std::string folder,
                       uint32_t fileSystemType, int rootFd)
    : deviceName_(std::move(deviceName)),
      driveLetter_(std::move(driveLetter)),
      folder_(std::move(folder)),
      fileSystemType_(fileSystemType),
      rootFd_(rootFd) {}

FLT_VOLUME::~FLT_VOLUME() {
    if (rootFd_ >= 0) {
        ::close(rootFd_);
    }
}

FLT_FILTER::FLT_FILTER(FLT_REGISTRATION registration) : registration_(std::move(registration)) {}

FLT_INSTANCE::FLT_INSTANCE(std::shared_ptr<FLT_FILTER> filter, std::shared_ptr<FLT_VOLUME> volume,
                           std::u16string name)
    : filter_(std::move(filter)), volume_(std::move(volume)), name_(std::move(name)) {}

FLT_INSTANCE::~FLT_INSTANCE() {
    FltContexts::DetachInstance(*this);
}

NTSTATUS MountVolume(std::u16string_view deviceName, std::u16string_view driveLetter,
                     std::string_view folder, uint32_t fileSystemType,
                     std::shared_ptr<FLT_VOLUME>* volume) {
    constexpr std::u16string_view kDevicePrefix = u"\\Device\\";
    if (!StartsWithNoCase(deviceName, kDevicePrefix) || deviceName.size() == kDevicePrefix.size() ||
        deviceName.substr(kDevicePrefix.size()).find(u'\\') != std::u16string_view::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (!driveLetter.empty() &&
        (driveLetter.size() != 2 || !IsLetter(driveLetter[0]) || driveLetter[1] != u':')) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::string path(folder);
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::u16string letter(driveLetter);
    if (!letter.empty()) {
        letter[0] = RtlUpcaseUnicodeChar(letter[0]);
    }
    FltState& state = FltState::Get();
    std::shared_ptr<FLT_VOLUME> mounted;
    std::vector<std::shared_ptr<FLT_FILTER>> filtering;
    {
        std::lock_guard guard(state.lock);
        state.EnsureSystemVolumeLocked();
        for (const auto& existing : state.volumes) {
            if (NamesEqual(existing->DeviceName(), deviceName) ||
                (!letter.empty() && NamesEqual(existing->DriveLetter(), letter))) {
                ::close(fd);
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
        mounted = FltState::NewVolume(std::u16string(deviceName), letter, path, fileSystemType, fd);
        state.volumes.push_back(mounted);
        for (const auto& filter : state.filters) {
            if (filter->Filtering()) {
                filtering.push_back(filter);
            }
        }
    }
    for (const auto& filter : filtering) {
        state.OfferInstance(
            filter, mounted,
            FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT | FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME);
    }
    if (volume != nullptr) {
        *volume = std::move(mounted);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DismountVolume(std::u16string_view deviceName) {
    FltState& state = FltState::Get();
    std::lock_guard guard(state.lock);
    state.EnsureSystemVolumeLocked();
    auto it = std::find_if(state.volumes.begin(), state.volumes.end(), [&](const auto& volume) {
        return NamesEqual(volume->DeviceName(), deviceName);
    });
    if (it == state.volumes.end()) {
        return STATUS_FLT_VOLUME_NOT_FOUND;
    }
    std::shared_ptr<FLT_VOLUME> volume = *it;
    state.volumes.erase(it);
    FltState::SetMounted(*volume, false);
    state.DetachLocked([&](const FLT_INSTANCE& instance) { return instance.Volume() == volume; });
    return STATUS_SUCCESS;
}

ScopedVolumes::ScopedVolumes() {
    std::vector<std::u16string> names;
    {
        FltState& state = FltState::Get();
        std::lock_guard guard(state.lock);
        state.EnsureSystemVolumeLocked();
        for (const auto& volume : state.volumes) {
            saved_.push_back({volume->DeviceName(), volume->DriveLetter(), volume->Folder(),
                              volume->FileSystemType()});
            names.push_back(volume->DeviceName());
        }
    }
    for (const auto& name : names) {
        DismountVolume(name);
    }
}

ScopedVolumes::~ScopedVolumes() {
    std::vector<std::u16string> names;
    {
        FltState& state = FltState::Get();
        std::lock_guard guard(state.lock);
        for (const auto& volume : state.volumes) {
            names.push_back(volume->DeviceName());
        }
    }
    for (const auto& name : names) {
        DismountVolume(name);
    }
    for (const SAVED& saved : saved_) {
        MountVolume(saved.deviceName, saved.driveLetter, saved.folder, saved.fileSystemType);
    }
}

NTSTATUS ResolveVolumePath(std::u16string_view path, std::shared_ptr<FLT_VOLUME>* volume,
                           std::u16string* remainder) {
    if (volume == nullptr || remainder == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    volume->reset();
    remainder->clear();
    FltState& state = FltState::Get();
    std::lock_guard guard(state.lock);
    state.EnsureSystemVolumeLocked();
    // The drive-letter links of the object manager's device directory.
    for (std::u16string_view links : {u"\\??\\", u"\\DosDevices\\", u"\\GLOBAL??\\"}) {
        if (!StartsWithNoCase(path, links)) {
            continue;
        }
        std::u16string_view rest = path.substr(links.size());
        if (rest.size() < 2 || (rest.size() > 2 && rest[2] != u'\\')) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        for (const auto& candidate : state.volumes) {
            if (!candidate->DriveLetter().empty() &&
                NamesEqual(candidate->DriveLetter(), rest.substr(0, 2))) {
                *volume = candidate;
                remainder->assign(rest.substr(2));
                return STATUS_SUCCESS;
            }
        }
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    for (const auto& candidate : state.volumes) {
        const std::u16string& name = candidate->DeviceName();
        if (StartsWithNoCase(path, name) &&
            (path.size() == name.size() || path[name.size()] == u'\\')) {
            *volume = candidate;
            remainder->assign(path.substr(name.size()));
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

NTSTATUS FltRegisterFilter(const FLT_REGISTRATION& registration,
                           std::shared_ptr<FLT_FILTER>* filter) {
    if (filter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    filter->reset();
    if (registration.name.empty() || registration.version < FLT_REGISTRATION_VERSION_0200 ||
        registration.version > FLT_REGISTRATION_VERSION_0203) {
        return STATUS_INVALID_PARAMETER;
    }
    uint16_t contextTypes = 0;
    for (const FLT_CONTEXT_REGISTRATION& context : registration.contexts) {
        const uint16_t type = context.contextType;
        const bool oneKnownType =
            type != 0 && (type & (type - 1)) == 0 && type <= FLT_STREAMHANDLE_CONTEXT;
        if (!oneKnownType || (contextTypes & type) != 0 || context.size == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        contextTypes |= type;
    }
    for (const FLT_OPERATION_REGISTRATION& operation : registration.operations) {
        if (!operation.preOperation && !operation.postOperation) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::RegisterFilter);
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    auto made = std::make_shared<FLT_FILTER>(registration);
    FltState& state = FltState::Get();
    {
        std::lock_guard guard(state.lock);
        state.filters.push_back(made);
    }
    *filter = std::move(made);
    return STATUS_SUCCESS;
}

NTSTATUS FltStartFiltering(const std::shared_ptr<FLT_FILTER>& filter) {
    if (filter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    FltState& state = FltState::Get();
    std::vector<std::shared_ptr<FLT_VOLUME>> volumes;
    {
        std::lock_guard guard(state.lock);
        if (!filter->Registered() || filter->Filtering()) {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::StartFiltering);
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
        state.EnsureSystemVolumeLocked();
        FltState::SetFiltering(*filter, true);
        volumes = state.volumes;
    }
    for (const auto& volume : volumes) {
        state.OfferInstance(filter, volume, FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT);
    }
    return STATUS_SUCCESS;
}

void FltUnregisterFilter(const std::shared_ptr<FLT_FILTER>& filter) {
    if (filter == nullptr) {
        return;
    }
    FltState& state = FltState::Get();
    std::lock_guard guard(state.lock);
    FltState::SetFiltering(*filter, false);
    FltState::SetRegistered(*filter, false);
    state.filters.erase(std::remove(state.filters.begin(), state.filters.end(), filter),
                        state.filters.end());
    state.DetachLocked(
        [&](const FLT_INSTANCE& instance) { return instance.Filter() == filter.get(); });
}

bool LinuxPathOf(std::u16string_view path, std::string* linuxPath) {
    std::shared_ptr<FLT_VOLUME> volume;
    std::u16string remainder;
    if (!NT_SUCCESS(ResolveVolumePath(path, &volume, &remainder))) {
        return false;
    }
    std::string below;  // "/a/b" or empty
    for (size_t i = 0; i < remainder.size(); ++i) {
        char32_t c = remainder[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < remainder.size() && remainder[i + 1] >= 0xDC00 &&
            remainder[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (remainder[i + 1] - 0xDC00);
            ++i;
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c == 0) {
            return false;
        }
        AppendUtf8(below, c == u'\\' ? U'/' : c);
    }
    std::string_view folder = volume->Folder();
    while (folder.size() > 1 && folder.back() == '/') {
        folder.remove_suffix(1);
    }
    if (folder == "/") {
        *linuxPath = below.empty() ? std::string("/") : below;
    } else {
        *linuxPath = std::string(folder) + below;
    }
    return true;
}

std::vector<std::shared_ptr<FLT_INSTANCE>> FltAttachedInstances(const FLT_VOLUME& volume) {
    FltState& state = FltState::Get();
    std::lock_guard guard(state.lock);
    std::vector<std::shared_ptr<FLT_INSTANCE>> attached;
    for (const auto& instance : state.instances) {
        if (instance->Volume().get() == &volume && instance->Attached()) {
            attached.push_back(instance);
        }
    }
    return attached;
}

NTSTATUS FltEnumerateVolumes(const std::shared_ptr<FLT_FILTER>& filter,
                             std::vector<std::shared_ptr<FLT_VOLUME>>* volumes) {
    if (filter == nullptr || volumes == nullptr || !filter->Registered()) {
        return STATUS_INVALID_PARAMETER;
    }
    FltState& state = FltState::Get();
    std::lock_guard guard(state.lock);
    state.EnsureSystemVolumeLocked();
    *volumes = state.volumes;
    return STATUS_SUCCESS;
}

NTSTATUS FltGetVolumeName(const FLT_VOLUME& volume, std::u16string* name) {
    if (name == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *name = volume.DeviceName();
    return STATUS_SUCCESS;
}

NTSTATUS FltGetVolumeInstanceFromName(const std::shared_ptr<FLT_FILTER>& filter,
                                      const std::shared_ptr<FLT_VOLUME>& volume,
                                      std::u16string_view instanceName,
                                      std::shared_ptr<FLT_INSTANCE>* instance) {
    if (filter == nullptr || volume == nullptr || instance == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    instance->reset();
    FltState& state = FltState::Get();
    std::lock_guard guard(state.lock);
    for (const auto& candidate : state.instances) {
        if (candidate->Filter() == filter.get() && candidate->Volume() == volume &&
            (instanceName.empty() || NamesEqual(candidate->Name(), instanceName))) {
            *instance = candidate;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_FLT_INSTANCE_NOT_FOUND;
}

NTSTATUS FindInstanceForPath(const std::shared_ptr<FLT_FILTER>& filter, std::u16string_view path,
                             std::shared_ptr<FLT_INSTANCE>* instance) {
    if (instance == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    instance->reset();
    std::shared_ptr<FLT_VOLUME> volume;
    std::u16string remainder;
    NTSTATUS status = ResolveVolumePath(path, &volume, &remainder);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return FltGetVolumeInstanceFromName(filter, volume, {}, instance);
}

// ---- Failure switches ----

struct detail::FLT_FAILURE_SWITCH {
    NTSTATUS status;
    uint32_t skip;
    std::optional<uint32_t> count;
    uint32_t seen = 0;
    uint32_t failed = 0;
};

namespace {

constexpr size_t kFailureKinds = static_cast<size_t>(FLT_FAILURE::GetFileName) + 1;

std::mutex& SwitchLock() {
    static std::mutex lock;
    return lock;
}

std::shared_ptr<detail::FLT_FAILURE_SWITCH>& SwitchOf(FLT_FAILURE operation) {
    static std::shared_ptr<detail::FLT_FAILURE_SWITCH> switches[kFailureKinds];
    return switches[static_cast<size_t>(operation)];
}

}  // namespace

ScopedFltFailure::ScopedFltFailure(FLT_FAILURE operation, NTSTATUS status, uint32_t skip,
                                   std::optional<uint32_t> count)
    : operation_(operation),
      switch_(std::make_shared<detail::FLT_FAILURE_SWITCH>(
          detail::FLT_FAILURE_SWITCH{status, skip, count})) {
    std::lock_guard guard(SwitchLock());
    previous_ = SwitchOf(operation_);
    SwitchOf(operation_) = switch_;
}

ScopedFltFailure::~ScopedFltFailure() {
    std::lock_guard guard(SwitchLock());
    SwitchOf(operation_) = previous_;
}

uint32_t ScopedFltFailure::Failed() const {
    std::lock_guard guard(SwitchLock());
    return switch_->failed;
}

NTSTATUS FltInjectedFailure(FLT_FAILURE operation) {
    std::lock_guard guard(SwitchLock());
    const auto& active = SwitchOf(operation);
    if (active == nullptr) {
        return STATUS_SUCCESS;
    }
    uint32_t index = active->seen++;
    if (index < active->skip) {
        return STATUS_SUCCESS;
    }
    if (active->count.has_value() && index - active->skip >= *active->count) {
        return STATUS_SUCCESS;
    }
    ++active->failed;
    return active->status;
}

}  // namespace os
