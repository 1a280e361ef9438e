#include "os/fltmgr/linux/program_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace os {
namespace {

bool IsLogFile(const std::string& path) {
    if (path.size() < 4) {
        return false;
    }
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return tail == ".log";
}

std::optional<int> GetFlags(int fd) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        return std::nullopt;
    }
    return flags;
}

// Marks an attribute this guard set, so that a guard started after a crash of the one before
// knows the attribute as its own (and lifts it), while one that was there before stays. The
// trusted namespace is root's only: no user can forge or remove the mark.
constexpr char kHeldMark[] = "trusted.wexo.held";

bool HasHeldMark(int fd) {
    char value = 0;
    return ::fgetxattr(fd, kHeldMark, &value, sizeof value) >= 0;
}

enum class SET_RESULT { Changed, Ours, NotOurs, Failed };

// Sets or clears the attribute of one path (never through a link).
SET_RESULT SetImmutable(const std::string& path, bool on) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return SET_RESULT::Failed;
    }
    SET_RESULT result = SET_RESULT::Failed;
    if (std::optional<int> flags = GetFlags(fd)) {
        const bool is = (*flags & FS_IMMUTABLE_FL) != 0;
        if (on && is) {
            result = HasHeldMark(fd) ? SET_RESULT::Ours : SET_RESULT::NotOurs;
        } else if (on) {
            const char mark = '1';
            int wanted = *flags | FS_IMMUTABLE_FL;
            if (::fsetxattr(fd, kHeldMark, &mark, sizeof mark, 0) == 0 &&
                ::ioctl(fd, FS_IOC_SETFLAGS, &wanted) == 0) {
                result = SET_RESULT::Changed;
            } else {
                ::fremovexattr(fd, kHeldMark);
            }
        } else {
            int wanted = *flags & ~FS_IMMUTABLE_FL;
            if (!is || ::ioctl(fd, FS_IOC_SETFLAGS, &wanted) == 0) {
                ::fremovexattr(fd, kHeldMark);
                result = SET_RESULT::Changed;
            }
        }
    }
    ::close(fd);
    return result;
}

// The tree's folders and the files the attribute goes on (no links, no log files, not past a
// mount point).
struct TREE {
    std::vector<std::string> folders;
    std::vector<std::string> files;
};

thread_local TREE* tWalked = nullptr;

int VisitEntry(const char* path, const struct stat* st, int kind, struct FTW*) {
    if (kind == FTW_D || kind == FTW_DP) {
        tWalked->folders.emplace_back(path);
    } else if (kind == FTW_F && S_ISREG(st->st_mode) && !IsLogFile(path)) {
        tWalked->files.emplace_back(path);
    }
    return 0;
}

bool Walk(const std::string& folder, TREE* tree) {
    tWalked = tree;
    const int result = ::nftw(folder.c_str(), VisitEntry, 16, FTW_PHYS | FTW_MOUNT);
    tWalked = nullptr;
    return result == 0;
}

std::optional<std::string> ReadSmallFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The process a thread belongs to.
std::optional<uint32_t> ProcessOfThread(uint32_t threadId) {
    std::optional<std::string> status =
        ReadSmallFile("/proc/" + std::to_string(threadId) + "/status");
    if (!status) {
        return std::nullopt;
    }
    size_t at = status->find("\nTgid:");
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(std::strtoul(status->c_str() + at + 6, nullptr, 10));
}

enum class OPEN_KIND { Read, Write, Unknown };

#if defined(__x86_64__)
constexpr long kSysOpen = 2;
constexpr long kSysCreat = 85;
constexpr long kSysExecve = 59;
#endif
constexpr long kSysOpenat = __NR_openat;
constexpr long kSysOpenat2 = 437;
constexpr long kSysOpenByHandleAt = __NR_open_by_handle_at;
constexpr long kSysExecveat = __NR_execveat;

OPEN_KIND KindOfFlags(uint64_t flags) {
    return (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) != 0 ? OPEN_KIND::Write
                                                                     : OPEN_KIND::Read;
}

// What the blocked thread asked for, from the system call it is in.
OPEN_KIND KindOfOpen(uint32_t threadId, uint32_t processId, int* flagsOut) {
    std::optional<std::string> text =
        ReadSmallFile("/proc/" + std::to_string(threadId) + "/syscall");
    if (!text) {
        return OPEN_KIND::Unknown;
    }
    std::istringstream in(*text);
    long number = -1;
    in >> number;
    uint64_t args[6] = {};
    for (uint64_t& arg : args) {
        std::string word;
        if (!(in >> word)) {
            return OPEN_KIND::Unknown;
        }
        arg = std::strtoull(word.c_str(), nullptr, 16);
    }
    uint64_t flags = 0;
    switch (number) {
#if defined(__x86_64__)
        case kSysOpen:
            flags = args[1];
            break;
        case kSysCreat:
            flags = O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case kSysExecve:
            return OPEN_KIND::Read;
#endif
        case kSysExecveat:
            return OPEN_KIND::Read;
        case kSysOpenat:
        case kSysOpenByHandleAt:
            flags = args[2];
            break;
        case kSysOpenat2: {
            // The flags are the first member of the caller's open_how.
            struct iovec local {
                &flags, sizeof flags
            };
            struct iovec remote {
                reinterpret_cast<void*>(args[2]), sizeof flags
            };
            if (::process_vm_readv(static_cast<pid_t>(processId), &local, 1, &remote, 1, 0) !=
                static_cast<ssize_t>(sizeof flags)) {
                return OPEN_KIND::Unknown;
            }
            break;
        }
        default:
            return OPEN_KIND::Unknown;
    }
    *flagsOut = static_cast<int>(flags);
    return KindOfFlags(flags);
}

}  // namespace

struct PROGRAM_GUARD::STATE {
    EXEMPT exempt;
    REFUSED refused;
    mutable std::mutex lock;
    std::string folder;
    // Read by the listener without the lock: the guard's own opens under the lock (the attribute
    // walk) wait for the listener's answer.
    std::atomic<bool> on{false};
    std::vector<std::string> madeImmutable;  // by this guard, lifted again by it
    int fanotify = -1;
    int wake = -1;
    std::thread listener;
    std::atomic<uint64_t> allowed{0};
    std::atomic<uint64_t> refusals{0};
    std::atomic<uint64_t> unknown{0};

    // Called with the lock held.
    void LiftLocked() {
        if (fanotify >= 0) {
            ::fanotify_mark(fanotify, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
        }
        for (const std::string& path : madeImmutable) {
            SetImmutable(path, false);
        }
        madeImmutable.clear();
    }

    bool HoldLocked(std::string* why) {
        TREE tree;
        if (!Walk(folder, &tree) || tree.folders.empty()) {
            *why = "the folder " + folder + " cannot be walked";
            return false;
        }
        for (const std::string& path : tree.folders) {
            if (::fanotify_mark(fanotify, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD,
                                AT_FDCWD, path.c_str()) != 0) {
                *why = "fanotify cannot watch " + path + ": " + std::strerror(errno);
                LiftLocked();
                return false;
            }
        }
        // Files first: a folder that is already immutable still lets its files' flags change,
        // but the order keeps a half-done walk easy to read.
        for (const std::vector<std::string>* list : {&tree.files, &tree.folders}) {
            for (const std::string& path : *list) {
                const SET_RESULT result = SetImmutable(path, true);
                if (result == SET_RESULT::Changed || result == SET_RESULT::Ours) {
                    madeImmutable.push_back(path);
                }
            }
        }
        return true;
    }

    void Answer(const struct fanotify_event_metadata& event) {
        uint32_t response = FAN_ALLOW;
        const uint32_t threadId = static_cast<uint32_t>(event.pid);
        const uint32_t processId = ProcessOfThread(threadId).value_or(threadId);
        if (on.load() && processId != static_cast<uint32_t>(::getpid()) && !exempt(processId)) {
            char link[64];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", event.fd);
            char target[4096];
            ssize_t n = ::readlink(link, target, sizeof target - 1);
            std::string path = n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
            if (!IsLogFile(path)) {
                int flags = 0;
                const OPEN_KIND kind = KindOfOpen(threadId, processId, &flags);
                if (kind == OPEN_KIND::Unknown) {
                    // An open the guard cannot read (io_uring, a call it does not know) could
                    // be anything: it is refused rather than trusted.
                    unknown.fetch_add(1);
                    flags = -1;
                }
                if (kind != OPEN_KIND::Read) {
                    response = FAN_DENY;
                    refusals.fetch_add(1);
                    if (refused) {
                        refused(processId, path, flags);
                    }
                }
            }
        }
        if (response == FAN_ALLOW) {
            allowed.fetch_add(1);
        }
        struct fanotify_response answer {};
        answer.fd = event.fd;
        answer.response = response;
        // The opener waits for this answer: it is written whatever happened above.
        while (::write(fanotify, &answer, sizeof answer) < 0 && errno == EINTR) {
        }
    }

    void Listen() {
        alignas(struct fanotify_event_metadata) char buffer[8192];
        for (;;) {
            struct pollfd fds[2] = {{fanotify, POLLIN, 0}, {wake, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            ssize_t length = ::read(fanotify, buffer, sizeof buffer);
            if (length <= 0) {
                continue;
            }
            auto* event = reinterpret_cast<struct fanotify_event_metadata*>(buffer);
            for (; FAN_EVENT_OK(event, length); event = FAN_EVENT_NEXT(event, length)) {
                if (event->vers != FANOTIFY_METADATA_VERSION) {
                    continue;
                }
                if (event->fd >= 0) {
                    if (event->mask & FAN_OPEN_PERM) {
                        Answer(*event);
                    }
                    ::close(event->fd);
                }
            }
        }
    }
};

bool PROGRAM_GUARD::Available(std::string* why) {
    int fd = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
    if (fd < 0) {
        *why = std::string("fanotify permission events are not available: ") + std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

PROGRAM_GUARD::PROGRAM_GUARD(EXEMPT exempt, REFUSED refused) : state_(std::make_unique<STATE>()) {
    state_->exempt = std::move(exempt);
    state_->refused = std::move(refused);
}

PROGRAM_GUARD::~PROGRAM_GUARD() {
    Stop();
}

bool PROGRAM_GUARD::Protect(const std::string& folder, bool on, std::string* why) {
    STATE& s = *state_;
    std::lock_guard guard(s.lock);
    const bool same = folder == s.folder && on == s.on.load();
    if (same) {
        return true;
    }
    s.LiftLocked();
    s.folder = folder;
    s.on = on && !folder.empty();
    if (!s.on.load()) {
        return true;
    }
    if (s.fanotify < 0) {
        s.fanotify = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_REPORT_TID,
                                     O_RDONLY | O_LARGEFILE | O_CLOEXEC);
        s.wake = ::eventfd(0, EFD_CLOEXEC);
        if (s.fanotify < 0 || s.wake < 0) {
            *why = std::string("fanotify cannot start: ") + std::strerror(errno);
            s.on = false;
            return false;
        }
        s.listener = std::thread([&s] { s.Listen(); });
    }
    if (!s.HoldLocked(why)) {
        s.on = false;
        return false;
    }
    return true;
}

void PROGRAM_GUARD::Stop() {
    STATE& s = *state_;
    {
        std::lock_guard guard(s.lock);
        s.on = false;
        s.LiftLocked();
    }
    if (s.listener.joinable()) {
        uint64_t one = 1;
        (void)!::write(s.wake, &one, sizeof one);
        s.listener.join();
    }
    std::lock_guard guard(s.lock);
    if (s.fanotify >= 0) {
        ::close(s.fanotify);
        s.fanotify = -1;
    }
    if (s.wake >= 0) {
        ::close(s.wake);
        s.wake = -1;
    }
}

void PROGRAM_GUARD::LeaveHeldForTest() {
    std::lock_guard guard(state_->lock);
    state_->madeImmutable.clear();
}

PROGRAM_GUARD::COUNTS PROGRAM_GUARD::Counts() const {
    std::lock_guard guard(state_->lock);
    COUNTS counts;
    counts.allowed = state_->allowed.load();
    counts.refused = state_->refusals.load();
    counts.unknown = state_->unknown.load();
    counts.immutable = state_->madeImmutable.size();
    return counts;
}

}  // namespace os
