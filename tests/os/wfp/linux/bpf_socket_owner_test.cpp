#include "os/wfp/linux/bpf_socket_owner.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/core/debugger.h"
#include "os/wfp/linux/socket_owner.h"
#include "tests/os/wfp/linux/socket_util.h"
#include "tests/os/wfp/linux/test_cgroup.h"

namespace {

using os::BPF_SOCKET_OWNERS;
using wexo::test::Address;
using wexo::test::TEST_CGROUP;
using wexo::test::UNIQUE_FD;

constexpr uid_t kNobody = 65534;
constexpr uint16_t kListenPort = 40080;
constexpr uint16_t kDnsPort = 53;

// What a child does: in a network namespace of its own (loopback only), as nobody, one TCP
// connect to a listener of its own or one UDP datagram to port 53, after `earlier` connects it
// closed again.
struct PLAN {
    int type = SOCK_STREAM;
    const char* loopback = "127.0.0.1";
    bool connectDatagram = false;  // connect() then send(), as glibc's resolver does
    uint16_t localPort = 0;        // 0: the kernel's choice
    int earlier = 0;
};

// What it tells back once its socket is open.
struct REPORT {
    int error = 0;  // the errno of the step that failed, or 0
    uint64_t netns = 0;
    sockaddr_storage local{};
    sockaddr_storage remote{};
};

bool LoopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    memcpy(request.ifr_name, "lo", 3);
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        ::close(fd);
    return up;
}

// Where a plan connects and sends from and to, worked out before the fork.
struct ENDS {
    sockaddr_storage listenAt;
    sockaddr_storage dns;
    sockaddr_storage from;
    sockaddr_storage loopback;  // port 0
};

ENDS EndsOf(const PLAN& plan) {
    return ENDS{Address(plan.loopback, kListenPort), Address(plan.loopback, kDnsPort),
                Address(plan.loopback, plan.localPort), Address(plan.loopback, 0)};
}

// Runs in the forked child: system calls only, no allocation.
int Connect(const PLAN& plan, const ENDS& ends, REPORT* report) {
    const sockaddr_storage& listenAt = ends.listenAt;
    const sockaddr_storage& dns = ends.dns;
    const socklen_t size = wexo::test::AddressSize(listenAt);
    const int family = listenAt.ss_family;
    int listener = -1;
    if (plan.type == SOCK_STREAM) {
        listener = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr*>(&listenAt), size) ||
            ::listen(listener, 512) != 0)
            return errno;
    }
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0)
        return errno;
    int fd = -1;
    for (int round = 0; round <= plan.earlier; ++round) {
        if (fd >= 0)
            ::close(fd);
        fd = ::socket(family, plan.type | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return errno;
        if (plan.localPort != 0) {
            const int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&ends.from), size) != 0)
                return errno;
        }
        if (plan.type == SOCK_STREAM) {
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&listenAt), size) != 0)
                return errno;
            const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (round < plan.earlier && accepted >= 0)
                ::close(accepted);
        } else if (plan.connectDatagram) {
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&dns), size) != 0 ||
                ::send(fd, "?", 1, 0) != 1)
                return errno;
        } else if (::sendto(fd, "?", 1, 0, reinterpret_cast<const sockaddr*>(&dns), size) != 1) {
            return errno;
        }
    }
    socklen_t length = sizeof(report->local);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&report->local), &length);
    report->remote = plan.type == SOCK_STREAM ? listenAt : dns;
    if (plan.type == SOCK_DGRAM && !plan.connectDatagram) {
        // Bound to the wildcard address: its datagram to loopback leaves from loopback. (The
        // port sits at the same place in both families' addresses.)
        const in_port_t port = reinterpret_cast<const sockaddr_in&>(report->local).sin_port;
        report->local = ends.loopback;
        reinterpret_cast<sockaddr_in&>(report->local).sin_port = port;
    }
    report->netns = os::NetnsCookieOf(fd);
    return 0;
}

// A forked child of this process (so in the test's cgroup) with a network namespace of its own.
// It makes the namespace, waits for Go, carries out the plan, reports, and holds its sockets
// until it is killed, at the latest with this process.
class CHILD {
  public:
    explicit CHILD(const PLAN& plan) {
        const ENDS ends = EndsOf(plan);
        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            REPORT report;
            char go = 0;
            if (::unshare(CLONE_NEWNET) != 0 || !LoopbackUp())
                report.error = errno;
            if (::write(fromChild[1], &go, 1) != 1 || ::read(toChild[0], &go, 1) != 1)
                ::_exit(1);
            if (report.error == 0)
                report.error = Connect(plan, ends, &report);
            if (::write(fromChild[1], &report, sizeof(report)) != sizeof(report))
                ::_exit(1);
            ::pause();  // until it is killed
            ::_exit(0);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        control_ = UNIQUE_FD(toChild[1]);
        answers_ = UNIQUE_FD(fromChild[0]);
        char ready = 0;
        if (pid_ < 0 || !wexo::test::Readable(answers_.Get(), 5000) ||
            ::read(answers_.Get(), &ready, 1) != 1)
            pid_ = -1;
    }
    ~CHILD() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }

    pid_t Pid() const { return pid_; }

    // Runs `work` on a thread inside the child's namespace.
    void InNamespace(const std::function<void()>& work) const {
        std::thread worker([&] {
            const std::string path = "/proc/" + std::to_string(pid_) + "/ns/net";
            UNIQUE_FD ns(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_TRUE(ns.Valid());
            ASSERT_EQ(::setns(ns.Get(), CLONE_NEWNET), 0);
            work();
        });
        worker.join();
    }

    // Lets it carry out its plan; its report.
    REPORT Go() {
        REPORT report;
        report.error = EPIPE;
        const char go = 1;
        if (pid_ <= 0 || ::write(control_.Get(), &go, 1) != 1 ||
            !wexo::test::Readable(answers_.Get(), 5000) ||
            ::read(answers_.Get(), &report, sizeof(report)) != sizeof(report))
            report.error = EPIPE;
        return report;
    }

  private:
    pid_t pid_ = -1;
    UNIQUE_FD control_;
    UNIQUE_FD answers_;
};

// The test's own cgroup with this process in it, and the records kept for it.
class BpfSocketOwners : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        cgroup = TEST_CGROUP::Enter(&why);
        if (cgroup == nullptr)
            GTEST_SKIP() << why;
        options.cgroup = cgroup->Path();
        BPF_SOCKET_OWNERS probe(options);
        if (!probe.Ready())
            GTEST_SKIP() << probe.WhyNot();
    }

    void ExpectChild(const os::SOCKET_OWNER& owner, pid_t child) const {
        EXPECT_EQ(owner.pid, child);
        EXPECT_EQ(owner.tid, child);
        EXPECT_EQ(owner.uid, kNobody);
        EXPECT_EQ(owner.startTime, os::ProcessStartTime(child));
        EXPECT_GT(owner.startTime, 0u);
        EXPECT_EQ(owner.cgroup, cgroup->Id());
    }

    std::unique_ptr<TEST_CGROUP> cgroup;
    os::BPF_SOCKET_OWNERS_OPTIONS options;
};

TEST_F(BpfSocketOwners, AChildsConnectOrSendIsRecordedWithItsProcess) {
    const struct {
        const char* name;
        PLAN plan;
        int protocol;
    } cases[] = {
        {"TCP over IPv4", {SOCK_STREAM, "127.0.0.1"}, IPPROTO_TCP},
        {"TCP over IPv6", {SOCK_STREAM, "::1"}, IPPROTO_TCP},
        {"TCP from a dual-stack socket to IPv4", {SOCK_STREAM, "::ffff:127.0.0.1"}, IPPROTO_TCP},
        {"UDP sent to an address", {SOCK_DGRAM, "127.0.0.1"}, IPPROTO_UDP},
        {"UDP connected", {SOCK_DGRAM, "::1", true}, IPPROTO_UDP},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        CHILD child(test.plan);
        ASSERT_GT(child.Pid(), 0);
        std::unique_ptr<os::SOCKET_OWNERS> owners;
        child.InNamespace([&] {
            owners = std::make_unique<os::SOCKET_OWNERS>(os::SOCKET_OWNERS_OPTIONS{options});
        });
        ASSERT_TRUE(owners->RecordsConnects());
        const REPORT report = child.Go();
        ASSERT_EQ(report.error, 0) << strerror(report.error);
        const auto owner = owners->Find(report.local, report.remote, test.protocol);
        ASSERT_TRUE(owner.has_value());
        ExpectChild(*owner, child.Pid());
        EXPECT_EQ(owners->Scans(), 0u);
    }
}

// A socket made here and connected by a child that exits at once: the record names the child,
// and the process that holds the socket now is this one.
TEST_F(BpfSocketOwners, TheHolderOfASocketWhoseConnectorEndedIsTheProcessThatKeptIt) {
    os::SOCKET_OWNERS owners(os::SOCKET_OWNERS_OPTIONS{options});
    ASSERT_TRUE(owners.RecordsConnects());
    UNIQUE_FD listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage at = Address("127.0.0.1", 0);
    socklen_t size = sizeof(sockaddr_in);
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&at), size), 0);
    ASSERT_EQ(::listen(listener.Get(), 4), 0);
    ASSERT_EQ(::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&at), &size), 0);
    UNIQUE_FD kept(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(::connect(kept.Get(), reinterpret_cast<const sockaddr*>(&at), size) == 0 ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    sockaddr_storage local{};
    size = sizeof local;
    ASSERT_EQ(::getsockname(kept.Get(), reinterpret_cast<sockaddr*>(&local), &size), 0);
    const auto recorded = owners.Find(local, at);
    ASSERT_TRUE(recorded.has_value());
    EXPECT_EQ(recorded->pid, child);
    const auto holder = owners.FindHolder(local, at);
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(holder->pid, ::getpid());
}

TEST_F(BpfSocketOwners, TheSameTupleInTwoNamespacesKeepsEachOwner) {
    BPF_SOCKET_OWNERS records(options);
    ASSERT_TRUE(records.Ready());
    PLAN plan;
    plan.localPort = 40001;
    CHILD first(plan);
    CHILD second(plan);
    ASSERT_GT(first.Pid(), 0);
    ASSERT_GT(second.Pid(), 0);
    const REPORT one = first.Go();
    const REPORT other = second.Go();
    ASSERT_EQ(one.error, 0) << strerror(one.error);
    ASSERT_EQ(other.error, 0) << strerror(other.error);
    ASSERT_EQ(wexo::test::Text(one.local), wexo::test::Text(other.local));
    ASSERT_NE(one.netns, other.netns);
    for (const auto* child : {&one, &other}) {
        const auto owner = records.FindStream(child->netns, child->local, child->remote);
        ASSERT_TRUE(owner.has_value());
        EXPECT_EQ(owner->pid, child == &one ? first.Pid() : second.Pid());
    }
    // The namespace this process is in saw no such connection.
    UNIQUE_FD here(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    EXPECT_FALSE(records.FindStream(os::NetnsCookieOf(here.Get()), one.local, one.remote));
}

TEST_F(BpfSocketOwners, AFullMapOfOlderConnectsStillAnswersTheNewest) {
    options.maxStreams = 64;
    BPF_SOCKET_OWNERS records(options);
    ASSERT_TRUE(records.Ready());
    PLAN plan;
    plan.earlier = 300;
    CHILD child(plan);
    ASSERT_GT(child.Pid(), 0);
    const REPORT report = child.Go();
    ASSERT_EQ(report.error, 0) << strerror(report.error);
    const auto owner = records.FindStream(report.netns, report.local, report.remote);
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->pid, child.Pid());
}

TEST_F(BpfSocketOwners, WithTheRecordsOffTheWalkFindsTheSameOwner) {
    const struct {
        const char* name;
        bool enabled;
        const char* environment;
    } cases[] = {
        {"off by the options", false, nullptr},
        {"off by WEXO_BPF_OWNER=0", true, "0"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        CHILD child(PLAN{});
        ASSERT_GT(child.Pid(), 0);
        std::unique_ptr<os::SOCKET_OWNERS> recorded;
        std::unique_ptr<os::SOCKET_OWNERS> walked;
        std::vector<std::string> lines;
        child.InNamespace([&] {
            recorded = std::make_unique<os::SOCKET_OWNERS>(os::SOCKET_OWNERS_OPTIONS{options});
            os::SOCKET_OWNERS_OPTIONS off{options};
            off.records.enabled = test.enabled;
            if (test.environment != nullptr)
                ::setenv("WEXO_BPF_OWNER", test.environment, 1);
            os::ScopedDebuggerListener listener(
                [&](uint32_t, uint32_t, std::string_view text) { lines.emplace_back(text); });
            walked = std::make_unique<os::SOCKET_OWNERS>(off);
            ::unsetenv("WEXO_BPF_OWNER");
        });
        ASSERT_TRUE(recorded->RecordsConnects());
        ASSERT_FALSE(walked->RecordsConnects());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("switched off"), std::string::npos) << lines[0];
        const REPORT report = child.Go();
        ASSERT_EQ(report.error, 0) << strerror(report.error);
        const auto fromRecord = recorded->Find(report.local, report.remote);
        const auto fromWalk = walked->Find(report.local, report.remote);
        ASSERT_TRUE(fromRecord.has_value());
        ASSERT_TRUE(fromWalk.has_value());
        ExpectChild(*fromRecord, child.Pid());
        EXPECT_EQ(fromWalk->pid, fromRecord->pid);
        EXPECT_EQ(fromWalk->uid, fromRecord->uid);
        EXPECT_EQ(fromWalk->startTime, fromRecord->startTime);
        EXPECT_EQ(recorded->Scans(), 0u);
        EXPECT_EQ(walked->Scans(), 1u);
    }
}

}  // namespace
