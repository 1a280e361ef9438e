#include "tools/pipeline/real_network.h"

#include <map>
#include <mutex>
#include <optional>

#include "driver/platform/debug_print.h"
#include "driver/platform/driver_settings.h"
#include "os/bridge/peer.h"
#include "os/registry/registry.h"
#include "os/wfp/linux/dns_forwarder.h"
#include "os/wfp/linux/machine_resolvers.h"
#include "os/wfp/linux/nft_table.h"
#include "os/wfp/linux/socket_owner.h"
#include "os/wfp/linux/tcp_proxy.h"
#include "os/wfp/wfp_engine.h"

namespace wexo::pipeline {
namespace {

// A switch of the product key: on unless the DWORD is there and 0.
bool ReadSwitch(const char* name) {
    os::RegKey key;
    if (!os::NT_SUCCESS(os::ZwOpenKey(key, drv::kProductKeyName))) {
        return true;
    }
    os::REG_VALUE value;
    if (os::RegQueryValue(key, name, value) != os::ERROR_SUCCESS || value.type != os::REG_DWORD ||
        value.data.size() != 4) {
        return true;
    }
    return (value.data[0] | value.data[1] | value.data[2] | value.data[3]) != 0;
}

// The host's stand-ins for the processes whose connections it proxies: the driver looks a flow's
// process up in the host's process table (its user, its session). One per real process, kept
// while it runs.
class OWNER_PROCESSES {
  public:
    std::optional<uint64_t> For(const os::SOCKET_OWNER& owner) {
        if (owner.pid <= 0) {
            return std::nullopt;
        }
        std::lock_guard guard(lock_);
        auto it = byPid_.find(owner.pid);
        if (it != byPid_.end() && it->second->Peer().startTime == owner.startTime &&
            it->second->IsAlive()) {
            return it->second->ProcessId();
        }
        std::erase_if(byPid_, [](const auto& entry) { return !entry.second->IsAlive(); });
        os::bridge::PEER_IDENTITY identity;
        if (!os::bridge::IdentifyProcess(owner.pid, &identity, nullptr) ||
            identity.startTime != owner.startTime) {
            return std::nullopt;  // it ended, and its pid may name another process already
        }
        auto process = os::bridge::PEER_PROCESS::Attach(identity);
        if (!process) {
            return std::nullopt;
        }
        byPid_[owner.pid] = process;
        return process->ProcessId();
    }

  private:
    std::mutex lock_;
    std::map<pid_t, std::shared_ptr<os::bridge::PEER_PROCESS>> byPid_;
};

}  // namespace

struct REAL_NETWORK::PARTS {
    os::SOCKET_OWNERS owners;
    OWNER_PROCESSES processes;
    std::unique_ptr<os::wfplinux::TCP_PROXY> proxy;
    std::unique_ptr<os::wfplinux::DNS_FORWARDER> dns;
    os::NFT_TABLE table;
    bool rejectQuic = true;
    bool blockDohCanary = true;
    bool stripEch = true;
    bool filterForwarded = true;
};

REAL_NETWORK::REAL_NETWORK() = default;

REAL_NETWORK::~REAL_NETWORK() {
    Stop();
}

bool REAL_NETWORK::Start(std::string* why) {
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    if (parts_) {
        reason = "already started";
        return false;
    }
    auto parts = std::make_unique<PARTS>();
    PARTS* raw = parts.get();
    parts->filterForwarded = ReadSwitch(kFilterForwardedValue);
    os::wfplinux::TCP_PROXY_OPTIONS options;
    options.mark = os::kProxySocketMark;
    // Forwarded connections come to listeners of their own and have no owner to look for.
    options.forwarded = parts->filterForwarded;
    // Passed connections leave the host for relay processes: its descriptors are for the ones it
    // inspects.
    options.relayPassedFlows = true;
    options.owner =
        [raw](const os::wfplinux::PROXIED_CONNECTION& connection) -> std::optional<uint64_t> {
        auto owner = raw->owners.Find(connection.client, connection.destination);
        std::optional<uint64_t> process = owner ? raw->processes.For(*owner) : std::nullopt;
        if (!process && owner && owner->pid > 0 && owner->tid != 0) {
            // The task that connected has ended; the socket may live on in the process that
            // made it, which is then the one to judge for (else a child that connects and exits
            // at once would leave its parent's connections without a user).
            owner = raw->owners.FindHolder(connection.client, connection.destination);
            process = owner ? raw->processes.For(*owner) : std::nullopt;
        }
        return process;
    };
    parts->proxy =
        std::make_unique<os::wfplinux::TCP_PROXY>(os::FilterEngine::Current(), std::move(options));
    if (parts->proxy->Start(&reason) != 0) {
        return false;
    }
    parts->rejectQuic = ReadSwitch(kRejectQuicValue);
    parts->blockDohCanary = ReadSwitch(kBlockDohCanaryValue);
    parts->stripEch = ReadSwitch(kStripEchValue);
    os::wfplinux::DNS_FORWARDER_OPTIONS dns;
    dns.mark = os::kProxySocketMark;
    dns.forwarded = parts->filterForwarded;
    dns.answerDohCanary = parts->blockDohCanary;
    dns.stripEch = parts->stripEch;
    dns.machineResolver = [resolvers = std::make_shared<os::wfplinux::MACHINE_RESOLVERS>()](
                              const sockaddr_storage& resolver) {
        return resolvers->Contains(resolver);
    };
    // The forwarder asks on its loop, which must not wait for a /proc walk: DNS gets an owner
    // only from the kernel's connect-time records (UDP, then DNS over TCP).
    if (parts->owners.RecordsConnects()) {
        dns.owner = [raw](const sockaddr_storage& client,
                          const sockaddr_storage& resolver) -> std::optional<uint64_t> {
            auto owner = raw->owners.Find(client, resolver, IPPROTO_UDP, false);
            if (!owner || owner->pid <= 0)
                owner = raw->owners.Find(client, resolver, IPPROTO_TCP, false);
            return owner ? raw->processes.For(*owner) : std::nullopt;
        };
    }
    parts->dns =
        std::make_unique<os::wfplinux::DNS_FORWARDER>(os::FilterEngine::Current(), std::move(dns));
    if (parts->dns->Start(&reason) != 0) {
        parts->proxy->Stop();
        return false;
    }
    os::NFT_TABLE_OPTIONS table;
    table.tcpProxyPort = parts->proxy->Port();
    table.dnsPort = parts->dns->Port();
    table.rejectQuic = parts->rejectQuic;
    table.rejectPort853 = ReadSwitch(kRejectPort853Value);
    // Zero without forwarded filtering: the table then leaves forwarded traffic alone.
    table.forwardedTcpProxyPort = parts->proxy->ForwardedPort();
    table.forwardedDnsPort = parts->dns->ForwardedPort();
    // The watch's line about a change it undid goes where the driver's own lines go.
    table.debugLog = [](const std::string& line) {
        drv::DriverPrintAndLog("WexoW: %s\n", line.c_str());
    };
    std::string nft;
    if (parts->table.Install(table, &nft) != os::ERROR_SUCCESS) {
        reason = "the nftables table was not installed: " + nft;
        parts->dns->Stop();
        parts->proxy->Stop();
        return false;
    }
    parts_ = std::move(parts);
    return true;
}

void REAL_NETWORK::Stop() {
    if (!parts_) {
        return;
    }
    // The redirect goes first, so that no new connection waits for a proxy that is gone.
    parts_->table.Remove();
    parts_->dns->Stop();
    parts_->proxy->Stop();
    parts_.reset();
}

uint16_t REAL_NETWORK::ProxyPort() const {
    return parts_ ? parts_->proxy->Port() : 0;
}

uint16_t REAL_NETWORK::DnsPort() const {
    return parts_ ? parts_->dns->Port() : 0;
}

bool REAL_NETWORK::RejectsQuic() const {
    return parts_ && parts_->rejectQuic;
}

bool REAL_NETWORK::BlocksDohCanary() const {
    return parts_ && parts_->blockDohCanary;
}

bool REAL_NETWORK::StripsEch() const {
    return parts_ && parts_->stripEch;
}

bool REAL_NETWORK::FiltersForwarded() const {
    return parts_ && parts_->filterForwarded;
}

uint64_t REAL_NETWORK::OpenConnections() const {
    return parts_ ? parts_->proxy->Counts().open : 0;
}

}  // namespace wexo::pipeline
