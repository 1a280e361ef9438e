// The transparent proxy's accept path with both of its peers played by the input: a client that
// connects to the proxy on loopback and a server that the proxy connects to (the destination a
// redirect would give is a listener of this program). The driver runs in this process as its host
// starts it, so the stream callouts that judge the bytes are the driver's own (HTTP/1.x heads,
// client hellos and server flights, HTTP/2), and a service of this program answers the driver's
// lookups at once with the verdict the input chose. Everything is set up once; each input is one
// proxied connection. As in the product, a connection the driver lets pass is handed to a relay
// process (a few to a relay, so that relays fill up and more start).
//
// The input is a script. Its first byte chooses how the connection is judged:
//   bits 0-1  the lookup verdict: 0 allowed, 1 blocked with a redirect text, 2 blocked without a
//             text, 3 an answer the driver cannot read (the lookup is not answered)
//   bits 2-3  the process that owns the client: 0 a browser of session 1, 1 none known, 2 the
//             registered service itself (its flows pass uninspected), 3 an id nobody has
//   bit 4     block-on-failure
//   bit 5     over ::1 rather than 127.0.0.1
//   bits 6-7  where the client meant to go: 0 and 1 this program's server, 2 a port that refuses
//             (the proxy resets the client), 3 cannot be told (the proxy refuses the client)
// Every further byte starts a step; its low nibble names the step (10-15 fold onto 0-5) and its
// high nibble N is the step's argument:
//   0 / 1  the client / the server sends N bytes that follow (N = 0: a 16-bit little-endian count
//          follows, then the bytes); what the input does not have is not sent
//   2 / 3  the client / the server half-closes (shutdown SHUT_WR)
//   4 / 5  the client / the server resets (SO_LINGER 0, close)
//   6      both sides read what reaches them within N half-milliseconds (N = 0: what is there
//          now), and stop sooner once it has stopped coming for a quarter of a millisecond
//   7      a pause of N quarter-milliseconds, in which the lookup may be answered
//   8 / 9  the client / the server sends (N + 1) * 64 KiB of the byte that follows, as far as the
//          other end lets it (a receiver that does not read holds back its sender)
// Steps stop once they have taken 100 ms. Then both ends close.
//
// The service's own connections (owner 2) go through a second proxy: the driver never holds their
// bytes, so that proxy's high water is its own buffer bound at work; the first proxy may also
// buffer what the driver held and handed on at once, itself within the bound of what is held.
//
// Findings (each aborts with a line that names it):
//   - a stuck flow: two seconds after both peers closed, the connection is still open, or its flow
//     is left in the engine or the driver, or a lookup for it is queued or in progress;
//   - the proxy took the connection but never opened its upstream side, or its counts do not say
//     what became of the connection (accepted, refused, upstream failed), or a second upstream
//     connection came for one client;
//   - a proxy held more for a receiver that does not read than its bounds and one read, or read
//     more than its bound and one read that the engine had not delivered yet (a client that
//     sends on while its lookup is pending);
//   - a proxy that listens on 127.0.0.1 and not on ::1 (redirected IPv6 connections would reach
//     whoever holds that port there);
//   - a descriptor left open (the proxy may keep one empty pipe per direction for reuse), or one of
//     this program's own sockets closed under it (a descriptor closed twice);
//   - a processor kept busy through at least 20 ms of pauses in which neither peer did anything
//     and the proxy moved no byte (a loop that spins; a proxy still working off a flood that came
//     before the pause moves bytes);
//   - a lookup that names another process or destination than the connection's, or whose parts lie
//     outside its request block;
//   - SIGPIPE (a write into a socket whose peer is gone, which ends a host not started by systemd).
// WEXO_PROXY_FUZZ_STATS prints what the inputs reached at exit, WEXO_PROXY_FUZZ_TRACE one line per
// input, WEXO_PROXY_FUZZ_STACKS every thread's stack (through gdb) with a stall.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/control_codes.h"
#include "common/records.h"
#include "common/service_calls.h"
#include "driver/filter/flow.h"
#include "driver/filter/stream_classify.h"
#include "driver/platform/driver_entry.h"
#include "fuzz/stall_stacks.h"
#include "os/core/process.h"
#include "os/core/sid.h"
#include "os/wfp/linux/tcp_proxy.h"
#include "os/wfp/wfp_engine.h"
#include "os/win32/handles.h"
#include "tools/pipeline/in_process_driver.h"

namespace {

using namespace wexo;
using Clock = std::chrono::steady_clock;

// Larger inputs are cut: the steps of one input have to stay within milliseconds.
constexpr size_t kMaxInput = 16 * 1024;
// Small, so that a receiver that does not read makes the proxy reach it.
constexpr size_t kBufferBound = 16 * 1024;
// What the proxy takes from a socket with one read.
constexpr size_t kOneRead = 64 * 1024;
// The harness's receive buffers and segments: small, so that a peer that does not read is soon
// felt. The segment size its sockets announce also keeps the proxy's send buffers toward them
// small (the kernel sizes them by segments), so that the proxy's own bound is reached after
// kilobytes rather than megabytes.
constexpr int kReceiveBuffer = 16 * 1024;
constexpr int kSegment = 1024;
// The steps of one input stop after this long: every stalled send and every pause costs
// milliseconds, and a long script of them would cost seconds.
constexpr int kStepBudgetMs = 100;
// How long a connection may take to end once both of its peers are gone.
constexpr int kSettleMs = 2'000;
// How long the proxy may take to open its upstream connection.
constexpr int kUpstreamMs = 2'000;
// Pauses of at least this much in one input tell an idle proxy from a spinning one.
constexpr int64_t kLongestIdleUs = 20'000;
// A drain ends this long after the last bytes came.
constexpr std::chrono::microseconds kQuiet{250};
// A send that makes no progress for this long is given up: its receiver holds it back.
constexpr int kStallMs = 3;
constexpr size_t kBulkUnit = 64 * 1024;
// What one side may send in bulk in one input.
constexpr size_t kBulkPerInput = 4 * 1024 * 1024;
// A process id the host's process table does not have.
constexpr uint64_t kUnknownProcess = 0xFFFF'FFF0;

constexpr char kRedirectText[] =
    "HTTP/1.1 302 Found\r\nLocation: http://blocked.example.test/\r\nContent-Length: 0\r\n\r\n";

enum class Verdict : uint8_t { Allow, Redirect, Block, Unreadable };
enum class Owner : uint8_t { Browser, None, Service, Unknown };
enum class Destination : uint8_t { Server, Refusing, Unknown };

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "proxy_accept_fuzz: %s\n", what);
    std::abort();
}

void OnSigpipe(int, siginfo_t* info, void* context) {
    char message[256];
    const int length = std::snprintf(
        message, sizeof message,
        "proxy_accept_fuzz: SIGPIPE (code %d, from pid %d, on thread %d, %s there): a write into "
        "a socket whose peer is gone raised the signal that ends a process which does not ignore "
        "it\n",
        info->si_code, static_cast<int>(info->si_pid), static_cast<int>(gettid()),
        sigismember(&static_cast<ucontext_t*>(context)->uc_sigmask, SIGPIPE) ? "blocked"
                                                                             : "not blocked");
    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, message, static_cast<size_t>(length));
    std::abort();
}

// The processor time of every thread of the process.
int64_t ProcessorUs(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000 + t.tv_nsec / 1'000;
}

// This process's processor time but the calling thread's: the proxy's, the driver's and the
// service's, not that of the script that measures them (many short pauses add up to the time the
// script itself spends between them).
int64_t OthersProcessorUs() {
    return ProcessorUs() - ProcessorUs(CLOCK_THREAD_CPUTIME_ID);
}

void DumpStacksIfAsked() {
    wexo::fuzz::DumpStacksIfAsked("WEXO_PROXY_FUZZ_STACKS");
}

int ElapsedMs(Clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

sockaddr_storage Loopback(int family, uint16_t port) {
    sockaddr_storage address{};
    if (family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        v6.sin6_port = htons(port);
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4.sin_port = htons(port);
    }
    return address;
}

socklen_t LengthOf(int family) {
    return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

void SetSmallBuffers(int fd) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &kSegment, sizeof kSegment);
}

// A socket bound to a loopback port of its own, listening or not (a port bound but not listened
// on refuses connections, and stays ours); -1 when the family has no loopback.
int BoundSocket(int family, bool listening, uint16_t* port) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    // Accepted sockets take their buffers from the listener, and the window and the segment size
    // are settled before the connection is.
    SetSmallBuffers(fd);
    sockaddr_storage address = Loopback(family, 0);
    socklen_t length = LengthOf(family);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (listening && listen(fd, 64) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                     : reinterpret_cast<sockaddr_in&>(address).sin_port);
    return fd;
}

// The client's socket, connected (the proxy's listener takes it before the proxy accepts it).
int ConnectClient(int family, uint16_t port) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    SetSmallBuffers(fd);
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_storage address = Loopback(family, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), LengthOf(family)) != 0) {
        const int error = errno;  // for the finding's message
        close(fd);
        errno = error;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Whether a socket of this process listens on [::1]:port.
bool ListensOnV6Loopback(uint16_t port) {
    std::vector<unsigned long> own;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        char target[64] = {};
        unsigned long inode = 0;
        if (readlink(entry.path().c_str(), target, sizeof target - 1) > 0 &&
            std::sscanf(target, "socket:[%lu]", &inode) == 1) {
            own.push_back(inode);
        }
    }
    FILE* table = std::fopen("/proc/net/tcp6", "r");
    if (table == nullptr) {
        return false;
    }
    bool found = false;
    char line[512];
    while (!found && std::fgets(line, sizeof line, table) != nullptr) {
        char local[40] = {};
        unsigned localPort = 0;
        unsigned state = 0;
        unsigned long inode = 0;
        if (std::sscanf(line,
                        " %*u: %32[0-9A-Fa-f]:%X %*32[0-9A-Fa-f]:%*X %X %*s %*s %*s %*s %*s %lu",
                        local, &localPort, &state, &inode) == 4) {
            found = std::string_view(local) == "00000000000000000000000001000000" &&
                    localPort == port && state == 0x0A &&
                    std::find(own.begin(), own.end(), inode) != own.end();
        }
    }
    std::fclose(table);
    return found;
}

// Descriptors of this process. Pipes whose two ends are both here are the proxy's (it keeps a few
// empty ones for reuse); a pipe with one end here leads to a child (the sanitizers' symbolizer).
struct DESCRIPTORS {
    size_t pipes = 0;   // pipes with both ends here
    size_t others = 0;  // descriptors that are not pipe ends
};

DESCRIPTORS CountDescriptors() {
    DESCRIPTORS counted;
    std::map<std::string, int> pipeEnds;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        char target[64];
        ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
        const std::string_view name(target, n > 0 ? static_cast<size_t>(n) : 0);
        if (name.starts_with("pipe:")) {
            ++pipeEnds[std::string(name)];
        } else {
            ++counted.others;
        }
    }
    for (const auto& [pipe, ends] : pipeEnds) {
        counted.pipes += ends >= 2 ? 1 : 0;
    }
    // The directory's own descriptor was counted while it was open.
    if (counted.others > 0) {
        --counted.others;
    }
    return counted;
}

// ================================ The service ================================

// What a lookup must name: the connection's process and where it meant to go.
struct EXPECTED {
    std::atomic<Verdict> verdict{Verdict::Allow};
    std::atomic<uint64_t> processId{0};
    std::atomic<int> family{AF_INET};
};

// The service's side of the service-call channel, as small as the driver allows: a system process
// that registers with an input event and answers every call at once. Lookups get the verdict the
// input chose; the rest are answered as a service without a handler answers them.
class SERVICE {
  public:
    explicit SERVICE(EXPECTED& expected) : expected_(expected) {}

    bool Start() {
        const uint32_t system[] = {18};
        process_ =
            os::CreateProcess(os::MakeSid(5, system), 0, "C:\\Program Files\\Wexo\\WexoSvc.exe");
        os::ScopedProcessContext context(process_->Id());
        device_ = os::CreateFileA(kDeviceOpenPath, os::GENERIC_READ | os::GENERIC_WRITE, 0,
                                  os::OPEN_EXISTING, os::FILE_ATTRIBUTE_NORMAL);
        if (device_ == os::INVALID_HANDLE_VALUE) {
            return false;
        }
        event_ = os::CreateEventA(false, false);
        QRN_REGISTER_REQUEST request{};
        request.inputEvent = event_;
        request.programFolder = reinterpret_cast<uint64_t>(kProgramFolder);
        request.programFolderLength = static_cast<uint16_t>(sizeof kProgramFolder - 2);
        QRN_REGISTER_REPLY reply{};
        uint32_t returned = 0;
        if (!os::DeviceIoControl(device_, QRN_REGISTER, &request, sizeof request, &reply,
                                 sizeof reply, &returned)) {
            return false;
        }
        thread_ = std::thread([this] { Serve(); });
        return true;
    }

    // The device closes with the handle, which ends the registration and fails what is left.
    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
        if (process_) {
            os::TerminateProcess(process_->Id());
            process_.reset();
        }
    }

    uint32_t ProcessId() const { return process_ ? process_->Id() : 0; }
    uint64_t Answered(Verdict verdict) const { return answered_[static_cast<int>(verdict)].load(); }

  private:
    static constexpr char16_t kProgramFolder[] = u"\\??\\C:\\Program Files\\Wexo";

    void Serve() {
        os::ScopedProcessContext context(process_->Id());
        while (!stop_.load()) {
            os::WaitForSingleObject(event_, 20);
            while (!stop_.load() && FetchAndAnswer()) {
            }
        }
    }

    // False when no call waits.
    bool FetchAndAnswer() {
        SC_INPUT_RESULTS results{};
        SC_INPUT_REQUEST input =
            MakeScInputRequest(results, buffer_.data(), static_cast<uint32_t>(buffer_.size()));
        uint32_t returned = 0;
        if (!os::DeviceIoControl(device_, QRN_SC_INPUT, &input, sizeof input, nullptr, 0,
                                 &returned)) {
            return false;
        }
        const uint64_t own = reinterpret_cast<uint64_t>(buffer_.data());
        const bool inBuffer =
            results.requestAddress >= own && results.requestAddress < own + buffer_.size();
        SC_OUTPUT_REQUEST output{results.callHandle, 0, 0, SC_STATUS_NO_HANDLER};
        POLICY_LOOKUP_ANSWER answer{};
        if (results.code == SC_CODE_POLICY_LOOKUP) {
            CheckLookup(results.requestAddress, results.requestSize);
            const Verdict verdict = expected_.verdict.load();
            answered_[static_cast<int>(verdict)].fetch_add(1);
            output.answer = reinterpret_cast<uint64_t>(&answer);
            output.answerSize = sizeof answer;
            switch (verdict) {
                case Verdict::Allow:
                    output.status = 1;  // anything but success lets the connection go on
                    break;
                case Verdict::Redirect:
                    answer.responseText = reinterpret_cast<uint64_t>(kRedirectText);
                    answer.responseTextLength = sizeof kRedirectText - 1;
                    output.status = 0;
                    break;
                case Verdict::Block:
                    output.status = 0;
                    break;
                case Verdict::Unreadable:
                    output.answerSize = sizeof answer / 2;  // shorter than its record
                    output.status = 0;
                    break;
            }
        }
        os::DeviceIoControl(device_, QRN_SC_OUTPUT, &output, sizeof output, nullptr, 0, &returned);
        if (!inBuffer && results.requestAddress != 0) {
            os::VirtualFree(reinterpret_cast<void*>(results.requestAddress));
        }
        return true;
    }

    // The request block holds its record and every part the record points at.
    void CheckLookup(uint64_t address, uint32_t size) const {
        if (address == 0 || size < sizeof(POLICY_LOOKUP_REQUEST)) {
            Finding("a policy lookup arrived without its record");
        }
        POLICY_LOOKUP_REQUEST record;
        std::memcpy(&record, reinterpret_cast<const void*>(address), sizeof record);
        const uint64_t end = address + size;
        auto inside = [&](uint64_t part, uint32_t length) {
            return length == 0 || (part >= address && part <= end && length <= end - part);
        };
        if (!inside(record.tlsSessionId, record.tlsSessionIdLength) ||
            !inside(record.host, record.hostLength) ||
            !inside(record.urlPath, record.urlPathLength) ||
            !inside(record.proxyPrefix, record.proxyPrefixLength) ||
            !inside(record.userSid, record.userSidLength) ||
            !inside(record.remoteAddress, record.remoteAddressLength)) {
            Finding("a part of a policy lookup lies outside its request block");
        }
        if (record.processId != expected_.processId.load()) {
            std::fprintf(stderr, "proxy_accept_fuzz: lookup for process %llu, expected %llu\n",
                         static_cast<unsigned long long>(record.processId),
                         static_cast<unsigned long long>(expected_.processId.load()));
            Finding("a policy lookup names another process than the connection's");
        }
        const bool v6 = expected_.family.load() == AF_INET6;
        uint8_t loopback[16] = {};
        if (v6) {
            loopback[15] = 1;
        } else {
            loopback[0] = 127;
            loopback[3] = 1;
        }
        const uint32_t length = v6 ? 16 : 4;
        if (record.remoteAddressLength != length ||
            std::memcmp(reinterpret_cast<const void*>(record.remoteAddress), loopback, length) !=
                0) {
            Finding("a policy lookup names another destination than the connection's");
        }
    }

    EXPECTED& expected_;
    std::shared_ptr<os::PROCESS> process_;
    os::HANDLE device_ = os::INVALID_HANDLE_VALUE;
    os::HANDLE event_ = 0;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kServiceRequestBufferSize);
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::atomic<uint64_t> answered_[4] = {};
};

// ================================ One input ================================

class SCRIPT {
  public:
    SCRIPT(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return offset_ >= size_; }
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    std::span<const uint8_t> Bytes(size_t n) {
        const size_t take = std::min(n, size_ - offset_);
        std::span<const uint8_t> out(data_ + offset_, take);
        offset_ += take;
        return out;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// One end of the proxied connection, as this program holds it.
struct END {
    int fd = -1;
    bool writeEnded = false;
    bool readEnded = false;
    uint64_t sent = 0;
    uint64_t bulk = 0;
    uint64_t received = 0;
    bool reset = false;      // this end was reset
    bool sentReset = false;  // this end reset the connection
    bool halfClosed = false;
    std::string head;  // the first bytes received, for the counts at exit

    bool CanWrite() const { return fd >= 0 && !writeEnded; }

    void Close() {
        if (fd >= 0) {
            // The kernel answers a close with unread data with a reset.
            int unread = 0;
            if (ioctl(fd, FIONREAD, &unread) == 0 && unread > 0) {
                sentReset = true;
            }
            close(fd);
            fd = -1;
        }
    }
    void Reset() {
        if (fd >= 0) {
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            close(fd);
            fd = -1;
            sentReset = true;
        }
    }
    void HalfClose() {
        if (CanWrite()) {
            shutdown(fd, SHUT_WR);
            writeEnded = true;
            halfClosed = true;
        }
    }

    // Sends what the other end takes; false when it stalled or the connection is gone.
    bool Send(const uint8_t* bytes, size_t length) {
        size_t done = 0;
        while (done < length && CanWrite()) {
            ssize_t n = send(fd, bytes + done, length - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                sent += static_cast<uint64_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, kStallMs) == 1) {
                    continue;
                }
                return false;
            }
            writeEnded = true;  // reset or shut down: nothing more goes this way
            return false;
        }
        return done == length;
    }

    // Reads what is there without waiting.
    void ReadAvailable() {
        static uint8_t buffer[64 * 1024];
        while (fd >= 0 && !readEnded) {
            ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                received += static_cast<uint64_t>(n);
                if (head.size() < 64) {
                    head.append(reinterpret_cast<const char*>(buffer),
                                std::min<size_t>(static_cast<size_t>(n), 64 - head.size()));
                }
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            }
            if (n < 0) {
                reset = errno == ECONNRESET;
                writeEnded = true;
            }
            readEnded = true;
        }
    }
};

// ================================ The harness ================================

class HARNESS {
  public:
    HARNESS() {
        struct sigaction action {};
        action.sa_sigaction = OnSigpipe;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGPIPE, &action, nullptr);
        if (!driver_.Start()) {
            Finding("the driver did not start");
        }
        if (!service_.Start()) {
            Finding("the service did not register with the driver");
        }
        browser_ = os::CreateProcess(os::UnixUserSid(static_cast<uint32_t>(getuid())), 1,
                                     "C:\\Program Files\\Browser\\browser.exe");
        for (int family : {AF_INET, AF_INET6}) {
            const int at = family == AF_INET6 ? 1 : 0;
            server_[at] = BoundSocket(family, true, &serverPort_[at]);
            refusing_[at] = BoundSocket(family, false, &refusingPort_[at]);
        }
        if (server_[0] < 0 || refusing_[0] < 0) {
            Finding("no loopback listener");
        }
        os::wfplinux::TCP_PROXY_OPTIONS options;
        options.maxBufferedPerDirection = kBufferBound;
        options.raiseDescriptorLimit = false;
        // Passed connections go to relay processes, as in the product: a few to a relay, so
        // that relays fill up and more start.
        options.relayPassedFlows = true;
        options.connectionsPerRelay = 4;
        // A blocked connection's later bytes are discarded, and a sender held back for them waits
        // this long before it is read to its end: well within the time a connection has to end.
        options.maxHeldMs = 500;
        options.destination = [this](int, os::wfplinux::PROXIED_CONNECTION* connection) {
            const int family = connection->client.ss_family == AF_INET6 ? AF_INET6 : AF_INET;
            const int at = family == AF_INET6 ? 1 : 0;
            switch (destination_.load()) {
                case Destination::Server:
                    connection->destination = Loopback(family, serverPort_[at]);
                    lastDestinationPort_.store(serverPort_[at]);
                    return true;
                case Destination::Refusing:
                    connection->destination = Loopback(family, refusingPort_[at]);
                    lastDestinationPort_.store(refusingPort_[at]);
                    return true;
                case Destination::Unknown:
                    break;
            }
            return false;
        };
        options.owner = [this](const os::wfplinux::PROXIED_CONNECTION&) {
            return owner_.load() != 0 ? std::optional<uint64_t>(owner_.load()) : std::nullopt;
        };
        proxyOptions_ = options;
        for (auto& proxy : proxies_) {
            proxy = StartProxy();
        }
        flowsAtRest_ = driver_.Driver().Filter().Flows().InUse();
        descriptors_ = CountDescriptors();
        for (int fd : {server_[0], server_[1], refusing_[0], refusing_[1]}) {
            struct stat identity {};
            if (fd >= 0 && fstat(fd, &identity) == 0) {
                ownSockets_.emplace_back(fd, identity.st_ino);
            }
        }
    }

    void ShutDown() {
        if (std::getenv("WEXO_PROXY_FUZZ_STATS") != nullptr) {
            for (const auto& proxy : proxies_) {
                const auto counts = proxy->Counts();
                std::fprintf(
                    stderr,
                    "proxy_accept_fuzz: %s proxy: %llu accepted, %llu refused, %llu "
                    "upstream failed, %llu spliced (%llu of them relayed, by %llu relays), "
                    "high water %llu buffered and %llu held\n",
                    &proxy == &proxies_[kJudged] ? "judging" : "service's",
                    static_cast<unsigned long long>(counts.accepted),
                    static_cast<unsigned long long>(counts.refused),
                    static_cast<unsigned long long>(counts.upstreamFailed),
                    static_cast<unsigned long long>(counts.spliced),
                    static_cast<unsigned long long>(counts.relayed),
                    static_cast<unsigned long long>(counts.relays),
                    static_cast<unsigned long long>(counts.bufferedHighWater),
                    static_cast<unsigned long long>(counts.heldHighWater));
            }
            std::fprintf(
                stderr,
                "proxy_accept_fuzz: %llu inputs; lookups answered: %llu allowed, %llu redirected, "
                "%llu blocked, %llu unreadable; clients saw %llu redirects and %llu resets; %llu "
                "stalled sends\n",
                static_cast<unsigned long long>(inputs_),
                static_cast<unsigned long long>(service_.Answered(Verdict::Allow)),
                static_cast<unsigned long long>(service_.Answered(Verdict::Redirect)),
                static_cast<unsigned long long>(service_.Answered(Verdict::Block)),
                static_cast<unsigned long long>(service_.Answered(Verdict::Unreadable)),
                static_cast<unsigned long long>(redirectsSeen_),
                static_cast<unsigned long long>(resetsSeen_),
                static_cast<unsigned long long>(stalls_));
        }
        for (auto& proxy : proxies_) {
            proxy->Stop();
        }
        service_.Stop();
        if (browser_) {
            os::TerminateProcess(browser_->Id());
        }
        driver_.Stop();
        for (int* fd : {&server_[0], &server_[1], &refusing_[0], &refusing_[1]}) {
            if (*fd >= 0) {
                close(*fd);
            }
        }
    }

    void RunOne(const uint8_t* data, size_t size) {
        ++inputs_;
        SCRIPT script(data, std::min(size, kMaxInput));
        const uint8_t mode = script.Byte();
        const auto verdict = static_cast<Verdict>(mode & 3);
        const auto owner = static_cast<Owner>((mode >> 2) & 3);
        const int family = (mode & 0x20) != 0 && server_[1] >= 0 ? AF_INET6 : AF_INET;
        const int at = family == AF_INET6 ? 1 : 0;
        const uint8_t where = mode >> 6;
        const Destination destination = where < 2    ? Destination::Server
                                        : where == 2 ? Destination::Refusing
                                                     : Destination::Unknown;
        uint64_t ownerId = 0;
        switch (owner) {
            case Owner::Browser:
                ownerId = browser_->Id();
                break;
            case Owner::None:
                break;
            case Owner::Service:
                ownerId = service_.ProcessId();
                break;
            case Owner::Unknown:
                ownerId = kUnknownProcess;
                break;
        }
        owner_.store(ownerId);
        destination_.store(destination);
        expected_.verdict.store(verdict);
        expected_.processId.store(ownerId);
        expected_.family.store(family);
        driver_.Driver().Filter().SetBlockOnFailure((mode & 0x10) != 0);

        // The service's own connections, which the driver never holds, go through a proxy of their
        // own: its high water is the proxy's alone.
        os::wfplinux::TCP_PROXY& proxy = *proxies_[owner == Owner::Service ? kOwn : kJudged];
        const auto before = proxy.Counts();
        const auto begun = Clock::now();
        const int64_t processorBegun = ProcessorUs();
        int64_t pausedUs = 0;
        int64_t busyWhilePausedUs = 0;
        END client;
        END server;
        client.fd = ConnectClient(family, proxy.Port());
        if (client.fd < 0 && destination != Destination::Server &&
            (errno == ECONNRESET || errno == ECONNABORTED)) {
            // A connection the proxy cannot pass on is reset as soon as it is taken, and on
            // loopback that reset can come before this thread is back from connect(), which then
            // reports it instead of the connection. It is the reset the client is owed: the input
            // goes on with a client that can no longer send or read.
            client.reset = true;
            client.readEnded = true;
            client.writeEnded = true;
        } else if (client.fd < 0) {
            const int error = errno;
            DumpStacksIfAsked();
            static char what[160];
            std::snprintf(
                what, sizeof what, "no connection to the proxy's port (%s, after %d ms): %s",
                family == AF_INET6 ? "IPv6" : "IPv4", ElapsedMs(begun), std::strerror(error));
            Finding(what);
        }
        if (destination == Destination::Server) {
            server.fd = AcceptUpstream(proxy, at);
        }

        while (!script.Empty() && ElapsedMs(begun) < kStepBudgetMs) {
            const uint8_t step = script.Byte();
            const uint8_t argument = step >> 4;
            uint8_t op = step & 0x0F;
            if (op >= 10) {
                op = static_cast<uint8_t>(op - 10);
            }
            END& self = op % 2 == 0 ? client : server;
            if (op >= 2 && op <= 5) {
                CheckBounds(owner, proxy, client, server);
            }
            switch (op) {
                case 0:
                case 1: {
                    size_t length = argument;
                    if (length == 0) {
                        length = script.Byte();
                        length |= static_cast<size_t>(script.Byte()) << 8;
                    }
                    auto bytes = script.Bytes(length);
                    if (!self.Send(bytes.data(), bytes.size()) && self.CanWrite()) {
                        ++stalls_;
                    }
                    break;
                }
                case 2:
                case 3:
                    self.HalfClose();
                    break;
                case 4:
                case 5:
                    self.Reset();
                    break;
                case 6:
                    Drain(client, server, std::chrono::microseconds(500 * argument));
                    break;
                case 7: {
                    const auto pauseBegun = Clock::now();
                    const int64_t busyBefore = OthersProcessorUs() + RelaysProcessorUs();
                    const uint64_t movedBefore = proxy.Counts().bytesMoved;
                    std::this_thread::sleep_for(std::chrono::microseconds(250 * argument));
                    const int64_t busy = OthersProcessorUs() + RelaysProcessorUs() - busyBefore;
                    if (proxy.Counts().bytesMoved == movedBefore) {
                        busyWhilePausedUs += busy;
                        pausedUs += std::chrono::duration_cast<std::chrono::microseconds>(
                                        Clock::now() - pauseBegun)
                                        .count();
                    }
                    break;
                }
                case 8:
                case 9: {
                    const uint8_t fill = script.Byte();
                    Bulk(op == 8 ? client : server, (argument + 1u) * kBulkUnit, fill);
                    break;
                }
            }
        }
        // While this program waits nobody sends: the proxy and the driver finish what came
        // before and then wait too. A processor kept busy all along is a loop that spins.
        if (pausedUs >= kLongestIdleUs && busyWhilePausedUs * 5 >= pausedUs * 4) {
            std::fprintf(
                stderr, "proxy_accept_fuzz: %lld us of processor time in %lld us of pauses\n",
                static_cast<long long>(busyWhilePausedUs), static_cast<long long>(pausedUs));
            DumpStacksIfAsked();
            Finding("a busy loop: a processor was kept busy while both peers were idle");
        }
        CheckBounds(owner, proxy, client, server);
        client.ReadAvailable();
        if (trace_) {
            std::fprintf(
                stderr,
                "proxy_accept_fuzz: mode %#x; client sent %llu (%llu in bulk), received "
                "%llu%s; server sent %llu (%llu in bulk), received %llu%s\n",
                mode, static_cast<unsigned long long>(client.sent),
                static_cast<unsigned long long>(client.bulk),
                static_cast<unsigned long long>(client.received), client.reset ? ", reset" : "",
                static_cast<unsigned long long>(server.sent),
                static_cast<unsigned long long>(server.bulk),
                static_cast<unsigned long long>(server.received), server.reset ? ", reset" : "");
        }
        if (client.head.starts_with("HTTP/1.1 302 Found\r\nLocation: http://blocked.")) {
            ++redirectsSeen_;
        }
        if (client.reset) {
            ++resetsSeen_;
        }
        client.Close();
        server.Close();

        const auto closed = Clock::now();
        Settle(proxy, before, destination, server.sentReset);
        if (trace_) {
            std::fprintf(
                stderr,
                "proxy_accept_fuzz: %d ms for the steps (%d ms of processor time), %d ms to "
                "settle\n",
                static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(closed - begun).count()),
                static_cast<int>((ProcessorUs() - processorBegun) / 1000), ElapsedMs(closed));
        }
        CheckBounds(owner, proxy, client, server);
        CheckDescriptors();
        CheckOwnSockets();
    }

  private:
    // The proxy's own connection to the destination, which it opens before anything is judged.
    int AcceptUpstream(os::wfplinux::TCP_PROXY& proxy, int at) {
        const auto start = Clock::now();
        for (;;) {
            int fd = accept4(server_[at], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                return fd;
            }
            const int left = kUpstreamMs - ElapsedMs(start);
            if (left <= 0) {
                const auto counts = proxy.Counts();
                std::fprintf(stderr,
                             "proxy_accept_fuzz: after %d ms the proxy has accepted %llu, refused "
                             "%llu, failed %llu upstream, holds %llu open\n",
                             kUpstreamMs, static_cast<unsigned long long>(counts.accepted),
                             static_cast<unsigned long long>(counts.refused),
                             static_cast<unsigned long long>(counts.upstreamFailed),
                             static_cast<unsigned long long>(counts.open));
                DumpStacksIfAsked();
                Finding("the proxy took a connection but never opened its upstream side");
            }
            pollfd p{server_[at], POLLIN, 0};
            poll(&p, 1, left);
        }
    }

    // Reads what reaches either side within the time, and stops sooner once what came has
    // stopped coming for a moment.
    static void Drain(END& client, END& server, std::chrono::microseconds wait) {
        const auto deadline = Clock::now() + wait;
        bool came = false;
        for (;;) {
            const uint64_t before =
                client.received + server.received + client.readEnded + server.readEnded;
            client.ReadAvailable();
            server.ReadAvailable();
            came =
                came ||
                client.received + server.received + client.readEnded + server.readEnded != before;
            pollfd p[2];
            nfds_t count = 0;
            for (END* end : {&client, &server}) {
                if (end->fd >= 0 && !end->readEnded) {
                    p[count++] = pollfd{end->fd, POLLIN, 0};
                }
            }
            auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (came) {
                left = std::min(left, kQuiet);
            }
            if (count == 0 || left.count() <= 0) {
                return;
            }
            const timespec timeout{0, static_cast<long>(left.count()) * 1000};
            if (ppoll(p, count, &timeout, nullptr) <= 0) {
                return;
            }
        }
    }

    void Bulk(END& end, size_t length, uint8_t fill) {
        static uint8_t chunk[kBulkUnit];
        length = std::min<size_t>(length, kBulkPerInput - std::min(kBulkPerInput, end.bulk));
        std::memset(chunk, fill, sizeof chunk);
        while (length > 0 && end.CanWrite()) {
            const size_t piece = std::min(length, sizeof chunk);
            const uint64_t sentBefore = end.sent;
            const bool whole = end.Send(chunk, piece);
            const uint64_t moved = end.sent - sentBefore;
            end.bulk += moved;
            length -= std::min<size_t>(length, moved);
            if (!whole) {
                ++stalls_;
                return;
            }
        }
    }

    // Once both of its peers have gone, the connection, its flow in the engine and in the driver,
    // and any lookup for it end, well within the bound, and the proxy's counts say once what became
    // of the connection (read again until they agree, within the same bound).
    void Settle(os::wfplinux::TCP_PROXY& proxy, const os::wfplinux::TCP_PROXY_COUNTS& before,
                Destination destination, bool serverReset) {
        auto& filter = driver_.Driver().Filter();
        auto& engine = os::FilterEngine::Current();
        const auto start = Clock::now();
        os::wfplinux::TCP_PROXY_COUNTS now;
        uint64_t refused = 0;
        uint64_t failed = 0;
        uint64_t accepted = 0;
        uint64_t gone = 0;
        for (;;) {
            now = proxy.Counts();
            refused = now.refused - before.refused;
            failed = now.upstreamFailed - before.upstreamFailed;
            accepted = now.accepted - before.accepted;
            // A client that resets while the upstream connect is still under way is gone first.
            gone = now.clientGone - before.clientGone;
            bool counted = false;
            switch (destination) {
                case Destination::Server:
                    // A server that resets before the flow opens has failed the connect.
                    counted =
                        accepted == 1 && refused == 0 && (failed == 0 || serverReset) && gone <= 1;
                    break;
                case Destination::Refusing:
                    counted = refused == 0 && failed + gone == 1 && accepted <= 1;
                    break;
                case Destination::Unknown:
                    counted = refused == 1 && failed == 0 && accepted == 0;
                    break;
            }
            const bool ended = now.open == before.open &&
                               now.accepted + now.refused + now.upstreamFailed >
                                   before.accepted + before.refused + before.upstreamFailed &&
                               filter.Flows().InUse() == flowsAtRest_ && engine.FlowCount() == 0 &&
                               filter.QueuedCount() == 0 && filter.InProgressCount() == 0;
            if (ended && counted) {
                break;
            }
            if (ElapsedMs(start) > kSettleMs && !ended) {
                std::fprintf(stderr,
                             "proxy_accept_fuzz: %d ms after both peers closed: %llu connections "
                             "open (%llu before), %zu driver flows (%zu at rest), %zu engine "
                             "flows, %zu lookups queued, %zu in progress\n",
                             kSettleMs, static_cast<unsigned long long>(now.open),
                             static_cast<unsigned long long>(before.open), filter.Flows().InUse(),
                             flowsAtRest_, engine.FlowCount(), filter.QueuedCount(),
                             filter.InProgressCount());
                for (drv::FLOW* flow : filter.Flows().ReferenceAll()) {
                    {
                        std::lock_guard guard(filter.FlowLock());
                        std::fprintf(stderr,
                                     "proxy_accept_fuzz: driver flow FC#%u in state %u, client "
                                     "FIN %s, server FIN %s, %u bytes held\n",
                                     flow->flowNumber, flow->state.load(),
                                     flow->clientFinSeen != 0 ? "held" : "not held",
                                     flow->serverFinSeen != 0 ? "held" : "not held",
                                     flow->heldBytes);
                    }
                    drv::ReleaseFlow(flow);
                }
                DumpStacksIfAsked();
                Finding("a stuck flow: the connection did not end after its peers had gone");
            }
            if (ElapsedMs(start) > kSettleMs) {
                std::fprintf(stderr,
                             "proxy_accept_fuzz: counts after one connection: %llu accepted, %llu "
                             "refused, %llu upstream failed, %llu gone first; the proxy was last "
                             "sent to port %u "
                             "(the server's %u/%u, the refusing %u/%u)\n",
                             static_cast<unsigned long long>(accepted),
                             static_cast<unsigned long long>(refused),
                             static_cast<unsigned long long>(failed),
                             static_cast<unsigned long long>(gone), lastDestinationPort_.load(),
                             serverPort_[0], serverPort_[1], refusingPort_[0], refusingPort_[1]);
                Finding("the proxy's counts do not tell what became of the connection");
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        // Nothing of this connection may reach the next one's server (and nothing of a connection
        // meant for elsewhere reaches it at all).
        for (int fd : server_) {
            if (fd < 0) {
                continue;
            }
            int late = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (late >= 0) {
                close(late);
                std::fprintf(stderr,
                             "proxy_accept_fuzz: an upstream connection came to this program's "
                             "server after the input; the destination was %s\n",
                             destination == Destination::Server     ? "the server"
                             : destination == Destination::Refusing ? "the refusing port"
                                                                    : "unknown");
                Finding("an upstream connection the input did not account for");
            }
        }
    }

    // Past its bound a direction holds at most one more read, and the engine at most one more
    // read than the proxy's bound of what is held. The first proxy may buffer, on top of its own
    // bound, what the driver held and handed on at once.
    void CheckBounds(Owner owner, const os::wfplinux::TCP_PROXY& proxy, const END& client,
                     const END& server) {
        const auto counts = proxy.Counts();
        if (trace_ && counts.bufferedHighWater > highWaterSeen_) {
            std::fprintf(stderr, "proxy_accept_fuzz: high water rose to %llu\n",
                         static_cast<unsigned long long>(counts.bufferedHighWater));
            highWaterSeen_ = counts.bufferedHighWater;
        }
        const size_t heldBound = proxyOptions_.maxHeldPerDirection;
        const size_t bufferBound =
            kBufferBound + kOneRead + (owner == Owner::Service ? 0 : heldBound + kOneRead);
        const bool buffered = counts.bufferedHighWater > bufferBound;
        if (!buffered && counts.heldHighWater <= heldBound + kOneRead) {
            return;
        }
        std::fprintf(stderr,
                     "proxy_accept_fuzz: a direction buffered %llu bytes (bound %zu) and left "
                     "%llu undelivered (bound %zu); the client sent %llu (%llu in bulk), the "
                     "server %llu (%llu in bulk)\n",
                     static_cast<unsigned long long>(counts.bufferedHighWater), bufferBound,
                     static_cast<unsigned long long>(counts.heldHighWater), heldBound,
                     static_cast<unsigned long long>(client.sent),
                     static_cast<unsigned long long>(client.bulk),
                     static_cast<unsigned long long>(server.sent),
                     static_cast<unsigned long long>(server.bulk));
        Finding(buffered ? "the proxy buffered past its bound for a receiver that does not read"
                         : "the proxy read past its bound while the engine held the bytes");
    }

    // Every descriptor of the connection is closed; the proxy may keep the pipes one connection
    // took (one per direction) for the next.
    void CheckDescriptors() {
        // A relay started for a passed connection keeps its socket here for the next ones.
        auto count = [this] {
            DESCRIPTORS counted = CountDescriptors();
            size_t relays = 0;
            for (const auto& proxy : proxies_) {
                relays += proxy->RelayProcesses().size();
            }
            counted.others -= std::min(counted.others, relays);
            return counted;
        };
        DESCRIPTORS now = count();
        for (int i = 0; i < 100 && now.others > descriptors_.others; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            now = count();
        }
        if (now.others > descriptors_.others || now.pipes > descriptors_.pipes + 2) {
            std::fprintf(stderr,
                         "proxy_accept_fuzz: %zu descriptors and %zu pipes after the input, %zu "
                         "and %zu at rest\n",
                         now.others, now.pipes, descriptors_.others, descriptors_.pipes);
            Finding("a descriptor of a finished connection was left open");
        }
        descriptors_.others = now.others;
    }

    // The processor time of the proxies' relay processes, which move the passed connections.
    int64_t RelaysProcessorUs() const {
        int64_t total = 0;
        for (const auto& proxy : proxies_) {
            for (pid_t relay : proxy->RelayProcesses()) {
                std::ifstream schedstat("/proc/" + std::to_string(relay) + "/schedstat");
                long long onProcessorNs = 0;
                if (schedstat >> onProcessorNs) {
                    total += onProcessorNs / 1000;
                }
            }
        }
        return total;
    }

    // The proxy takes a port on 127.0.0.1 and the same port on ::1, where it may already be taken
    // (by this program's own sockets, say): it must then take another, never serve IPv4 alone.
    std::unique_ptr<os::wfplinux::TCP_PROXY> StartProxy() {
        auto proxy =
            std::make_unique<os::wfplinux::TCP_PROXY>(os::FilterEngine::Current(), proxyOptions_);
        std::string why;
        if (proxy->Start(&why) != 0) {
            std::fprintf(stderr, "proxy_accept_fuzz: %s\n", why.c_str());
            Finding("the proxy did not start");
        }
        if (server_[1] >= 0 && !ListensOnV6Loopback(proxy->Port())) {
            Finding("the proxy listens on 127.0.0.1 and not on ::1");
        }
        return proxy;
    }

    // A descriptor closed twice closes whatever took its number in between: this program's own
    // sockets are the ones that live longest.
    void CheckOwnSockets() const {
        for (const auto& [fd, inode] : ownSockets_) {
            struct stat identity {};
            if (fstat(fd, &identity) != 0 || identity.st_ino != inode) {
                std::fprintf(
                    stderr, "proxy_accept_fuzz: descriptor %d is no longer this program's socket\n",
                    fd);
                Finding("a descriptor the proxy did not own was closed (closed twice)");
            }
        }
    }

    pipeline::IN_PROCESS_DRIVER driver_;
    EXPECTED expected_;
    SERVICE service_{expected_};
    std::shared_ptr<os::PROCESS> browser_;
    int server_[2] = {-1, -1};
    uint16_t serverPort_[2] = {0, 0};
    int refusing_[2] = {-1, -1};
    uint16_t refusingPort_[2] = {0, 0};
    std::atomic<Destination> destination_{Destination::Server};
    std::atomic<uint64_t> owner_{0};
    std::atomic<uint16_t> lastDestinationPort_{0};
    static constexpr int kJudged = 0;
    static constexpr int kOwn = 1;
    os::wfplinux::TCP_PROXY_OPTIONS proxyOptions_;
    std::unique_ptr<os::wfplinux::TCP_PROXY> proxies_[2];
    size_t flowsAtRest_ = 0;
    DESCRIPTORS descriptors_;
    // This program's listeners and refusing ports, as descriptor and inode.
    std::vector<std::pair<int, ino_t>> ownSockets_;
    // One line per input on stderr, for looking into a finding.
    const bool trace_ = std::getenv("WEXO_PROXY_FUZZ_TRACE") != nullptr;
    uint64_t inputs_ = 0;
    uint64_t highWaterSeen_ = 0;
    uint64_t redirectsSeen_ = 0;
    uint64_t resetsSeen_ = 0;
    uint64_t stalls_ = 0;
};

HARNESS* theHarness = nullptr;

void ShutDownHarness() {
    if (theHarness != nullptr) {
        theHarness->ShutDown();
    }
}

HARNESS& TheHarness() {
    if (theHarness == nullptr) {
        theHarness = new HARNESS();
        std::atexit(ShutDownHarness);
    }
    return *theHarness;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TheHarness().RunOne(data, size);
    return 0;
}
