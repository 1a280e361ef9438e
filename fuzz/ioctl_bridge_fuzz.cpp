// Drives the control device through the bridge socket of a live driver host. The host (the driver
// as its host starts it, and the bridge server on a runtime folder of its own) runs in this
// process, so that libFuzzer sees its coverage and the sanitizers watch its code. The host refuses
// connections from its own pid, so the traffic comes from a child: this program again, started once
// with WEXO_BRIDGE_FUZZ_CHILD set, that stays alive and turns each input it is handed into traffic
// on the socket: raw frames of any length, well-formed opens and control requests whose pointers
// aim into the child's own memory, and answers to the host's commit and import questions that
// break the format. After each input the child asks for the driver's version on a fresh connection;
// a host that does not answer within two seconds is a finding (abort), a child that dies is only
// started again. WEXO_BRIDGE_FUZZ_STACKS prints every thread's stack (through gdb) with a stall.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/control_codes.h"
#include "common/records.h"
#include "driver/channel/service_call_queue.h"
#include "driver/platform/driver_entry.h"
#include "driver/platform/resolve_name.h"
#include "fuzz/stall_stacks.h"
#include "os/bridge/device_bridge.h"
#include "os/core/device_gateway.h"
#include "os/core/status.h"
#include "tools/pipeline/in_process_driver.h"

extern char** environ;

namespace {

using namespace wexo;
using Clock = std::chrono::steady_clock;

constexpr char kChildFdVariable[] = "WEXO_BRIDGE_FUZZ_CHILD";
constexpr char kChildDirVariable[] = "WEXO_BRIDGE_FUZZ_DIR";
constexpr char kChildParentVariable[] = "WEXO_BRIDGE_FUZZ_PARENT";

// Larger inputs are cut: the traffic of one input has to fit the child's time budget anyway.
constexpr size_t kMaxInput = 32 * 1024;
// The host must answer the version request this fast after an input, or it hangs.
constexpr int kProbeMs = 2'000;
// How long the child spends on one input's traffic before it stops and cleans up, and how long
// it waits for any one answer: far below the host's own 5-second wait for a peer, so no input
// makes the host sit out that time.
constexpr int kInputBudgetMs = 1'000;
constexpr int kReplyWaitMs = 300;
// After raw bytes the host may take a request for the rest of a frame and never answer it; such a
// connection is given up sooner.
constexpr int kDirtyReplyWaitMs = 20;
// The parent's patience with the child for one input (budget, last wait, probe, slack).
constexpr int kChildDeadlineMs = 6'000;
// After an input, every connection must end and every service call of the caller must be cancelled
// within this time.
constexpr int kSettleMs = 2'000;

// Messages between the fuzzer and its child, one per SOCK_SEQPACKET datagram.
constexpr uint8_t kMessageInput = 'I';
constexpr uint8_t kMessageProbe = 'P';
constexpr uint8_t kMessageLookups = 'L';
constexpr uint8_t kMessageAck = 'A';
constexpr uint8_t kMessageDone = 'D';

// What the child's traffic reached, reported with each input and summed up at exit when
// WEXO_BRIDGE_FUZZ_STATS is set: a harness whose requests never get through shows it here.
struct TRAFFIC {
    uint32_t requests = 0;
    uint32_t succeeded = 0;
    uint32_t commits = 0;
    uint32_t imports = 0;
    uint32_t registrations = 0;
    uint32_t fetched = 0;
    uint32_t answered = 0;
    uint32_t cut = 0;
    TRAFFIC& operator+=(const TRAFFIC& other) {
        requests += other.requests;
        succeeded += other.succeeded;
        commits += other.commits;
        imports += other.imports;
        registrations += other.registrations;
        fetched += other.fetched;
        answered += other.answered;
        cut += other.cut;
        return *this;
    }
};

// The bridge's operations, as docs/bridge.md lists them.
constexpr uint32_t kOpOpen = 1;
constexpr uint32_t kOpControl = 2;
constexpr uint32_t kOpClose = 3;
constexpr uint32_t kOpCommit = 10;
constexpr uint32_t kOpCommitReply = 11;
constexpr uint32_t kOpImport = 12;
constexpr uint32_t kOpImportReply = 13;
constexpr uint32_t kOpReply = 100;
constexpr uint32_t kMaxHostFrame = 64 * 1024;

constexpr uint32_t kCodes[] = {
    QRN_GET_VERSION,   QRN_REGISTER,   QRN_AUTH_CHALLENGE,     QRN_AUTH_RESPONSE,
    QRN_UPDATE_DRIVER, QRN_UNINSTALL,  QRN_SUSPEND_PROTECTION, QRN_RESUME_PROTECTION,
    QRN_SC_ATTACH,     QRN_SC_DETACH,  QRN_SC_INPUT,           QRN_SC_OUTPUT,
    QRN_SC_EXTEND,     QRN_SC_STANDBY, QRN_SC_RESUME,          QRN_SC_HEARTBEAT};

void DumpStacksIfAsked() {
    wexo::fuzz::DumpStacksIfAsked("WEXO_BRIDGE_FUZZ_STACKS");
}

int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return offset_ >= size_; }
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t U16() {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | Byte();
        return v;
    }
    uint64_t U64() {
        const uint64_t high = U32();
        return high << 32 | U32();
    }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> out;
        while (out.size() < n && !Empty())
            out.push_back(Byte());
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

class Body {
  public:
    explicit Body(uint32_t op) {
        bytes_.reserve(64);
        Put(op);
    }
    template <typename T>
    Body& Put(T value) {
        return Append(&value, sizeof(T));
    }
    Body& PutBytes(const std::vector<uint8_t>& more) { return Append(more.data(), more.size()); }
    std::vector<uint8_t>& Bytes() { return bytes_; }

  private:
    Body& Append(const void* data, size_t length) {
        const size_t at = bytes_.size();
        bytes_.resize(at + length);
        if (length != 0) {
            std::memcpy(bytes_.data() + at, data, length);
        }
        return *this;
    }
    std::vector<uint8_t> bytes_;
};

// ================================ The child ================================

bool WaitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        int n = poll(&p, 1, timeoutMs);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0;
    }
}

// Up to this many descriptors go with one frame: more than the host takes with one.
constexpr size_t kMaxPassed = 12;

// Sends all of `bytes` (with `fds` on the first piece), never waiting long: a host that stopped
// reading makes this connection useless, not the input slow.
bool SendBytes(int fd, const uint8_t* bytes, size_t length, const std::vector<int>& fds = {}) {
    const size_t count = std::min(fds.size(), kMaxPassed);
    size_t done = 0;
    while (done < length) {
        iovec io{const_cast<uint8_t*>(bytes) + done, length - done};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(kMaxPassed * sizeof(int))];
        if (count != 0 && done == 0) {
            message.msg_control = control;
            message.msg_controllen = CMSG_SPACE(count * sizeof(int));
            cmsghdr* c = CMSG_FIRSTHDR(&message);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(count * sizeof(int));
            std::memcpy(CMSG_DATA(c), fds.data(), count * sizeof(int));
        }
        ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN && WaitFor(fd, POLLOUT, 50)) {
            continue;
        }
        return false;
    }
    return true;
}

void AppendFrame(std::vector<uint8_t>* out, const std::vector<uint8_t>& body) {
    const size_t at = out->size();
    out->resize(at + 4 + body.size());
    uint32_t length = static_cast<uint32_t>(body.size());
    std::memcpy(out->data() + at, &length, 4);
    if (!body.empty()) {
        std::memcpy(out->data() + at + 4, body.data(), body.size());
    }
}

bool SendFrame(int fd, const std::vector<uint8_t>& body, const std::vector<int>& fds = {}) {
    std::vector<uint8_t> frame;
    AppendFrame(&frame, body);
    return SendBytes(fd, frame.data(), frame.size(), fds);
}

// Eventfds to pass along; the sender closes its own copies once they are sent.
std::vector<int> NewEventFds(size_t count) {
    std::vector<int> fds;
    for (size_t i = 0; i < count; ++i) {
        int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd >= 0) {
            fds.push_back(fd);
        }
    }
    return fds;
}

void CloseAll(const std::vector<int>& fds) {
    for (int fd : fds) {
        close(fd);
    }
}

bool ReceiveBytes(int fd, uint8_t* out, size_t length, Clock::time_point deadline) {
    size_t done = 0;
    while (done < length) {
        // Bytes already there are taken without a poll first; the wait is for those still to come.
        ssize_t n = recv(fd, out + done, length - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN || !WaitFor(fd, POLLIN, MillisecondsLeft(deadline))) {
            return false;
        }
    }
    return true;
}

bool ReceiveFrame(int fd, std::vector<uint8_t>* body, Clock::time_point deadline) {
    uint32_t length = 0;
    if (!ReceiveBytes(fd, reinterpret_cast<uint8_t*>(&length), 4, deadline) || length < 4 ||
        length > kMaxHostFrame) {
        return false;
    }
    body->resize(length);
    return ReceiveBytes(fd, body->data(), length, deadline);
}

template <typename T>
T Field(const std::vector<uint8_t>& body, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= body.size()) {
        std::memcpy(&value, body.data() + offset, sizeof(T));
    }
    return value;
}

// Non-blocking: a host whose accept loop hangs fills its backlog, and a blocking connect would then
// hang the child instead of letting it report the host.
int ConnectTo(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(),
                std::min(path.size() + 1, sizeof address.sun_path - 1));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<uint8_t> Utf16Bytes(const char16_t* text) {
    std::vector<uint8_t> bytes;
    for (const char16_t* c = text; *c != 0; ++c) {
        bytes.push_back(static_cast<uint8_t>(*c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(*c >> 8));
    }
    return bytes;
}

// The host's socket and folder, for the child to remove when the fuzzer ends without its exit
// handlers (a crash, a finding): unlink and rmdir may be called from a signal handler.
char leftSocket[256];
char leftFolder[256];

void RemoveHostFolder(int) {
    unlink(leftSocket);
    rmdir(leftFolder);
    _exit(0);
}

// The child's handles, as its own table would give them out: two events and an object that is not
// one. The host asks for them with Import while a request that names them runs.
constexpr uint64_t kEventHandle = 0x84;
constexpr uint64_t kOtherEventHandle = 0x88;
constexpr uint64_t kFileHandle = 0x8C;

constexpr size_t kPage = 4096;
constexpr size_t kArenaSize = 16 * kPage;
constexpr size_t kSlots = 4;
constexpr int kMaxOps = 24;

class CHILD {
  public:
    CHILD(int control, std::string dir) : control_(control), socketPath_(dir + "/device.sock") {
        // A read-only page, the arena, and an inaccessible page after it.
        auto* map =
            static_cast<uint8_t*>(mmap(nullptr, kArenaSize + 2 * kPage, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (map == MAP_FAILED) {
            _exit(3);
        }
        readOnly_ = map;
        base_ = map + kPage;
        guard_ = base_ + kArenaSize;
        mprotect(readOnly_, kPage, PROT_READ);
        mprotect(guard_, kPage, PROT_NONE);
    }

    [[noreturn]] void Serve() {
        std::vector<uint8_t> message(kMaxInput + 16);
        for (;;) {
            ssize_t n = recv(control_, message.data(), message.size(), 0);
            if (n <= 0) {
                RemoveHostFolder(0);  // the fuzzer went away
            }
            if (n < 5) {
                continue;
            }
            uint32_t sequence = 0;
            std::memcpy(&sequence, message.data() + 1, 4);
            if (message[0] == kMessageInput) {
                Run(message.data() + 5, static_cast<size_t>(n) - 5);
            }
            uint8_t answered = Probe() ? 1 : 0;
            uint8_t done[6 + sizeof(TRAFFIC)] = {kMessageDone, 0, 0, 0, 0, answered};
            std::memcpy(done + 1, &sequence, 4);
            std::memcpy(done + 6, &traffic_, sizeof traffic_);
            traffic_ = {};
            if (send(control_, done, sizeof done, MSG_NOSIGNAL) != sizeof done) {
                RemoveHostFolder(0);
            }
        }
    }

  private:
    struct SLOT {
        int fd = -1;
        bool dirty = false;
    };

    // ---- One input's traffic ----

    void Run(const uint8_t* data, size_t size) {
        Input in(data, size);
        deadline_ = Clock::now() + std::chrono::milliseconds(kInputBudgetMs);
        lastHandle_ = 0;
        files_.clear();
        registeredFile_ = 0;
        // Leftovers of the previous input stay out of this one.
        std::memset(base_, 0, kArenaSize);

        const uint8_t flags = in.Byte();
        if ((flags & 1) != 0) {
            Register(in);
        }
        const int lookups = (flags >> 1) & 3;
        if (lookups > 0) {
            AskForLookups(in, lookups, (flags & 8) != 0);
        }
        for (int op = 0; op < kMaxOps && !in.Empty() && Clock::now() < deadline_; ++op) {
            switch (in.Byte() % 10) {
                case 0:
                case 1:
                    RawFrame(in);
                    break;
                case 2:
                    Open(in, Slot(in), false);
                    break;
                case 3:
                case 4:
                case 5:
                    Control(in);
                    break;
                case 6:
                    CloseFile(in);
                    break;
                case 7:
                    Disconnect(Slot(in));
                    break;
                case 8:
                    FetchAndAnswer(in);
                    break;
                default:
                    AskForLookups(in, in.Byte() % 3 + 1, in.Byte() % 2 == 1);
                    break;
            }
        }
        // Ending every connection ends this caller in the host: its opens are closed, its
        // registration goes and the calls it held are cancelled. Nothing carries over to the next
        // input.
        for (size_t i = 0; i < kSlots; ++i) {
            Disconnect(i);
        }
        for (auto& [address, length] : commits_) {
            munmap(address, length);
        }
        commits_.clear();
    }

    size_t Slot(Input& in) { return in.Byte() % kSlots; }

    int Connection(size_t slot) {
        if (slots_[slot].fd < 0) {
            slots_[slot].fd = ConnectTo(socketPath_);
        }
        return slots_[slot].fd;
    }

    void Disconnect(size_t slot) {
        if (slots_[slot].fd >= 0) {
            close(slots_[slot].fd);
            slots_[slot].fd = -1;
            slots_[slot].dirty = false;
        }
    }

    // A pointer the host may be given: inside the arena, at its end, in the inaccessible or the
    // read-only page, unmapped, at the end of user space or in the kernel's half.
    uint64_t Pointer(Input& in) {
        const uint8_t kind = in.Byte();
        const uint32_t offset = in.U32() % kArenaSize;
        switch (kind % 10) {
            case 0:
                return 0;
            case 1:
                return 0x10 + offset;  // never mapped
            case 2:
                return reinterpret_cast<uint64_t>(guard_ - (offset % 64));
            case 3:
                return reinterpret_cast<uint64_t>(guard_ + (offset % kPage));
            case 4:
                return 0xFFFFFFFFFFFF0000ull + offset;
            case 5:
                return reinterpret_cast<uint64_t>(readOnly_ + (offset % kPage));
            case 6:
                return 0x7FFFFFFF0000ull - (offset % 64);  // the last user addresses
            default:
                return reinterpret_cast<uint64_t>(base_ + offset);
        }
    }

    uint64_t HandleValue(Input& in) {
        switch (in.Byte() % 5) {
            case 0:
            case 1:
                return kEventHandle;
            case 2:
                return kOtherEventHandle;
            case 3:
                return kFileHandle;
            default:
                return in.U32();
        }
    }

    static uint32_t ThreadId() { return static_cast<uint32_t>(gettid()); }

    // Scratch variables for requests the child means to read back, at the arena's start.
    uint64_t Scratch(size_t offset) { return reinterpret_cast<uint64_t>(base_ + offset); }

    // ---- The host's questions ----

    // Answers questions until the reply comes; false (and the connection dropped) when the host
    // ends it, does not answer in time, or the child chose to go silent.
    bool AwaitReply(Input& in, size_t slot, std::vector<uint8_t>* reply) {
        const int fd = slots_[slot].fd;
        const auto until =
            Clock::now() +
            std::chrono::milliseconds(slots_[slot].dirty ? kDirtyReplyWaitMs : kReplyWaitMs);
        while (fd >= 0) {
            if (!ReceiveFrame(fd, reply, until)) {
                break;
            }
            const uint32_t op = Field<uint32_t>(*reply, 0);
            if (op == kOpReply) {
                return true;
            }
            bool ok = false;
            if (op == kOpCommit) {
                ok = AnswerCommit(in, fd, Field<uint64_t>(*reply, 4));
            } else if (op == kOpImport) {
                ok = AnswerImport(in, fd, Field<uint64_t>(*reply, 4), Field<uint32_t>(*reply, 12),
                                  Field<uint32_t>(*reply, 16));
            }
            if (!ok) {
                break;
            }
        }
        Disconnect(slot);
        return false;
    }

    // How the next answer is given: most are what a client sends, the rest break the format.
    enum class STYLE { Proper, WrongOperation, Truncated, Odd, BadLength, Silent };
    STYLE AnswerStyle(Input& in) {
        const uint8_t b = in.Byte();
        switch (b % 12) {
            case 7:
                return STYLE::WrongOperation;
            case 8:
                return STYLE::Truncated;
            case 9:
                return STYLE::Odd;
            case 10:
                return STYLE::BadLength;
            case 11:
                return STYLE::Silent;
            default:
                return STYLE::Proper;
        }
    }

    bool SendBroken(Input& in, int fd, STYLE style, uint32_t rightOp) {
        switch (style) {
            case STYLE::WrongOperation: {
                const uint32_t ops[] = {kOpReply,
                                        kOpOpen,
                                        kOpCommit,
                                        kOpImport,
                                        rightOp == kOpCommitReply ? kOpImportReply : kOpCommitReply,
                                        in.U32()};
                return SendFrame(fd, Body(ops[in.Byte() % std::size(ops)])
                                         .PutBytes(in.Bytes(in.Byte() % 16))
                                         .Bytes());
            }
            case STYLE::Truncated:
                return SendFrame(fd, Body(rightOp).PutBytes(in.Bytes(in.Byte() % 4)).Bytes());
            case STYLE::BadLength: {
                const uint32_t lengths[] = {0, 1, 3, kMaxHostFrame + 1, 0xFFFFFFFFu};
                uint32_t length = lengths[in.Byte() % std::size(lengths)];
                uint8_t bytes[8];
                std::memcpy(bytes, &length, 4);
                std::memcpy(bytes + 4, &rightOp, 4);
                return SendBytes(fd, bytes, sizeof bytes);
            }
            default:
                return false;  // silent: the connection ends now, so the host stops waiting
        }
    }

    bool AnswerCommit(Input& in, int fd, uint64_t size) {
        const STYLE style = AnswerStyle(in);
        if (style != STYLE::Proper && style != STYLE::Odd) {
            return SendBroken(in, fd, style, kOpCommitReply) && style != STYLE::BadLength;
        }
        uint64_t address = 0;
        if (style == STYLE::Odd) {
            switch (in.Byte() % 4) {
                case 0:
                    address = Pointer(in);
                    break;
                case 1: {
                    // Mapped for the answer and gone before the host writes: its copy must fail.
                    void* gone = size != 0 && size <= (64u << 20)
                                     ? mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                     : MAP_FAILED;
                    if (gone != MAP_FAILED) {
                        munmap(gone, size);
                        address = reinterpret_cast<uint64_t>(gone);
                    }
                    break;
                }
                case 2:
                    // The read-only page: the host's write of the block must fail there.
                    address = reinterpret_cast<uint64_t>(readOnly_);
                    break;
                default:
                    // More bytes than the answer has.
                    return SendFrame(fd, Body(kOpCommitReply)
                                             .Put<uint64_t>(Scratch(1024))
                                             .PutBytes(in.Bytes(in.Byte() % 32))
                                             .Bytes());
            }
        } else if (size != 0 && size <= (64u << 20)) {
            void* region =
                mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (region != MAP_FAILED) {
                commits_.emplace_back(region, size);
                ++traffic_.commits;
                address = reinterpret_cast<uint64_t>(region);
            }
        }
        return SendFrame(fd, Body(kOpCommitReply).Put<uint64_t>(address).Bytes());
    }

    bool AnswerImport(Input& in, int fd, uint64_t handle, uint32_t /*access*/, uint32_t type) {
        const STYLE style = AnswerStyle(in);
        if (style != STYLE::Proper && style != STYLE::Odd) {
            return SendBroken(in, fd, style, kOpImportReply) && style != STYLE::BadLength;
        }
        constexpr uint32_t kEventType = 0;
        if (style == STYLE::Proper) {
            const bool event = handle == kEventHandle || handle == kOtherEventHandle;
            os::NTSTATUS status = os::STATUS_INVALID_HANDLE;
            if (event || handle == kFileHandle) {
                status = (event ? kEventType : 1u) != type ? os::STATUS_OBJECT_TYPE_MISMATCH
                         : event                           ? os::STATUS_SUCCESS
                                                           : os::STATUS_NOT_SUPPORTED;
            }
            if (status != os::STATUS_SUCCESS) {
                return SendFrame(fd, Body(kOpImportReply).Put<int32_t>(status).Bytes());
            }
            const std::vector<int> passed = NewEventFds(1);
            ++traffic_.imports;
            bool sent = SendFrame(fd, Body(kOpImportReply).Put<int32_t>(0).Bytes(), passed);
            CloseAll(passed);
            return sent;
        }
        // Answers a careless or hostile client might give.
        std::vector<int> passed;
        int32_t status = 0;
        switch (in.Byte() % 4) {
            case 0:
                break;  // success, but nothing passed
            case 1:
                status = static_cast<int32_t>(in.U32());  // any status, with an eventfd
                passed = NewEventFds(1);
                break;
            case 2: {
                // Not an eventfd: the stand-in's signals go to a file that takes them.
                int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
                if (null >= 0) {
                    passed.push_back(null);
                }
                break;
            }
            default:
                // More descriptors than the one asked for, up to more than a frame may carry.
                passed = NewEventFds(in.Byte() % kMaxPassed + 2);
                break;
        }
        bool sent = SendFrame(fd, Body(kOpImportReply).Put<int32_t>(status).Bytes(), passed);
        CloseAll(passed);
        return sent;
    }

    // ---- Requests ----

    bool Exchange(Input& in, size_t slot, const std::vector<uint8_t>& body,
                  std::vector<uint8_t>* reply) {
        const int fd = Connection(slot);
        if (fd < 0 || !SendFrame(fd, body)) {
            Disconnect(slot);
            return false;
        }
        return AwaitReply(in, slot, reply);
    }

    // Opens the control device by one of its names (or another name); the open's number is kept.
    uint64_t Open(Input& in, size_t slot, bool properName) {
        std::vector<uint8_t> name;
        switch (properName ? 0 : in.Byte() % 8) {
            case 0:
            case 1:
                name = Utf16Bytes(kDeviceName);
                break;
            case 2:
            case 3:
                // What "\\.\Global\WexoWfp" becomes on the caller's side.
                name = Utf16Bytes(u"\\??\\Global\\WexoWfp");
                break;
            case 4:
                name = Utf16Bytes(u"\\\\.\\Global\\WexoWfp");
                break;
            case 5:
                name = Utf16Bytes(kDeviceLinkName);
                break;
            default:
                name = in.Bytes(in.Byte() % 2 == 0 ? in.Byte() : in.U16() % 2100);
                break;
        }
        std::vector<uint8_t> reply;
        if (!Exchange(in, slot, Body(kOpOpen).PutBytes(name).Bytes(), &reply) ||
            Field<int32_t>(reply, 4) != 0) {
            return 0;
        }
        instance_ = Field<uint64_t>(reply, 8);
        const uint64_t id = Field<uint64_t>(reply, 16);
        files_.push_back(id);
        return id;
    }

    // An open of this caller (they belong to the process, not to a connection), or a number that
    // names none.
    uint64_t FileId(Input& in) {
        const uint8_t b = in.Byte();
        if (b % 8 == 7 || files_.empty()) {
            return b % 2 == 0 ? in.U64() : files_.size() + 1 + b % 3;
        }
        if (b % 8 == 6 && registeredFile_ != 0) {
            return registeredFile_;
        }
        return files_[b % files_.size()];
    }

    // Sends one control request; the status, or -1 when no answer came.
    int64_t Request(Input& in, size_t slot, uint64_t file, uint32_t code, uint64_t input,
                    uint32_t inputLength, uint64_t output, uint32_t outputLength,
                    bool rightInstance = true) {
        std::vector<uint8_t> reply;
        // The request runs as the thread it names: mostly this one, at times another thread of
        // the child (whose authorisation is not this one's), none or any.
        const uint8_t as = in.Byte();
        uint32_t thread = ThreadId();
        if (as % 16 == 0) {
            thread = 0;
        } else if (as % 16 == 1) {
            thread = thread + 1 + as / 16;
        } else if (as % 16 == 2) {
            thread = in.U32();
        }
        Body body(kOpControl);
        body.Put<uint64_t>(rightInstance ? instance_ : instance_ ^ (uint64_t{1} << in.Byte() % 64))
            .Put<uint64_t>(file)
            .Put<uint32_t>(code)
            .Put<uint64_t>(input)
            .Put<uint32_t>(inputLength)
            .Put<uint64_t>(output)
            .Put<uint32_t>(outputLength)
            .Put<uint32_t>(thread);
        ++traffic_.requests;
        if (!Exchange(in, slot, body.Bytes(), &reply)) {
            ++traffic_.cut;
            return -1;
        }
        const int32_t status = Field<int32_t>(reply, 4);
        traffic_.succeeded += status == 0 ? 1 : 0;
        if (status == 0 && code == QRN_REGISTER) {
            ++traffic_.registrations;
        }
        if (status == 0 && code == QRN_SC_INPUT) {
            ++traffic_.fetched;
        }
        if (status == 0 && code == QRN_SC_OUTPUT) {
            ++traffic_.answered;
        }
        return status;
    }

    void Register(Input& in) {
        const uint64_t file = Open(in, 0, true);
        if (file == 0) {
            return;
        }
        // The folders as the service gives them, in the arena.
        const std::vector<uint8_t> folder = Utf16Bytes(u"\\??\\C:\\Program Files\\Wexo");
        std::memcpy(base_ + 2048, folder.data(), folder.size());
        QRN_REGISTER_REQUEST request{};
        request.inputEvent = kEventHandle;
        request.programFolder = Scratch(2048);
        request.programFolderLength = static_cast<uint16_t>(folder.size());
        if (in.Byte() % 2 == 1) {
            request.dataFolder = Scratch(2048);
            request.dataFolderLength = static_cast<uint16_t>(folder.size());
        }
        std::memcpy(base_ + 1024, &request, sizeof request);
        if (Request(in, 0, file, QRN_REGISTER, Scratch(1024), sizeof request, Scratch(1536),
                    sizeof(QRN_REGISTER_REPLY)) == 0) {
            registeredFile_ = file;
        }
    }

    // Fills a record of the code's layout, aiming its pointer fields with the arena's rules.
    std::vector<uint8_t> BuildRecord(uint32_t code, Input& in) {
        const uint8_t sizing = in.Byte();
        size_t size = sizing % 80;
        if (sizing % 4 == 0) {
            // The record's own size, so that more requests get past the length checks.
            switch (code) {
                case QRN_REGISTER:
                    size = sizeof(QRN_REGISTER_REQUEST);
                    break;
                case QRN_SC_INPUT:
                    size = sizeof(SC_INPUT_REQUEST);
                    break;
                case QRN_SC_OUTPUT:
                    size = sizeof(SC_OUTPUT_REQUEST);
                    break;
                case QRN_SC_EXTEND:
                    size = sizeof(SC_EXTEND_REQUEST);
                    break;
                case QRN_SC_ATTACH:
                    size = sizeof(SC_ATTACH_REQUEST);
                    break;
                default:
                    break;
            }
        }
        std::vector<uint8_t> record = in.Bytes(size);
        record.resize(size);
        auto put = [&](size_t offset, uint64_t value) {
            if (offset + 8 <= record.size())
                std::memcpy(record.data() + offset, &value, 8);
        };
        switch (code) {
            case QRN_REGISTER:
                put(0, HandleValue(in));
                put(8, Pointer(in));
                put(24, Pointer(in));
                break;
            case QRN_SC_ATTACH:
                put(0, HandleValue(in));
                break;
            case QRN_SC_INPUT:
                for (size_t offset : {0, 8, 16, 24, 40, 48})
                    put(offset, Pointer(in));
                break;
            case QRN_SC_OUTPUT:
                if (in.Byte() % 2 == 1) {
                    put(0, lastHandle_);
                } else {
                    // Any sequence number in one of the first slots.
                    const uint64_t sequence = in.U32();
                    put(0, sequence << 32 | in.Byte() % 8);
                }
                put(8, Pointer(in));
                break;
            case QRN_SC_EXTEND:
                put(0, lastHandle_);
                break;
            default:
                break;
        }
        return record;
    }

    void Control(Input& in) {
        const size_t slot = Slot(in);
        if (files_.empty()) {
            Open(in, slot, true);
        }
        const uint64_t file = FileId(in);
        const uint8_t pick = in.Byte();
        uint32_t code = kCodes[in.Byte() % std::size(kCodes)];
        if (pick % 8 == 6) {
            code = WexoCode(in.U16() % 0x1000);  // the device's type, any function
        } else if (pick % 8 == 7) {
            code = in.U32();
        }
        std::vector<uint8_t> record = BuildRecord(code, in);
        // At the end of the arena, so that short lengths meet the inaccessible page.
        uint8_t* at =
            in.Byte() % 4 == 0 ? base_ + (in.U16() % (kArenaSize - 128)) : guard_ - record.size();
        if (!record.empty()) {
            std::memcpy(at, record.data(), record.size());
        }
        uint64_t input = reinterpret_cast<uint64_t>(at);
        uint32_t inputLength = static_cast<uint32_t>(record.size());
        switch (in.Byte() % 8) {
            case 0:
                inputLength = in.U32();
                break;
            case 1:
                input = Pointer(in);
                break;
            default:
                break;
        }
        const uint64_t output = Pointer(in);
        const uint8_t sizing = in.Byte();
        const uint32_t outputLength = sizing % 8 == 0 ? in.U32() : sizing % 64;
        const bool rightInstance = in.Byte() % 16 != 0;
        int64_t status =
            Request(in, slot, file, code, input, inputLength, output, outputLength, rightInstance);
        if (code == QRN_REGISTER && status == 0) {
            registeredFile_ = file;
        }
        if (code == QRN_SC_INPUT && status == 0 && record.size() >= 8) {
            // Where the host may have written a call's handle, to answer it next.
            uint64_t handleOut = 0;
            std::memcpy(&handleOut, record.data(), 8);
            if (handleOut >= reinterpret_cast<uint64_t>(base_) &&
                handleOut + 8 <= reinterpret_cast<uint64_t>(guard_)) {
                std::memcpy(&lastHandle_, reinterpret_cast<void*>(handleOut), 8);
            }
        }
    }

    // Takes the next service call the way the service does, into a buffer of the fuzzed size (a
    // small one makes the host commit a region here), then answers it with a fuzzed record.
    void FetchAndAnswer(Input& in) {
        if (registeredFile_ == 0) {
            Register(in);
        }
        const uint64_t file = registeredFile_ != 0 ? registeredFile_ : FileId(in);
        const size_t slot = Slot(in);
        SC_INPUT_REQUEST request{};
        request.callHandleOut = Scratch(0);
        request.codeOut = Scratch(8);
        request.timeoutOut = Scratch(12);
        request.requestSizeOut = Scratch(16);
        request.requestAddressOut = Scratch(24);
        const uint8_t sizing = in.Byte();
        request.bufferSize = sizing % 4 == 0 ? 0 : in.U16() % 2048;
        request.buffer = request.bufferSize == 0 && sizing % 8 == 0 ? 0 : Scratch(4096);
        std::memcpy(base_ + 3072, &request, sizeof request);
        int64_t status =
            Request(in, slot, file, QRN_SC_INPUT, Scratch(3072), sizeof request, Scratch(3200), 0);
        if (status == 0) {
            std::memcpy(&lastHandle_, base_, 8);
        }
        const uint8_t how = in.Byte();
        if (how % 4 == 0) {
            return;  // left in progress: the end of the caller must cancel it
        }
        if (how % 4 == 1) {
            std::memcpy(base_ + 3072, &lastHandle_, 8);
            Request(in, slot, file, QRN_SC_EXTEND, Scratch(3072), sizeof(SC_EXTEND_REQUEST), 0, 0);
        }
        // The answer record (a name resolution's shape) and the addresses it points at.
        DNS_ADDRESS_ANSWER answer{};
        answer.addresses = in.Byte() % 2 == 0 ? Scratch(8192) : Pointer(in);
        answer.count = in.Byte() % 4 == 0 ? in.U32() : in.Byte() % 8;
        std::vector<uint8_t> addresses = in.Bytes(in.Byte() % 64);
        if (!addresses.empty()) {
            std::memcpy(base_ + 8192, addresses.data(), addresses.size());
        }
        std::memcpy(base_ + 2560, &answer, sizeof answer);
        SC_OUTPUT_REQUEST output{};
        output.callHandle = in.Byte() % 8 == 0 ? in.U64() : lastHandle_;
        output.answer = in.Byte() % 4 == 0 ? Pointer(in) : Scratch(2560);
        output.answerSize = in.Byte() % 4 == 0 ? in.U32() : sizeof answer;
        output.status = in.Byte() % 4 == 0 ? static_cast<int32_t>(in.U32()) : 0;
        std::memcpy(base_ + 3072, &output, sizeof output);
        Request(in, slot, file, QRN_SC_OUTPUT, Scratch(3072), sizeof output, 0, 0);
    }

    void CloseFile(Input& in) {
        const size_t slot = Slot(in);
        const uint64_t file = FileId(in);
        std::vector<uint8_t> reply;
        Body body(kOpClose);
        body.Put<uint64_t>(in.Byte() % 8 == 0 ? in.U64() : instance_).Put<uint64_t>(file);
        if (Exchange(in, slot, body.Bytes(), &reply) && Field<int32_t>(reply, 4) == 0) {
            std::erase(files_, file);
            if (file == registeredFile_) {
                registeredFile_ = 0;
            }
        }
    }

    // A frame of any length, operation and body, possibly cut short, possibly with a descriptor.
    void RawFrame(Input& in) {
        const size_t slot = Slot(in);
        const int fd = Connection(slot);
        if (fd < 0) {
            return;
        }
        const uint32_t ops[] = {kOpOpen,        kOpControl, kOpClose,       kOpCommit,
                                kOpCommitReply, kOpImport,  kOpImportReply, kOpReply};
        const uint8_t opPick = in.Byte();
        const uint32_t op = opPick % 10 < 8 ? ops[opPick % 10] : in.U32();
        const uint8_t sizing = in.Byte();
        std::vector<uint8_t> body =
            Body(op).PutBytes(in.Bytes(sizing % 4 == 0 ? in.U16() : sizing % 64)).Bytes();
        if (op == kOpControl && body.size() >= 20 && in.Byte() % 2 == 0) {
            // The right open, so that the fuzzed fields reach the device.
            std::memcpy(body.data() + 4, &instance_, 8);
            const uint64_t file = FileId(in);
            std::memcpy(body.data() + 12, &file, 8);
        }
        uint32_t length = static_cast<uint32_t>(body.size());
        switch (in.Byte() % 8) {
            case 0:
                length = 0;
                break;
            case 1:
                length = in.Byte() % 4;
                break;
            case 2: {
                const uint32_t huge[] = {kMaxHostFrame, kMaxHostFrame + 1, 0x7FFFFFFF, 0xFFFFFFFF};
                length = huge[in.Byte() % std::size(huge)];
                break;
            }
            case 3:
                length += in.Byte() % 16;  // claims more than comes
                break;
            case 4:
                length = in.U32();
                break;
            default:
                break;
        }
        std::vector<uint8_t> frame(4);
        std::memcpy(frame.data(), &length, 4);
        frame.insert(frame.end(), body.begin(), body.end());
        size_t sent = frame.size();
        if (in.Byte() % 4 == 0) {
            sent = in.U16() % (frame.size() + 1);  // stops part-way
        }
        const uint8_t passing = in.Byte();
        const std::vector<int> passed =
            NewEventFds(passing % 8 == 0 ? passing / 8 % (kMaxPassed + 1) : 0);
        // From a frame boundary (a connection that carried only whole frames so far) what the
        // host makes of these bytes is known: a frame they do not finish leaves it waiting for the
        // rest, and a single whole frame gets at most one frame back (an answer, or a question
        // after which it waits for ours) or the end of the connection. Waiting on after that
        // would only sit out the time. After other traffic anything may still come.
        const size_t claimed = size_t{4} + length;
        const bool atBoundary = !slots_[slot].dirty;
        const bool silent = atBoundary && (sent < 4 || (length <= kMaxHostFrame && sent < claimed));
        const bool oneFrame = atBoundary && length <= kMaxHostFrame && sent == claimed;
        slots_[slot].dirty = true;
        bool ok = sent == 0 || SendBytes(fd, frame.data(), sent, passed);
        CloseAll(passed);
        if (!ok) {
            Disconnect(slot);
            return;
        }
        // Whatever the host says back is read and dropped; its end of the connection is noticed.
        const int waitMs = in.Byte() % 4;
        if (silent) {
            return;
        }
        uint8_t drain[4096];
        uint8_t header[4] = {};
        size_t received = 0;
        while (WaitFor(fd, POLLIN, waitMs)) {
            ssize_t n = recv(fd, drain, sizeof drain, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                Disconnect(slot);
                return;
            }
            if (n < 0) {
                break;
            }
            if (received < sizeof header) {
                std::memcpy(header + received, drain,
                            std::min(sizeof header - received, static_cast<size_t>(n)));
            }
            received += static_cast<size_t>(n);
            uint32_t echoed = 0;
            std::memcpy(&echoed, header, sizeof echoed);
            if (oneFrame && received >= sizeof header && received >= size_t{4} + echoed) {
                return;
            }
        }
    }

    // Has the fuzzer submit name resolutions in the host, for the registered child to fetch.
    void AskForLookups(Input& in, int count, bool v6) {
        uint8_t message[5 + 1 + 1 + 3 * 2] = {kMessageLookups};
        message[5] = static_cast<uint8_t>(count);
        message[6] = v6 ? 1 : 0;
        for (int i = 0; i < count; ++i) {
            uint16_t length =
                static_cast<uint16_t>(in.Byte() % 4 == 0 ? in.U16() % 3000 : in.Byte() % 120 + 1);
            std::memcpy(message + 7 + 2 * i, &length, 2);
        }
        if (send(control_, message, 7 + 2 * count, MSG_NOSIGNAL) < 0) {
            RemoveHostFolder(0);
        }
        uint8_t ack[8];
        if (!WaitFor(control_, POLLIN, 1'000)) {
            _exit(1);  // out of step with the fuzzer, which starts another child
        }
        if (recv(control_, ack, sizeof ack, 0) <= 0) {
            RemoveHostFolder(0);
        }
    }

    // The driver's version on a fresh connection, as a client asks for it, within the limit.
    bool Probe() {
        const auto until = Clock::now() + std::chrono::milliseconds(kProbeMs);
        while (Clock::now() < until) {
            int fd = ConnectTo(socketPath_);
            if (fd < 0) {
                usleep(5'000);
                continue;
            }
            std::vector<uint8_t> reply;
            bool answered = false;
            if (SendFrame(fd, Body(kOpOpen).PutBytes(Utf16Bytes(kDeviceName)).Bytes()) &&
                ReceiveFrame(fd, &reply, until) && Field<uint32_t>(reply, 0) == kOpReply &&
                Field<int32_t>(reply, 4) == 0) {
                const uint64_t instance = Field<uint64_t>(reply, 8);
                const uint64_t id = Field<uint64_t>(reply, 16);
                std::memset(base_, 0, sizeof(QRN_VERSION_REPLY));
                Body control(kOpControl);
                control.Put<uint64_t>(instance)
                    .Put<uint64_t>(id)
                    .Put<uint32_t>(QRN_GET_VERSION)
                    .Put<uint64_t>(0)
                    .Put<uint32_t>(0)
                    .Put<uint64_t>(Scratch(0))
                    .Put<uint32_t>(sizeof(QRN_VERSION_REPLY))
                    .Put<uint32_t>(ThreadId());
                // The close goes with the request: the host takes one frame at a time, so the
                // version is answered first, and the close's answer is of no interest.
                std::vector<uint8_t> frames;
                AppendFrame(&frames, control.Bytes());
                AppendFrame(&frames,
                            Body(kOpClose).Put<uint64_t>(instance).Put<uint64_t>(id).Bytes());
                QRN_VERSION_REPLY version{};
                answered = SendBytes(fd, frames.data(), frames.size()) &&
                           ReceiveFrame(fd, &reply, until) &&
                           Field<uint32_t>(reply, 0) == kOpReply && Field<int32_t>(reply, 4) == 0;
                std::memcpy(&version, base_, sizeof version);
                answered = answered && version.major == kDriverMajorVersion &&
                           version.minor == kDriverMinorVersion;
            }
            close(fd);
            if (answered) {
                return true;
            }
            usleep(5'000);
        }
        return false;
    }

    const int control_;
    const std::string socketPath_;
    uint8_t* readOnly_ = nullptr;
    uint8_t* base_ = nullptr;
    uint8_t* guard_ = nullptr;
    SLOT slots_[kSlots];
    Clock::time_point deadline_;
    uint64_t instance_ = 0;
    std::vector<uint64_t> files_;
    uint64_t registeredFile_ = 0;
    uint64_t lastHandle_ = 0;
    TRAFFIC traffic_;
    std::vector<std::pair<void*, size_t>> commits_;
};

// In the child, serves the fuzzer and never returns; in the fuzzer, does nothing.
void RunChildWhenAsked() {
    const char* fdText = std::getenv(kChildFdVariable);
    const char* dir = std::getenv(kChildDirVariable);
    const char* parent = std::getenv(kChildParentVariable);
    if (fdText == nullptr || dir == nullptr || parent == nullptr) {
        return;
    }
    std::snprintf(leftSocket, sizeof leftSocket, "%s/%s", dir, os::kDeviceSocketName);
    std::snprintf(leftFolder, sizeof leftFolder, "%s", dir);
    // The child must not outlive the fuzzer, whichever way the fuzzer ends; the fuzzer's normal
    // exit kills it first and removes the folder itself.
    std::signal(SIGTERM, RemoveHostFolder);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != static_cast<pid_t>(std::atoi(parent))) {
        RemoveHostFolder(0);
    }
    CHILD child(std::atoi(fdText), dir);
    child.Serve();
}

// ================================ The host ================================

// Looks at `done` until it holds or the deadline passes, a microsecond after the first look and
// twice as long after each further one: what the host still does after an input takes tens of
// microseconds, and a fixed pause would cost more than the work it waits for.
template <typename DONE>
bool WaitUntil(DONE done, Clock::time_point deadline) {
    constexpr auto kLongestPause = std::chrono::microseconds(500);
    auto pause = std::chrono::microseconds(1);
    while (!done()) {
        if (Clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestPause);
    }
    return true;
}

// Threads for the name resolutions the child asks for. Each resolution blocks until it is answered
// or cancelled, so each gets a thread to itself at once; a thread whose resolution ended waits for
// the next one instead of ending, so that an input does not pay for making threads.
class LOOKUP_THREADS {
  public:
    LOOKUP_THREADS() = default;
    LOOKUP_THREADS(const LOOKUP_THREADS&) = delete;
    LOOKUP_THREADS& operator=(const LOOKUP_THREADS&) = delete;
    ~LOOKUP_THREADS() { Stop(); }

    void Run(std::function<void()> job) {
        running_.fetch_add(1);
        std::lock_guard guard(lock_);
        jobs_.push_back(std::move(job));
        if (jobs_.size() > free_) {
            ++free_;
            threads_.emplace_back([this] { Serve(); });
        }
        wake_.notify_one();
    }

    // Resolutions handed over and not yet ended, and those ended so far.
    int Running() const { return running_.load(); }
    uint64_t Finished() const { return finished_.load(); }

    // Once every resolution has ended.
    void Stop() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& thread : threads_) {
            thread.join();
        }
        threads_.clear();
    }

  private:
    void Serve() {
        std::unique_lock guard(lock_);
        for (;;) {
            wake_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            --free_;
            guard.unlock();
            job();
            // What the resolution held goes before it counts as ended, within its input.
            job = nullptr;
            finished_.fetch_add(1);
            running_.fetch_sub(1);
            guard.lock();
            ++free_;
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    // Threads not running a resolution: never fewer than the resolutions waiting for one.
    size_t free_ = 0;
    bool stopping_ = false;
    std::atomic<int> running_{0};
    std::atomic<uint64_t> finished_{0};
};

class HOST {
  public:
    HOST() {
        char dir[] = "/tmp/wexo-bridge-fuzz-XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            std::perror("ioctl_bridge_fuzz: mkdtemp");
            std::abort();
        }
        dir_ = dir;
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) {
            std::abort();
        }
        self_.assign(self, static_cast<size_t>(n));
        // The child is started before the host's threads exist.
        StartChild();
        if (!driver_.Start()) {
            std::fprintf(stderr, "ioctl_bridge_fuzz: the driver did not start\n");
            std::abort();
        }
        server_ = std::make_unique<os::DEVICE_BRIDGE_SERVER>(*os::CurrentDeviceGateway());
        if (server_->Start(dir_) != os::STATUS_SUCCESS) {
            std::fprintf(stderr, "ioctl_bridge_fuzz: the bridge did not start in %s\n",
                         dir_.c_str());
            std::abort();
        }
        events_ = OpenEventDescriptors();
        // The first pauses of WaitUntil are a few microseconds; the default timer slack (50 µs)
        // would stretch each of them to that. Threads made from here on inherit it; the host's own
        // threads are made already and keep theirs.
        prctl(PR_SET_TIMERSLACK, 1000UL);
    }

    // At exit: the child goes first, so that nothing new comes in while the host stops.
    void ShutDown() {
        if (std::getenv("WEXO_BRIDGE_FUZZ_STATS") != nullptr) {
            std::fprintf(stderr,
                         "ioctl_bridge_fuzz: %llu inputs, %llu child restarts; %u requests, %u "
                         "succeeded, %u cut; %u registrations, %u regions committed, %u events "
                         "passed, %u calls fetched, %u answered\n",
                         static_cast<unsigned long long>(sequence_),
                         static_cast<unsigned long long>(restarts_), traffic_.requests,
                         traffic_.succeeded, traffic_.cut, traffic_.registrations, traffic_.commits,
                         traffic_.imports, traffic_.fetched, traffic_.answered);
        }
        StopChild();
        server_.reset();
        lookups_.Stop();
        driver_.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void RunOne(const uint8_t* data, size_t size) {
        std::vector<uint8_t> message(5);
        message[0] = kMessageInput;
        const uint32_t sequence = ++sequence_;
        std::memcpy(message.data() + 1, &sequence, 4);
        message.insert(message.end(), data, data + std::min(size, kMaxInput));
        if (!Converse(message, sequence)) {
            // The child died or stopped answering: not the host's fault, but the host must
            // still answer a fresh child.
            RestartChild();
            uint8_t probe[5] = {kMessageProbe};
            const uint32_t again = ++sequence_;
            std::memcpy(probe + 1, &again, 4);
            if (!Converse(std::vector<uint8_t>(probe, probe + 5), again)) {
                RestartChild();
            }
        }
        Settle();
    }

  private:
    void StartChild() {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            std::abort();
        }
        int buffer = 1 << 20;
        setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        // The child's end survives the exec; the fuzzer's does not.
        fcntl(pair[1], F_SETFD, 0);
        std::vector<std::string> variables = {
            std::string(kChildFdVariable) + "=" + std::to_string(pair[1]),
            std::string(kChildDirVariable) + "=" + dir_,
            std::string(kChildParentVariable) + "=" + std::to_string(getpid())};
        std::vector<char*> environment;
        for (char** e = environ; *e != nullptr; ++e) {
            environment.push_back(*e);
        }
        for (auto& v : variables) {
            environment.push_back(v.data());
        }
        environment.push_back(nullptr);
        char* argv[] = {self_.data(), nullptr};
        if (posix_spawn(&child_, self_.c_str(), nullptr, nullptr, argv, environment.data()) != 0) {
            std::perror("ioctl_bridge_fuzz: posix_spawn");
            std::abort();
        }
        close(pair[1]);
        control_ = pair[0];
    }

    void StopChild() {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
            child_ = -1;
        }
        if (control_ >= 0) {
            close(control_);
            control_ = -1;
        }
    }

    void RestartChild() {
        ++restarts_;
        StopChild();
        StartChild();
    }

    // Hands one message to the child and serves its requests until it reports; false when the
    // child died, desynced or did not report in time.
    bool Converse(const std::vector<uint8_t>& message, uint32_t sequence) {
        if (send(control_, message.data(), message.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(message.size())) {
            return false;
        }
        const auto until = Clock::now() + std::chrono::milliseconds(kChildDeadlineMs);
        uint8_t reply[64];
        for (;;) {
            if (!WaitFor(control_, POLLIN, MillisecondsLeft(until))) {
                return false;
            }
            ssize_t n = recv(control_, reply, sizeof reply, 0);
            if (n <= 0) {
                return false;
            }
            if (reply[0] == kMessageLookups && n >= 7) {
                StartLookups(reply, static_cast<size_t>(n));
                const uint8_t ack = kMessageAck;
                if (send(control_, &ack, 1, MSG_NOSIGNAL) != 1) {
                    return false;
                }
                continue;
            }
            uint32_t echoed = 0;
            if (reply[0] != kMessageDone || n < 6) {
                return false;
            }
            std::memcpy(&echoed, reply + 1, 4);
            if (echoed != sequence) {
                return false;
            }
            if (static_cast<size_t>(n) >= 6 + sizeof(TRAFFIC)) {
                TRAFFIC traffic;
                std::memcpy(&traffic, reply + 6, sizeof traffic);
                traffic_ += traffic;
            }
            if (reply[5] != 1) {
                std::fprintf(stderr,
                             "ioctl_bridge_fuzz: the host did not answer QRN_GET_VERSION within "
                             "%d ms after the input\n",
                             kProbeMs);
                std::abort();
            }
            return true;
        }
    }

    // Name resolutions submitted by the driver's side, as the remap resolver would; each blocks
    // until the child answers it or the call ends.
    void StartLookups(const uint8_t* message, size_t size) {
        const size_t count = std::min<size_t>(message[5], (size - 7) / 2);
        const drv::NameFamily family = message[6] != 0 ? drv::NameFamily::V6 : drv::NameFamily::V4;
        auto& queue = driver_.Driver().Queue();
        const uint32_t before = queue.InFlight();
        const uint64_t finishedBefore = lookups_.Finished();
        for (size_t i = 0; i < count; ++i) {
            uint16_t length = 0;
            std::memcpy(&length, message + 7 + 2 * i, 2);
            std::string name(length, 'h');
            for (size_t at = 7; at < name.size(); at += 8) {
                name[at] = '.';
            }
            lookups_.Run([&queue, family, name = std::move(name)] {
                drv::ResolveName(queue, name, family);
            });
        }
        // The calls are queued before the child goes on to fetch them (or they failed at once,
        // without a service).
        WaitUntil(
            [&] {
                return queue.InFlight() + (lookups_.Finished() - finishedBefore) >= before + count;
            },
            Clock::now() + std::chrono::milliseconds(200));
    }

    // After an input the caller has ended: its connections are served no longer, its
    // registration is gone and every call it held is cancelled.
    void Settle() {
        const auto until = Clock::now() + std::chrono::milliseconds(kSettleMs);
        if (!WaitUntil([this] { return server_->ConnectionCount() == 0; }, until)) {
            DumpStacksIfAsked();
            std::fprintf(stderr,
                         "ioctl_bridge_fuzz: %zu connections still served %d ms after their "
                         "caller closed them\n",
                         server_->ConnectionCount(), kSettleMs);
            std::abort();
        }
        if (!WaitUntil([this] { return lookups_.Running() == 0; }, until)) {
            std::fprintf(stderr,
                         "ioctl_bridge_fuzz: %d service calls still wait %d ms after their "
                         "service ended\n",
                         lookups_.Running(), kSettleMs);
            std::abort();
        }
        if (driver_.ServiceProcessId() != 0) {
            std::fprintf(stderr, "ioctl_bridge_fuzz: the registration of process %u outlived it\n",
                         driver_.ServiceProcessId());
            std::abort();
        }
        // The eventfds a caller passes are the host's to close: once the caller has gone, none
        // may be left. A host that keeps them runs out of descriptors for a caller that sends
        // enough of them.
        size_t events = 0;
        if (!WaitUntil(
                [&] {
                    events = OpenEventDescriptors();
                    return events <= events_;
                },
                Clock::now() + std::chrono::milliseconds(100))) {
            std::fprintf(stderr,
                         "ioctl_bridge_fuzz: the host holds %zu eventfds after the input, %zu "
                         "before; its caller has gone\n",
                         events, events_);
            std::abort();
        }
        events_ = events;
    }

    static size_t OpenEventDescriptors() {
        DIR* folder = opendir("/proc/self/fd");
        if (folder == nullptr) {
            return 0;
        }
        size_t count = 0;
        while (const dirent* entry = readdir(folder)) {
            char target[64];
            ssize_t n = readlinkat(dirfd(folder), entry->d_name, target, sizeof target);
            if (n > 0 &&
                std::string_view(target, static_cast<size_t>(n)) == "anon_inode:[eventfd]") {
                ++count;
            }
        }
        closedir(folder);
        return count;
    }

    std::string dir_;
    std::string self_;
    pipeline::IN_PROCESS_DRIVER driver_;
    std::unique_ptr<os::DEVICE_BRIDGE_SERVER> server_;
    pid_t child_ = -1;
    int control_ = -1;
    uint32_t sequence_ = 0;
    uint64_t restarts_ = 0;
    TRAFFIC traffic_;
    // The eventfds the host held after the last input.
    size_t events_ = 0;
    LOOKUP_THREADS lookups_;
};

HOST* theHost = nullptr;

void ShutDownHost() {
    if (theHost != nullptr) {
        theHost->ShutDown();
    }
}

HOST& TheHost() {
    if (theHost == nullptr) {
        theHost = new HOST();
        std::atexit(ShutDownHost);
    }
    return *theHost;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    RunChildWhenAsked();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The replay driver has no initialiser: the child is recognised here too.
    RunChildWhenAsked();
    TheHost().RunOne(data, size);
    return 0;
}
