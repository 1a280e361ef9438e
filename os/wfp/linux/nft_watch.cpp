#include "os/wfp/linux/nft_watch.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <nftables/libnftables.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <map>
#include <span>
#include <vector>

#include "os/core/debugger.h"
#include "os/core/event_log.h"
#include "os/core/status.h"
#include "os/wfp/linux/nft_table.h"
#include "os/wfp/linux/redirect.h"

namespace os {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A failed restore is tried again this much later (and logged once until one succeeds).
constexpr std::chrono::milliseconds kRetrySpacing{1000};

std::string StringAttribute(std::span<const uint8_t> area, uint16_t type) {
    std::span<const uint8_t> value = FindNetlinkAttribute(area, type);
    std::string text(value.begin(), value.end());
    const size_t end = text.find('\0');
    return end == std::string::npos ? text : text.substr(0, end);
}

uint32_t U32Attribute(std::span<const uint8_t> area, uint16_t type) {
    std::span<const uint8_t> value = FindNetlinkAttribute(area, type);
    uint32_t number = 0;
    if (value.size() == sizeof(number))
        memcpy(&number, value.data(), sizeof(number));
    return ntohl(number);
}

std::string Plural(unsigned count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

struct CHAIN_CHANGES {
    unsigned rulesAdded = 0;
    unsigned rulesDeleted = 0;
    bool added = false;
    bool deleted = false;
    bool changed = false;
};

// What one transaction (the notifications up to its NEWGEN) did to the table.
struct TRANSACTION {
    bool touched = false;
    bool tableDeleted = false;
    bool tableAdded = false;
    std::map<std::string, CHAIN_CHANGES> chains;
    std::vector<std::string> others;

    std::string Describe() const {
        if (tableDeleted)
            return tableAdded ? "table replaced" : "table deleted";
        std::vector<std::string> parts;
        if (tableAdded)
            parts.push_back("table changed");
        for (const auto& [name, chain] : chains) {
            if (chain.deleted) {
                parts.push_back("chain " + name + " deleted");
                continue;
            }
            std::vector<std::string> rules;
            if (chain.rulesDeleted != 0)
                rules.push_back(Plural(chain.rulesDeleted, "rule") + " deleted");
            if (chain.rulesAdded != 0)
                rules.push_back(Plural(chain.rulesAdded, "rule") + " added");
            std::string text = "chain " + name;
            if (chain.added)
                text += " added";
            else if (chain.changed)
                text += " changed";
            for (size_t i = 0; i < rules.size(); ++i)
                text += (i == 0 ? (chain.added || chain.changed ? ", " : ": ") : ", ") + rules[i];
            parts.push_back(text);
        }
        parts.insert(parts.end(), others.begin(), others.end());
        std::string text;
        for (const std::string& part : parts)
            text += (text.empty() ? "" : "; ") + part;
        return text;
    }
};

// Notes what one nftables notification did to `table` (of family inet).
void Note(uint8_t type, std::span<const uint8_t> attributes, const std::string& table,
          const std::string& expected, TRANSACTION& transaction) {
    // The table's name is the first attribute of every object's message.
    if (StringAttribute(attributes, 1) != table)
        return;
    transaction.touched = true;
    auto chainOf = [&](uint16_t attribute) -> CHAIN_CHANGES& {
        return transaction.chains[StringAttribute(attributes, attribute)];
    };
    auto named = [&](const char* kind, uint16_t attribute, const char* what) {
        transaction.others.push_back(std::string(kind) + " " +
                                     StringAttribute(attributes, attribute) + " " + what);
    };
    switch (type) {
        case NFT_MSG_DELTABLE:
            transaction.tableDeleted = true;
            break;
        case NFT_MSG_NEWTABLE:
            transaction.tableAdded = true;
            break;
        case NFT_MSG_NEWCHAIN: {
            const std::string name = StringAttribute(attributes, NFTA_CHAIN_NAME);
            CHAIN_CHANGES& chain = transaction.chains[name];
            // A chain the kept table has is changed (its policy, say); any other is new.
            if (expected.find("\tchain " + name + " {") != std::string::npos)
                chain.changed = true;
            else
                chain.added = true;
            break;
        }
        case NFT_MSG_DELCHAIN:
            chainOf(NFTA_CHAIN_NAME).deleted = true;
            break;
        case NFT_MSG_NEWRULE:
            // A replaced rule is told as one deleted and one added: the kernel says no more.
            ++chainOf(NFTA_RULE_CHAIN).rulesAdded;
            break;
        case NFT_MSG_DELRULE:
            ++chainOf(NFTA_RULE_CHAIN).rulesDeleted;
            break;
        case NFT_MSG_NEWSET:
        case NFT_MSG_DELSET:
        case NFT_MSG_NEWSETELEM:
        case NFT_MSG_DELSETELEM: {
            static_assert(static_cast<int>(NFTA_SET_NAME) ==
                          static_cast<int>(NFTA_SET_ELEM_LIST_SET));
            // An anonymous set ("__set0") is part of the rule that holds it, named with the rule.
            if (StringAttribute(attributes, NFTA_SET_NAME).rfind("__set", 0) == 0)
                break;
            named("set", NFTA_SET_NAME,
                  type == NFT_MSG_NEWSET   ? "added"
                  : type == NFT_MSG_DELSET ? "deleted"
                                           : "elements changed");
            break;
        }
        case NFT_MSG_NEWOBJ:
        case NFT_MSG_DELOBJ:
            named(U32Attribute(attributes, NFTA_OBJ_TYPE) == NFT_OBJECT_COUNTER ? "counter"
                                                                                : "object",
                  NFTA_OBJ_NAME, type == NFT_MSG_NEWOBJ ? "added" : "deleted");
            break;
        case NFT_MSG_NEWFLOWTABLE:
        case NFT_MSG_DELFLOWTABLE:
            named("flowtable", NFTA_FLOWTABLE_NAME,
                  type == NFT_MSG_NEWFLOWTABLE ? "added" : "deleted");
            break;
        default:
            transaction.others.push_back("a change of kind " + std::to_string(type));
            break;
    }
}

ino_t NamespaceInode(int fd) {
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0)
        return 0;
    return info.st_ino;
}

// This thread into the namespace of `namespaceFd`, unless it is there already.
uint32_t EnterNamespace(int namespaceFd) {
    if (namespaceFd < 0)
        return ERROR_SUCCESS;
    const int own = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const bool same = own >= 0 && NamespaceInode(own) == NamespaceInode(namespaceFd);
    if (own >= 0)
        ::close(own);
    if (same || ::setns(namespaceFd, CLONE_NEWNET) == 0)
        return ERROR_SUCCESS;
    return Win32ErrorFromErrno(errno);
}

// A netlink socket of the calling thread's namespace that receives every committed nftables
// change; -1 with errno kept.
int Subscribe() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_NETFILTER);
    if (fd < 0)
        return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    const int group = NFNLGRP_NFTABLES;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        ::setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group)) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    // A whole ruleset loaded at once is thousands of notifications; room for them keeps the
    // overrun (which is handled, by a check of the table) rare.
    const int size = 4 << 20;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    return fd;
}

uint32_t ListTable(const std::string& table, std::string* listing, std::string* message) {
    // Stateless: counters' values are not the table's shape.
    return RunNftCommands("list table inet " + table + "\n", message, listing,
                          NFT_CTX_OUTPUT_STATELESS);
}

struct LOGGER {
    const NFT_WATCH_OPTIONS& options;

    void Write(uint32_t eventId, std::vector<std::string> strings, const std::string& line) const {
        EVENT_LOG_RECORD record;
        record.source = options.eventSource;
        record.type = EventTypeOf(eventId);
        record.eventId = eventId;
        record.strings = std::move(strings);
        WriteEventLogRecord(std::move(record));
        if (options.debugLog)
            options.debugLog(line);
        else
            DebuggerPrint(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, line + "\n");
    }
};

}  // namespace

NFT_WATCH::~NFT_WATCH() {
    Stop();
}

uint32_t NFT_WATCH::Start(const NFT_WATCH_OPTIONS& options, std::string* message) {
    Stop();
    std::string ignored;
    std::string& why = message != nullptr ? *message : ignored;
    why.clear();
    const LOGGER logger{options};
    const std::string table = "inet " + options.tableName;
    auto fail = [&](uint32_t error, const std::string& reason) {
        why = reason;
        logger.Write(kNftTableNotWatchedEvent, {table, reason},
                     "NftWatch: table " + table + " cannot be watched: " + reason);
        return error;
    };
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0)
        return fail(Win32ErrorFromErrno(errno), std::string("eventfd: ") + strerror(errno));
    {
        std::lock_guard<std::mutex> guard(lock_);
        restores_ = 0;
    }
    // Shared with the thread, which may still be inside set_value when Start goes on.
    auto started = std::make_shared<std::promise<std::pair<uint32_t, std::string>>>();
    std::future<std::pair<uint32_t, std::string>> ready = started->get_future();
    std::thread worker([this, options, wake, started] {
        const uint32_t entered = EnterNamespace(options.namespaceFd);
        if (entered != ERROR_SUCCESS) {
            started->set_value({entered, "cannot enter the table's network namespace"});
            return;
        }
        const int fd = Subscribe();
        if (fd < 0) {
            const int err = errno;
            started->set_value(
                {Win32ErrorFromErrno(err),
                 std::string("cannot subscribe to nftables' notifications: ") + strerror(err)});
            return;
        }
        // The table as it is now is the one to keep (taken after subscribing, so that no change
        // falls between); one gone already is put back first.
        std::string expected;
        std::string nft;
        uint32_t listed = ListTable(options.tableName, &expected, &nft);
        if (listed != ERROR_SUCCESS &&
            RunNftCommands(options.restoreCommands, &nft) == ERROR_SUCCESS)
            listed = ListTable(options.tableName, &expected, &nft);
        if (listed != ERROR_SUCCESS) {
            ::close(fd);
            started->set_value({listed, "the table cannot be listed: " + nft});
            return;
        }
        started->set_value({ERROR_SUCCESS, ""});
        Run(options, fd, wake, expected);
        ::close(fd);
    });
    const std::pair<uint32_t, std::string> result = ready.get();
    if (result.first != ERROR_SUCCESS) {
        worker.join();
        ::close(wake);
        return fail(result.first, result.second);
    }
    std::lock_guard<std::mutex> guard(lock_);
    wakeFd_ = wake;
    thread_ = std::move(worker);
    running_ = true;
    return ERROR_SUCCESS;
}

void NFT_WATCH::Stop() {
    std::thread worker;
    int wake = -1;
    {
        std::lock_guard<std::mutex> guard(lock_);
        worker = std::move(thread_);
        wake = wakeFd_;
        wakeFd_ = -1;
        running_ = false;
    }
    if (wake < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof(one));
    if (worker.joinable())
        worker.join();
    ::close(wake);
}

bool NFT_WATCH::Running() const {
    std::lock_guard<std::mutex> guard(lock_);
    return running_;
}

uint64_t NFT_WATCH::Restores() const {
    std::lock_guard<std::mutex> guard(lock_);
    return restores_;
}

uint64_t NFT_WATCH::WaitForRestores(uint64_t seen, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, limit, [&] { return restores_ > seen; });
    return restores_;
}

void NFT_WATCH::Run(const NFT_WATCH_OPTIONS& options, int socketFd, int wake,
                    const std::string& expected) {
    const LOGGER logger{options};
    const std::string table = "inet " + options.tableName;
    std::string message;
    // This thread's own transactions are told apart by the committing thread's id the kernel
    // reports; where that id is not comparable (another pid namespace) the listing still is.
    const uint32_t ownThread = static_cast<uint32_t>(::gettid());

    TRANSACTION current;
    std::vector<std::string> changes;  // described, not yet restored
    std::vector<std::string> by;       // who made them
    bool check = false;
    bool failing = false;
    SteadyClock::time_point restoreAfter = SteadyClock::now();
    std::vector<uint8_t> space(1 << 16);
    uint8_t* const buffer = space.data();  // aligned for nlmsghdr, as new's memory is
    for (;;) {
        int timeout = -1;
        if (check) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                restoreAfter - SteadyClock::now());
            timeout = left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0;
        }
        pollfd entries[2] = {{socketFd, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(entries, 2, timeout) < 0 && errno != EINTR)
            break;
        if ((entries[1].revents & POLLIN) != 0)
            break;
        for (;;) {
            const ssize_t size = ::recv(socketFd, buffer, space.size(), MSG_DONTWAIT);
            if (size < 0) {
                if (errno == ENOBUFS) {
                    // Notifications were lost: whatever they said, the table is looked at.
                    current = TRANSACTION();
                    changes.push_back("changes whose notifications were lost");
                    check = true;
                    continue;
                }
                break;
            }
            const size_t total = static_cast<size_t>(size);
            for (size_t at = 0; at + NLMSG_HDRLEN <= total;) {
                const auto* header = reinterpret_cast<const nlmsghdr*>(buffer + at);
                if (header->nlmsg_len < NLMSG_HDRLEN || at + header->nlmsg_len > total)
                    break;
                at += NLMSG_ALIGN(header->nlmsg_len);
                const size_t offset = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg));
                if ((header->nlmsg_type >> 8) != NFNL_SUBSYS_NFTABLES || header->nlmsg_len < offset)
                    continue;
                const uint8_t type = header->nlmsg_type & 0xff;
                const auto* generic = reinterpret_cast<const nfgenmsg*>(
                    reinterpret_cast<const uint8_t*>(header) + NLMSG_HDRLEN);
                std::span<const uint8_t> attributes(
                    reinterpret_cast<const uint8_t*>(header) + offset, header->nlmsg_len - offset);
                if (type != NFT_MSG_NEWGEN) {
                    if (generic->nfgen_family == NFPROTO_INET)
                        Note(type, attributes, options.tableName, expected, current);
                    continue;
                }
                // The end of one transaction.
                const uint32_t pid = U32Attribute(attributes, NFTA_GEN_PROC_PID);
                if (current.touched && (pid == 0 || pid != ownThread)) {
                    const std::string name = StringAttribute(attributes, NFTA_GEN_PROC_NAME);
                    std::string who = name.empty() ? "another program" : name;
                    if (pid != 0)
                        who += " (pid " + std::to_string(pid) + ")";
                    if (std::find(by.begin(), by.end(), who) == by.end())
                        by.push_back(who);
                    changes.push_back(current.Describe());
                    check = true;
                }
                current = TRANSACTION();
            }
        }
        if (!check)
            continue;
        // Looked at as soon as it changed, even while a restore must wait: a change that is
        // already undone (this thread's own restore, where its id was not comparable) is then
        // not named with the next one.
        std::string now;
        if (ListTable(options.tableName, &now, &message) == ERROR_SUCCESS && now == expected) {
            // Put back already, or nothing of the table's shape changed.
            check = false;
            changes.clear();
            by.clear();
            failing = false;
            continue;
        }
        if (SteadyClock::now() < restoreAfter)
            continue;  // the poll's time-out brings it back here
        check = false;
        std::string what;
        for (const std::string& change : changes) {
            if (!change.empty() && what.find(change) == std::string::npos)
                what += (what.empty() ? "" : "; ") + change;
        }
        if (what.empty())
            what = "the table differs from the one put in place";
        std::string who;
        for (const std::string& one : by)
            who += (who.empty() ? "" : ", ") + one;
        if (who.empty())
            who = "another program";
        if (RunNftCommands(options.restoreCommands, &message) != ERROR_SUCCESS) {
            // Tried again a little later; logged once until it works again.
            if (!failing) {
                logger.Write(kNftTableNotRestoredEvent, {table, what, who, message},
                             "NftWatch: table " + table + " was changed by " + who + " (" + what +
                                 ") and could not be restored: " + message);
            }
            failing = true;
            check = true;
            restoreAfter = SteadyClock::now() + kRetrySpacing;
            continue;
        }
        failing = false;
        restoreAfter = SteadyClock::now() + kNftRestoreSpacing;
        logger.Write(
            kNftTableRestoredEvent, {table, what, who},
            "NftWatch: table " + table + " was changed by " + who + " (" + what + "); restored");
        changes.clear();
        by.clear();
        {
            std::lock_guard<std::mutex> guard(lock_);
            ++restores_;
        }
        changed_.notify_all();
    }
}

}  // namespace os
