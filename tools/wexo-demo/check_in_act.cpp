// The check-in act: two policy servers, the reference API server with a devices file in the act's
// own folder, the driver host and the service, each a process, all on 127.0.0.1.
//
// The host's simulated browser opens its connections once, a second after the first service
// registered, and `wexosvc -IC` checks in at about the same moment; which of the two comes first
// is luck. So the connections that show what a check-in changed run on a new host, started after
// the check-in over the same registry file, with a service that does not check in (its first
// check-in is 30 seconds away, long after the act ends).
#include "tools/wexo-demo/check_in_act.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "service/support/registry_helpers.h"
#include "tools/peers/child_process.h"

namespace wexo::demo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using wexo::peers::CHILD_PROCESS;

// Real time the act may take with every wait run out, when nothing answers.
constexpr seconds kActBudget{40};
// What each program gets to stop on SIGTERM, also when the budget is spent.
constexpr seconds kStopLimit{5};

const char kBlockedUrl[] = "http://games.example/play";
const char kOrdinaryUrl[] = "http://www.example.test/index.html";
const char kApiListening[] = "API server listening on https://";
const char kPolicyListening[] = "Policy server listening on http://";
// The last line of every check-in, whatever its reply was.
const char kCheckInEnded[] = "No software update";

// The host:port that `child` announced in its line beginning with `announcement`.
std::string Announced(const CHILD_PROCESS& child, const std::string& announcement) {
    const std::string said = child.Output();
    const size_t at = said.find(announcement);
    if (at == std::string::npos) {
        return {};
    }
    const size_t begin = at + announcement.size();
    return said.substr(begin, said.find('\n', begin) - begin);
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        lines.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

// The service's lines whose text begins with one of `starts`, each with the lines that go on with
// it: the indented ones and the "#N - name" lines of a server list.
void ShowServiceLines(const std::string& output, std::initializer_list<const char*> starts) {
    constexpr std::string_view kPrefix = "WexoS: ";
    bool showing = false;
    for (std::string_view line : Lines(output)) {
        const bool own = line.starts_with(kPrefix);
        const std::string_view text = own ? line.substr(kPrefix.size()) : std::string_view();
        showing = showing && (line.starts_with("    ") || text.starts_with("#"));
        for (const char* start : starts) {
            showing = showing || (own && text.starts_with(start));
        }
        if (showing) {
            std::printf("  %.*s\n", static_cast<int>(line.size()), line.data());
        }
    }
}

// "host:port about url" for each policy query in the service's output.
std::vector<std::string> PolicyQueries(const std::string& output) {
    const std::string marker = "Policy query = \"";
    std::vector<std::string> queries;
    for (size_t at = output.find(marker); at != std::string::npos;
         at = output.find(marker, at + 1)) {
        const size_t begin = at + marker.size();
        const std::string query = output.substr(begin, output.find('"', begin) - begin);
        const size_t scheme = query.find("://");
        const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
        const size_t path = query.find('/', host);
        const size_t url = query.find("&url=");
        queries.push_back(query.substr(host, path - host) + " about " +
                          (url == std::string::npos ? query : query.substr(url + 5)));
    }
    return queries;
}

class CHECK_IN_ACT {
  public:
    CHECK_IN_ACT(std::string policyFile, std::string folder)
        : tools_(std::string(WEXO_BINARY_DIR) + "/tools/"),
          policyFile_(std::move(policyFile)),
          folder_(std::move(folder)),
          deadline_(steady_clock::now() + kActBudget) {}

    // The service goes before the host whose bridge it uses, the servers last.
    ~CHECK_IN_ACT() {
        Stop(service_);
        Stop(host_);
        Stop(api_);
        for (auto& server : policy_) {
            Stop(server);
        }
    }

    CHECK_IN_ACT(const CHECK_IN_ACT&) = delete;
    CHECK_IN_ACT& operator=(const CHECK_IN_ACT&) = delete;

    bool Run() {
        if (!StartServers()) {
            return false;
        }
        std::printf(
            "\nCheck-in: the reference API server (https://%s, its certificate issued by the "
            "authority in %s) answers from %s:\n",
            apiAddress_.c_str(), CaPath().c_str(), DevicesPath().c_str());
        std::ifstream in(DevicesPath());
        for (std::string line; std::getline(in, line);) {
            std::printf("  %s\n", line.c_str());
        }
        std::printf(
            "wexowfp runs, installed with PolicyServers = %s (balanced) and TlsCaFile = %s; "
            "wexosvc -A -IC checks in at once, over TLS it verifies:\n",
            policyAddress_[0].c_str(), CaPath().c_str());
        const std::string tiered = policyAddress_[1] + ";" + policyAddress_[0];
        if (!StartHost({}, true) ||
            !CheckIn("Server Mode = Tiered",
                     {"Registry policy servers:", "Server verification =", "Immediate check-in",
                      "CheckIn: Server =", "CheckIn: URL =", "Dormant mode =", "Server Mode =",
                      "Requested next check-in", "Server mode changing", "New policy server names",
                      "Querying ", "Primary policy server"}) ||
            !ShowRegistry("the product key after the check-in",
                          {{"PolicyServers", tiered}, {"ServerMode", "0x1"}})) {
            return false;
        }

        std::printf("\nThe devices file now says Dormant = true; wexosvc -A -IC again:\n");
        const std::initializer_list<const char*> dormancy = {
            "CheckIn: URL =", "Dormant mode =", "Switching to"};
        if (!WriteDevices(true) || !CheckIn("Switching to dormant mode", dormancy) ||
            !ShowRegistry("the product key", {{"Dormant", "0x1"}}) || !StopHost()) {
            return false;
        }
        std::printf("The browser, on a new wexowfp over the same registry, with wexosvc -A:\n");
        if (!Browse(false)) {
            return false;
        }

        std::printf("\nDormant = false again; wexosvc -A -IC:\n");
        if (!WriteDevices(false) || !CheckIn("Switching to active mode", dormancy) ||
            !ShowRegistry("the product key", {{"Dormant", "0x0"}}) || !StopHost()) {
            return false;
        }
        std::printf("The browser, on a new wexowfp, with wexosvc -A:\n");
        if (!Browse(true)) {
            return false;
        }
        const int hostStatus = Stop(host_);
        std::printf("Every program of the act stopped; wexowfp exited with status %d\n",
                    hostStatus);
        return hostStatus == 0;
    }

  private:
    // What is left of the act's budget, at most `limit`.
    milliseconds Within(milliseconds limit) const {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline_ - steady_clock::now());
        return std::clamp(left, milliseconds(0), limit);
    }

    std::string DevicesPath() const { return folder_ + "/devices.ini"; }
    std::string CaPath() const { return folder_ + "/api-ca.pem"; }

    // Later entries take the place of earlier ones of the same name. WEXO_API_SERVER keeps every
    // check-in on loopback.
    std::vector<std::string> Environment(std::vector<std::string> more) const {
        std::vector<std::string> environment = {"WEXO_RUNTIME_DIR=" + folder_,
                                                "WEXO_REGISTRY_FILE=" + folder_ + "/registry",
                                                "WEXO_API_SERVER=" + apiAddress_,
                                                "WexoSvc=0x120",
                                                "WEXO_POLICY_SERVERS=",
                                                "WEXO_TLS_CA_FILE=",
                                                "WEXO_DEMO_URLS=",
                                                "NOTIFY_SOCKET=",
                                                "WEXO_IN_PROCESS_DRIVER=",
                                                "WEXO_NETWORK="};
        environment.insert(environment.end(), more.begin(), more.end());
        return environment;
    }

    // SIGTERM, then the exit status (-1 when it had to be killed); `output` gets all it wrote.
    static int Stop(std::unique_ptr<CHILD_PROCESS>& child, std::string* output = nullptr) {
        if (!child) {
            return -1;
        }
        child->Signal(SIGTERM);
        const int status = child->Wait(kStopLimit);
        if (output != nullptr) {
            *output = child->Output();
        }
        child.reset();
        return status;
    }

    bool StartServers() {
        for (int i = 0; i < 2; ++i) {
            policy_[i] = CHILD_PROCESS::Start(tools_ + "policy-server",
                                              {"--policy", policyFile_, "--quiet"}, {});
            if (!policy_[i] || !policy_[i]->ReadUntil(kPolicyListening, Within(seconds(15)))) {
                std::fprintf(stderr, "wexo-demo: a policy server did not start\n%s",
                             policy_[i] ? policy_[i]->Output().c_str() : "");
                return false;
            }
            policyAddress_[i] = Announced(*policy_[i], kPolicyListening);
        }
        if (!WriteDevices(false)) {
            return false;
        }
        // The service verifies the API server: it is told to trust the authority the server's
        // certificate comes from, as a deployment names its own in "TlsCaFile".
        api_ = CHILD_PROCESS::Start(tools_ + "api-server",
                                    {"--devices", DevicesPath(), "--write-ca", CaPath()}, {});
        if (!api_ || !api_->ReadUntil(kApiListening, Within(seconds(15)))) {
            std::fprintf(stderr, "wexo-demo: the API server did not start\n%s",
                         api_ ? api_->Output().c_str() : "");
            return false;
        }
        apiAddress_ = Announced(*api_, kApiListening);
        return true;
    }

    // Every device gets the second policy server first: the lookups after a check-in show by
    // their address that the list changed. The file is replaced whole, so that the API server,
    // which reads it again at the next request after a change, never reads half of it.
    bool WriteDevices(bool dormant) {
        const std::string path = DevicesPath();
        {
            std::ofstream out(path + ".new", std::ios::trunc);
            out << "# Every device, this one too (its MAC address is the machine's).\n"
                << "[device *]\n"
                << "ServerMode = tiered\n"
                << "Servers = " << policyAddress_[1] << ", " << policyAddress_[0] << "\n"
                << "Dormant = " << (dormant ? "true" : "false") << "\n"
                << "NextCheckIn = +12h\n";
            if (!out.flush()) {
                std::fprintf(stderr, "wexo-demo: %s.new cannot be written\n", path.c_str());
                return false;
            }
        }
        std::error_code error;
        std::filesystem::rename(path + ".new", path, error);
        if (error) {
            std::fprintf(stderr, "wexo-demo: %s: %s\n", path.c_str(), error.message().c_str());
            return false;
        }
        return true;
    }

    // `installed`: the first start, which writes the policy server as an installer would (once
    // the driver runs, only the service may change the product key).
    bool StartHost(const std::vector<std::string>& urls, bool installed = false) {
        std::string list;
        for (const std::string& url : urls) {
            list += (list.empty() ? "" : " ") + url;
        }
        std::vector<std::string> more = {"WEXO_DEMO_URLS=" + list};
        if (installed) {
            more.push_back("WEXO_POLICY_SERVERS=" + policyAddress_[0]);
            more.push_back("WEXO_TLS_CA_FILE=" + CaPath());
        }
        host_ = CHILD_PROCESS::Start(tools_ + "wexowfp", {}, Environment(more));
        if (!host_ || !host_->ReadUntil("the driver runs", Within(seconds(15)))) {
            std::fprintf(stderr, "wexo-demo: the driver host did not start\n%s",
                         host_ ? host_->Output().c_str() : "");
            return false;
        }
        return true;
    }

    bool StopHost() {
        std::string output;
        const int status = Stop(host_, &output);
        if (status != 0) {
            std::fprintf(stderr, "wexo-demo: wexowfp exited with status %d\n%s", status,
                         output.c_str());
        }
        return status == 0;
    }

    // `wexosvc -A -IC` on the running host until its check-in is done.
    bool CheckIn(const char* expected, std::initializer_list<const char*> shown) {
        const std::string before = api_->Output();
        const size_t checkIns = peers::CountOccurrences(before, "checkin mac=");
        service_ = CHILD_PROCESS::Start(tools_ + "wexosvc", {"-A", "-IC"}, Environment({}));
        const bool ended = service_ && service_->ReadUntil(kCheckInEnded, Within(seconds(15)));
        api_->ReadUntil("checkin mac=", Within(seconds(2)), checkIns + 1);
        std::string output;
        const int status = Stop(service_, &output);
        // Held here: the lines are views into it.
        const std::string said = api_->Output();
        for (std::string_view line : Lines(std::string_view(said).substr(before.size()))) {
            std::printf("  api-server: %.*s\n", static_cast<int>(line.size()), line.data());
        }
        ShowServiceLines(output, shown);
        const bool seen = output.find(expected) != std::string::npos;
        std::printf("wexosvc exited with status %d%s%s%s\n", status, seen ? "" : " (no \"",
                    seen ? "" : expected, seen ? "" : "\" line)");
        if (!ended) {
            std::fprintf(stderr, "wexo-demo: the check-in did not end in time\n%s", output.c_str());
        }
        return ended && seen && status == 0;
    }

    // Each value's line, which must contain what is given with it.
    bool ShowRegistry(const char* what,
                      std::initializer_list<std::pair<const char*, std::string>> values) {
        const std::string key = std::string("HKLM\\") + svc::kProductKeyPath;
        std::printf("  wexo-reg query %s /v ... (%s):\n", key.c_str(), what);
        bool all = true;
        for (const auto& [name, wanted] : values) {
            // Through the running host, not the store file it keeps.
            auto query = CHILD_PROCESS::Start(tools_ + "wexo-reg", {"query", key, "/v", name},
                                              Environment({"WEXO_REGISTRY_FILE="}));
            const int status = query ? query->Wait(Within(seconds(10))) : -1;
            std::string found;
            const std::string said = query ? query->Output() : std::string();
            for (std::string_view line : Lines(said)) {
                if (line.find(" REG_") != std::string_view::npos) {
                    found = std::string(line.substr(line.find_first_not_of(' ')));
                }
            }
            const bool right =
                status == 0 && !found.empty() && found.find(wanted) != std::string::npos;
            std::printf("    %s%s\n", found.empty() ? name : found.c_str(),
                        right           ? ""
                        : found.empty() ? ": not read"
                                        : " (not what the check-in set)");
            all = all && right;
        }
        return all;
    }

    // The browser's connections on a new host with a service that does not check in; the
    // blocked URL is redirected when `blocked`, and passes otherwise.
    bool Browse(bool blocked) {
        const std::vector<std::string> urls = {kBlockedUrl, kOrdinaryUrl};
        if (!StartHost(urls)) {
            return false;
        }
        service_ = CHILD_PROCESS::Start(tools_ + "wexosvc", {"-A"}, Environment({}));
        const bool answered =
            service_ && host_->ReadUntil("wexowfp demo: GET", Within(seconds(20)), urls.size());
        std::string output;
        const int status = Stop(service_, &output);
        std::string verdict;
        const std::string said = host_->Output();
        for (std::string_view line : Lines(said)) {
            if (line.find("wexowfp demo:") != std::string_view::npos) {
                std::printf("  %.*s\n", static_cast<int>(line.size()), line.data());
            }
            if (line.find("GET games.example/play ") != std::string_view::npos) {
                verdict = std::string(line.substr(line.rfind(' ') + 1));
            }
        }
        const std::vector<std::string> queries = PolicyQueries(output);
        if (queries.empty()) {
            std::printf(
                "  wexosvc asked no policy server: the dormant driver passes every "
                "connection without a lookup\n");
        }
        for (const std::string& query : queries) {
            std::printf("  wexosvc asked policy server %s\n", query.c_str());
        }
        const char* wanted = blocked ? "REDIRECTED" : "ALLOWED";
        std::printf("wexosvc exited with status %d%s%s%s\n", status,
                    verdict == wanted ? "" : " (games.example/play was not ",
                    verdict == wanted ? "" : wanted, verdict == wanted ? "" : ")");
        return answered && status == 0 && verdict == wanted;
    }

    const std::string tools_;
    const std::string policyFile_;
    const std::string folder_;
    const steady_clock::time_point deadline_;
    std::unique_ptr<CHILD_PROCESS> policy_[2];
    std::unique_ptr<CHILD_PROCESS> api_;
    std::unique_ptr<CHILD_PROCESS> host_;
    std::unique_ptr<CHILD_PROCESS> service_;
    std::string policyAddress_[2];
    std::string apiAddress_;
};

}  // namespace

int RunCheckInAct(const std::string& policyFile) {
    char folder[] = "/tmp/wexo-demo-checkin-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::fprintf(stderr, "wexo-demo: no folder for the check-in act: %s\n",
                     std::strerror(errno));
        return 1;
    }
    bool shown = false;
    {
        CHECK_IN_ACT act(policyFile, folder);
        shown = act.Run();
    }
    if (!shown) {
        std::fprintf(stderr, "wexo-demo: the check-in act ended early; its programs are stopped\n");
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return shown ? 0 : 1;
}

}  // namespace wexo::demo
