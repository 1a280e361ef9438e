#include "tools/pipeline/namespace_product.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "os/wfp/linux/bpf_socket_owner.h"

namespace wexo::pipeline {
namespace {

using std::chrono::seconds;

const std::string kHost = std::string(WEXO_BINARY_DIR) + "/tools/wexowfp";
const std::string kService = std::string(WEXO_BINARY_DIR) + "/tools/wexosvc";
const std::string kRegistryTool = std::string(WEXO_BINARY_DIR) + "/tools/wexo-reg";

// The runs' cgroups are "wexo-t<pid>-<n>" below the hierarchy's root, so that a later run removes
// the empty ones a crashed run left behind.
constexpr char kCgroupPrefix[] = "wexo-t";
std::atomic<int> gCgroupSequence{0};

void RemoveStaleCgroups(const std::string& mount) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(mount, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory(error) && peers::NETWORK_NAMESPACES::IsStaleName(name))
            ::rmdir(entry.path().c_str());  // fails, and stays, while anything still runs in it
    }
}

bool MoveToCgroup(const std::string& folder, pid_t pid) {
    std::ofstream procs(folder + "/cgroup.procs");
    procs << pid << std::flush;
    return procs.good();
}

int StopChild(std::unique_ptr<peers::CHILD_PROCESS>& child) {
    if (!child) {
        return -1;
    }
    child->Signal(SIGTERM);
    const int status = child->Wait(seconds(30));
    return status;
}

}  // namespace

bool NAMESPACE_PRODUCT::Available(std::string* why) {
    if (!peers::NETWORK_NAMESPACES::Available(why)) {
        return false;
    }
    if (peers::NETWORK_NAMESPACES::FindProgram("curl").empty()) {
        *why = "curl is not installed";
        return false;
    }
    return true;
}

NAMESPACE_PRODUCT::NAMESPACE_PRODUCT() = default;

NAMESPACE_PRODUCT::~NAMESPACE_PRODUCT() {
    StopService();
    StopHost();
    policy_.Stop();
    dns_.Stop();
    if (web_) {
        web_->Stop();
    }
    if (secure_) {
        secure_->Stop();
    }
    namespaces_.reset();
    LeaveCgroup();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

void NAMESPACE_PRODUCT::EnterCgroup() {
    const std::string mount = os::CgroupV2Mount();
    if (mount.empty() || ::geteuid() != 0) {
        return;
    }
    RemoveStaleCgroups(mount);
    const std::string folder = mount + "/" + kCgroupPrefix + std::to_string(::getpid()) + "-" +
                               std::to_string(gCgroupSequence.fetch_add(1));
    if (::mkdir(folder.c_str(), 0755) != 0) {
        return;
    }
    formerCgroup_ = os::CurrentCgroupV2();
    if (formerCgroup_.empty() || !MoveToCgroup(folder, ::getpid())) {
        ::rmdir(folder.c_str());
        return;
    }
    cgroup_ = folder;
}

void NAMESPACE_PRODUCT::LeaveCgroup() {
    if (cgroup_.empty()) {
        return;
    }
    MoveToCgroup(formerCgroup_, ::getpid());
    // A program of the run that outlived it (none should) goes back with this process rather
    // than keep the folder.
    std::ifstream procs(cgroup_ + "/cgroup.procs");
    std::vector<pid_t> left;
    for (pid_t pid = 0; procs >> pid;) {
        left.push_back(pid);
    }
    for (pid_t pid : left) {
        MoveToCgroup(formerCgroup_, pid);
    }
    ::rmdir(cgroup_.c_str());
    cgroup_.clear();
}

std::vector<std::string> NAMESPACE_PRODUCT::Program(
    const std::string& program, const std::vector<std::string>& settings,
    const std::vector<std::string>& arguments) const {
    // The settings of the product's development runs are cleared; only those given count.
    std::vector<std::string> command = {
        "env", "WEXO_RUNTIME_DIR=" + dir_,
        "NOTIFY_SOCKET=", "WEXO_REGISTRY_FILE=", "WEXO_IN_PROCESS_DRIVER=", "WEXO_DEMO_URLS=",
        // No check-in goes to the production server, and no administrator's file of this
        // machine counts.
        "WEXO_API_SERVER=127.0.0.1:9", "WEXO_ADMIN_FILE=/nonexistent/wexo.conf"};
    command.insert(command.end(), settings.begin(), settings.end());
    command.push_back(program);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

bool NAMESPACE_PRODUCT::Start(const std::string& policy, std::string* why,
                              const std::vector<std::vector<std::string>>& installed) {
    EnterCgroup();
    namespaces_ = peers::NETWORK_NAMESPACES::Create(why);
    if (!namespaces_) {
        return false;
    }
    char dir[] = "/tmp/wexo-real-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        *why = "no runtime folder";
        return false;
    }
    dir_ = dir;

    // Web servers on the server's address; their sockets stay in its namespace.
    peers::PeerOptions plain;
    plain.address = "192.0.2.2";
    plain.port = 80;
    web_ = std::make_unique<peers::HttpPeer>(plain);
    peers::CertificateOptions names;
    names.commonName = "mail.example.test";
    names.altNames = {"mail.example.test", "www.example.test", "games.example", "192.0.2.2"};
    secureIdentity_ = peers::MakeSelfSignedIdentity(names);
    peers::PeerOptions tls = peers::HttpsPeer(secureIdentity_);
    tls.address = "192.0.2.2";
    tls.port = 443;
    secure_ = std::make_unique<peers::HttpPeer>(tls);
    for (auto* peer : {web_.get(), secure_.get()}) {
        peer->Reply("GET", "/index.html", 200, "the page");
        peer->Reply("GET", "/play", 200, "the game");
    }
    bool started = false;
    if (!namespaces_->RunIn(SIDE::Server, [&] { started = web_->Start() && secure_->Start(); }) ||
        !started) {
        *why = "the web servers did not start";
        return false;
    }
    for (const DNS_NAME_ENTRY& entry : kDnsNames) {
        dns_.Add(entry.name, entry.address);
    }
    if (!namespaces_->RunIn(SIDE::Server,
                            [&] {
                                started = dns_.Start({"192.0.2.2", "2001:db8::2"}, 53, why);
                            }) ||
        !started) {
        return false;
    }
    if (!policy_.Pages().SetPolicyText(policy, why)) {
        return false;
    }
    if (!namespaces_->RunIn(SIDE::Client, [&] { started = policy_.Start(); }) || !started) {
        *why = "the policy server did not start";
        return false;
    }
    // What an installer leaves: the store file the host keeps, with the policy servers and any
    // values the caller asked for, written before the driver first starts.
    const std::string registryFile = "WEXO_REGISTRY_FILE=" + dir_ + "/registry.dat";
    for (const std::vector<std::string>& arguments : installed) {
        std::string out;
        std::vector<std::string> command = Program(kRegistryTool, {registryFile}, arguments);
        if (namespaces_->Run(SIDE::Client, command, &out, seconds(30)) != 0) {
            *why = "the installed values were not written: " + out;
            return false;
        }
    }
    // The host's mount namespace has /sys of its own, without the cgroup mount: it reaches the
    // run's cgroup through this process's root.
    const std::string ownerCgroup =
        cgroup_.empty() ? std::string() : "/proc/" + std::to_string(::getpid()) + "/root" + cgroup_;
    host_ = namespaces_->Start(SIDE::Client,
                               Program(kHost, {"WEXO_NETWORK=real", registryFile,
                                               "WEXO_POLICY_SERVERS=" + policy_.HostPort(),
                                               "WEXO_BPF_OWNER_CGROUP=" + ownerCgroup}));
    if (!host_ || !host_->ReadUntil("the driver runs", seconds(30)) ||
        host_->Output().find("filtering the machine's connections") == std::string::npos) {
        *why = "the driver host did not start: " + (host_ ? host_->Output() : std::string());
        return false;
    }
    return StartService(why);
}

bool NAMESPACE_PRODUCT::StartService(std::string* why) {
    service_ = namespaces_->Start(SIDE::Client, Program(kService, {"WexoSvc=0x120"}, {"-A"}));
    if (!service_ || !service_->ReadUntil("Service started", seconds(30))) {
        *why = "the service did not start: " + (service_ ? service_->Output() : std::string());
        return false;
    }
    return true;
}

int NAMESPACE_PRODUCT::StopService() {
    return StopChild(service_);
}

int NAMESPACE_PRODUCT::StopHost() {
    return StopChild(host_);
}

int NAMESPACE_PRODUCT::Curl(const std::string& url, const std::string& host, int port,
                            std::string* out) const {
    return namespaces_->Run(
        SIDE::Client,
        {"curl", "-sk", "--max-time", "15", "-o", "/dev/null", "-w", "%{http_code} %{redirect_url}",
         "--resolve", host + ":" + std::to_string(port) + ":192.0.2.2", url},
        out, seconds(30));
}

long NAMESPACE_PRODUCT::HostResidentKiB() const {
    if (!host_) {
        return -1;
    }
    std::ifstream status("/proc/" + std::to_string(host_->Pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

int NAMESPACE_PRODUCT::Registry(const std::vector<std::string>& arguments, std::string* out) const {
    std::vector<std::string> command = Program(kRegistryTool, {}, arguments);
    return namespaces_->Run(SIDE::Client, command, out, seconds(30));
}

int NAMESPACE_PRODUCT::Run(SIDE side, const std::vector<std::string>& command,
                           std::string* out) const {
    return namespaces_->Run(side, command, out, seconds(90));
}

}  // namespace wexo::pipeline
