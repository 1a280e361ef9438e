#include "driver/channel/control_device.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>

#include "common/control_codes.h"
#include "common/records.h"
#include "driver/platform/debug_print.h"
#include "driver/platform/event_log.h"
#include "os/core/clock.h"
#include "os/core/process.h"

namespace wexo::drv {
namespace {

// Per-open state kept in the file object's context.
constexpr uint64_t kHandleRegistered = 1;

bool IsRegisteredHandle(const os::FILE_OBJECT& file) {
    return (file.context.load() & kHandleRegistered) != 0;
}

bool InServiceCallGroup(uint32_t code) {
    return code >= QRN_SC_ATTACH && code <= QRN_SC_HEARTBEAT;
}

bool InFirstGroup(uint32_t code) {
    return code >= QRN_GET_VERSION && code <= QRN_RESUME_PROTECTION;
}

// The thread a request comes from, told apart across processes: a thread of another process
// (a caller of the driver host's bridge) never takes the authorisation of one of this process.
uint64_t RequestingThread() {
    return (uint64_t{os::CurrentProcessId()} << 32) | os::RequestorThreadId();
}

bool IsPrivileged(uint32_t code) {
    return code == QRN_UPDATE_DRIVER || code == QRN_UNINSTALL || code == QRN_SUSPEND_PROTECTION;
}

// Copies a folder text named by the registration record into kernel memory.
bool ReadFolder(const os::CallerMemory& caller, uint64_t address, uint16_t length,
                std::u16string* text, bool* present) {
    *present = address != 0 || length != 0;
    if (!*present) {
        return true;
    }
    if (!caller.ProbeForRead(address, length)) {
        return false;
    }
    text->resize(length / sizeof(char16_t));
    return caller.Read(address, text->data(), text->size() * sizeof(char16_t));
}

}  // namespace

CONTROL_DEVICE::CONTROL_DEVICE(SERVICE_CALL_QUEUE& queue, PROTECTION_STATE& protection, HOOKS hooks)
    : queue_(queue), protection_(protection), hooks_(std::move(hooks)) {}

CONTROL_DEVICE::~CONTROL_DEVICE() {
    Delete();
}

os::NTSTATUS CONTROL_DEVICE::Create() {
    std::shared_ptr<os::DEVICE_OBJECT> device;
    os::NTSTATUS status = os::IoCreateDevice(kDeviceName, kDeviceType, false, &device);
    if (!os::NT_SUCCESS(status)) {
        WriteDriverEvent(DRIVER_EVENT_CREATE_DEVICE_FAILED, UniqueValue("DE02"), status,
                         {StatusText(status)});
        return status;
    }
    device->create = [](os::FILE_OBJECT&) { return os::STATUS_SUCCESS; };
    device->close = [](os::FILE_OBJECT&) { return os::STATUS_SUCCESS; };
    device->cleanup = [this](os::FILE_OBJECT& file) {
        Cleanup(file);
        return os::STATUS_SUCCESS;
    };
    device->fastIoDeviceControl = [this](const os::FAST_IO_DEVICE_CONTROL_ARGS& args,
                                         os::IO_STATUS_BLOCK& result) {
        return FastIoDeviceControl(args, result);
    };
    status = os::IoCreateSymbolicLink(kDeviceLinkName, kDeviceName);
    if (!os::NT_SUCCESS(status)) {
        WriteDriverEvent(DRIVER_EVENT_CREATE_LINK_FAILED, UniqueValue("DE03"), status,
                         {StatusText(status)});
        os::IoDeleteDevice(device);
        return status;
    }
    device_ = std::move(device);
    return os::STATUS_SUCCESS;
}

void CONTROL_DEVICE::Delete() {
    if (!device_) {
        return;
    }
    os::IoDeleteSymbolicLink(kDeviceLinkName);
    os::IoDeleteDevice(device_);
    // Opens that outlive the device still reach this object through the dispatch table; clear it.
    device_->fastIoDeviceControl = nullptr;
    device_->cleanup = nullptr;
    device_.reset();
}

void CONTROL_DEVICE::SetAuthSecret(std::vector<uint8_t> secret) {
    std::lock_guard guard(authLock_);
    secret_ = std::move(secret);
    callers_.clear();
}

bool CONTROL_DEVICE::FastIoDeviceControl(const os::FAST_IO_DEVICE_CONTROL_ARGS& args,
                                         os::IO_STATUS_BLOCK& status) {
    uint64_t information = 0;
    status.status = Dispatch(args, &information);
    status.information = information;
    // Every request is handled here; there is no slower path to fall back to.
    return true;
}

os::NTSTATUS CONTROL_DEVICE::Dispatch(const os::FAST_IO_DEVICE_CONTROL_ARGS& args,
                                      uint64_t* information) {
    const os::CallerMemory& caller = args.caller;
    if (!caller.ProbeForRead(args.inputBuffer, args.inputLength) ||
        !caller.ProbeForWrite(args.outputBuffer, args.outputLength)) {
        // A privileged request refused here was still the one the authorisation was for.
        if (IsPrivileged(args.code)) {
            TakeAuthorisation(args.code);
        }
        return os::STATUS_INVALID_PARAMETER;
    }
    bool registered = IsRegisteredHandle(args.file);
    if (registered ? !InServiceCallGroup(args.code) : !InFirstGroup(args.code)) {
        if (IsPrivileged(args.code)) {
            TakeAuthorisation(args.code);
        }
        return os::STATUS_INVALID_DEVICE_REQUEST;
    }
    switch (args.code) {
        case QRN_GET_VERSION:
            return GetVersion(args, information);
        case QRN_REGISTER:
            return Register(args, information);
        case QRN_AUTH_CHALLENGE:
            return Challenge(args, information);
        case QRN_AUTH_RESPONSE:
            return Respond(args);
        case QRN_UPDATE_DRIVER:
            return UpdateDriver(args);
        case QRN_UNINSTALL:
            if (!TakeAuthorisation(QRN_UNINSTALL)) {
                return os::STATUS_ACCESS_DENIED;
            }
            protection_.DisableRegistryProtection();
            protection_.SetFileProtection(false);
            if (hooks_.releaseDriverImage) {
                hooks_.releaseDriverImage();
            }
            return os::STATUS_SUCCESS;
        case QRN_SUSPEND_PROTECTION:
            if (!TakeAuthorisation(QRN_SUSPEND_PROTECTION)) {
                return os::STATUS_ACCESS_DENIED;
            }
            protection_.SetProductKeyUnprotected(true);
            protection_.SetFileProtection(false);
            return os::STATUS_SUCCESS;
        case QRN_RESUME_PROTECTION:
            protection_.SetProductKeyUnprotected(false);
            protection_.SetFileProtection(true);
            return os::STATUS_SUCCESS;
        case QRN_SC_ATTACH:
            return Attach(args);
        case QRN_SC_DETACH:
            queue_.Detach();
            return os::STATUS_SUCCESS;
        case QRN_SC_INPUT:
            return Input(args);
        case QRN_SC_OUTPUT:
            return Output(args);
        case QRN_SC_EXTEND:
            return Extend(args);
        case QRN_SC_STANDBY:
            queue_.SetStandby(true);
            return os::STATUS_SUCCESS;
        case QRN_SC_RESUME:
            queue_.SetStandby(false);
            return os::STATUS_SUCCESS;
        case QRN_SC_HEARTBEAT:
            queue_.Heartbeat();
            return os::STATUS_SUCCESS;
        default:
            // Codes between the named ones within a group.
            return os::STATUS_INVALID_DEVICE_REQUEST;
    }
}

os::NTSTATUS CONTROL_DEVICE::GetVersion(const os::FAST_IO_DEVICE_CONTROL_ARGS& args,
                                        uint64_t* information) {
    if (args.outputLength < sizeof(QRN_VERSION_REPLY)) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    QRN_VERSION_REPLY version{kDriverMajorVersion, kDriverMinorVersion, kDriverBuildNumber};
    if (!args.caller.WriteValue(args.outputBuffer, version)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    *information = sizeof version;
    return os::STATUS_SUCCESS;
}

os::NTSTATUS CONTROL_DEVICE::Register(const os::FAST_IO_DEVICE_CONTROL_ARGS& args,
                                      uint64_t* information) {
    const os::CallerMemory& caller = args.caller;
    if (args.inputLength < sizeof(QRN_REGISTER_REQUEST)) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    // The service runs in the system's logon session. Any other caller that became the service
    // would receive every lookup and could let everything pass, so only the system may register.
    auto process = os::CurrentProcess();
    if (!process || process->AuthenticationId() != os::kSystemLogonId) {
        return os::STATUS_ACCESS_DENIED;
    }
    QRN_REGISTER_REQUEST request;
    std::u16string program, data;
    bool hasProgram = false, hasData = false;
    // Probing the folder texts is reading them: the copies are what the driver keeps.
    if (!caller.ReadValue(args.inputBuffer, &request) ||
        !ReadFolder(caller, request.programFolder, request.programFolderLength, &program,
                    &hasProgram) ||
        !ReadFolder(caller, request.dataFolder, request.dataFolderLength, &data, &hasData)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    uint32_t none = 0;
    uint32_t caller_process = args.file.ProcessId();
    if (!registeredProcess_.compare_exchange_strong(none, caller_process)) {
        return os::STATUS_INVALID_DEVICE_REQUEST;
    }
    std::shared_ptr<os::Event> event;
    os::NTSTATUS status = os::ReferenceByHandle(request.inputEvent, os::EVENT_MODIFY_STATE,
                                                os::ObjectType::Event, &event);
    if (!os::NT_SUCCESS(status)) {
        queue_.Detach();
        registeredProcess_.store(0);
        return status;
    }
    queue_.Attach(std::move(event));

    QRN_REGISTER_REPLY reply{kDriverMajorVersion, kDriverMinorVersion, kDriverBuildNumber, 0,
                             kInterfaceVersion};
    uint32_t replyLength = std::min<uint32_t>(args.outputLength, sizeof reply);
    // A service that never learns the interface version takes the registration for failed and
    // never fetches a call: leave nothing registered for it.
    if (!caller.Write(args.outputBuffer, &reply, replyLength)) {
        queue_.Detach();
        registeredProcess_.store(0);
        return os::STATUS_INVALID_PARAMETER;
    }
    protection_.SetProtectedFolder(hasProgram ? &program : nullptr);
    protection_.SetDataFolder(hasData ? &data : nullptr);
    *information = replyLength;
    ServiceProcessChanged();
    if (hooks_.wakeResolver) {
        hooks_.wakeResolver();
    }
    args.file.context.fetch_or(kHandleRegistered);
    return os::STATUS_SUCCESS;
}

os::NTSTATUS CONTROL_DEVICE::Challenge(const os::FAST_IO_DEVICE_CONTROL_ARGS& args,
                                       uint64_t* information) {
    if (args.outputLength < kAuthNonceSize) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    std::lock_guard guard(authLock_);
    if (secret_.size() < kAuthSecretMinSize) {
        return os::STATUS_ACCESS_DENIED;
    }
    AuthNonce nonce;
    if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) {
        return os::STATUS_UNSUCCESSFUL;
    }
    if (!args.caller.Write(args.outputBuffer, nonce.data(), nonce.size())) {
        return os::STATUS_INVALID_PARAMETER;
    }
    // A new challenge replaces the thread's own earlier one and any authorisation it has not
    // used; every other thread's stays as it was.
    const uint64_t thread = RequestingThread();
    if (std::optional<size_t> own = FindCallerLocked(thread)) {
        callers_.erase(callers_.begin() + static_cast<std::ptrdiff_t>(*own));
    }
    const uint64_t now = os::GetTickCount64();
    MakeRoomLocked(now);
    CALLER_AUTH entry;
    entry.thread = thread;
    if (auto process = os::CurrentProcess()) {
        entry.user = process->UserSid();
    }
    entry.nonce = nonce;
    entry.since = now;
    callers_.push_back(std::move(entry));
    *information = nonce.size();
    return os::STATUS_SUCCESS;
}

os::NTSTATUS CONTROL_DEVICE::Respond(const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
    if (args.inputLength < sizeof(QRN_AUTH_RESPONSE_REQUEST)) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    QRN_AUTH_RESPONSE_REQUEST response;
    if (!args.caller.ReadValue(args.inputBuffer, &response)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(authLock_);
    // Only the sending thread's own challenge is looked at: an answer from any other thread,
    // right or wrong, leaves it pending.
    std::optional<size_t> own = FindCallerLocked(RequestingThread());
    if (!own || callers_[*own].authorisedCode != 0) {
        return os::STATUS_ACCESS_DENIED;
    }
    CALLER_AUTH& entry = callers_[*own];
    const uint64_t now = os::GetTickCount64();
    const uint32_t code = WexoCode(response.function);
    bool right = IsPrivileged(code) && now - entry.since <= kChallengeLifetimeMs;
    if (right) {
        AuthMac expected =
            ComputeAuthResponse(secret_, entry.nonce, os::RequestorThreadId(), response.function);
        right = CRYPTO_memcmp(expected.data(), response.mac, expected.size()) == 0;
    }
    // A challenge is answered once, right or wrong.
    if (!right) {
        callers_.erase(callers_.begin() + static_cast<std::ptrdiff_t>(*own));
        return os::STATUS_ACCESS_DENIED;
    }
    entry.authorisedCode = code;
    entry.since = now;
    return os::STATUS_SUCCESS;
}

bool CONTROL_DEVICE::TakeAuthorisation(uint32_t code) {
    std::lock_guard guard(authLock_);
    std::optional<size_t> own = FindCallerLocked(RequestingThread());
    bool authorised = own && callers_[*own].authorisedCode == code &&
                      os::GetTickCount64() - callers_[*own].since <= kChallengeLifetimeMs;
    if (authorised) {
        callers_.erase(callers_.begin() + static_cast<std::ptrdiff_t>(*own));
    } else {
        // A refused privileged request is rare and says someone tried: always worth a line.
        DriverPrintAndLog(
            "WexoW: DeviceControl: ACCESS DENIED, code 0x%lx without authorisation,"
            "\n    ProcessId=%lu\n\n",
            static_cast<unsigned long>(code), static_cast<unsigned long>(os::CurrentProcessId()));
    }
    return authorised;
}

std::optional<size_t> CONTROL_DEVICE::FindCallerLocked(uint64_t thread) const {
    for (size_t i = 0; i < callers_.size(); ++i) {
        if (callers_[i].thread == thread) {
            return i;
        }
    }
    return std::nullopt;
}

void CONTROL_DEVICE::MakeRoomLocked(uint64_t now) {
    std::erase_if(callers_, [&](const CALLER_AUTH& entry) {
        return now - entry.since > kChallengeLifetimeMs;
    });
    while (callers_.size() >= kChallengeTableSize) {
        // Taking the oldest entry of all would let one user's loop push out everyone else's; the
        // busiest user's oldest is that loop's own.
        size_t victim = 0, victimCount = 0;
        for (size_t i = 0; i < callers_.size(); ++i) {
            const size_t count = static_cast<size_t>(std::count_if(
                callers_.begin(), callers_.end(),
                [&](const CALLER_AUTH& other) { return other.user == callers_[i].user; }));
            // Entries are appended at their challenge: a user's first is that user's oldest.
            if (count > victimCount) {
                victim = i;
                victimCount = count;
            }
        }
        callers_.erase(callers_.begin() + static_cast<std::ptrdiff_t>(victim));
    }
}

os::NTSTATUS CONTROL_DEVICE::UpdateDriver(const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
    // Each request, refused or not, uses up the authorisation: a caller cannot probe with bad
    // requests and keep the right for a later one.
    bool authorised = TakeAuthorisation(QRN_UPDATE_DRIVER);
    if (args.inputLength < 8) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    if (!authorised) {
        return os::STATUS_ACCESS_DENIED;
    }
    return hooks_.updateDriverImage
               ? hooks_.updateDriverImage(args.caller, args.inputBuffer, args.inputLength)
               : os::STATUS_NOT_SUPPORTED;
}

os::NTSTATUS CONTROL_DEVICE::Attach(const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
    if (args.inputLength < sizeof(SC_ATTACH_REQUEST)) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    SC_ATTACH_REQUEST request;
    if (!args.caller.ReadValue(args.inputBuffer, &request)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<os::Event> event;
    os::NTSTATUS status = os::ReferenceByHandle(request.inputEvent, os::EVENT_MODIFY_STATE,
                                                os::ObjectType::Event, &event);
    if (!os::NT_SUCCESS(status)) {
        queue_.Detach();
        return status;
    }
    queue_.Attach(std::move(event));
    return os::STATUS_SUCCESS;
}

os::NTSTATUS CONTROL_DEVICE::Input(const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
    const os::CallerMemory& caller = args.caller;
    if (args.inputLength < sizeof(SC_INPUT_REQUEST)) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    SC_INPUT_REQUEST request;
    if (!caller.ReadValue(args.inputBuffer, &request)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    bool writable = caller.ProbeForWrite(request.callHandleOut, 8) &&
                    caller.ProbeForWrite(request.codeOut, 4) &&
                    caller.ProbeForWrite(request.timeoutOut, 4) &&
                    caller.ProbeForWrite(request.requestSizeOut, 4) &&
                    caller.ProbeForWrite(request.requestAddressOut, 8) &&
                    caller.ProbeForWrite(request.buffer, request.bufferSize);
    // A buffer size without a buffer would let the block go nowhere.
    if (!writable || (request.buffer == 0 && request.bufferSize != 0)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    return queue_.FetchNext(caller, request);
}

os::NTSTATUS CONTROL_DEVICE::Output(const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
    const os::CallerMemory& caller = args.caller;
    if (args.inputLength < sizeof(SC_OUTPUT_REQUEST)) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    SC_OUTPUT_REQUEST request;
    if (!caller.ReadValue(args.inputBuffer, &request) ||
        !caller.ProbeForRead(request.answer, request.answerSize)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    return queue_.Answer(caller, request.callHandle, request.answer, request.answerSize,
                         request.status);
}

os::NTSTATUS CONTROL_DEVICE::Extend(const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
    if (args.inputLength < sizeof(SC_EXTEND_REQUEST)) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    SC_EXTEND_REQUEST request;
    if (!args.caller.ReadValue(args.inputBuffer, &request)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    return queue_.Extend(request.callHandle);
}

void CONTROL_DEVICE::Cleanup(os::FILE_OBJECT& file) {
    if (!IsRegisteredHandle(file)) {
        return;
    }
    file.context.fetch_and(~kHandleRegistered);
    // Detach before the registration is given up: a service registering in between must find
    // its own event attached afterwards, not lose it to this detach.
    queue_.Detach();
    registeredProcess_.store(0);
    ServiceProcessChanged();
}

void CONTROL_DEVICE::ServiceProcessChanged() {
    if (!hooks_.serviceProcessChanged) {
        return;
    }
    // Whichever of a cleanup and a new registration tells last tells the current process.
    std::lock_guard guard(serviceProcessLock_);
    hooks_.serviceProcessChanged(registeredProcess_.load());
}

}  // namespace wexo::drv
