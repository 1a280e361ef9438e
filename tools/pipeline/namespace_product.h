// The installed product on a real network, inside two network namespaces of its own: the driver
// host (wexowfp with WEXO_NETWORK=real: the product's nftables table and its transparent proxy)
// and the service (wexosvc -A) in the client namespace, the reference policy server on the
// client's loopback (which the redirect leaves alone), web servers for HTTP (port 80) and HTTPS
// (port 443, self-signed) on the server's address 192.0.2.2, and the DNS server the client's
// programs ask, on the same address (its names are in kDnsNames). This process, and so every
// program it starts (the host, the service, the clients), runs in a cgroup v2 folder of the run's
// own, to which the host attaches its connect-time owner records (`ip netns exec` hides the
// machine's cgroup mount from the host, and the machine's other processes are not its business).
// Nothing else outside the namespaces is touched; everything is stopped and removed when the
// object goes. For the real-traffic tests and the demo.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/peers/child_process.h"
#include "tools/peers/dns_peer.h"
#include "tools/peers/http_peer.h"
#include "tools/peers/network_namespaces.h"
#include "tools/peers/peer_tls.h"
#include "tools/peers/policy_server.h"

namespace wexo::pipeline {

// The names the server's DNS knows, with their addresses: the web hosts on the server's address,
// "safe.search.example" on 192.0.2.3 (no server there) as the target a remap list may name.
struct DNS_NAME_ENTRY {
    const char* name;
    const char* address;
};
inline constexpr DNS_NAME_ENTRY kDnsNames[] = {
    {"www.example.test", "192.0.2.2"},      {"mail.example.test", "192.0.2.2"},
    {"news.example", "192.0.2.2"},          {"games.example", "192.0.2.2"},
    {"www.search.example", "192.0.2.2"},    {"safe.search.example", "192.0.2.3"},
    {"safe.search.example", "2001:db8::3"},
};

class NAMESPACE_PRODUCT {
  public:
    using SIDE = peers::NETWORK_NAMESPACES::SIDE;

    // Whether it can run here (root, ip, network namespaces, curl); `why` says what is missing.
    static bool Available(std::string* why);

    NAMESPACE_PRODUCT();
    ~NAMESPACE_PRODUCT();
    NAMESPACE_PRODUCT(const NAMESPACE_PRODUCT&) = delete;
    NAMESPACE_PRODUCT& operator=(const NAMESPACE_PRODUCT&) = delete;

    // Makes the namespaces, starts the servers (both web servers answer "/index.html" and "/play"),
    // the host and the service with `policy` (the policy file's text). `installed` are wexo-reg
    // command lines run on the host's store before the host starts, as an installer's values
    // (once the driver runs, only the service may change the product key). False with the reason.
    bool Start(const std::string& policy, std::string* why,
               const std::vector<std::vector<std::string>>& installed = {});
    // Stops the service (SIGTERM) and then the host; their exit statuses.
    int StopService();
    int StopHost();
    // The service again, after it was stopped or killed; false with its output when it did not
    // start.
    bool StartService(std::string* why);

    // curl in the client namespace with `host` resolved to the server: its exit status, and
    // "<status code> <redirect URL>" in *out.
    int Curl(const std::string& url, const std::string& host, int port, std::string* out) const;
    // A program in a namespace with `ip netns exec`: its exit status, its output in *out.
    int Run(SIDE side, const std::vector<std::string>& command, std::string* out) const;
    // wexo-reg in the client namespace against the running host: its exit status and output.
    int Registry(const std::vector<std::string>& arguments, std::string* out) const;

    peers::NETWORK_NAMESPACES& Namespaces() { return *namespaces_; }
    peers::HttpPeer& Web() { return *web_; }
    peers::HttpPeer& Secure() { return *secure_; }
    // The HTTPS server's key pin, for clients that are told to trust it.
    std::string SecurePin() const { return secureIdentity_.PublicKeyPin(); }
    peers::PolicyServer& Policy() { return policy_; }
    peers::DNS_PEER& Dns() { return dns_; }
    peers::CHILD_PROCESS* Host() { return host_.get(); }
    // The driver host's resident set in KiB, from its own accounting; -1 without a host.
    long HostResidentKiB() const;
    peers::CHILD_PROCESS* Service() { return service_.get(); }
    const std::string& RuntimeDir() const { return dir_; }

  private:
    std::vector<std::string> Program(const std::string& program,
                                     const std::vector<std::string>& settings,
                                     const std::vector<std::string>& arguments = {}) const;

    // Makes the run's cgroup and moves this process into it; without a cgroup v2 hierarchy or the
    // right to make one, nothing (the host then finds owners in /proc).
    void EnterCgroup();
    // Moves this process, and whatever of the run's is still in the cgroup, back; removes it.
    void LeaveCgroup();

    std::string cgroup_;        // the run's cgroup folder, empty when none
    std::string formerCgroup_;  // where this process was before
    std::unique_ptr<peers::NETWORK_NAMESPACES> namespaces_;
    std::string dir_;
    std::unique_ptr<peers::HttpPeer> web_;
    std::unique_ptr<peers::HttpPeer> secure_;
    peers::TlsIdentity secureIdentity_;
    peers::PolicyServer policy_;
    peers::DNS_PEER dns_;
    std::unique_ptr<peers::CHILD_PROCESS> host_;
    std::unique_ptr<peers::CHILD_PROCESS> service_;
};

}  // namespace wexo::pipeline
