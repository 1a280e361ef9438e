#include "os/wfp/linux/nft_table.h"

#include <errno.h>
#include <fcntl.h>
#include <nftables/libnftables.h>
#include <sched.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <thread>

#include "os/core/status.h"

namespace os {

namespace {

bool ValidTableName(const std::string& name) {
    if (name.empty() || name.size() > 64)
        return false;
    if (!((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z')))
        return false;
    for (char c : name) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

// nft reports kernel refusals with strerror() of the netlink error, so the text tells the errno.
uint32_t ErrorFromNftMessage(const std::string& message) {
    if (message.find("syntax error") != std::string::npos)
        return ERROR_INVALID_PARAMETER;
    struct KNOWN {
        int err;
        uint32_t error;
    };
    static constexpr KNOWN kKnown[] = {
        {EPERM, ERROR_ACCESS_DENIED},        {EACCES, ERROR_ACCESS_DENIED},
        {ENOENT, ERROR_NOT_FOUND},           {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
        {EAFNOSUPPORT, ERROR_NOT_SUPPORTED}, {EPROTONOSUPPORT, ERROR_NOT_SUPPORTED},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},   {EINVAL, ERROR_INVALID_PARAMETER},
    };
    for (const KNOWN& known : kKnown) {
        if (message.find(strerror(known.err)) != std::string::npos)
            return known.error;
    }
    return ERROR_GEN_FAILURE;
}

ino_t NamespaceInode(int fd) {
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0)
        return 0;
    return info.st_ino;
}

int OpenThreadNamespace() {
    return ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
}

// Runs `work` in the network namespace `namespaceFd`: on the calling thread when it is there
// already, else on a thread of its own that enters it, so the caller's namespace never changes.
uint32_t RunInNamespace(int namespaceFd, const std::function<uint32_t()>& work) {
    const int own = OpenThreadNamespace();
    const bool same = own >= 0 && NamespaceInode(own) == NamespaceInode(namespaceFd);
    if (own >= 0)
        ::close(own);
    if (same || namespaceFd < 0)
        return work();
    uint32_t result = ERROR_GEN_FAILURE;
    std::thread worker([&] {
        if (::setns(namespaceFd, CLONE_NEWNET) != 0) {
            result = Win32ErrorFromErrno(errno);
            return;
        }
        result = work();
    });
    worker.join();
    return result;
}

// The chain of the exact QUIC tests; a datagram gets there only past the prefix tests.
constexpr char kQuicChain[] = "quic_initial";

// What the first four bytes of a datagram must hold for kQuicChain to refuse it: the first bit,
// and of the version's first three bytes the bits that versions 1, 2 and the drafts all share
// (zero, as it happens: bits of the second and third bytes). Every datagram of a flow pays for
// these tests, so they are of the kind the kernel runs inline, without a call (an aligned load, a
// mask, a compare): one rule with a set lookup in place of the two costs a non-QUIC flow more.
constexpr uint32_t kVersionBytes[] = {0x00000001 >> 8, 0x6b3343cf >> 8, 0xff000000 >> 8};
constexpr uint32_t SharedVersionBits() {
    uint32_t differ = 0;
    for (uint32_t bytes : kVersionBytes)
        differ |= bytes ^ kVersionBytes[0];
    return ~differ & 0x00ffffff;
}
constexpr uint32_t kVersionPrefixMask = 0x80000000 | SharedVersionBits();
constexpr uint32_t kVersionPrefix = 0x80000000 | (kVersionBytes[0] & SharedVersionBits());
static_assert(kVersionPrefixMask == 0x8000ccbc && kVersionPrefix == 0x80000000);
// A greased version: the first two bits, and the low nibble a of the version's first three bytes.
constexpr uint32_t kGreasePrefixMask = 0xc00f0f0f;
constexpr uint32_t kGreasePrefix = 0xc00a0a0a;

// The refusals of QUIC and of port 853, the same for the machine's own traffic and what it
// forwards.
std::string RefusalRules(const NFT_TABLE_OPTIONS& options) {
    std::string text;
    if (options.rejectPort853) {
        // DNS over TLS and over QUIC: refused at once, as a port that is closed, so that a client
        // takes the system resolver (whose answers the forwarder sees) without waiting out a
        // time-out.
        const std::string counted = " counter name \"" + std::string(kPort853Counter) + "\"";
        text += "        tcp dport 853" + counted + " reject with tcp reset\n";
        text += "        udp dport 853" + counted + " reject with icmpx type port-unreachable\n";
    }
    if (options.rejectQuic) {
        // A datagram that opens a QUIC connection, on any port (an Alt-Svc header may name any),
        // goes on to the exact tests of kQuicChain; nearly every other datagram stops at these
        // two rules. They ask for no protocol: the chain's rules ask for UDP themselves, and
        // whatever else falls in only costs the jump.
        const std::string toChain = " jump " + std::string(kQuicChain) + "\n";
        text += "        @th,64,32 & " + Hex(kVersionPrefixMask) + " == " + Hex(kVersionPrefix) +
                toChain;
        text +=
            "        @th,64,32 & " + Hex(kGreasePrefixMask) + " == " + Hex(kGreasePrefix) + toChain;
    }
    return text;
}

// The exact tests of a datagram that opens a QUIC connection: a long header (its first bit) with
// a QUIC version — 1, 2, a draft (ff0000xx), or a greased one (each byte's low nibble a; the fixed
// bit and a connection ID length of at most 20 are asked too, so that other protocols seldom fall
// in). The fixed bit is not asked of the others: a client may clear it in an Initial that carries
// a token a server gave it (RFC 9287). Nothing else of UDP is touched, and the kernel decides on
// the packet's own bytes: no datagram goes to user space. The refusal is the one browsers take as
// "no QUIC here".
std::string QuicChain() {
    const std::string refuse = " counter name \"" + std::string(kQuicCounter) +
                               "\" reject with icmpx type port-unreachable\n";
    std::string text = "    chain " + std::string(kQuicChain) + " {\n";
    text += "        udp length >= 13 @th,64,1 1 @th,72,32 { 0x00000001, 0x6b3343cf }" + refuse;
    text += "        udp length >= 13 @th,64,1 1 @th,72,24 0xff0000" + refuse;
    text +=
        "        udp length >= 14 @th,64,2 3 @th,72,32 & 0x0f0f0f0f == 0x0a0a0a0a "
        "@th,104,8 <= 20" +
        refuse;
    text += "    }\n";
    return text;
}

}  // namespace

uint32_t RunNftCommands(const std::string& commands, std::string* message, std::string* output,
                        unsigned outputFlags) {
    // One call at a time in the process: the table's owner and its watch run nft from different
    // threads, and libnftables does not promise that contexts are independent.
    static std::mutex library;
    std::lock_guard<std::mutex> guard(library);
    nft_ctx* context = nft_ctx_new(NFT_CTX_DEFAULT);
    if (context == nullptr) {
        if (message != nullptr)
            *message = "nft_ctx_new failed";
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    nft_ctx_output_set_flags(context, outputFlags);
    nft_ctx_buffer_output(context);
    nft_ctx_buffer_error(context);
    const int rc = nft_run_cmd_from_buffer(context, commands.c_str());
    const char* errorText = nft_ctx_get_error_buffer(context);
    const std::string errors = errorText != nullptr ? errorText : "";
    if (output != nullptr) {
        const char* outputText = nft_ctx_get_output_buffer(context);
        *output = outputText != nullptr ? outputText : "";
    }
    nft_ctx_free(context);
    if (message != nullptr)
        *message = errors;
    if (rc == 0)
        return ERROR_SUCCESS;
    return ErrorFromNftMessage(errors);
}

std::string NFT_TABLE::Commands(const NFT_TABLE_OPTIONS& options,
                                const std::string& previousTable) {
    if (!ValidTableName(options.tableName) || options.tcpProxyPort == 0)
        return "";
    if (!previousTable.empty() && !ValidTableName(previousTable))
        return "";
    const bool forwarded = options.forwardedTcpProxyPort != 0;
    const std::string& name = options.tableName;
    const std::string mark = Hex(options.mark);
    std::string text;
    // Adding before deleting makes the delete succeed whether or not a table is there, so a
    // stale table is replaced instead of doubled and a fresh host needs no other path.
    if (!previousTable.empty() && previousTable != name)
        text += "add table inet " + previousTable + "\ndelete table inet " + previousTable + "\n";
    text += "add table inet " + name + "\ndelete table inet " + name + "\n";
    text += "table inet " + name + " {\n";
    // A socket's mark is on every packet it sends; the proxy's marked connections to the real
    // servers must not come back to it. Loopback also carries connections to the host's own
    // addresses, which never leave it and are not filtered.
    text += "    chain nat_output {\n";
    text += "        type nat hook output priority -100; policy accept;\n";
    text += "        meta mark " + mark + " return\n";
    text += "        oifname \"lo\" return\n";
    if (options.dnsPort != 0 && options.dnsOverTcp)
        text += "        tcp dport 53 redirect to :" + std::to_string(options.dnsPort) + "\n";
    text += "        meta l4proto tcp redirect to :" + std::to_string(options.tcpProxyPort) + "\n";
    if (options.dnsPort != 0)
        text += "        udp dport 53 redirect to :" + std::to_string(options.dnsPort) + "\n";
    text += "    }\n";
    // Counted, so that what was refused can be seen with `nft list table`.
    if (options.rejectPort853)
        text += "    counter " + std::string(kPort853Counter) + " { }\n";
    if (options.rejectQuic) {
        text += "    counter " + std::string(kQuicCounter) + " { }\n";
        text += QuicChain();
    }
    if (options.rejectQuic || options.rejectPort853) {
        // Ahead of the nat chain (priority -100): a connection it redirects would reach this
        // chain already aimed at the proxy on loopback.
        text += "    chain filter_output {\n";
        text += "        type filter hook output priority -150; policy accept;\n";
        text += "        meta mark " + mark + " return\n";
        text += "        oifname \"lo\" return\n";
        text += RefusalRules(options);
        text += "    }\n";
    }
    if (forwarded) {
        // Traffic the machine forwards never passes the output hook; it is taken where it comes
        // in. A redirect there can only aim at an address of the interface it came in on, never
        // at loopback, so it goes to listeners of the proxy's and the forwarder's on every
        // address, on ports of their own; conntrack keeps the original destination as for the
        // machine's own connections (SO_ORIGINAL_DST, the ctnetlink lookup) and turns the
        // answers back. (TPROXY to the loopback listeners would need policy routing outside the
        // table and transparent sockets; route_localnet has no IPv6 counterpart and opens
        // 127.0.0.0/8 to every interface.)
        const std::string proxy = std::to_string(options.forwardedTcpProxyPort);
        const std::string dns = std::to_string(options.forwardedDnsPort);
        text += "    chain nat_prerouting {\n";
        text += "        type nat hook prerouting priority -100; policy accept;\n";
        text += "        iifname \"lo\" return\n";
        // What is for the machine itself (its own servers, as a bridge's DNS daemon) comes in as
        // to any server; broadcast, multicast and what has no route are left to the kernel.
        text += "        fib daddr type != unicast return\n";
        // Refused in the forward chain, as the machine's own.
        if (options.rejectPort853)
            text += "        tcp dport 853 return\n";
        if (options.forwardedDnsPort != 0 && options.dnsOverTcp)
            text += "        tcp dport 53 redirect to :" + dns + "\n";
        text += "        meta l4proto tcp redirect to :" + proxy + "\n";
        if (options.forwardedDnsPort != 0)
            text += "        udp dport 53 redirect to :" + dns + "\n";
        text += "    }\n";
        // The listeners for forwarded traffic listen on every address: nothing reaches them but
        // what the prerouting chain redirected there, so that neither another host nor a local
        // program uses the proxy or the forwarder directly (the listeners check it too).
        std::string ports = proxy;
        if (options.forwardedDnsPort != 0)
            ports = "{ " + proxy + ", " + dns + " }";
        text += "    chain filter_input {\n";
        text += "        type filter hook input priority -150; policy accept;\n";
        text += "        ct status dnat return\n";
        text += "        tcp dport " + ports + " reject with tcp reset\n";
        if (options.forwardedDnsPort != 0)
            text += "        udp dport " + dns + " reject with icmpx type port-unreachable\n";
        text += "    }\n";
        if (options.rejectQuic || options.rejectPort853) {
            text += "    chain filter_forward {\n";
            text += "        type filter hook forward priority -150; policy accept;\n";
            text += RefusalRules(options);
            text += "    }\n";
        }
    }
    text += "}\n";
    return text;
}

NFT_TABLE::~NFT_TABLE() {
    std::lock_guard<std::mutex> guard(lock_);
    RemoveLocked(nullptr);
    if (namespaceFd_ >= 0)
        ::close(namespaceFd_);
}

uint32_t NFT_TABLE::Install(const NFT_TABLE_OPTIONS& options, std::string* message) {
    std::lock_guard<std::mutex> guard(lock_);
    if (message != nullptr)
        message->clear();
    const int here = OpenThreadNamespace();
    if (here < 0)
        return Win32ErrorFromErrno(errno);
    // A table installed in another namespace is removed there; the new one goes here.
    if (!installedName_.empty() && NamespaceInode(here) != NamespaceInode(namespaceFd_)) {
        const uint32_t removed = RemoveLocked(message);
        if (removed != ERROR_SUCCESS) {
            ::close(here);
            return removed;
        }
    }
    const std::string commands = Commands(options, installedName_);
    if (commands.empty()) {
        ::close(here);
        if (message != nullptr)
            *message = "invalid table name or no proxy port";
        return ERROR_INVALID_PARAMETER;
    }
    // The watch would put back the table this transaction replaces; a new one starts after it.
    watch_.Stop();
    const uint32_t result = RunNftCommands(commands, message);
    if (result != ERROR_SUCCESS) {
        // The transaction failed as a whole: what was installed before is still in place, and
        // is watched again.
        ::close(here);
        StartWatch(previous_);
        return result;
    }
    if (namespaceFd_ >= 0)
        ::close(namespaceFd_);
    namespaceFd_ = here;
    installedName_ = options.tableName;
    previous_ = options;
    // A table that cannot be watched still filters; the watch's event-log entry says why.
    StartWatch(options);
    return ERROR_SUCCESS;
}

void NFT_TABLE::StartWatch(const NFT_TABLE_OPTIONS& options) {
    if (installedName_.empty() || !options.watch)
        return;
    NFT_WATCH_OPTIONS watch;
    watch.tableName = options.tableName;
    // Without a previous table: the watch's restore replaces the table of this name only.
    watch.restoreCommands = Commands(options);
    watch.namespaceFd = namespaceFd_;
    watch.eventSource = options.eventSource;
    watch.debugLog = options.debugLog;
    watch_.Start(watch);
}

uint32_t NFT_TABLE::Remove(std::string* message) {
    std::lock_guard<std::mutex> guard(lock_);
    if (message != nullptr)
        message->clear();
    return RemoveLocked(message);
}

uint32_t NFT_TABLE::RemoveLocked(std::string* message) {
    if (installedName_.empty())
        return ERROR_SUCCESS;
    // Before the delete, which the watch would undo.
    watch_.Stop();
    const std::string commands =
        "add table inet " + installedName_ + "\ndelete table inet " + installedName_ + "\n";
    const uint32_t result =
        RunInNamespace(namespaceFd_, [&] { return RunNftCommands(commands, message); });
    if (result == ERROR_SUCCESS)
        installedName_.clear();
    else
        StartWatch(previous_);
    return result;
}

bool NFT_TABLE::Installed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return !installedName_.empty();
}

}  // namespace os
