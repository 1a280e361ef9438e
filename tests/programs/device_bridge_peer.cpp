// A process that calls the driver host over its device bridge, for the cross-process tests.
//
//   device_bridge_peer RUNTIME_DIR service      registers as the service and answers name
//                                                resolutions ("*.peer.test" -> 192.0.2.55) until
//                                                killed; prints "registered" once registered
//   device_bridge_peer RUNTIME_DIR register     registers once; exit 0 if the driver took it,
//                                                3 if it refused, 2 if the device did not open
//   device_bridge_peer RUNTIME_DIR forged ADDR   QRN_REGISTER with its input record at ADDR (an
//                                                address of another process); prints the status
//   device_bridge_peer RUNTIME_DIR garbage|huge|partial   bad frames on the raw socket
//   device_bridge_peer RUNTIME_DIR policy       as service, and also answers policy lookups: a
//                                                host under ".blocked.test" gets a redirect to
//                                                "http://peer.test/blocked?by=PID", others are
//                                                allowed
//   device_bridge_peer RUNTIME_DIR hold WORKERS  as service with WORKERS workers, but each policy
//                                                lookup it fetches keeps its worker forever;
//                                                prints "held N" as the Nth one is taken
//   device_bridge_peer RUNTIME_DIR calls         without registering: the service-call codes and
//                                                the privileged codes (after a challenge answered
//                                                with a wrong code), then QRN_GET_VERSION; prints
//                                                "NAME 0xSTATUS" for each, then "driver A.B.C
//                                                BYTES" (the version reply), "closed" once its
//                                                open is closed in the host, and "end"
//   device_bridge_peer RUNTIME_DIR raw-register  QRN_REGISTER once; prints "register 0xSTATUS"
//                                                and, when taken, holds it until killed, else
//                                                closes the open and prints "closed"
//   device_bridge_peer RUNTIME_DIR authorised    answers a challenge with the test secret (32
//                                                bytes 0x5C) for QRN_SUSPEND_PROTECTION, then
//                                                asks for it from another thread and from this
//                                                one; prints "response", "other-thread" and
//                                                "suspend" with their statuses
//
// With "--nobody" before the mode the process first gives up root for uid and gid 65534, as a
// local user's process would be; it exits 5 when that fails.
#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/caller_auth.h"
#include "common/control_codes.h"
#include "common/records.h"
#include "common/service_calls.h"
#include "os/bridge/device_bridge.h"
#include "os/core/device_gateway.h"
#include "os/win32/handles.h"
#include "service/calls/dns_resolution.h"
#include "service/calls/ip_address.h"
#include "service/calls/register_service.h"
#include "service/calls/service_call.h"
#include "service/policy/policy_lookup.h"

namespace {

using namespace wexo;

class PEER_RESOLVER final : public svc::NAME_RESOLVER {
  public:
    uint32_t Resolve(const std::string& hostName, svc::AddressFamily family,
                     std::vector<svc::IP_ADDRESS>* addresses) override {
        const std::string suffix = ".peer.test";
        if (family != svc::AddressFamily::V4 || hostName.size() < suffix.size() ||
            hostName.compare(hostName.size() - suffix.size(), suffix.size(), suffix) != 0) {
            return 11001;
        }
        addresses->push_back(svc::IP_ADDRESS::V4(192, 0, 2, 55));
        return 0;
    }
};

// What a registered peer does with the policy lookups it fetches.
enum class Lookups { Unhandled, Answer, Hold };

std::mutex printLock;

void PrintLine(const std::string& line) {
    std::lock_guard guard(printLock);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void AnswerPolicyLookup(svc::SERVICE_CALL& call, const uint8_t* block, uint32_t size) {
    svc::POLICY_LOOKUP_INPUT input;
    std::string problem;
    if (!svc::ParsePolicyLookupRequest(block, size, &input, &problem)) {
        call.Complete(nullptr, 0, svc::SC_STATUS_BAD_REQUEST);
        return;
    }
    if (!EndsWith(input.host, ".blocked.test")) {
        POLICY_LOOKUP_ANSWER allow{};
        call.Complete(&allow, sizeof allow, static_cast<int32_t>(os::ERROR_NOT_FOUND));
        return;
    }
    // The redirect names this process, so the test sees which service answered.
    std::string response =
        svc::RedirectResponse("http://peer.test/blocked?by=" + std::to_string(getpid()));
    std::string answer(sizeof(POLICY_LOOKUP_ANSWER) + response.size(), '\0');
    POLICY_LOOKUP_ANSWER record{};
    record.responseText = reinterpret_cast<uint64_t>(answer.data() + sizeof record);
    record.responseTextLength = static_cast<uint32_t>(response.size());
    std::memcpy(answer.data(), &record, sizeof record);
    std::memcpy(answer.data() + sizeof record, response.data(), response.size());
    call.Complete(answer.data(), static_cast<uint32_t>(answer.size()), 0);
}

int Service(Lookups lookups, uint32_t workerCount) {
    os::HANDLE device = svc::OpenControlDevice();
    if (device == os::INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "device_bridge_peer: the device did not open (error %lu)\n",
                     static_cast<unsigned long>(os::GetLastError()));
        return 2;
    }
    PEER_RESOLVER resolver;
    svc::ScopedNameResolver scoped(resolver);
    auto channel = svc::SERVICE_CALL_CHANNEL::Create();
    std::mutex heldLock;
    uint32_t held = 0;
    os::HANDLE input = 0;
    input = channel->ServiceCallInitialize(
        device, [&](uint32_t code, svc::SERVICE_CALL& call, const uint8_t* block, uint32_t size) {
            if (code == SC_CODE_POLICY_LOOKUP && lookups == Lookups::Answer) {
                AnswerPolicyLookup(call, block, size);
                return true;
            }
            if (code == SC_CODE_POLICY_LOOKUP && lookups == Lookups::Hold) {
                std::unique_lock guard(heldLock);
                PrintLine("held " + std::to_string(++held));
                // One set of the input event wakes one worker, however many calls are queued;
                // the worker that would have fetched the next one stays here, so another looks.
                os::SetEvent(input);
                // Never answered: the worker stays here until the process is killed.
                std::condition_variable never;
                never.wait(guard, [] { return false; });
                return true;
            }
            if (code != SC_CODE_RESOLVE_V4 && code != SC_CODE_RESOLVE_V6) {
                return false;
            }
            svc::DispatchResolveDnsName(
                call, code == SC_CODE_RESOLVE_V4 ? svc::AddressFamily::V4 : svc::AddressFamily::V6,
                block, size);
            return true;
        });
    std::vector<std::shared_ptr<os::Thread>> workers;
    for (uint32_t i = 0; input != 0 && i < workerCount; ++i) {
        workers.push_back(channel->StartServiceCallThread(i));
    }
    if (input == 0 || !svc::RegisterService(device, input)) {
        std::fprintf(stderr, "device_bridge_peer: not registered (input %llu, error %lu)\n",
                     static_cast<unsigned long long>(input),
                     static_cast<unsigned long>(os::GetLastError()));
        return 3;
    }
    PrintLine("registered");
    for (;;) {
        pause();  // the test ends this process, gently or not
    }
}

int RegisterOnce() {
    os::HANDLE device = svc::OpenControlDevice();
    if (device == os::INVALID_HANDLE_VALUE) {
        return 2;
    }
    auto channel = svc::SERVICE_CALL_CHANNEL::Create();
    os::HANDLE input = channel->ServiceCallInitialize(
        device, [](uint32_t, svc::SERVICE_CALL&, const uint8_t*, uint32_t) { return false; });
    return input != 0 && svc::RegisterService(device, input) ? 0 : 3;
}

int Forged(const char* addressText) {
    os::HANDLE device = svc::OpenControlDevice();
    if (device == os::INVALID_HANDLE_VALUE) {
        return 2;
    }
    uint64_t address = std::strtoull(addressText, nullptr, 0);
    uint32_t returned = 0;
    bool ok = os::DeviceIoControl(device, QRN_REGISTER, reinterpret_cast<void*>(address), 64,
                                  nullptr, 0, &returned);
    std::printf("%s %lu\n", ok ? "accepted" : "refused",
                static_cast<unsigned long>(os::GetLastError()));
    return 0;
}

// The device opened through the gateway itself, so that each request's NTSTATUS is seen as the
// driver returned it rather than as a Win32 error.
class RAW_DEVICE {
  public:
    RAW_DEVICE() {
        gateway_ = os::CurrentDeviceGateway();
        auto process = os::CurrentProcess();
        if (gateway_ == nullptr || !process) {
            return;
        }
        status_ = gateway_->Open(u"\\??\\Global\\WexoWfp", process->Id(), &file_);
    }
    ~RAW_DEVICE() {
        if (file_) {
            gateway_->Close(file_);
        }
    }
    bool Opened() const { return os::NT_SUCCESS(status_) && file_ != nullptr; }
    os::NTSTATUS Control(uint32_t code, const void* input, uint32_t inputLength, void* output,
                         uint32_t outputLength, uint64_t* information = nullptr) {
        uint64_t ignored = 0;
        return gateway_->Control(file_, code, reinterpret_cast<uint64_t>(input), inputLength,
                                 reinterpret_cast<uint64_t>(output), outputLength,
                                 information != nullptr ? information : &ignored);
    }

  private:
    os::DEVICE_GATEWAY* gateway_ = nullptr;
    std::shared_ptr<void> file_;
    os::NTSTATUS status_ = os::STATUS_UNSUCCESSFUL;
};

std::string StatusLine(const char* name, os::NTSTATUS status) {
    char text[64];
    std::snprintf(text, sizeof text, "%s 0x%08x", name, static_cast<uint32_t>(status));
    return text;
}

void CallsOn(RAW_DEVICE& device) {
    // Every record is well formed and names writable memory of this process: a refusal can only
    // come from who is asking, never from the buffers.
    SC_INPUT_RESULTS results;
    std::vector<uint8_t> buffer(1024);
    SC_INPUT_REQUEST input = MakeScInputRequest(results, buffer.data(), 1024);
    PrintLine(StatusLine("input", device.Control(QRN_SC_INPUT, &input, sizeof input, nullptr, 0)));
    POLICY_LOOKUP_ANSWER answer{};
    SC_OUTPUT_REQUEST output{MakeCallHandle(0, 1), reinterpret_cast<uint64_t>(&answer),
                             sizeof answer, 0};
    PrintLine(
        StatusLine("output", device.Control(QRN_SC_OUTPUT, &output, sizeof output, nullptr, 0)));
    PrintLine(StatusLine("heartbeat", device.Control(QRN_SC_HEARTBEAT, nullptr, 0, nullptr, 0)));
    SC_EXTEND_REQUEST extend{MakeCallHandle(0, 1), 0};
    PrintLine(
        StatusLine("extend", device.Control(QRN_SC_EXTEND, &extend, sizeof extend, nullptr, 0)));
    PrintLine(StatusLine("standby", device.Control(QRN_SC_STANDBY, nullptr, 0, nullptr, 0)));
    PrintLine(StatusLine("detach", device.Control(QRN_SC_DETACH, nullptr, 0, nullptr, 0)));

    // A challenge answered with a code made without the secret authorises nothing.
    AuthNonce nonce{};
    PrintLine(StatusLine("challenge", device.Control(QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(),
                                                     static_cast<uint32_t>(nonce.size()))));
    QRN_AUTH_RESPONSE_REQUEST response{};
    response.function = ControlFunction(QRN_UNINSTALL);
    PrintLine(StatusLine(
        "response", device.Control(QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0)));
    PrintLine(StatusLine("uninstall", device.Control(QRN_UNINSTALL, nullptr, 0, nullptr, 0)));
    PrintLine(
        StatusLine("suspend", device.Control(QRN_SUSPEND_PROTECTION, nullptr, 0, nullptr, 0)));
    // Long enough to be read as an image request, so that only the missing right can refuse it.
    std::vector<uint8_t> image(64, 0x4D);
    PrintLine(
        StatusLine("update", device.Control(QRN_UPDATE_DRIVER, image.data(),
                                            static_cast<uint32_t>(image.size()), nullptr, 0)));

    QRN_VERSION_REPLY version{};
    uint64_t information = 0;
    os::NTSTATUS status =
        device.Control(QRN_GET_VERSION, nullptr, 0, &version, sizeof version, &information);
    PrintLine(StatusLine("version", status));
    PrintLine("driver " + std::to_string(version.major) + "." + std::to_string(version.minor) +
              "." + std::to_string(version.build) + " " + std::to_string(information));
}

int Calls() {
    {
        RAW_DEVICE device;
        if (!device.Opened()) {
            return 2;
        }
        CallsOn(device);
    }
    // The host answers a close once the open's cleanup and close have run there.
    PrintLine("closed");
    PrintLine("end");
    return 0;
}

int Authorised() {
    RAW_DEVICE device;
    if (!device.Opened()) {
        return 2;
    }
    AuthNonce nonce{};
    if (!os::NT_SUCCESS(device.Control(QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(),
                                       static_cast<uint32_t>(nonce.size())))) {
        return 3;
    }
    const std::vector<uint8_t> secret(32, 0x5C);
    QRN_AUTH_RESPONSE_REQUEST response{};
    response.function = ControlFunction(QRN_SUSPEND_PROTECTION);
    AuthMac mac = ComputeAuthResponse(secret, nonce, os::CurrentThreadId(), response.function);
    std::memcpy(response.mac, mac.data(), mac.size());
    PrintLine(StatusLine(
        "response", device.Control(QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0)));
    // The authorisation is this thread's: another thread of the same process is refused.
    os::NTSTATUS other = os::STATUS_UNSUCCESSFUL;
    std::thread([&] {
        other = device.Control(QRN_SUSPEND_PROTECTION, nullptr, 0, nullptr, 0);
    }).join();
    PrintLine(StatusLine("other-thread", other));
    PrintLine(
        StatusLine("suspend", device.Control(QRN_SUSPEND_PROTECTION, nullptr, 0, nullptr, 0)));
    return 0;
}

int RawRegister() {
    {
        RAW_DEVICE device;
        if (!device.Opened()) {
            return 2;
        }
        QRN_REGISTER_REQUEST request{};
        request.inputEvent = os::CreateEventA(false, false);
        QRN_REGISTER_REPLY reply{};
        os::NTSTATUS status =
            device.Control(QRN_REGISTER, &request, sizeof request, &reply, sizeof reply);
        PrintLine(StatusLine("register", status));
        while (os::NT_SUCCESS(status)) {
            pause();  // a registration that was taken lasts until the test ends this process
        }
    }
    PrintLine("closed");
    return 0;
}

// Gives up root the way a daemon drops to an unprivileged account: supplementary groups first,
// then the group, then the user, so that nothing of root is left.
bool BecomeNobody() {
    constexpr uid_t kNobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
        return false;
    }
    return getuid() == kNobody && geteuid() == kNobody && getgid() == kNobody && setuid(0) != 0;
}

int RawSocket(const std::string& dir, const std::string& mode) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = dir + "/" + os::kDeviceSocketName;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return 2;
    }
    std::vector<uint8_t> bytes;
    if (mode == "huge") {
        uint32_t length = 0x7FFFFFFF;
        bytes.resize(4);
        std::memcpy(bytes.data(), &length, 4);
    } else if (mode == "partial") {
        uint32_t length = 100;
        bytes.resize(10);
        std::memcpy(bytes.data(), &length, 4);
    } else {
        // A frame of a size the host accepts whose operation it does not know.
        uint32_t length = 8;
        uint32_t op = 0xDEAD;
        bytes.resize(12);
        std::memcpy(bytes.data(), &length, 4);
        std::memcpy(bytes.data() + 4, &op, 4);
    }
    if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        return 2;
    }
    if (mode == "partial") {
        pause();  // holds the connection half-sent until the test ends this process
    }
    // The host ends the connection: the read sees its end.
    char byte;
    ssize_t n = recv(fd, &byte, 1, 0);
    std::printf("closed %zd\n", n);
    return n == 0 ? 0 : 4;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() >= 2 && arguments[1] == "--nobody") {
        if (!BecomeNobody()) {
            std::fprintf(stderr, "device_bridge_peer: could not become uid 65534\n");
            return 5;
        }
        arguments.erase(arguments.begin() + 1);
    }
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: device_bridge_peer RUNTIME_DIR [--nobody] MODE [ARG]\n");
        return 64;
    }
    const std::string dir = arguments[0];
    const std::string mode = arguments[1];
    if (mode == "garbage" || mode == "huge" || mode == "partial") {
        return RawSocket(dir, mode);
    }
    static os::DEVICE_BRIDGE_CLIENT client(dir);
    os::SetDeviceGateway(&client);
    if (mode == "service") {
        return Service(Lookups::Unhandled, 2);
    }
    if (mode == "policy") {
        return Service(Lookups::Answer, 2);
    }
    if (mode == "hold" && arguments.size() > 2) {
        return Service(Lookups::Hold,
                       static_cast<uint32_t>(std::strtoul(arguments[2].c_str(), nullptr, 10)));
    }
    if (mode == "register") {
        return RegisterOnce();
    }
    if (mode == "forged" && arguments.size() > 2) {
        return Forged(arguments[2].c_str());
    }
    if (mode == "calls") {
        return Calls();
    }
    if (mode == "raw-register") {
        return RawRegister();
    }
    if (mode == "authorised") {
        return Authorised();
    }
    return 64;
}
