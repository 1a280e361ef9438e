// What the reference servers (the policy server, the API server) are made of alike: a table of
// pages over state of their own, kept apart from any HTTP server so that the same table is served
// in process on an HttpPeer (REFERENCE_SERVER, for tests and the demo) and by the programs on a
// port they are given (tools/peers/server_program.h).
#pragma once

#include <httplib.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/peers/http_peer.h"

namespace wexo::peers {

struct REFERENCE_PAGE {
    std::string method;  // "GET" (HEAD is served by the GET handler)
    std::string path;    // "/ostrel_ping"; for a prefix page, what the path begins with
    bool prefix = false;
    PeerHandler handler;
};

// The state every page table keeps beside its pages: where it is served, which its own links
// point to, and the activity log. Both may change while the server's threads answer.
class REFERENCE_PAGES {
  public:
    REFERENCE_PAGES(const REFERENCE_PAGES&) = delete;
    REFERENCE_PAGES& operator=(const REFERENCE_PAGES&) = delete;

    // "http://127.0.0.1:<port>" or "https://...": where the server's own pages are.
    void SetBaseUrl(std::string baseUrl);
    std::string BaseUrl() const;

    // One line per decision and per reload of the file; none unless set. Called on the server's
    // threads.
    void SetActivityLog(std::function<void(const std::string&)> log);

  protected:
    REFERENCE_PAGES() = default;
    ~REFERENCE_PAGES() = default;

    void Report(const std::string& line) const;

    // A handler that answers with a member of the pages, which must outlive any server it is
    // registered with.
    template <typename PAGES>
    static PeerHandler Bind(PAGES* pages,
                            void (PAGES::*answer)(const httplib::Request&, httplib::Response&)) {
        return [pages, answer](const httplib::Request& request, httplib::Response& response) {
            (pages->*answer)(request, response);
        };
    }

  private:
    mutable std::mutex mutex_;
    std::string baseUrl_;
    std::function<void(const std::string&)> activityLog_;
};

// Registers the pages with the peer: the others by path, the prefix pages as what the peer answers
// for any path it has no handler of its own for.
void ServeOnPeer(HttpPeer& peer, std::vector<REFERENCE_PAGE> pages);

// A page table (a REFERENCE_PAGES with a Pages() table) on a local HttpPeer: loopback, a port
// chosen at start, and the peer's refuse/hang/reset/delay switches.
template <typename PAGES>
class REFERENCE_SERVER {
  public:
    explicit REFERENCE_SERVER(PeerOptions options) : peer_(std::move(options)) {
        ServeOnPeer(peer_, pages_.Pages());
    }
    ~REFERENCE_SERVER() {
        // The peer's threads call into the pages: stop them before the pages go.
        peer_.Stop();
    }
    REFERENCE_SERVER(const REFERENCE_SERVER&) = delete;
    REFERENCE_SERVER& operator=(const REFERENCE_SERVER&) = delete;

    // Binds 127.0.0.1 on a port chosen now; false when it cannot (or already runs).
    bool Start() {
        if (!peer_.Start()) {
            return false;
        }
        pages_.SetBaseUrl(peer_.BaseUrl());
        return true;
    }
    void Stop() { peer_.Stop(); }
    bool IsRunning() const { return peer_.IsRunning(); }

    int Port() const { return peer_.Port(); }
    // "127.0.0.1:<port>": the server name the service is given.
    std::string HostPort() const { return peer_.HostPort(); }
    bool IsHttps() const { return peer_.Options().https; }

    PAGES& Pages() { return pages_; }
    // The peer's switches and request log.
    HttpPeer& Peer() { return peer_; }

  private:
    PAGES pages_;
    HttpPeer peer_;
};

// The "api/mobile/v1/dns_remaps" answer, which both servers give: the list as XML (200 with no
// hosts for an empty one), or 404 when none is kept.
void AnswerDnsRemapList(const std::vector<std::pair<std::string, std::string>>* remaps,
                        httplib::Response& response);

// Text safe inside an XML element or an HTML page: & < > " ' escaped.
std::string EscapeMarkup(std::string_view text);

}  // namespace wexo::peers
