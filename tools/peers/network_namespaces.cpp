#include "tools/peers/network_namespaces.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace wexo::peers {

namespace {

constexpr char kPrefix[] = "wexo-t";
// The veth ends are made directly inside the namespaces, so the one name never meets the host's.
constexpr char kLink[] = "wexo0";
constexpr auto kIpLimit = std::chrono::seconds(10);

std::atomic<int> gSequence{0};

// `ip netns exec` mounts the files of /etc/netns/<name>/ over those of /etc for the program it
// runs: the client's programs ask the server's DNS, through the name service's own DNS module (a
// machine whose hosts line goes to a local resolver daemon would otherwise leave the namespace).
std::string EtcFolder(const std::string& name) {
    return "/etc/netns/" + name;
}

// The files of the client's and the routed namespace's programs.
bool WriteClientEtc(const std::string& name, std::string* why) {
    std::error_code error;
    const std::string folder = EtcFolder(name);
    std::filesystem::create_directories(folder, error);
    std::string nsswitch;
    if (FILE* in = std::fopen("/etc/nsswitch.conf", "r")) {
        char line[1024];
        while (std::fgets(line, sizeof line, in) != nullptr) {
            if (std::strncmp(line, "hosts:", 6) != 0)
                nsswitch += line;
        }
        std::fclose(in);
    }
    nsswitch += "hosts: files dns\n";
    const std::pair<std::string, std::string> files[] = {
        {"resolv.conf", "nameserver 192.0.2.2\nnameserver 2001:db8::2\noptions timeout:2\n"},
        {"nsswitch.conf", nsswitch}};
    for (const auto& [file, text] : files) {
        FILE* out = std::fopen((folder + "/" + file).c_str(), "w");
        if (out == nullptr || std::fputs(text.c_str(), out) < 0 || std::fclose(out) != 0) {
            if (why != nullptr)
                *why = "cannot write " + folder + "/" + file;
            return false;
        }
    }
    return true;
}

void RemoveEtc(const std::string& name) {
    std::error_code error;
    std::filesystem::remove_all(EtcFolder(name), error);
}

}  // namespace

std::string NETWORK_NAMESPACES::FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    std::vector<std::string> folders;
    const char* path = std::getenv("PATH");
    std::string list = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = list.find(':', start);
        const std::string folder =
            list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!folder.empty())
            folders.push_back(folder);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    // Test runners often run without the sbin folders on PATH, where ip and nft live.
    for (const char* extra : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"})
        folders.emplace_back(extra);
    for (const std::string& folder : folders) {
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

bool NETWORK_NAMESPACES::Available(std::string* why) {
    auto fail = [&](const std::string& reason) {
        if (why != nullptr)
            *why = reason;
        return false;
    };
    if (::geteuid() != 0)
        return fail("network namespaces need root");
    if (FindProgram("ip").empty())
        return fail("the ip program (iproute2) is not installed");
    if (::access("/proc/self/ns/net", F_OK) != 0)
        return fail("the kernel has no network namespaces");
    // unshare on a thread of its own moves only that thread, which then ends.
    int err = 0;
    std::thread probe([&] {
        if (::unshare(CLONE_NEWNET) != 0)
            err = errno;
    });
    probe.join();
    if (err != 0)
        return fail(std::string("cannot make a network namespace: ") + strerror(err));
    return true;
}

bool NETWORK_NAMESPACES::Ip(const std::vector<std::string>& arguments, std::string* why) {
    const std::string ip = FindProgram("ip");
    auto child = peers::CHILD_PROCESS::Start(ip, arguments, {});
    if (child == nullptr) {
        if (why != nullptr)
            *why = "cannot start " + ip;
        return false;
    }
    const int status = child->Wait(kIpLimit);
    if (status == 0)
        return true;
    if (why != nullptr) {
        std::string line = "ip";
        for (const std::string& argument : arguments)
            line += " " + argument;
        *why = line + " failed (" + std::to_string(status) + "): " + child->Output();
    }
    return false;
}

bool NETWORK_NAMESPACES::IsStaleName(const std::string& name) {
    if (name.rfind(kPrefix, 0) != 0)
        return false;
    const size_t digits = sizeof(kPrefix) - 1;
    const size_t dash = name.find('-', digits);
    if (dash == std::string::npos || dash == digits ||
        name.find_first_not_of("0123456789", digits) != dash)
        return false;
    const pid_t pid = static_cast<pid_t>(std::atoi(name.substr(digits, dash - digits).c_str()));
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

void NETWORK_NAMESPACES::RemoveStale() {
    std::error_code error;
    std::vector<std::string> stale;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", error)) {
        const std::string name = entry.path().filename().string();
        if (IsStaleName(name))
            stale.push_back(name);
    }
    for (const std::string& name : stale) {
        Ip({"netns", "delete", name}, nullptr);
        RemoveEtc(name);
    }
}

bool NETWORK_NAMESPACES::WaitUntilUp(const std::string& name, std::string* why,
                                     const std::string& link) {
    const std::string ip = FindProgram("ip");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string last;
    while (std::chrono::steady_clock::now() < end) {
        auto child = peers::CHILD_PROCESS::Start(ip, {"-n", name, "-o", "link", "show", link}, {});
        if (child == nullptr)
            break;
        if (child->Wait(kIpLimit) == 0 && child->Output().find("state UP") != std::string::npos)
            return true;
        last = child->Output();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (why != nullptr)
        *why = "the veth end in " + name + " did not come up: " + last;
    return false;
}

std::unique_ptr<NETWORK_NAMESPACES> NETWORK_NAMESPACES::Create(std::string* why) {
    if (!Available(why))
        return nullptr;
    RemoveStale();
    std::unique_ptr<NETWORK_NAMESPACES> made(new NETWORK_NAMESPACES());
    const std::string base = std::string(kPrefix) + std::to_string(::getpid()) + "-" +
                             std::to_string(gSequence.fetch_add(1)) + "-";
    const std::string client = base + "client";
    const std::string server = base + "server";
    if (!Ip({"netns", "add", client}, why))
        return nullptr;
    made->names_[0] = client;
    if (!Ip({"netns", "add", server}, why))
        return nullptr;  // the destructor removes the client's
    made->names_[1] = server;
    const std::vector<std::vector<std::string>> steps = {
        // No duplicate address detection, for the link-local addresses either: an address that
        // turns from tentative to valid a second after the link is up is a network change to a
        // browser, which then fails the page it is loading (ERR_NETWORK_CHANGED).
        {"netns", "exec", client, "sysctl", "-qw", "net.ipv6.conf.default.accept_dad=0"},
        {"netns", "exec", server, "sysctl", "-qw", "net.ipv6.conf.default.accept_dad=0"},
        {"link", "add", kLink, "netns", client, "type", "veth", "peer", "name", kLink, "netns",
         server},
        {"-n", client, "link", "set", "lo", "up"},
        {"-n", server, "link", "set", "lo", "up"},
        {"-n", client, "addr", "add", "192.0.2.1/24", "dev", kLink},
        {"-n", server, "addr", "add", "192.0.2.2/24", "dev", kLink},
        {"-n", client, "-6", "addr", "add", "2001:db8::1/64", "dev", kLink, "nodad"},
        {"-n", server, "-6", "addr", "add", "2001:db8::2/64", "dev", kLink, "nodad"},
        {"-n", client, "link", "set", kLink, "up"},
        {"-n", server, "link", "set", kLink, "up"},
    };
    for (const auto& step : steps) {
        if (!Ip(step, why))
            return nullptr;
    }
    // The kernel starts a link's queue only when it processes the carrier change, up to a second
    // later; until then packets are dropped, and a lost SYN costs a second of retransmission.
    for (const std::string& name : {client, server}) {
        if (!WaitUntilUp(name, why))
            return nullptr;
    }
    if (!WriteClientEtc(client, why))
        return nullptr;
    return made;
}

bool NETWORK_NAMESPACES::AddRouted(std::string* why) {
    if (!names_[2].empty())
        return true;
    const std::string& client = names_[0];
    const std::string& server = names_[1];
    const std::string routed = client.substr(0, client.rfind('-') + 1) + "routed";
    if (!Ip({"netns", "add", routed}, why))
        return false;
    names_[2] = routed;
    // The client's end of the new pair; the routed end takes the usual name.
    const char* clientLink = "wexo1";
    const std::vector<std::vector<std::string>> steps = {
        {"netns", "exec", routed, "sysctl", "-qw", "net.ipv6.conf.default.accept_dad=0"},
        {"netns", "exec", client, "sysctl", "-qw", "net.ipv4.ip_forward=1"},
        {"netns", "exec", client, "sysctl", "-qw", "net.ipv6.conf.all.forwarding=1"},
        {"link", "add", clientLink, "netns", client, "type", "veth", "peer", "name", kLink, "netns",
         routed},
        {"-n", routed, "link", "set", "lo", "up"},
        {"-n", client, "addr", "add", "198.51.100.1/24", "dev", clientLink},
        {"-n", routed, "addr", "add", "198.51.100.2/24", "dev", kLink},
        {"-n", client, "-6", "addr", "add", "2001:db8:5::1/64", "dev", clientLink, "nodad"},
        {"-n", routed, "-6", "addr", "add", "2001:db8:5::2/64", "dev", kLink, "nodad"},
        {"-n", client, "link", "set", clientLink, "up"},
        {"-n", routed, "link", "set", kLink, "up"},
        {"-n", routed, "route", "add", "default", "via", "198.51.100.1"},
        {"-n", routed, "-6", "route", "add", "default", "via", "2001:db8:5::1"},
        {"-n", server, "route", "add", "198.51.100.0/24", "via", "192.0.2.1"},
        {"-n", server, "-6", "route", "add", "2001:db8:5::/64", "via", "2001:db8::1"},
    };
    for (const auto& step : steps) {
        if (!Ip(step, why))
            return false;
    }
    return WaitUntilUp(client, why, clientLink) && WaitUntilUp(routed, why) &&
           WriteClientEtc(routed, why);
}

NETWORK_NAMESPACES::~NETWORK_NAMESPACES() {
    // Deleting a namespace takes its end of the veth pair, and so the pair, with it.
    for (const std::string& name : names_) {
        if (!name.empty()) {
            Ip({"netns", "delete", name}, nullptr);
            RemoveEtc(name);
        }
    }
}

bool NETWORK_NAMESPACES::RunIn(SIDE side, const std::function<void()>& work) const {
    const std::string path = "/run/netns/" + Name(side);
    bool entered = false;
    std::thread worker([&] {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        entered = ::setns(fd, CLONE_NEWNET) == 0;
        ::close(fd);
        if (entered)
            work();
    });
    worker.join();
    return entered;
}

int NETWORK_NAMESPACES::Run(SIDE side, const std::vector<std::string>& command, std::string* output,
                            std::chrono::milliseconds limit) const {
    auto child = Start(side, command);
    if (child == nullptr)
        return -1;
    const int status = child->Wait(limit);
    if (output != nullptr)
        *output = child->Output();
    return status;
}

std::unique_ptr<peers::CHILD_PROCESS> NETWORK_NAMESPACES::Start(
    SIDE side, const std::vector<std::string>& command) const {
    if (command.empty())
        return nullptr;
    std::vector<std::string> arguments = {"netns", "exec", Name(side), FindProgram(command[0])};
    arguments.insert(arguments.end(), command.begin() + 1, command.end());
    return peers::CHILD_PROCESS::Start(FindProgram("ip"), arguments, {});
}

}  // namespace wexo::peers
