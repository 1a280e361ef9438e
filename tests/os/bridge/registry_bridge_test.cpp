#include "os/bridge/registry_bridge.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "os/core/clock.h"
#include "os/core/process.h"
#include "os/core/sid.h"
#include "tests/os/bridge/bridge_fixture.h"
#include "tools/peers/child_process.h"

namespace {

using os::RegKey;
using wexo::peers::CHILD_PROCESS;
using wexo::test::PeerProgram;
using wexo::test::PollUntil;
using wexo::test::TEMP_FOLDER;
using namespace std::chrono_literals;

constexpr char kProductKey[] = "SOFTWARE\\Corvane\\Ostrel";

class RegistryBridge : public ::testing::Test {
  protected:
    void SetUp() override {
        store_ = os::RegistryStore::CreateInMemory();
        scoped_ = std::make_unique<os::ScopedSystemRegistry>(store_);
        StartServer();
    }
    void TearDown() override {
        server_.Stop();
        scoped_.reset();
    }

    void StartServer(const os::REGISTRY_BRIDGE_OPTIONS& options = {}) {
        std::string why;
        ASSERT_EQ(server_.Start(temp_.Path(), options, &why), os::ERROR_SUCCESS) << why;
    }

    std::unique_ptr<CHILD_PROCESS> Peer(const std::vector<std::string>& arguments,
                                        const std::string& runtimeDir = "") {
        return CHILD_PROCESS::Start(
            PeerProgram(), arguments,
            {"WEXO_RUNTIME_DIR=" + (runtimeDir.empty() ? temp_.Path() : runtimeDir)});
    }

    // Runs the peer to its end; its output.
    std::string Run(const std::vector<std::string>& arguments, const std::string& runtimeDir = "") {
        auto child = Peer(arguments, runtimeDir);
        if (child == nullptr)
            return "cannot start";
        child->Wait(5000ms);
        return child->Output();
    }

    RegKey HostKey(const std::string& path) {
        RegKey key;
        EXPECT_EQ(os::RegCreateKeyEx(store_->Root(os::HKEY_LOCAL_MACHINE), path, key),
                  os::ERROR_SUCCESS);
        return key;
    }

    // A raw connection to the server, for frames no client would send.
    os::bridge::UNIQUE_FD Raw() {
        os::bridge::UNIQUE_FD fd;
        EXPECT_EQ(os::bridge::ConnectSocket(server_.SocketPath(), &fd), os::ERROR_SUCCESS);
        return fd;
    }

    // True when the server closed the connection: the read sees its end, or a reset when the
    // server closed with bytes of ours still unread.
    static bool ClosedByServer(int fd) {
        std::vector<uint8_t> frame;
        os::bridge::FRAME_OPTIONS options;
        os::bridge::FRAME_STATUS status = os::bridge::ReadFrame(fd, frame, nullptr, options, 3000);
        return status == os::bridge::FRAME_STATUS::Closed ||
               status == os::bridge::FRAME_STATUS::Failed;
    }

    // The bridge still serves a client that behaves.
    void ExpectStillServing() {
        uint32_t error = 1;
        auto bridged = os::OpenRegistryBridge(temp_.Path(), {}, &error);
        ASSERT_EQ(error, os::ERROR_SUCCESS);
        RegKey key;
        EXPECT_EQ(os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), "SOFTWARE", key),
                  os::ERROR_SUCCESS);
    }

    TEMP_FOLDER temp_;
    std::shared_ptr<os::RegistryStore> store_;
    std::unique_ptr<os::ScopedSystemRegistry> scoped_;
    os::REGISTRY_BRIDGE_SERVER server_;
};

// ---- Values both ways, across processes ----

TEST_F(RegistryBridge, ValueSetByAnotherProcessIsInTheHostStore) {
    EXPECT_EQ(Run({"set", kProductKey, "Dormant", "1"}), "set 0\n");
    RegKey key = HostKey(kProductKey);
    os::REG_VALUE value;
    ASSERT_EQ(os::RegQueryValue(key, "Dormant", value), os::ERROR_SUCCESS);
    EXPECT_EQ(value.type, os::REG_DWORD);
    EXPECT_EQ(value.data, os::RegDwordData(1));
}

TEST_F(RegistryBridge, ValueSetInTheHostIsReadByAnotherProcessOnBothPaths) {
    RegKey key = HostKey(kProductKey);
    ASSERT_EQ(os::RegSetValueEx(key, "PolicyServers", os::REG_SZ, os::RegStringData("a;b")),
              os::ERROR_SUCCESS);
    ASSERT_EQ(os::RegSetValueEx(key, "Dormant", os::REG_DWORD, os::RegDwordData(7)),
              os::ERROR_SUCCESS);
    EXPECT_EQ(Run({"get", kProductKey, "PolicyServers"}), "get 0 1 a;b\n");
    EXPECT_EQ(Run({"zwget", "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel", "Dormant"}),
              "zwget 00000000 4 7\n");
}

TEST_F(RegistryBridge, ErrorsReachTheOtherProcessAsInProcess) {
    EXPECT_EQ(Run({"get", "SOFTWARE\\Missing", "X"}), "get 2 0 \n");
    EXPECT_EQ(Run({"zwget", "\\REGISTRY\\MACHINE\\SOFTWARE\\Missing", "X"}),
              "zwget C0000034 0 0\n");
    HostKey(kProductKey);
    EXPECT_EQ(Run({"get", kProductKey, "Missing"}), "get 2 0 \n");
    EXPECT_EQ(Run({"set", "SOFTWARE\\\\Doubled", "X", "1"}), "set 123\n");
}

// ---- The caller is the peer ----

TEST_F(RegistryBridge, CallbacksSeeThePeerAndMayDenyIt) {
    std::mutex lock;
    std::vector<uint8_t> sid;
    std::set<uint32_t> callers;
    uint64_t cookie = 0;
    ASSERT_EQ(os::CmRegisterCallback(
                  [&](const os::REG_NOTIFY_INFO& info) -> os::NTSTATUS {
                      if (info.notifyClass != os::REG_NOTIFY_CLASS::RegNtPreSetValueKey)
                          return os::STATUS_SUCCESS;
                      std::lock_guard guard(lock);
                      callers.insert(info.processId);
                      if (auto process = os::LookupProcess(info.processId))
                          sid = process->UserSid();
                      return info.valueName == "Protected" ? os::STATUS_ACCESS_DENIED
                                                           : os::STATUS_SUCCESS;
                  },
                  &cookie),
              os::STATUS_SUCCESS);
    EXPECT_EQ(Run({"set", kProductKey, "Protected", "1"}), "set 5\n");
    EXPECT_EQ(Run({"set", kProductKey, "Open", "1"}), "set 0\n");
    os::CmUnRegisterCallback(cookie);

    std::lock_guard guard(lock);
    EXPECT_EQ(sid, os::UnixUserSid(::geteuid()));
    EXPECT_EQ(callers.size(), 2u) << "each peer process is a process of its own";
    EXPECT_EQ(callers.count(os::CurrentProcessId()), 0u) << "not the host";
    for (uint32_t id : callers) {
        EXPECT_TRUE(PollUntil([&] { return os::LookupProcess(id) == nullptr; }))
            << "the peer's process ends with its connection";
    }
    RegKey key = HostKey(kProductKey);
    os::REG_VALUE value;
    EXPECT_EQ(os::RegQueryValue(key, "Protected", value), os::ERROR_FILE_NOT_FOUND);
}

// ---- Handles live in the host, per connection ----

TEST_F(RegistryBridge, HandlesOfAKilledProcessAreFreed) {
    HostKey(kProductKey);
    auto child = Peer({"hold", kProductKey});
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(child->ReadUntil("held 0", 5000ms)) << child->Output();
    EXPECT_EQ(server_.OpenHandleCount(), 2u);
    EXPECT_EQ(server_.ConnectionCount(), 1u);
    child->Signal(SIGKILL);
    child->Wait(2000ms);
    EXPECT_TRUE(PollUntil([&] { return server_.OpenHandleCount() == 0; }));
    EXPECT_TRUE(PollUntil([&] { return server_.ConnectionCount() == 0; }));
    // The key it created stays: closing a handle is not deleting a key.
    RegKey held;
    EXPECT_EQ(os::RegOpenKeyEx(store_->Root(os::HKEY_LOCAL_MACHINE),
                               std::string(kProductKey) + "\\Held", held),
              os::ERROR_SUCCESS);
}

// ---- Change notification ----

TEST_F(RegistryBridge, ChangeByOneProcessWakesAnotherProcessesEvent) {
    HostKey(kProductKey);
    auto watcher = Peer({"watch", kProductKey});
    ASSERT_NE(watcher, nullptr);
    ASSERT_TRUE(watcher->ReadUntil("armed 0", 5000ms)) << watcher->Output();
    EXPECT_EQ(Run({"set", kProductKey, "DebugOutput", "3"}), "set 0\n");
    ASSERT_TRUE(watcher->ReadUntil("changed", 5000ms)) << watcher->Output();
    EXPECT_EQ(watcher->Wait(2000ms), 0);
}

TEST_F(RegistryBridge, ChangeInTheHostSetsTheClientsEvent) {
    RegKey hostKey = HostKey(kProductKey);
    auto bridged = os::OpenRegistryBridge(temp_.Path());
    RegKey key;
    ASSERT_EQ(os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), kProductKey, key),
              os::ERROR_SUCCESS);
    os::Event changed(os::EventType::Notification, false);
    ASSERT_EQ(os::RegNotifyChangeKeyValue(key, false, os::REG_NOTIFY_CHANGE_LAST_SET, changed),
              os::ERROR_SUCCESS);
    // A subkey is a NAME change: not what was asked for.
    HostKey(std::string(kProductKey) + "\\Sub");
    ASSERT_EQ(os::RegSetValueEx(hostKey, "Shutdown", os::REG_DWORD, os::RegDwordData(1)),
              os::ERROR_SUCCESS);
    EXPECT_TRUE(PollUntil([&] { return changed.IsSet(); }));

    // Closed before the change: the event is left alone.
    os::Event second(os::EventType::Notification, false);
    ASSERT_EQ(os::RegNotifyChangeKeyValue(key, false, os::REG_NOTIFY_CHANGE_LAST_SET, second),
              os::ERROR_SUCCESS);
    key.Close();
    ASSERT_EQ(os::RegSetValueEx(hostKey, "Shutdown", os::REG_DWORD, os::RegDwordData(2)),
              os::ERROR_SUCCESS);
    // The bridge answers in order, so a round trip after the change has seen its notification.
    RegKey probe;
    ASSERT_EQ(os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), kProductKey, probe),
              os::ERROR_SUCCESS);
    EXPECT_FALSE(second.IsSet());
    EXPECT_EQ(os::RegNotifyChangeKeyValue(probe, false, 0, second), os::ERROR_INVALID_PARAMETER);
}

// ---- Same results as the in-process registry ----

// Runs the same calls on a root and reports every result, so that the bridged store can be
// compared with the store itself.
std::vector<std::string> Exercise(const RegKey& root, const std::string& top) {
    std::vector<std::string> seen;
    auto note = [&](const std::string& what, uint64_t result) {
        seen.push_back(what + "=" + std::to_string(result));
    };
    RegKey missing, sub, parent, bad;
    note("open missing", os::RegOpenKeyEx(root, "SOFTWARE\\Missing", missing));
    uint32_t disposition = 0;
    note("create", os::RegCreateKeyEx(root, "SOFTWARE\\" + top + "\\Sub", sub, &disposition));
    note("disposition", disposition);
    RegKey again;
    note("create again",
         os::RegCreateKeyEx(root, "SOFTWARE\\" + top + "\\Sub", again, &disposition));
    note("disposition", disposition);
    note("bad name", os::RegCreateKeyEx(root, "SOFTWARE\\\\Bad", bad));
    note("open parent", os::RegOpenKeyEx(root, "SOFTWARE\\" + top, parent));
    note("delete with subkeys", os::RegDeleteKey(parent, ""));
    note("set", os::RegSetValueEx(sub, "Text", os::REG_SZ, os::RegStringData("hello")));
    note("set dword of 8 bytes", os::RegSetValueEx(sub, "Odd", os::REG_DWORD, os::RegQwordData(1)));
    uint32_t type = 0, size = 4;
    uint8_t small[4];
    note("query small", os::RegQueryValueEx(sub, "Text", &type, small, &size));
    note("needed", size);
    note("type", type);
    size = 0;
    note("query size", os::RegQueryValueEx(sub, "Odd", &type, nullptr, &size));
    note("size", size);
    note("type", type);
    os::REG_VALUE value;
    note("query missing", os::RegQueryValue(sub, "None", value));
    std::string name;
    note("enum value 0", os::RegEnumValue(sub, 0, name, &value));
    seen.push_back(name + "/" + os::RegStringFromData(value.data));
    note("enum value past", os::RegEnumValue(sub, 2, name));
    note("enum key 0", os::RegEnumKeyEx(parent, 0, name));
    seen.push_back(name);
    note("enum key past", os::RegEnumKeyEx(parent, 1, name));
    char buffer[3];
    uint32_t length = sizeof buffer;
    note("enum key small", os::RegEnumKeyEx(parent, 0, buffer, &length));
    os::REG_KEY_INFO info;
    note("info", os::RegQueryInfoKey(sub, info));
    note("values", info.values);
    note("max value", info.maxValueLen);
    note("max name", info.maxValueNameLen);
    os::REG_SECURITY security;
    note("get security", os::RegGetKeySecurity(sub, security));
    note("entries", security.entries.size());
    security.entries.push_back({os::EveryoneSid(), os::KEY_READ});
    note("set security", os::RegSetKeySecurity(sub, security));
    note("set broken security", os::RegSetKeySecurity(sub, {{1, 2}, {}}));
    RegKey own;
    note("create with security", os::RegCreateKeyEx(sub, "Own", own, nullptr, &security));
    note("get given security", os::RegGetKeySecurity(own, security));
    note("entries", security.entries.size());
    note("delete own", os::RegDeleteKey(own, ""));
    note("delete missing value", os::RegDeleteValue(sub, "None"));
    note("delete value", os::RegDeleteValue(sub, "Odd"));
    os::Event event(os::EventType::Notification, false);
    note("notify bad filter", os::RegNotifyChangeKeyValue(sub, false, 0x100, event));
    note("rename", os::RegRenameKey(parent, "Sub", "Renamed"));
    RegKey renamed;
    note("open renamed", os::RegOpenKeyEx(parent, "Renamed", renamed));
    note("delete", os::RegDeleteKey(parent, "Renamed"));
    note("query deleted", os::RegQueryValue(sub, "Text", value));
    note("set deleted", os::RegSetValueEx(sub, "Text", os::REG_SZ, os::RegStringData("x")));
    note("top key", os::RegCreateKeyEx(root, "", again));
    RegKey kernel;
    note("zw open", static_cast<uint32_t>(os::ZwOpenKey(kernel, "SOFTWARE\\" + top, &root)));
    uint8_t header[8];
    uint32_t needed = 0;
    note("zw query deleted value",
         static_cast<uint32_t>(os::ZwQueryValueKey(
             kernel, "None", os::KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation, header,
             sizeof header, &needed)));
    note("zw set",
         static_cast<uint32_t>(os::ZwSetValueKey(kernel, "K", os::REG_DWORD, os::RegDwordData(5))));
    note("zw query short",
         static_cast<uint32_t>(os::ZwQueryValueKey(
             kernel, "K", os::KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation, header,
             sizeof header, &needed)));
    note("zw needed", needed);
    note("zw delete with value", static_cast<uint32_t>(os::ZwDeleteKey(kernel)));
    note("zw delete again", static_cast<uint32_t>(os::ZwDeleteKey(kernel)));
    return seen;
}

TEST_F(RegistryBridge, EveryCallAnswersAsTheStoreItself) {
    auto bridged = os::OpenRegistryBridge(temp_.Path());
    ASSERT_TRUE(bridged->IsRemote());
    const auto local = Exercise(store_->Root(os::HKEY_LOCAL_MACHINE), "Local");
    const auto remote = Exercise(bridged->Root(os::HKEY_LOCAL_MACHINE), "Local");
    EXPECT_EQ(local, remote);
    // Closes are not answered; they are done once the host has read them.
    EXPECT_TRUE(PollUntil([&] { return server_.OpenHandleCount() == 0; }))
        << server_.OpenHandleCount() << " handles of the run are still open";

    RegKey key;
    ASSERT_EQ(os::RegCreateKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), "software\\corvane", key),
              os::ERROR_SUCCESS);
    EXPECT_EQ(key.Path(), "\\REGISTRY\\MACHINE\\SOFTWARE\\corvane");
    uint64_t cookie = 0;
    EXPECT_EQ(bridged->RegisterCallback([](const os::REG_NOTIFY_INFO&) { return 0; }, {}, &cookie),
              os::STATUS_NOT_SUPPORTED)
        << "callbacks belong where the store is";
}

TEST_F(RegistryBridge, InstalledBridgeCarriesTheKernelPath) {
    ASSERT_EQ(os::ConnectRegistryBridge(temp_.Path()), os::ERROR_SUCCESS);
    EXPECT_TRUE(os::SystemRegistry()->IsRemote());
    RegKey key;
    uint32_t disposition = 0;
    EXPECT_EQ(os::ZwCreateKey(key, "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel", nullptr,
                              &disposition),
              os::STATUS_SUCCESS);
    EXPECT_EQ(disposition, os::REG_CREATED_NEW_KEY);
    EXPECT_EQ(os::ZwSetValueKey(key, "UnencryptedSearch", os::REG_DWORD, os::RegDwordData(1)),
              os::STATUS_SUCCESS);
    RegKey viaWin32;
    EXPECT_EQ(os::RegOpenKeyEx(os::HKEY_LOCAL_MACHINE, kProductKey, viaWin32), os::ERROR_SUCCESS);
    key.Close();
    viaWin32.Close();
    os::DisconnectRegistryBridge();
    EXPECT_EQ(os::SystemRegistry(), store_);
    RegKey hostKey = HostKey(kProductKey);
    os::REG_VALUE value;
    EXPECT_EQ(os::RegQueryValue(hostKey, "UnencryptedSearch", value), os::ERROR_SUCCESS);
}

// ---- Without a host ----

TEST_F(RegistryBridge, WithoutAHostEveryOpenFailsAsTheRegistryDoes) {
    TEMP_FOLDER empty;
    EXPECT_EQ(Run({"nohost", kProductKey}, empty.Path()), "nohost 2 1011 C00000A3\n");
}

TEST_F(RegistryBridge, LostHostFailsCallsWakesWatchersAndIsReachedAgain) {
    auto bridged = os::OpenRegistryBridge(temp_.Path());
    RegKey key;
    ASSERT_EQ(os::RegCreateKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), kProductKey, key),
              os::ERROR_SUCCESS);
    os::Event changed(os::EventType::Notification, false);
    ASSERT_EQ(os::RegNotifyChangeKeyValue(key, false, os::REG_NOTIFY_CHANGE_LAST_SET, changed),
              os::ERROR_SUCCESS);
    server_.Stop();
    EXPECT_TRUE(PollUntil([&] { return changed.IsSet(); }));
    os::REG_VALUE value;
    EXPECT_EQ(os::RegQueryValue(key, "X", value), os::ERROR_CANTREAD);
    EXPECT_EQ(os::RegSetValueEx(key, "X", os::REG_DWORD, os::RegDwordData(1)), os::ERROR_CANTWRITE);
    RegKey other;
    EXPECT_EQ(os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), kProductKey, other),
              os::ERROR_CANTOPEN);
    EXPECT_EQ(os::ZwOpenKey(other, "\\REGISTRY\\MACHINE\\SOFTWARE", nullptr), os::STATUS_SUCCESS)
        << "the host's own kernel path is not the bridge";

    StartServer();
    EXPECT_EQ(os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), kProductKey, other),
              os::ERROR_SUCCESS);
    EXPECT_EQ(os::RegQueryValue(key, "X", value), os::ERROR_CANTREAD)
        << "a key of the lost connection stays lost";
}

// ---- Peers that misbehave ----

TEST_F(RegistryBridge, GarbageEndsThatConnectionOnly) {
    auto good = os::OpenRegistryBridge(temp_.Path());
    RegKey goodKey;
    ASSERT_EQ(os::RegCreateKeyEx(good->Root(os::HKEY_LOCAL_MACHINE), kProductKey, goodKey),
              os::ERROR_SUCCESS);
    {
        auto raw = Raw();
        const char text[] = "GET / HTTP/1.1\r\n\r\n";  // its first four bytes are a huge length
        ASSERT_GT(::send(raw.Get(), text, sizeof text - 1, MSG_NOSIGNAL), 0);
        EXPECT_TRUE(ClosedByServer(raw.Get()));
    }
    {
        auto raw = Raw();
        const std::vector<uint8_t> unknown{0xEE, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(os::bridge::WriteFrame(raw.Get(), unknown, {}, {}), os::bridge::FRAME_STATUS::Ok);
        EXPECT_TRUE(ClosedByServer(raw.Get()));
    }
    {
        // A request cut short inside its fields.
        auto raw = Raw();
        const std::vector<uint8_t> cut{2, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 50, 0, 0, 0, 'a'};
        ASSERT_EQ(os::bridge::WriteFrame(raw.Get(), cut, {}, {}), os::bridge::FRAME_STATUS::Ok);
        EXPECT_TRUE(ClosedByServer(raw.Get()));
    }
    {
        auto raw = Raw();
        const uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0xFF};
        ASSERT_EQ(::send(raw.Get(), huge, sizeof huge, MSG_NOSIGNAL), 4);
        EXPECT_TRUE(ClosedByServer(raw.Get()));
    }
    {
        auto raw = Raw();
        const uint8_t partial[] = {100, 0, 0, 0, 1, 2, 3};
        ASSERT_EQ(::send(raw.Get(), partial, sizeof partial, MSG_NOSIGNAL), 7);
    }  // closed by the peer inside the frame
    EXPECT_TRUE(PollUntil([&] { return server_.ConnectionCount() == 1; }));
    EXPECT_EQ(os::RegSetValueEx(goodKey, "Still", os::REG_DWORD, os::RegDwordData(1)),
              os::ERROR_SUCCESS);
    ExpectStillServing();
}

TEST_F(RegistryBridge, PeerThatStopsMidFrameIsDropped) {
    server_.Stop();
    os::REGISTRY_BRIDGE_OPTIONS options;
    options.frames.midFrameTimeoutMs = 100;
    StartServer(options);
    auto raw = Raw();
    const uint8_t partial[] = {100, 0, 0, 0, 1, 2, 3};
    ASSERT_EQ(::send(raw.Get(), partial, sizeof partial, MSG_NOSIGNAL), 7);
    EXPECT_TRUE(ClosedByServer(raw.Get()));
    ExpectStillServing();
}

TEST_F(RegistryBridge, FloodBeyondTheCapIsRefusedAndServiceResumes) {
    server_.Stop();
    os::REGISTRY_BRIDGE_OPTIONS options;
    options.connections.privileged = 4;
    StartServer(options);
    std::vector<os::bridge::UNIQUE_FD> flood;
    for (int i = 0; i < 4; ++i)
        flood.push_back(Raw());
    ASSERT_TRUE(PollUntil([&] { return server_.ConnectionCount() == 4; }));
    for (int i = 0; i < 3; ++i) {
        auto extra = Raw();
        EXPECT_TRUE(ClosedByServer(extra.Get()));
    }
    EXPECT_EQ(server_.RefusedConnectionCount(), 3u);
    flood.clear();
    ASSERT_TRUE(PollUntil([&] { return server_.ConnectionCount() == 0; }));
    ExpectStillServing();
}

TEST_F(RegistryBridge, TooManyHandlesOnOneConnectionFailsTheOpen) {
    server_.Stop();
    os::REGISTRY_BRIDGE_OPTIONS options;
    options.maxHandlesPerConnection = 3;
    StartServer(options);
    auto bridged = os::OpenRegistryBridge(temp_.Path());
    RegKey keys[4];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), "SOFTWARE", keys[i]),
                  os::ERROR_SUCCESS);
    }
    EXPECT_EQ(os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), "SOFTWARE", keys[3]), 1450u);
    keys[0].Close();
    EXPECT_EQ(os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), "SOFTWARE", keys[3]),
              os::ERROR_SUCCESS);
}

// ---- Who may do what, across processes ----

// The whole store as text, to see that a refused caller changed nothing.
std::string Dump(const RegKey& key) {
    std::string text = key.Path() + "\n";
    std::string name;
    os::REG_VALUE value;
    for (uint32_t i = 0; os::RegEnumValue(key, i, name, &value) == os::ERROR_SUCCESS; ++i)
        text += "  " + name + "=" + std::to_string(value.type) + ":" +
                std::to_string(value.data.size()) + "\n";
    os::REG_SECURITY security;
    if (os::RegGetKeySecurity(key, security) == os::ERROR_SUCCESS)
        text += "  security " + std::to_string(os::EncodeRegSecurity(security).size()) + "\n";
    for (uint32_t i = 0; os::RegEnumKeyEx(key, i, name) == os::ERROR_SUCCESS; ++i) {
        RegKey sub;
        if (os::RegOpenKeyEx(key, name, sub) == os::ERROR_SUCCESS)
            text += Dump(sub);
    }
    return text;
}

class RegistryBridgeUsers : public RegistryBridge {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to run a peer as uid 65534";
        RegistryBridge::SetUp();
        ASSERT_EQ(::chmod(temp_.Path().c_str(), 0755), 0);  // a user's process reaches it
    }
};

// Every operation across the bridge: a user's process reads HKLM and changes nothing, in any of
// the calls that change; root does it all.
TEST_F(RegistryBridgeUsers, EveryOperationAsRootAndAsAnotherUser) {
    RegKey key = HostKey("SOFTWARE\\AccessTest");
    ASSERT_EQ(os::RegSetValueEx(key, "V", os::REG_DWORD, os::RegDwordData(1)), os::ERROR_SUCCESS);
    HostKey("SOFTWARE\\AccessTest\\Sub");
    HostKey("SOFTWARE\\AccessTest\\Doomed");
    const std::string before = Dump(store_->Root(os::HKEY_LOCAL_MACHINE));
    const std::vector<std::string> reads = {"open", "query",  "enumvalue", "enumkey",
                                            "info", "notify", "getsec"};
    const std::vector<std::string> writes = {
        "set",    "deletevalue", "create", "createexisting", "createwithsecurity",
        "rename", "deletekey",   "setsec"};
    const std::vector<std::string> kernelWrites = {"zwset", "zwcreate"};
    for (const bool nobody : {true, false}) {
        std::vector<std::string> arguments = {"ops", "SOFTWARE\\AccessTest"};
        if (nobody)
            arguments.insert(arguments.begin(), "--nobody");
        const std::string output = Run(arguments);
        std::map<std::string, std::string> said;
        std::istringstream lines(output);
        for (std::string name, result; lines >> name >> result;)
            said[name] = result;
        for (const std::string& op : reads)
            EXPECT_EQ(said[op], "0") << op << (nobody ? " as a user" : " as root") << "\n"
                                     << output;
        for (const std::string& op : writes)
            EXPECT_EQ(said[op], nobody ? "5" : "0") << op << (nobody ? " as a user" : " as root");
        EXPECT_EQ(said["zwopen"], "00000000");
        for (const std::string& op : kernelWrites)
            EXPECT_EQ(said[op], nobody ? "C0000022" : "00000000") << op;
        if (nobody) {
            EXPECT_EQ(Dump(store_->Root(os::HKEY_LOCAL_MACHINE)), before)
                << "the refused user changed nothing";
        }
    }
    RegKey renamed;
    EXPECT_EQ(os::RegOpenKeyEx(key, "Sub2", renamed), os::ERROR_SUCCESS)
        << "root's changes were made";
}

struct FLOOD {
    const char* kind;
    const char* firstLine;  // what the flooding process says once it has sent its flood
};

// A user who floods the socket (many connections, frames that claim to be huge, frames that never
// end) gets a few connections of its own; root is served throughout, and the frames that never
// end are cut when their time is up (on the virtual clock: nobody waits five seconds).
TEST_F(RegistryBridgeUsers, AUserFloodingTheSocketCannotKeepRootOut) {
    const FLOOD floods[] = {{"flood-connections", "connected 12"},
                            {"flood-huge", "closed 12"},
                            {"flood-slow", "stalled 12"}};
    for (const FLOOD& flood : floods) {
        server_.Stop();
        os::VirtualClock clock;
        os::REGISTRY_BRIDGE_OPTIONS options;
        options.connections = {.privileged = 8, .perUser = 4, .allUsers = 6};
        StartServer(options);
        HostKey(kProductKey);
        auto flooder = Peer({"--nobody", flood.kind, server_.SocketPath(), "12"});
        ASSERT_NE(flooder, nullptr);
        ASSERT_TRUE(flooder->ReadUntil(flood.firstLine, 10'000ms))
            << flood.kind << ": " << flooder->Output();
        EXPECT_LE(server_.ConnectionCount(), 4u) << flood.kind;
        // Root gets in and is answered, more than once, while the flood holds what it got.
        for (int round = 0; round < 3; ++round) {
            auto bridged = os::OpenRegistryBridge(temp_.Path());
            RegKey product;
            EXPECT_EQ(os::RegOpenKeyEx(bridged->Root(os::HKEY_LOCAL_MACHINE), kProductKey, product),
                      os::ERROR_SUCCESS)
                << flood.kind;
            EXPECT_EQ(os::RegSetValueEx(product, "Dormant", os::REG_DWORD, os::RegDwordData(1)),
                      os::ERROR_SUCCESS)
                << flood.kind;
        }
        if (std::string(flood.kind) == "flood-slow") {
            // The unfinished frames hold their places (root's have ended) until their time is up.
            EXPECT_TRUE(PollUntil([&] { return server_.ConnectionCount() == 4; }));
            EXPECT_TRUE(clock.Advance(5000ms));
            EXPECT_TRUE(flooder->ReadUntil("closed 12", 3000ms)) << flooder->Output();
            EXPECT_TRUE(PollUntil([&] { return server_.ConnectionCount() == 0; }));
        }
        EXPECT_GE(server_.RefusedConnectionCount(),
                  std::string(flood.kind) == "flood-huge" ? 0u : 8u)
            << flood.kind;
        flooder->Signal(SIGKILL);
        flooder->Wait(2000ms);
        server_.Stop();
    }
}

TEST_F(RegistryBridge, SecondServerOnTheSameFolderIsRefused) {
    os::REGISTRY_BRIDGE_SERVER second;
    std::string why;
    EXPECT_EQ(second.Start(temp_.Path(), {}, &why), os::ERROR_ALREADY_EXISTS);
    EXPECT_NE(why.find("another server"), std::string::npos) << why;
}

// ---- The store file and a host that dies ----

TEST(RegistryHostCrash, StoreFileSurvivesAHostKilledWhileWriting) {
    TEMP_FOLDER temp;
    const std::string file = temp.Path() + "/registry.dat";
    for (int delayMs : {0, 3, 17}) {
        auto host = CHILD_PROCESS::Start(PeerProgram(), {"store-loop", file}, {});
        ASSERT_NE(host, nullptr);
        ASSERT_TRUE(host->ReadUntil("writing", 5000ms)) << host->Output();
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        host->Signal(SIGKILL);
        host->Wait(2000ms);
        os::RegistryOpenResult result;
        auto store = os::RegistryStore::OpenFile(file, {}, &result);
        ASSERT_NE(store, nullptr) << result.message;
        EXPECT_EQ(result.error, os::ERROR_SUCCESS) << result.message;
        RegKey key;
        ASSERT_EQ(store->OpenKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\Loop", key),
                  os::STATUS_SUCCESS);
        os::REG_VALUE bulk;
        ASSERT_EQ(store->QueryValue(key, "Bulk", bulk), os::STATUS_SUCCESS);
        EXPECT_EQ(bulk.data.size(), 256u * 1024);
    }
}

}  // namespace
