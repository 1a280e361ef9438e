// Two network namespaces joined by a veth pair, for the tests and the demo that send real
// traffic through nftables without touching the machine's own network: the client at
// 192.0.2.1/24 and 2001:db8::1/64, the server at 192.0.2.2/24 and 2001:db8::2/64. The namespaces
// are named "wexo-t<pid>-..." so that a later run removes those a crashed run left behind; the
// destructor removes its own. Programs run in the client namespace resolve names through a DNS
// server at 192.0.2.2 (a resolv.conf of the namespace's own, under /etc/netns). A third, routed
// namespace may be added behind the client, which then forwards for it, as a machine does for its
// containers and virtual machines.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/peers/child_process.h"

namespace wexo::peers {

class NETWORK_NAMESPACES {
  public:
    enum class SIDE { Client, Server, Routed };

    // Whether namespaces can be made here (root, the ip program, kernel support); `why` says what
    // is missing.
    static bool Available(std::string* why);
    // Removes stale namespaces, then makes both with their addresses; null (and `why`) when any
    // step fails, with whatever was made removed again.
    static std::unique_ptr<NETWORK_NAMESPACES> Create(std::string* why);
    ~NETWORK_NAMESPACES();
    NETWORK_NAMESPACES(const NETWORK_NAMESPACES&) = delete;
    NETWORK_NAMESPACES& operator=(const NETWORK_NAMESPACES&) = delete;

    const std::string& Name(SIDE side) const { return names_[Index(side)]; }

    // Adds the routed namespace: a veth pair to the client, the routed end at 198.51.100.2/24 and
    // 2001:db8:5::2/64 with its default routes via the client's end (198.51.100.1, 2001:db8:5::1);
    // the client forwards (the switches of its own namespace only), the server routes the routed
    // prefixes back through the client, and the routed namespace's programs ask the server's DNS.
    // False with the reason; removed with the others.
    bool AddRouted(std::string* why);

    // Runs `work` on a thread of its own that entered the namespace, and waits for it. Sockets
    // made there stay in the namespace and may be used from any thread afterwards. False when
    // the thread could not enter (then `work` did not run).
    bool RunIn(SIDE side, const std::function<void()>& work) const;

    // Runs a program by `ip netns exec` (found on PATH when not a path); its exit status, -1 when
    // it did not end within `limit` (it is killed then). Standard output and error go to `output`.
    int Run(SIDE side, const std::vector<std::string>& command, std::string* output = nullptr,
            std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    // Starts a program in the namespace without waiting; `ip netns exec` replaces itself with the
    // program, so the child's pid is the program's.
    std::unique_ptr<peers::CHILD_PROCESS> Start(SIDE side,
                                                const std::vector<std::string>& command) const;

    // The absolute path of a program on PATH (or the usual sbin folders), empty when none.
    static std::string FindProgram(const std::string& name);
    // Removes the "wexo-t<pid>-" namespaces whose process is gone.
    static void RemoveStale();
    // Whether `name` is one of those names ("wexo-t<pid>-..."), for namespaces or anything else a
    // run makes, and the process it names is gone.
    static bool IsStaleName(const std::string& name);

  private:
    NETWORK_NAMESPACES() = default;
    static size_t Index(SIDE side) { return static_cast<size_t>(side); }
    // Runs the ip program with the arguments; true on exit status 0, else `why` gets its output.
    static bool Ip(const std::vector<std::string>& arguments, std::string* why);
    // Waits until the namespace's veth end carries traffic.
    static bool WaitUntilUp(const std::string& name, std::string* why,
                            const std::string& link = "wexo0");

    std::string names_[3];
};

}  // namespace wexo::peers
