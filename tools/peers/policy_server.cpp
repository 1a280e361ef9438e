#include "tools/peers/policy_server.h"

#include <utility>

namespace wexo::peers {

std::vector<PolicyPages::Page> PolicyPages::Pages() {
    std::vector<Page> pages;
    pages.push_back({"GET", "/ostrel_ping",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         AnswerPing(request, response);
                     }});
    return pages;
}

void PolicyPages::SetPingAnswer(int status, std::string location) {
    std::lock_guard guard(mutex_);
    pingStatus_ = status;
    pingLocation_ = std::move(location);
}

void PolicyPages::AnswerPing(const httplib::Request&, httplib::Response& response) {
    ++pingCount_;
    std::lock_guard guard(mutex_);
    response.status = pingStatus_;
    if (!pingLocation_.empty()) {
        response.set_header("Location", pingLocation_);
    }
    // A small body for GET; HEAD sends the headers alone.
    response.set_content(pingStatus_ == 200 ? "OK" : "", "text/plain");
}

PolicyServer::PolicyServer(PeerOptions options) : peer_(std::move(options)) {
    for (auto& page : pages_.Pages()) {
        peer_.Handle(page.method, page.path, std::move(page.handler));
    }
}

PolicyServer::~PolicyServer() {
    // The peer's threads call into the pages: stop them before the pages go.
    peer_.Stop();
}

bool PolicyServer::Start() {
    return peer_.Start();
}

void PolicyServer::Stop() {
    peer_.Stop();
}

}  // namespace wexo::peers
