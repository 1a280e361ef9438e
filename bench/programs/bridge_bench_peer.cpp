// The other process of bench_bridge_round_trip.
//
//   bridge_bench_peer echo FD REQUEST ANSWER     reads REQUEST bytes from the socket FD and writes
//                                                ANSWER bytes back, until the other end closes
//   bridge_bench_peer service RUNTIME_DIR N      registers as the service over the device bridge
//                                                with N worker threads (0: the service's own
//                                                count, 16 per processor), answers every policy
//                                                lookup with "allow" and prints "registered N"
//                                                once the driver took it; runs until killed
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/service_calls.h"
#include "os/bridge/device_bridge.h"
#include "os/core/device_gateway.h"
#include "os/win32/handles.h"
#include "service/calls/register_service.h"
#include "service/calls/service_call.h"
#include "service/policy/policy_lookup.h"

namespace {

using namespace wexo;

// Exactly `length` bytes, or false at the end of the stream.
bool ReadAll(int fd, uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = recv(fd, data + done, length - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int Echo(int fd, size_t requestSize, size_t answerSize) {
    std::vector<uint8_t> request(requestSize), answer(answerSize, 0x5A);
    while (ReadAll(fd, request.data(), request.size())) {
        if (send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(answer.size())) {
            return 1;
        }
    }
    return 0;
}

int Service(uint32_t threads) {
    os::HANDLE device = svc::OpenControlDevice();
    if (device == os::INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "bridge_bench_peer: the device did not open (error %lu)\n",
                     static_cast<unsigned long>(os::GetLastError()));
        return 2;
    }
    auto channel = svc::SERVICE_CALL_CHANNEL::Create();
    // The request block is parsed as the service's policy lookup parses it, so a block that
    // crossed badly shows in the bench as a failed call rather than as a fast one.
    os::HANDLE input = channel->ServiceCallInitialize(
        device, [](uint32_t code, svc::SERVICE_CALL& call, const uint8_t* block, uint32_t size) {
            if (code != SC_CODE_POLICY_LOOKUP) {
                return false;
            }
            svc::POLICY_LOOKUP_INPUT lookup;
            std::string problem;
            if (!svc::ParsePolicyLookupRequest(block, size, &lookup, &problem) ||
                lookup.host.empty()) {
                call.Complete(nullptr, 0, svc::SC_STATUS_BAD_REQUEST);
                return true;
            }
            POLICY_LOOKUP_ANSWER answer{};
            call.Complete(&answer, sizeof answer, static_cast<int32_t>(os::ERROR_NOT_FOUND));
            return true;
        });
    if (threads == 0) {
        threads = svc::SERVICE_CALL_CHANNEL::ServiceCallThreadCount();
    }
    std::vector<std::shared_ptr<os::Thread>> workers;
    for (uint32_t i = 0; input != 0 && i < threads; ++i) {
        workers.push_back(channel->StartServiceCallThread(i));
    }
    if (input == 0 || !svc::RegisterService(device, input)) {
        std::fprintf(stderr, "bridge_bench_peer: not registered (input %llu, error %lu)\n",
                     static_cast<unsigned long long>(input),
                     static_cast<unsigned long>(os::GetLastError()));
        return 3;
    }
    std::printf("registered %u\n", threads);
    std::fflush(stdout);
    for (;;) {
        pause();  // the bench ends this process
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "echo" && argc == 5) {
        return Echo(std::atoi(argv[2]), std::strtoul(argv[3], nullptr, 10),
                    std::strtoul(argv[4], nullptr, 10));
    }
    if (mode == "service" && argc == 4) {
        static os::DEVICE_BRIDGE_CLIENT client(argv[2]);
        os::SetDeviceGateway(&client);
        return Service(static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
    }
    std::fprintf(stderr,
                 "usage: bridge_bench_peer echo FD REQUEST ANSWER | service RUNTIME_DIR THREADS\n");
    return 64;
}
