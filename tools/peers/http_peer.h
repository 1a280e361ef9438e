// A local HTTP or HTTPS server for tests, the reference servers and the demo, on cpp-httplib.
//
// It listens on 127.0.0.1 on a port the system chooses when it starts, answers the handlers the
// owner registers per method and path, keeps a log of every request it received, and has switches
// that make it misbehave the way real servers and networks do:
//
//   refuse  stop listening, so that connections are refused (the port is kept for later);
//   hang    take requests and never answer them until the switch is turned off or the peer stops;
//   reset   take requests and reset the connection instead of answering;
//   delay   answer every request only after a pause;
//   gzip    send every body gzip-encoded (Content-Encoding: gzip).
//
// Usage:
//   wexo::peers::HttpPeer peer;                                     // or HttpPeer(HttpsPeer())
//   peer.Reply("GET", "/ping", 200, "pong");
//   peer.Handle("POST", "/form", [](const httplib::Request& req, httplib::Response& res) {...});
//   ASSERT_TRUE(peer.Start());
//   ... request "http://" + peer.HostPort() + "/ping" ...
//   EXPECT_EQ(peer.RequestCount("GET", "/ping"), 1u);
//   peer.Stop();                                                     // also done by the destructor
//
// Bodies are sent exactly as the handler set them (never compressed on the peer's own initiative),
// so that a test decides what reaches the client. The peer runs on real time and its threads are
// plain std::threads: it serves real sockets and must not count for a virtual clock's settling.
// Handlers and switches may be changed while it runs; handlers run on the peer's worker threads.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tools/peers/peer_tls.h"

namespace wexo::peers {

// One request as the peer received it.
struct PeerRequest {
    std::string method;        // "GET", "HEAD", "POST", ...
    std::string target;        // the request target as sent: path and query
    std::string path;          // the path, percent-decoded as the peer routes it
    std::string query;         // the raw query after "?" (empty without one)
    std::string version;       // "HTTP/1.1"
    httplib::Headers headers;  // as received; names compare without regard to case
    std::string body;
    bool tls = false;

    // The first value of a header, or "" when it was not sent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const { return headers.count(name) != 0; }
};

using PeerHandler = std::function<void(const httplib::Request&, httplib::Response&)>;

struct PeerOptions {
    bool https = false;
    // HTTPS: the server's key and certificate; none: a self-signed one for "127.0.0.1".
    std::optional<TlsIdentity> identity;
    // HTTPS: protocol versions offered (TLS1_2_VERSION, TLS1_3_VERSION, ...); 0: OpenSSL's default.
    int minTlsVersion = 0;
    int maxTlsVersion = 0;
    // How long a connection waits for the client's next request (also its first one). Stop does
    // not wait for it: it shuts the peer's open connections.
    int keepAliveSeconds = 5;
    // Where it listens: 127.0.0.1 on a port chosen at start, unless a test puts it elsewhere (an
    // address of a network namespace of its own, a fixed port).
    std::string address = "127.0.0.1";
    int port = 0;
};

// Options of an HTTPS peer with the given identity (none: self-signed for "127.0.0.1").
PeerOptions HttpsPeer(std::optional<TlsIdentity> identity = std::nullopt);

class HttpPeer {
  public:
    explicit HttpPeer(PeerOptions options = {});
    ~HttpPeer();
    HttpPeer(const HttpPeer&) = delete;
    HttpPeer& operator=(const HttpPeer&) = delete;

    // Binds its address (127.0.0.1 on a port chosen now, unless the options say otherwise) and
    // starts serving. False when it cannot bind or is already running.
    bool Start();
    // Stops listening, ends requests held by the hang switch or a delay by resetting their
    // connections, and waits for every thread of the peer. Prompt; safe to call again.
    void Stop();
    bool IsRunning() const;

    int Port() const { return port_; }
    // "127.0.0.1:<port>": the server name as the service's HTTP clients take it.
    std::string HostPort() const;
    // "http://127.0.0.1:<port>" or "https://...".
    std::string BaseUrl() const;
    const PeerOptions& Options() const { return options_; }

    // ---- What the peer answers. A later registration for the same method and path replaces the
    // earlier one. HEAD falls back to the GET handler (and sends no body). Requests no handler
    // takes are answered by the fallback, or 404 without one.
    void Handle(const std::string& method, const std::string& path, PeerHandler handler);
    void HandleOthers(PeerHandler handler);
    // A fixed answer.
    void Reply(const std::string& method, const std::string& path, int status, std::string body,
               std::string contentType = "text/plain", httplib::Headers headers = {});
    // A redirect: `status` (3xx) with a Location header.
    void Redirect(const std::string& method, const std::string& path, int status,
                  std::string location);
    void ClearHandlers();

    // ---- Switches.
    // Refusing stops the listener (ending held requests as Stop does); turning it off listens on
    // the same port again. Returns false when that port cannot be bound again.
    bool SetRefuse(bool refuse);
    // Turning hang off answers the held requests normally.
    void SetHang(bool hang);
    void SetReset(bool reset);
    void SetDelay(std::chrono::milliseconds delay);
    void SetGzip(bool gzip);

    // ---- The request log (every request that reached the peer, switches or not).
    std::vector<PeerRequest> Requests() const;
    size_t RequestCount() const;
    size_t RequestCount(const std::string& method, const std::string& path) const;
    // The last request, or an empty one when there was none.
    PeerRequest LastRequest() const;
    void ClearRequests();
    // Waits until at least `count` requests were logged; false on time-out.
    bool WaitForRequests(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Requests held now by the hang switch.
    size_t HeldCount() const;

  private:
    bool Listen(int port);
    void EndListening();
    std::unique_ptr<httplib::Server> MakeServer();
    void Serve(const httplib::Request& request, httplib::Response& response);
    void Record(const httplib::Request& request);
    // Waits while the hang switch is on; returns false when the peer is stopping.
    bool WaitWhileHanging();
    bool WaitDelay();
    void Answer(const httplib::Request& request, httplib::Response& response);

    const PeerOptions options_;
    TlsIdentity identity_;

    // Lifetime of the listener; Start, Stop and SetRefuse run on the owner's thread.
    mutable std::mutex lifecycleMutex_;
    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
    int port_ = 0;
    bool refusing_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::pair<std::string, std::string>, PeerHandler> handlers_;
    PeerHandler fallback_;
    std::vector<PeerRequest> log_;
    bool stopping_ = false;
    bool hang_ = false;
    bool reset_ = false;
    bool gzip_ = false;
    std::chrono::milliseconds delay_{0};
    size_t held_ = 0;
};

// Resets (RST) the TCP connection that carries `request`, from inside a handler: the client sees
// "connection reset" and the peer's reply to it goes nowhere. False when it was not found.
bool ResetConnection(const httplib::Request& request);

// gzip encoding of `data` (RFC 1952), as a server sends it with Content-Encoding: gzip.
std::string GzipEncode(std::string_view data);

}  // namespace wexo::peers
