#include "tools/pipeline/demo_traffic.h"

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "os/core/process.h"
#include "service/checkin/identity.h"

namespace wexo::pipeline {

// One browser connection per URL once a service registered; the verdict as the browser sees it.
void RunDemoTraffic(IN_PROCESS_DRIVER& driver, os::Event& ended, const std::string& urls,
                    const char* prefix) {
    os::DispatcherObject* objects[] = {&driver.ServiceRegistered(), &ended};
    if (os::WaitForMultipleObjects(objects, false, 60'000) != os::WAIT_OBJECT_0) {
        std::printf("%s no service registered\n", prefix);
        std::fflush(stdout);
        return;
    }
    // The service builds its policy-server set at the end of its start; a lookup before it has
    // a server would only be allowed for want of one.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto browser = os::CreateProcess(svc::UnixUserSid(1000), 1, "C:\\Browser\\browser.exe");
    std::istringstream list(urls);
    std::string url;
    uint8_t last = 20;
    while (list >> url) {
        const std::string rest =
            url.substr(url.find("://") == std::string::npos ? 0 : url.find("://") + 3);
        const size_t slash = rest.find('/');
        const std::string host = rest.substr(0, slash);
        const std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
        auto connection =
            driver.Network().OpenTcp(os::MakeIPv4Address(198, 51, 100, last++), 80, browser->Id());
        connection->ClientSend("GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        connection->WaitUntil(
            [](const os::SIM_END_STATE& client, const os::SIM_END_STATE& server) {
                return !server.received.empty() || !client.received.empty() || client.reset;
            },
            10'000);
        const std::string received = connection->ClientReceived();
        const char* verdict = received.rfind("HTTP/1.1 302", 0) == 0 ? "REDIRECTED"
                              : connection->ClientWasReset()         ? "CLOSED"
                                                                     : "ALLOWED";
        std::printf("%s GET %s%s %s\n", prefix, host.c_str(), path.c_str(), verdict);
        std::fflush(stdout);
    }
    os::TerminateProcess(browser->Id());
}

}  // namespace wexo::pipeline
