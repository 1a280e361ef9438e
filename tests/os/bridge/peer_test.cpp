#include "os/bridge/peer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>

#include "os/core/sid.h"
#include "os/core/status.h"
#include "tests/os/bridge/bridge_fixture.h"
#include "tools/peers/child_process.h"

namespace {

using namespace os::bridge;
using os::UnixUserSid;
using wexo::peers::CHILD_PROCESS;
using wexo::test::PollUntil;
using wexo::test::TEMP_FOLDER;

// ---- Runtime folder ----

TEST(RuntimeFolder, EnvironmentOverridesTheDefault) {
    const char* saved = std::getenv(kRuntimeDirectoryVariable);
    std::string previous = saved != nullptr ? saved : "";
    ::unsetenv(kRuntimeDirectoryVariable);
    EXPECT_EQ(RuntimeDirectory(), "/run/wexo");
    ::setenv(kRuntimeDirectoryVariable, "", 1);
    EXPECT_EQ(RuntimeDirectory(), "/run/wexo");
    ::setenv(kRuntimeDirectoryVariable, "/tmp/elsewhere", 1);
    EXPECT_EQ(RuntimeDirectory(), "/tmp/elsewhere");
    if (saved != nullptr)
        ::setenv(kRuntimeDirectoryVariable, previous.c_str(), 1);
    else
        ::unsetenv(kRuntimeDirectoryVariable);
}

TEST(RuntimeFolder, MissingFolderIsCreatedOwnerWritableOnly) {
    TEMP_FOLDER temp;
    const std::string path = temp.Path() + "/run";
    ASSERT_EQ(PrepareRuntimeDirectory(path, nullptr), os::ERROR_SUCCESS);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_EQ(info.st_uid, ::geteuid());
}

TEST(RuntimeFolder, UnsafeFoldersAreRefused) {
    TEMP_FOLDER temp;
    std::string why;
    const std::string open = temp.Path() + "/open";
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ::chmod(open.c_str(), 0777);
    EXPECT_EQ(PrepareRuntimeDirectory(open, &why), os::ERROR_ACCESS_DENIED);
    EXPECT_NE(why.find("writable by others"), std::string::npos) << why;

    ::chmod(open.c_str(), 0775);
    EXPECT_EQ(PrepareRuntimeDirectory(open, &why), os::ERROR_ACCESS_DENIED);

    const std::string link = temp.Path() + "/link";
    const std::string safe = temp.Path() + "/safe";
    ASSERT_EQ(::mkdir(safe.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(safe.c_str(), link.c_str()), 0);
    EXPECT_EQ(PrepareRuntimeDirectory(link, &why), os::ERROR_ACCESS_DENIED);
    EXPECT_NE(why.find("not a folder"), std::string::npos) << why;

    const std::string file = temp.Path() + "/file";
    std::fclose(std::fopen(file.c_str(), "w"));
    EXPECT_EQ(PrepareRuntimeDirectory(file, &why), os::ERROR_ACCESS_DENIED);

    EXPECT_EQ(PrepareRuntimeDirectory(temp.Path() + "/no/such/parent", &why),
              os::ERROR_PATH_NOT_FOUND);
}

TEST(RuntimeFolder, FolderOfAnotherUserIsRefused) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the folder away";
    TEMP_FOLDER temp;
    const std::string theirs = temp.Path() + "/theirs";
    ASSERT_EQ(::mkdir(theirs.c_str(), 0755), 0);
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    std::string why;
    EXPECT_EQ(PrepareRuntimeDirectory(theirs, &why), os::ERROR_ACCESS_DENIED);
    EXPECT_NE(why.find("65534"), std::string::npos) << why;
}

// A folder above the runtime folder that others may write lets them rename it away and put one
// of their own in its place, with a socket of theirs; unless it is sticky, as /tmp is.
TEST(RuntimeFolder, AFolderOthersCouldReplaceFromAboveIsRefused) {
    TEMP_FOLDER temp;
    const std::string open = temp.Path() + "/open";
    const std::string safe = temp.Path() + "/safe";
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(safe.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(safe.c_str(), (open + "/link").c_str()), 0);
    ASSERT_EQ(::symlink(open.c_str(), (safe + "/into-open").c_str()), 0);
    for (const std::string& path : {open + "/run", open + "/link/run", safe + "/into-open/run"}) {
        std::string why;
        EXPECT_EQ(PrepareRuntimeDirectory(path, &why), os::ERROR_ACCESS_DENIED) << path;
        EXPECT_NE(why.find("above the runtime folder"), std::string::npos) << why;
        struct stat info {};
        EXPECT_NE(::lstat(path.c_str(), &info), 0) << "nothing was made in it";
    }
    ASSERT_EQ(::chmod(open.c_str(), 01777), 0);
    EXPECT_EQ(PrepareRuntimeDirectory(open + "/run", nullptr), os::ERROR_SUCCESS);
    EXPECT_EQ(PrepareRuntimeDirectory(safe + "/run", nullptr), os::ERROR_SUCCESS);
}

// ---- Listening socket ----

// No other user may remove, rename or replace the socket or its folder, and anyone may connect.
TEST(SocketListener, OtherUsersCannotRemoveOrReplaceTheSocket) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    TEMP_FOLDER temp;
    ASSERT_EQ(::chmod(temp.Path().c_str(), 0755), 0);
    uint32_t error = 0;
    auto listener = SOCKET_LISTENER::Listen(temp.Path(), "guarded.sock", &error, nullptr);
    ASSERT_NE(listener, nullptr);
    const std::string path = listener->Path();
    struct stat before {};
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);
    EXPECT_TRUE(S_ISSOCK(before.st_mode));
    EXPECT_EQ(before.st_uid, 0u);
    EXPECT_EQ(before.st_mode & 07777, 0666u);
    const std::string folder = temp.Path();
    const std::string script = "rm -f '" + path + "'; mv '" + path + "' '" + path +
                               ".moved'; ln -sf /tmp '" + path + "'; touch '" + folder +
                               "/evil.sock'; mv '" + folder + "' '" + folder + ".moved'; rmdir '" +
                               folder + "'";
    auto child = wexo::peers::CHILD_PROCESS::Start(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh", "-c", script}, {});
    ASSERT_NE(child, nullptr);
    child->Wait(std::chrono::milliseconds(5000));
    struct stat after {};
    ASSERT_EQ(::lstat(path.c_str(), &after), 0) << child->Output();
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_NE(::access((folder + "/evil.sock").c_str(), F_OK), 0);
    UNIQUE_FD connection;
    EXPECT_EQ(ConnectSocket(path, &connection), os::ERROR_SUCCESS) << "and anyone may connect";
}

TEST(SocketListener, StaleSocketIsReplacedLiveOneRefused) {
    TEMP_FOLDER temp;
    uint32_t error = 0;
    std::string why;
    {
        // A listener whose file stays behind, as after a crash.
        auto first = SOCKET_LISTENER::Listen(temp.Path(), "x.sock", &error, &why);
        ASSERT_NE(first, nullptr) << why;
        auto second = SOCKET_LISTENER::Listen(temp.Path(), "x.sock", &error, &why);
        EXPECT_EQ(second, nullptr);
        EXPECT_EQ(error, os::ERROR_ALREADY_EXISTS);
    }
    // Leave a dead socket file in place: bind one and close it without removing the file.
    {
        UNIQUE_FD fd(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = temp.Path() + "/x.sock";
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    auto listener = SOCKET_LISTENER::Listen(temp.Path(), "x.sock", &error, &why);
    ASSERT_NE(listener, nullptr) << why;
    struct stat info {};
    ASSERT_EQ(::stat(listener->Path().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0666u);
    UNIQUE_FD client;
    EXPECT_EQ(ConnectSocket(listener->Path(), &client), os::ERROR_SUCCESS);
    const std::string path = listener->Path();
    listener.reset();
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket file goes with the listener";
}

TEST(SocketListener, SomethingElseAtThePathIsNotRemoved) {
    TEMP_FOLDER temp;
    const std::string path = temp.Path() + "/x.sock";
    std::fclose(std::fopen(path.c_str(), "w"));
    uint32_t error = 0;
    EXPECT_EQ(SOCKET_LISTENER::Listen(temp.Path(), "x.sock", &error, nullptr), nullptr);
    EXPECT_EQ(error, os::ERROR_ALREADY_EXISTS);
    EXPECT_EQ(::access(path.c_str(), F_OK), 0);
}

TEST(SocketListener, ConnectWithoutServerIsFileNotFound) {
    TEMP_FOLDER temp;
    UNIQUE_FD fd;
    EXPECT_EQ(ConnectSocket(temp.Path() + "/none.sock", &fd), os::ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fd.IsValid());
}

// ---- Frames ----

struct SocketPair {
    UNIQUE_FD a;
    UNIQUE_FD b;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        a.Reset(fds[0]);
        b.Reset(fds[1]);
    }
};

void SendRaw(int fd, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

TEST(Frames, RoundTripEvenWhenTheBytesComeOneByOne) {
    SocketPair pair;
    FRAME_OPTIONS options;
    const std::vector<uint8_t> payload{'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(WriteFrame(pair.a.Get(), payload, {}, options), FRAME_STATUS::Ok);
    std::vector<uint8_t> got;
    ASSERT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::Ok);
    EXPECT_EQ(got, payload);

    // An empty frame is a frame.
    ASSERT_EQ(WriteFrame(pair.a.Get(), {}, {}, options), FRAME_STATUS::Ok);
    ASSERT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::Ok);
    EXPECT_TRUE(got.empty());

    std::thread slow([&] {
        const std::vector<uint8_t> frame{3, 0, 0, 0, 'a', 'b', 'c'};
        for (uint8_t byte : frame) {
            SendRaw(pair.a.Get(), {byte});
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    EXPECT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::Ok);
    slow.join();
    EXPECT_EQ(got, (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST(Frames, HugeLengthIsRefusedWithoutWaitingForIt) {
    SocketPair pair;
    FRAME_OPTIONS options;
    options.maxPayload = 1024;
    SendRaw(pair.a.Get(), {0xFF, 0xFF, 0xFF, 0x7F});
    std::vector<uint8_t> got;
    EXPECT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::TooLarge);
    EXPECT_TRUE(got.empty());
    SendRaw(pair.a.Get(), {0x01, 0x04, 0x00, 0x00});  // 1025: one above
    EXPECT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::TooLarge);
}

TEST(Frames, EndInsideAFrameAndBetweenFrames) {
    FRAME_OPTIONS options;
    std::vector<uint8_t> got;
    {
        SocketPair pair;
        SendRaw(pair.a.Get(), {10, 0, 0, 0, 'x'});
        pair.a.Reset();
        EXPECT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::Cut);
    }
    {
        SocketPair pair;
        SendRaw(pair.a.Get(), {10, 0});
        pair.a.Reset();
        EXPECT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::Cut);
    }
    {
        SocketPair pair;
        pair.a.Reset();
        EXPECT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::Closed);
    }
}

TEST(Frames, PeerThatStopsMidFrameTimesOut) {
    SocketPair pair;
    FRAME_OPTIONS options;
    options.midFrameTimeoutMs = 50;
    SendRaw(pair.a.Get(), {10, 0, 0, 0, 'x', 'y'});
    std::vector<uint8_t> got;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::TimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // An idle peer between frames is waited for only as long as the caller says.
    SocketPair idle;
    EXPECT_EQ(ReadFrame(idle.b.Get(), got, nullptr, options, 20), FRAME_STATUS::TimedOut);
}

TEST(Frames, PeerThatDoesNotReadTimesTheWriterOut) {
    SocketPair pair;
    FRAME_OPTIONS options;
    options.writeTimeoutMs = 50;
    options.maxPayload = 64u << 20;
    std::vector<uint8_t> big(16u << 20, 1);  // far more than a socket buffer holds
    EXPECT_EQ(WriteFrame(pair.a.Get(), big, {}, options), FRAME_STATUS::TimedOut);
}

TEST(Frames, DescriptorsTravelWithTheFrame) {
    SocketPair pair;
    FRAME_OPTIONS options;
    UNIQUE_FD event(::eventfd(0, EFD_CLOEXEC));
    const int fds[] = {event.Get()};
    const std::vector<uint8_t> payload{'e'};
    ASSERT_EQ(WriteFrame(pair.a.Get(), payload, fds, options), FRAME_STATUS::Ok);
    std::vector<uint8_t> got;
    std::vector<UNIQUE_FD> received;
    ASSERT_EQ(ReadFrame(pair.b.Get(), got, &received, options), FRAME_STATUS::Ok);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_NE(received[0].Get(), event.Get());
    // The same eventfd: a count written through the copy is read through the original.
    const uint64_t one = 1;
    ASSERT_EQ(::write(received[0].Get(), &one, sizeof one), 8);
    uint64_t count = 0;
    ASSERT_EQ(::read(event.Get(), &count, sizeof count), 8);
    EXPECT_EQ(count, 1u);
    EXPECT_NE(::fcntl(received[0].Get(), F_GETFD) & FD_CLOEXEC, 0);

    // A reader that wants none closes them.
    ASSERT_EQ(WriteFrame(pair.a.Get(), payload, fds, options), FRAME_STATUS::Ok);
    ASSERT_EQ(ReadFrame(pair.b.Get(), got, nullptr, options), FRAME_STATUS::Ok);
    const int tooMany[kMaxFrameDescriptors + 1] = {};
    EXPECT_EQ(WriteFrame(pair.a.Get(), payload, tooMany, options), FRAME_STATUS::TooLarge);
}

// A connection's reader: frames that came together are taken apart, in order, whatever sizes
// they have beside its buffer.
TEST(FrameReader, FramesThatCameTogetherAreReadOneByOne) {
    SocketPair pair;
    FRAME_OPTIONS options;
    const std::vector<uint8_t> small{'a', 'b'}, big(2000, 'z');
    std::vector<uint8_t> together;
    for (const auto* payload : {&small, &big, &small}) {
        const auto n = static_cast<uint32_t>(payload->size());
        together.insert(together.end(),
                        {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                         static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)});
        together.insert(together.end(), payload->begin(), payload->end());
    }
    together.insert(together.end(), {0, 0, 0, 0});  // an empty frame is a frame
    together.insert(together.end(), {3, 0});        // and half a header of the next one
    SendRaw(pair.a.Get(), together);
    FRAME_READER frames(pair.b.Get());
    std::vector<uint8_t> got;
    for (const auto* payload : {&small, &big, &small}) {
        ASSERT_EQ(frames.Read(got, nullptr, options), FRAME_STATUS::Ok);
        EXPECT_EQ(got, *payload);
    }
    ASSERT_EQ(frames.Read(got, nullptr, options), FRAME_STATUS::Ok);
    EXPECT_TRUE(got.empty());
    std::thread slow([&] {
        for (uint8_t byte : std::vector<uint8_t>{0, 0, 'x', 'y', 'z'}) {
            SendRaw(pair.a.Get(), {byte});
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    EXPECT_EQ(frames.Read(got, nullptr, options), FRAME_STATUS::Ok);
    slow.join();
    EXPECT_EQ(got, (std::vector<uint8_t>{'x', 'y', 'z'}));
}

TEST(FrameReader, EndsTimeOutsAndLimitsAsReadFrameHasThem) {
    struct CASE {
        const char* name;
        std::vector<uint8_t> sent;
        bool closed;
        int idleTimeoutMs;
        FRAME_STATUS expected;
    };
    const CASE cases[] = {
        {"closed inside the payload", {10, 0, 0, 0, 'x'}, true, -1, FRAME_STATUS::Cut},
        {"closed inside the header", {10, 0}, true, -1, FRAME_STATUS::Cut},
        {"closed between frames", {}, true, -1, FRAME_STATUS::Closed},
        {"stopped inside a frame", {10, 0, 0, 0, 'x', 'y'}, false, -1, FRAME_STATUS::TimedOut},
        {"stopped inside a header", {10}, false, -1, FRAME_STATUS::TimedOut},
        {"idle longer than asked", {}, false, 20, FRAME_STATUS::TimedOut},
        {"a length above the limit", {0x01, 0x04, 0x00, 0x00}, false, -1, FRAME_STATUS::TooLarge},
    };
    FRAME_OPTIONS options;
    options.maxPayload = 1024;
    options.midFrameTimeoutMs = 50;
    for (const CASE& c : cases) {
        SocketPair pair;
        if (!c.sent.empty()) {
            SendRaw(pair.a.Get(), c.sent);
        }
        if (c.closed) {
            pair.a.Reset();
        }
        FRAME_READER frames(pair.b.Get());
        std::vector<uint8_t> got;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(frames.Read(got, nullptr, options, c.idleTimeoutMs), c.expected) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
    }
}

TEST(FrameReader, DescriptorsTravelWithTheFrame) {
    SocketPair pair;
    FRAME_OPTIONS options;
    UNIQUE_FD event(::eventfd(0, EFD_CLOEXEC));
    const int fds[] = {event.Get()};
    const std::vector<uint8_t> payload{'e'};
    ASSERT_EQ(WriteFrame(pair.a.Get(), payload, fds, options), FRAME_STATUS::Ok);
    ASSERT_EQ(WriteFrame(pair.a.Get(), payload, {}, options), FRAME_STATUS::Ok);
    FRAME_READER frames(pair.b.Get());
    std::vector<uint8_t> got;
    std::vector<UNIQUE_FD> received;
    ASSERT_EQ(frames.Read(got, &received, options), FRAME_STATUS::Ok);
    ASSERT_EQ(received.size(), 1u);
    const uint64_t one = 1;
    ASSERT_EQ(::write(received[0].Get(), &one, sizeof one), 8);
    uint64_t count = 0;
    ASSERT_EQ(::read(event.Get(), &count, sizeof count), 8);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(frames.Read(got, &received, options), FRAME_STATUS::Ok);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(got, payload);
}

// ---- Peer identity ----

TEST(PeerIdentity, SocketPeerIsThisProcess) {
    SocketPair pair;
    PEER_IDENTITY peer;
    std::string why;
    ASSERT_TRUE(IdentifyPeer(pair.b.Get(), &peer, &why)) << why;
    EXPECT_EQ(peer.pid, ::getpid());
    EXPECT_EQ(peer.uid, ::geteuid());
    EXPECT_EQ(peer.gid, ::getegid());
    EXPECT_EQ(peer.startTime, ProcessStartTime(::getpid()));
    EXPECT_NE(peer.startTime, 0u);
    EXPECT_TRUE(IsSameProcess(peer));
}

TEST(PeerIdentity, ProcessThatEndedIsNotTheSame) {
    auto child = CHILD_PROCESS::Start("/bin/sleep", {"5"}, {});
    ASSERT_NE(child, nullptr);
    PEER_IDENTITY peer;
    std::string why;
    ASSERT_TRUE(IdentifyProcess(child->Pid(), &peer, &why)) << why;
    EXPECT_TRUE(IsSameProcess(peer));
    child->Signal(SIGKILL);
    child->Wait(std::chrono::milliseconds(2000));
    // Reaped: its pid is free for the next process, and the pidfd says it exited.
    EXPECT_FALSE(IsSameProcess(peer));
    EXPECT_FALSE(IdentifyProcess(peer.pid, &peer, &why));
}

TEST(PeerIdentity, StartTimeOfAnotherProcessIsNotTakenForIt) {
    // The fake: this process's pidfd and pid with the start time of an earlier holder of the pid.
    PEER_IDENTITY real;
    ASSERT_TRUE(IdentifyProcess(::getpid(), &real, nullptr));
    PEER_IDENTITY fake = real;
    fake.startTime = real.startTime - 1;
    EXPECT_FALSE(IsSameProcess(fake));
    EXPECT_TRUE(IsSameProcess(real));

    auto original = PEER_PROCESS::Attach(real);
    auto again = PEER_PROCESS::Attach(real);
    auto other = PEER_PROCESS::Attach(fake);
    EXPECT_EQ(original, again) << "one simulated process per real process";
    EXPECT_NE(original->ProcessId(), other->ProcessId())
        << "a pid given to a new process does not inherit the old one's";
}

TEST(PeerIdentity, UnreadableProcessesHaveNoStartTime) {
    EXPECT_EQ(ProcessStartTime(0), 0u);
    EXPECT_EQ(ProcessStartTime(-5), 0u);
    EXPECT_EQ(ProcessStartTime(0x3FFFFFFF), 0u);
    PEER_IDENTITY none;
    EXPECT_FALSE(IsSameProcess(none));
}

TEST(PeerProcess, StandsForThePeerWhileHeld) {
    PEER_IDENTITY peer;
    ASSERT_TRUE(IdentifyProcess(::getpid(), &peer, nullptr));
    peer.uid = 1000;      // as a user's process would be
    peer.startTime += 7;  // a process of its own for this test
    auto attached = PEER_PROCESS::Attach(peer);
    const uint32_t id = attached->ProcessId();
    auto process = os::LookupProcess(id);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->UserSid(), UnixUserSid(1000));
    EXPECT_EQ(process->SessionId(), PeerSessionId(peer.pid, 1000));
    EXPECT_EQ(attached->Peer().pid, ::getpid());
    attached.reset();
    EXPECT_EQ(os::LookupProcess(id), nullptr);
    EXPECT_TRUE(process->HasEnded());
}

// Another process's stand-in carries its real pid, so the registry and the control device name the
// same caller; its memory is the peer's while the peer lives; a pid given to a new process retires
// the stand-in of the one before without touching its successor.
TEST(PeerProcess, AnotherProcessIsStoodForUnderItsRealPid) {
    auto child = CHILD_PROCESS::Start("/bin/sleep", {"5"}, {});
    ASSERT_NE(child, nullptr);
    PEER_IDENTITY peer;
    std::string why;
    ASSERT_TRUE(IdentifyProcess(child->Pid(), &peer, &why)) << why;
    auto attached = PEER_PROCESS::Attach(peer);
    ASSERT_NE(attached, nullptr);
    EXPECT_EQ(attached->ProcessId(), static_cast<uint32_t>(child->Pid()));
    EXPECT_EQ(os::LookupProcess(attached->ProcessId()), attached->Process());
    EXPECT_EQ(PEER_PROCESS::Attach(peer), attached);
    EXPECT_EQ(
        attached->Process()->AuthenticationId(),
        peer.uid == 0 ? os::kSystemLogonId : os::DefaultLogonId(attached->Process()->SessionId()));
    ASSERT_NE(attached->Process()->Remote(), nullptr);
    EXPECT_EQ(attached->Process()->Remote()->MemoryPid(), child->Pid());
    // Outside a request of this peer nothing may be asked of it.
    EXPECT_EQ(attached->Process()->Remote()->CommitRegion(4096), 0u);

    child->Signal(SIGKILL);
    child->Wait(std::chrono::milliseconds(2000));
    EXPECT_EQ(attached->Process()->Remote()->MemoryPid(), -1)
        << "an ended peer's memory is not read";

    PEER_IDENTITY successor = peer;
    successor.startTime += 1;
    auto next = PEER_PROCESS::Attach(successor);
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(attached->Process()->HasEnded());
    EXPECT_EQ(os::LookupProcess(next->ProcessId()), next->Process());
    attached.reset();
    EXPECT_EQ(os::LookupProcess(next->ProcessId()), next->Process()) << "the successor stays";

    next.reset();
    EXPECT_EQ(os::LookupProcess(static_cast<uint32_t>(child->Pid())), nullptr);
}

TEST(PeerProcess, SidAndSessionRules) {
    // S-1-22-1-1000: revision 1, two sub-authorities, authority 22, then 1 and 1000.
    EXPECT_EQ(UnixUserSid(1000),
              (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0, 0xE8, 3, 0, 0}));
    // No process: no login session to read, so the rule by user.
    EXPECT_EQ(PeerSessionId(0x3FFFFFFF, 0), 0u);
    EXPECT_EQ(PeerSessionId(0x3FFFFFFF, 1000), 1u);
}

// ---- Accept loop ----

TEST(AcceptLoop, ConnectionsBeyondTheCapAreRefusedOthersServed) {
    TEMP_FOLDER temp;
    uint32_t error = 0;
    auto listener = SOCKET_LISTENER::Listen(temp.Path(), "loop.sock", &error, nullptr);
    ASSERT_NE(listener, nullptr);
    const std::string path = listener->Path();
    ACCEPT_LOOP loop;
    std::atomic<int> seenPid{0};
    // An echo server: each frame comes back.
    ASSERT_EQ(loop.Start(std::move(listener), {.privileged = 2},
                         [&](int socket, const PEER_IDENTITY& peer) {
                             seenPid = peer.pid;
                             std::vector<uint8_t> frame;
                             FRAME_OPTIONS options;
                             while (ReadFrame(socket, frame, nullptr, options) == FRAME_STATUS::Ok)
                                 WriteFrame(socket, frame, {}, options);
                         }),
              os::ERROR_SUCCESS);
    UNIQUE_FD first, second, third;
    ASSERT_EQ(ConnectSocket(path, &first), os::ERROR_SUCCESS);
    ASSERT_EQ(ConnectSocket(path, &second), os::ERROR_SUCCESS);
    ASSERT_TRUE(PollUntil([&] { return loop.ActiveConnections() == 2; }));
    ASSERT_EQ(ConnectSocket(path, &third),
              os::ERROR_SUCCESS);  // the kernel accepts it; the loop closes it
    FRAME_OPTIONS options;
    std::vector<uint8_t> got;
    EXPECT_EQ(ReadFrame(third.Get(), got, nullptr, options, 2000), FRAME_STATUS::Closed);
    EXPECT_EQ(loop.RefusedConnections(), 1u);

    const std::vector<uint8_t> ping{'p'};
    ASSERT_EQ(WriteFrame(second.Get(), ping, {}, options), FRAME_STATUS::Ok);
    ASSERT_EQ(ReadFrame(second.Get(), got, nullptr, options, 2000), FRAME_STATUS::Ok);
    EXPECT_EQ(got, ping);
    EXPECT_EQ(seenPid.load(), ::getpid());

    // A connection that ends frees its place.
    first.Reset();
    ASSERT_TRUE(PollUntil([&] { return loop.ActiveConnections() == 1; }));
    UNIQUE_FD fourth;
    ASSERT_EQ(ConnectSocket(path, &fourth), os::ERROR_SUCCESS);
    ASSERT_EQ(WriteFrame(fourth.Get(), ping, {}, options), FRAME_STATUS::Ok);
    EXPECT_EQ(ReadFrame(fourth.Get(), got, nullptr, options, 2000), FRAME_STATUS::Ok);

    // Stop ends the handlers that wait for a frame.
    loop.Stop();
    EXPECT_EQ(loop.ActiveConnections(), 0u);
    EXPECT_EQ(ReadFrame(second.Get(), got, nullptr, options, 2000), FRAME_STATUS::Closed);
}

}  // namespace
