// Two network namespaces joined by a veth pair, for the tests and the demo that send real
// traffic through nftables without touching the machine's own network: the client at
// 192.0.2.1/24 and 2001:db8::1/64, the server at 192.0.2.2/24 and 2001:db8::2/64. The namespaces
// are named "wexo-t<pid>-..." so that a later run removes those a crashed run left behind; the
// destructor removes its own. Programs run in the client namespace resolve names through a DNS
// server at 192.0.2.2 (a resolv.conf of the namespace's own, under /etc/netns).
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
    enum class SIDE { Client, Server };

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

  private:
    NETWORK_NAMESPACES() = default;
    static size_t Index(SIDE side) { return side == SIDE::Client ? 0 : 1; }
    // Runs the ip program with the arguments; true on exit status 0, else `why` gets its output.
    static bool Ip(const std::vector<std::string>& arguments, std::string* why);
    // Waits until the namespace's veth end carries traffic.
    static bool WaitUntilUp(const std::string& name, std::string* why);

    std::string names_[2];
};

}  // namespace wexo::peers
