#include "tools/peers/reference_server.h"

namespace wexo::peers {

void REFERENCE_PAGES::SetBaseUrl(std::string baseUrl) {
    std::lock_guard guard(mutex_);
    baseUrl_ = std::move(baseUrl);
}

std::string REFERENCE_PAGES::BaseUrl() const {
    std::lock_guard guard(mutex_);
    return baseUrl_;
}

void REFERENCE_PAGES::SetActivityLog(std::function<void(const std::string&)> log) {
    std::lock_guard guard(mutex_);
    activityLog_ = std::move(log);
}

void REFERENCE_PAGES::Report(const std::string& line) const {
    std::function<void(const std::string&)> log;
    {
        std::lock_guard guard(mutex_);
        log = activityLog_;
    }
    // Outside the lock: a log that waits on the server (a test's) must not hold up its pages.
    if (log) {
        log(line);
    }
}

void ServeOnPeer(HttpPeer& peer, std::vector<REFERENCE_PAGE> pages) {
    std::vector<REFERENCE_PAGE> prefixPages;
    for (REFERENCE_PAGE& page : pages) {
        if (page.prefix) {
            prefixPages.push_back(std::move(page));
        } else {
            peer.Handle(page.method, page.path, std::move(page.handler));
        }
    }
    if (prefixPages.empty()) {
        return;
    }
    peer.HandleOthers([prefixPages = std::move(prefixPages)](const httplib::Request& request,
                                                             httplib::Response& response) {
        for (const REFERENCE_PAGE& page : prefixPages) {
            if ((request.method == page.method ||
                 (request.method == "HEAD" && page.method == "GET")) &&
                request.path.rfind(page.path, 0) == 0) {
                page.handler(request, response);
                return;
            }
        }
        response.status = 404;
        response.set_content("Not Found", "text/plain");
    });
}

void AnswerDnsRemapList(const std::vector<std::pair<std::string, std::string>>* remaps,
                        httplib::Response& response) {
    if (remaps == nullptr) {
        response.status = 404;
        response.set_content("No DNS remap list is kept for this device.\n", "text/plain");
        return;
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<DNSRemap>\n";
    for (const auto& [host, target] : *remaps) {
        xml += "  <host>" + EscapeMarkup(host) + "," + EscapeMarkup(target) + "</host>\n";
    }
    xml += "</DNSRemap>\n";
    response.status = 200;
    response.set_content(xml, "text/xml; charset=utf-8");
}

std::string EscapeMarkup(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped.push_back(c);
        }
    }
    return escaped;
}

}  // namespace wexo::peers
