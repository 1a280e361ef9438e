// Keeps the product's nftables table in place while it is meant to be: a thread subscribed to
// nftables' netlink notifications (NFNLGRP_NFTABLES) of the table's network namespace sees every
// committed transaction that touches the table, compares the table's stateless listing with what
// it was when the watch started, and when another program changed it (deleted the table, flushed
// or deleted a chain, added, deleted or replaced a rule, touched a counter or set) puts it back in
// one transaction, writes an event-log entry and a debug line naming the change, and goes on.
//
// Its own restores, and any change that leaves the listing as it was (a counter reset), restore
// nothing: the listing decides, and the watch's own transactions (the kernel names the thread that
// committed each) are not even looked at. Restores follow one another no faster than
// kNftRestoreSpacing, so two programs that each insist on their own table cannot spin the machine;
// a change is still undone well within a second.
//
// Nothing is polled: between notifications the thread sleeps in poll(2) on the netlink socket.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace os {

// The event-log identifiers of the watch's entries (warning and error severity). Inserted
// strings: the table ("inet wexo"), what was changed, and who changed it ("nft (pid 1234)", or
// "another program" when the kernel did not say); for the failure also nft's message.
constexpr uint32_t kNftTableRestoredEvent = 0x80000101;
constexpr uint32_t kNftTableNotRestoredEvent = 0xC0000102;
constexpr uint32_t kNftTableNotWatchedEvent = 0xC0000103;

inline constexpr std::chrono::milliseconds kNftRestoreSpacing{100};

struct NFT_WATCH_OPTIONS {
    // The table (family inet) and the transaction that puts it in place again.
    std::string tableName;
    std::string restoreCommands;
    // The network namespace the table is in (the caller keeps it open until Stop); -1: the
    // caller's.
    int namespaceFd = -1;
    // The event-log source of the entries.
    std::string eventSource = "WexoWfp";
    // The debug line of each restore (and failure) goes here; to the debugger when empty.
    std::function<void(const std::string& line)> debugLog;
};

class NFT_WATCH {
  public:
    NFT_WATCH() = default;
    ~NFT_WATCH();
    NFT_WATCH(const NFT_WATCH&) = delete;
    NFT_WATCH& operator=(const NFT_WATCH&) = delete;

    // Subscribes in the table's namespace and takes the table's listing as it is now as the one
    // to keep; returns once the watch runs. ERROR_SUCCESS, else the reason's Win32 error (the
    // watch does not run then; an event-log entry says why) with the text in `message`.
    uint32_t Start(const NFT_WATCH_OPTIONS& options, std::string* message = nullptr);
    // Ends the watch; what is changed afterwards stays changed.
    void Stop();
    bool Running() const;

    // Restores made since Start.
    uint64_t Restores() const;
    // Waits until more than `seen` restores were made, or `limit` passed; the count then.
    uint64_t WaitForRestores(uint64_t seen, std::chrono::milliseconds limit) const;

  private:
    void Run(const NFT_WATCH_OPTIONS& options, int socketFd, int wake, const std::string& expected);

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::thread thread_;
    int wakeFd_ = -1;
    bool running_ = false;
    uint64_t restores_ = 0;
};

}  // namespace os
