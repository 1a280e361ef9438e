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
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/control_codes.h"
#include "common/service_calls.h"
#include "os/bridge/device_bridge.h"
#include "os/core/device_gateway.h"
#include "os/win32/handles.h"
#include "service/calls/dns_resolution.h"
#include "service/calls/ip_address.h"
#include "service/calls/register_service.h"
#include "service/calls/service_call.h"

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

int Service() {
    os::HANDLE device = svc::OpenControlDevice();
    if (device == os::INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "device_bridge_peer: the device did not open (error %lu)\n",
                     static_cast<unsigned long>(os::GetLastError()));
        return 2;
    }
    PEER_RESOLVER resolver;
    svc::ScopedNameResolver scoped(resolver);
    auto channel = svc::SERVICE_CALL_CHANNEL::Create();
    os::HANDLE input = channel->ServiceCallInitialize(
        device, [](uint32_t code, svc::SERVICE_CALL& call, const uint8_t* block, uint32_t size) {
            if (code != SC_CODE_RESOLVE_V4 && code != SC_CODE_RESOLVE_V6) {
                return false;
            }
            svc::DispatchResolveDnsName(
                call, code == SC_CODE_RESOLVE_V4 ? svc::AddressFamily::V4 : svc::AddressFamily::V6,
                block, size);
            return true;
        });
    std::vector<std::shared_ptr<os::Thread>> workers;
    for (uint32_t i = 0; input != 0 && i < 2; ++i) {
        workers.push_back(channel->StartServiceCallThread(i));
    }
    if (input == 0 || !svc::RegisterService(device, input)) {
        std::fprintf(stderr, "device_bridge_peer: not registered (input %llu, error %lu)\n",
                     static_cast<unsigned long long>(input),
                     static_cast<unsigned long>(os::GetLastError()));
        return 3;
    }
    std::printf("registered\n");
    std::fflush(stdout);
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
    if (argc < 3) {
        std::fprintf(stderr, "usage: device_bridge_peer RUNTIME_DIR MODE [ARG]\n");
        return 64;
    }
    const std::string dir = argv[1];
    const std::string mode = argv[2];
    if (mode == "garbage" || mode == "huge" || mode == "partial") {
        return RawSocket(dir, mode);
    }
    static os::DEVICE_BRIDGE_CLIENT client(dir);
    os::SetDeviceGateway(&client);
    if (mode == "service") {
        return Service();
    }
    if (mode == "register") {
        return RegisterOnce();
    }
    if (mode == "forged" && argc > 3) {
        return Forged(argv[3]);
    }
    return 64;
}
