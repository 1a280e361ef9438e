// The reference policy server: the pages the service asks of a policy server, answered the way the
// service expects.
//
// The pages live in PolicyPages, apart from any HTTP server: a table of handlers over the pages'
// shared state. PolicyServer serves that table on an HttpPeer (loopback, port chosen at start,
// with the peer's refuse/hang/reset/delay switches), which is what tests and the demo start in
// process; the policy-server program serves the same table on a server bound to a port it is given.
//
// Pages now: "ostrel_ping" (HEAD and GET): 200, or the answer a test sets (a captive portal's 302
// with a Location, a 503, ...). The policy pages ("access/mobile", "api/mobile/v1/dns_remaps",
// the block page) join the table that Pages() returns, each as one more entry over the same state.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "tools/peers/http_peer.h"

namespace wexo::peers {

class PolicyPages {
  public:
    struct Page {
        std::string method;  // "GET" (HEAD is served by the GET handler)
        std::string path;    // "/ostrel_ping"
        PeerHandler handler;
    };

    PolicyPages() = default;
    PolicyPages(const PolicyPages&) = delete;
    PolicyPages& operator=(const PolicyPages&) = delete;

    // The table of pages. The handlers refer to this object, which must outlive any server they
    // are registered with.
    std::vector<Page> Pages();

    // What "ostrel_ping" answers: a status and, for a redirect, its Location. 200 at start.
    void SetPingAnswer(int status, std::string location = {});
    // Requests of "ostrel_ping" answered so far (HEAD and GET).
    size_t PingCount() const { return pingCount_.load(); }

  private:
    void AnswerPing(const httplib::Request& request, httplib::Response& response);

    mutable std::mutex mutex_;
    int pingStatus_ = 200;
    std::string pingLocation_;
    std::atomic<size_t> pingCount_{0};
};

// The pages on a local HttpPeer.
class PolicyServer {
  public:
    explicit PolicyServer(PeerOptions options = {});
    ~PolicyServer();
    PolicyServer(const PolicyServer&) = delete;
    PolicyServer& operator=(const PolicyServer&) = delete;

    // Binds 127.0.0.1 on a port chosen now; false when it cannot (or already runs).
    bool Start();
    void Stop();
    bool IsRunning() const { return peer_.IsRunning(); }

    int Port() const { return peer_.Port(); }
    // "127.0.0.1:<port>": the policy-server name the service is given.
    std::string HostPort() const { return peer_.HostPort(); }
    bool IsHttps() const { return peer_.Options().https; }

    PolicyPages& Pages() { return pages_; }
    // The peer's switches and request log.
    HttpPeer& Peer() { return peer_; }

  private:
    PolicyPages pages_;
    HttpPeer peer_;
};

}  // namespace wexo::peers
