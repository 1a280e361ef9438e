// The main job, as far as the system is built: the driver on the simulated network classifies a
// few HTTP and TLS connections and asks over its control channel about each request it recognises.
// A service process of the demo fetches every lookup, prints what the driver recognised (FC#, host,
// path, proxy prefix, TLS session) and lets it pass; the demo then prints what each end received.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/control_codes.h"
#include "common/records.h"
#include "common/service_calls.h"
#include "common/service_domain.h"
#include "driver/channel/control_device.h"
#include "driver/channel/service_call_queue.h"
#include "driver/filter/stream_classify.h"
#include "driver/filter/url_lookup.h"
#include "driver/filter/wfp_registration.h"
#include "os/process.h"
#include "os/sim_network.h"
#include "os/sync.h"
#include "os/wfp_engine.h"
#include "os/win32_io.h"

namespace {

using namespace wexo;
using namespace wexo::drv;

std::string Hex(const uint8_t* bytes, uint32_t length) {
    std::string text;
    char digits[3];
    for (uint32_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

// A TLS 1.2 client hello with a server name and a session ID, as a browser resuming would send it.
std::vector<uint8_t> ClientHello(const std::string& serverName, uint8_t sessionByte) {
    std::vector<uint8_t> body = {3, 3};
    body.insert(body.end(), 32, 0x42);
    body.push_back(32);
    body.insert(body.end(), 32, sessionByte);
    body.insert(body.end(), {0x00, 0x02, 0x13, 0x01, 0x01, 0x00});
    auto n = static_cast<uint16_t>(serverName.size());
    uint16_t list = n + 3, extension = list + 2, extensions = extension + 4;
    body.insert(body.end(), {uint8_t(extensions >> 8), uint8_t(extensions), 0, 0,
                             uint8_t(extension >> 8), uint8_t(extension), uint8_t(list >> 8),
                             uint8_t(list), 0, uint8_t(n >> 8), uint8_t(n)});
    body.insert(body.end(), serverName.begin(), serverName.end());
    std::vector<uint8_t> record = {
        22, 3, 1, 0, 0, 1, 0, uint8_t(body.size() >> 8), uint8_t(body.size())};
    record.insert(record.end(), body.begin(), body.end());
    uint16_t handshake = static_cast<uint16_t>(body.size() + 4);
    record[3] = uint8_t(handshake >> 8);
    record[4] = uint8_t(handshake);
    return record;
}

// The demo's service process: fetches each lookup, prints it, answers "allow".
class DemoService {
  public:
    DemoService() : process_(os::CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 0, "demo")) {
        os::ScopedProcessContext context(process_->Id());
        device_ = os::CreateFileA(kDeviceOpenPath, os::GENERIC_READ | os::GENERIC_WRITE, 0,
                                  os::OPEN_EXISTING, 0);
        event_ = os::CreateEventA(false, false);
        QRN_REGISTER_REQUEST request{};
        request.inputEvent = event_;
        QRN_REGISTER_REPLY reply{};
        if (os::DeviceIoControl(device_, QRN_REGISTER, &request, sizeof request, &reply,
                                sizeof reply, nullptr)) {
            std::printf("service registered: driver v%u.%u.%u, interface v%u\n", reply.major,
                        reply.minor, reply.build, reply.interfaceVersion);
        }
        thread_ = os::Thread::Start([this] { Serve(); });
    }
    ~DemoService() {
        stop_ = true;
        {
            os::ScopedProcessContext context(process_->Id());
            os::SetEvent(event_);
        }
        thread_->Join();
        os::TerminateProcess(process_->Id());
    }
    uint32_t Id() const { return process_->Id(); }

  private:
    void Serve() {
        std::vector<uint8_t> buffer(kServiceRequestBufferSize);
        while (!stop_) {
            os::WaitForSingleObject(event_, os::INFINITE);
            for (;;) {
                SC_INPUT_RESULTS results;
                SC_INPUT_REQUEST in =
                    MakeScInputRequest(results, buffer.data(), uint32_t(buffer.size()));
                if (!os::DeviceIoControl(device_, QRN_SC_INPUT, &in, sizeof in, nullptr, 0,
                                         nullptr)) {
                    break;
                }
                auto* r = reinterpret_cast<const POLICY_LOOKUP_REQUEST*>(results.requestAddress);
                std::printf(
                    "  lookup SC#%u FC#%u %s host=\"%.*s\" path=\"%.*s\" proxy=\"%.*s\"%s%s\n",
                    CallHandleSequence(results.callHandle), r->flowNumber,
                    r->https ? "TLS " : "HTTP", int(r->hostLength),
                    reinterpret_cast<const char*>(r->host), int(r->urlPathLength),
                    reinterpret_cast<const char*>(r->urlPath), int(r->proxyPrefixLength),
                    reinterpret_cast<const char*>(r->proxyPrefix),
                    r->tlsSessionIdLength
                        ? (" session=" + Hex(reinterpret_cast<const uint8_t*>(r->tlsSessionId),
                                             r->tlsSessionIdLength))
                              .c_str()
                        : "",
                    r->sessionReuse ? " (resumed)" : "");
                SC_OUTPUT_REQUEST out{results.callHandle, 0, 0, 1168};
                os::DeviceIoControl(device_, QRN_SC_OUTPUT, &out, sizeof out, nullptr, 0, nullptr);
            }
        }
    }
    template <typename T>
    static uint64_t Addr(T* p) {
        return reinterpret_cast<uint64_t>(p);
    }

    std::shared_ptr<os::PROCESS> process_;
    os::HANDLE device_ = 0;
    os::HANDLE event_ = 0;
    std::atomic<bool> stop_{false};
    std::shared_ptr<os::Thread> thread_;
};

void Show(const char* what, const std::shared_ptr<os::SimTcpConnection>& c) {
    std::string server = c->ServerReceived();
    std::string firstLine;
    if (server.rfind("GET ", 0) == 0) {
        firstLine = " (\"" + server.substr(0, server.find('\r')) + "\")";
    }
    std::printf("  -> %s: server received %zu bytes%s, client received %zu bytes%s\n\n", what,
                server.size(), firstLine.c_str(), c->ClientReceived().size(),
                c->ClientSawFin() ? ", closed" : "");
}

}  // namespace

int main() {
    os::FilterEngine engine;
    SERVICE_CALL_QUEUE queue;
    PROTECTION_STATE protection;
    CONTROL_DEVICE device(queue, protection);
    STREAM_FILTER filter;
    URL_LOOKUP lookup(filter, queue);
    WFP_REGISTRATION registration(filter, lookup);
    if (!queue.Initialise() || device.Create() != os::STATUS_SUCCESS ||
        registration.Initialise() != os::STATUS_SUCCESS ||
        lookup.StartWorkers() != os::STATUS_SUCCESS) {
        std::fprintf(stderr, "driver start failed\n");
        return 1;
    }
    std::printf("WexoWfp demo: driver started on the simulated network\n");
    uint64_t expected = 0;
    auto wait = [&] {
        ++expected;
        while (lookup.CompletedLookups() < expected) {
            os::Sleep(1);
        }
    };
    {
        DemoService service;
        filter.SetServiceProcessId(service.Id());
        os::SimNetwork network(engine);
        auto browser = os::CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0}, 1, "browser");
        const auto server = os::MakeIPv4Address(93, 184, 216, 34);

        std::printf("\n1. plain HTTP GET\n");
        auto http = network.OpenTcp(server, 80, browser->Id());
        http->ClientSend("GET /index.html?q=1 HTTP/1.1\r\nHost: www.example.test\r\n\r\n");
        wait();
        http->ServerSend("HTTP/1.1 200 OK\r\n\r\n");
        Show("allowed", http);

        std::printf("2. GET through a proxy (absolute form), split over two segments\n");
        auto proxy = network.OpenTcp(server, 8080, browser->Id());
        proxy->ClientSend("GET http://news.example.test/world HT");
        proxy->ClientSend("TP/1.1\r\nHost: news.example.test\r\n\r\n");
        wait();
        Show("allowed", proxy);

        std::printf("3. TLS with a server name and a session to resume\n");
        auto tls = network.OpenTcp(server, 443, browser->Id());
        auto hello = ClientHello("mail.example.test", 0xAB);
        tls->ClientSend(std::span<const uint8_t>(hello));
        // The server hello echoes the session ID: the session is resumed.
        std::vector<uint8_t> serverHello = {22, 3, 3, 0, 74, 2, 0, 0, 70, 3, 3};
        serverHello.insert(serverHello.end(), 32, 0x11);
        serverHello.push_back(32);
        serverHello.insert(serverHello.end(), 32, 0xAB);
        serverHello.insert(serverHello.end(), {0x13, 0x01, 0x00});
        tls->ServerSend(std::span<const uint8_t>(serverHello));
        wait();
        Show("allowed", tls);

        std::printf("4. a host of our own service domain is never looked up\n");
        auto own = network.OpenTcp(server, 80, browser->Id());
        own->ClientSend("GET /checkin HTTP/1.1\r\nHost: api." + std::string(kServiceDomain) +
                        "\r\n\r\n");
        network.WaitSettled();
        Show("passed without a lookup", own);
    }
    std::printf("5. the service is gone: a lookup closes the connection\n");
    {
        os::SimNetwork network(engine);
        auto c = network.OpenTcp(os::MakeIPv4Address(198, 51, 100, 7), 80, 4444);
        c->ClientSend("GET / HTTP/1.1\r\nHost: late.example.test\r\n\r\n");
        wait();
        network.WaitSettled();
        Show("closed", c);
    }
    registration.TearDown();
    queue.ShutDown();
    device.Delete();
    std::printf("done: %llu lookups\n", static_cast<unsigned long long>(lookup.CompletedLookups()));
    return 0;
}
