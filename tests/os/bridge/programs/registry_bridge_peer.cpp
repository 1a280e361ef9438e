// A process that uses the registry through the bridge, for the bridge's tests. It connects as a
// program does at start (WEXO_RUNTIME_DIR names the host's folder), runs one command and prints
// what it saw, one line per result:
//   set KEY NAME NUMBER     creates HKLM\KEY and sets NAME to the REG_DWORD; "set <error>"
//   get KEY NAME            "get <error> <type> <dword or text>"
//   zwget PATH NAME         the kernel path: "zwget <status hex> <type> <dword>"
//   hold KEY                opens HKLM\KEY, prints "held <error>" and waits to be killed (10 s)
//   watch KEY               arms a change notification: "armed <error>", then "changed" or
//                           "timeout" (5 s)
//   nohost KEY              "nohost <connect error> <RegCreateKeyEx error> <ZwOpenKey status>"
//   store-loop FILE         no bridge: a host that writes its store file in a loop
//   ops KEY                 every operation on HKLM\KEY (which has the value V and the subkeys
//                           Sub and Doomed), one "NAME RESULT" line each: Win32 errors, and the
//                           kernel path's statuses in hexadecimal
// Floods of a bridge socket (any of them), as a local user's process could send them:
//   flood-connections SOCKET N   N connections held open; prints "connected N", waits (10 s)
//   flood-huge SOCKET N          N connections, each sending a frame length of 4 GiB - 1;
//                                prints "closed K": how many the host closed within 5 s
//   flood-slow SOCKET N          N connections, each sending 3 bytes of a 1000-byte frame;
//                                prints "stalled N", then "closed K" once the host closed them
//                                all, or after 20 s
// With "--nobody" before the command the process first gives up root for uid and gid 65534; it
// exits 5 when that fails.
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "os/bridge/peer.h"
#include "os/bridge/registry_bridge.h"
#include "os/core/sid.h"
#include "os/registry/registry.h"

namespace {

using os::bridge::UNIQUE_FD;

int Set(const std::string& key, const std::string& name, uint32_t number) {
    os::RegKey opened;
    uint32_t error = os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, key, opened);
    if (error == os::ERROR_SUCCESS)
        error = os::RegSetValueEx(opened, name, os::REG_DWORD, os::RegDwordData(number));
    std::printf("set %u\n", error);
    return 0;
}

int Get(const std::string& key, const std::string& name) {
    os::RegKey opened;
    os::REG_VALUE value;
    uint32_t error = os::RegOpenKeyEx(os::HKEY_LOCAL_MACHINE, key, opened);
    if (error == os::ERROR_SUCCESS)
        error = os::RegQueryValue(opened, name, value);
    std::string shown;
    if (value.type == os::REG_DWORD && value.data.size() == 4) {
        shown = std::to_string(value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                               (static_cast<uint32_t>(value.data[3]) << 24));
    } else {
        shown = os::RegStringFromData(value.data);
    }
    std::printf("get %u %u %s\n", error, value.type, shown.c_str());
    return 0;
}

int ZwGet(const std::string& path, const std::string& name) {
    os::RegKey key;
    os::NTSTATUS status = os::ZwOpenKey(key, path);
    uint8_t buffer[64] = {};
    uint32_t needed = 0;
    if (os::NT_SUCCESS(status)) {
        status = os::ZwQueryValueKey(key, name,
                                     os::KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation,
                                     buffer, sizeof buffer, &needed);
    }
    uint32_t header[3] = {};
    std::memcpy(header, buffer, sizeof header);
    uint32_t number = 0;
    std::memcpy(&number, buffer + os::kKeyValuePartialInformationHeader, sizeof number);
    std::printf("zwget %08X %u %u\n", static_cast<uint32_t>(status), header[1], number);
    return 0;
}

int Hold(const std::string& key) {
    os::RegKey opened;
    uint32_t error = os::RegOpenKeyEx(os::HKEY_LOCAL_MACHINE, key, opened);
    os::RegKey second;
    if (error == os::ERROR_SUCCESS)
        error = os::RegCreateKeyEx(opened, "Held", second);
    std::printf("held %u\n", error);
    std::fflush(stdout);
    for (int i = 0; i < 100; ++i)
        ::usleep(100'000);  // the test kills this process long before
    return 0;
}

int Watch(const std::string& key) {
    os::RegKey opened;
    os::Event changed(os::EventType::Notification, false);
    uint32_t error = os::RegOpenKeyEx(os::HKEY_LOCAL_MACHINE, key, opened);
    if (error == os::ERROR_SUCCESS)
        error = os::RegNotifyChangeKeyValue(opened, false, os::REG_NOTIFY_CHANGE_LAST_SET, changed);
    std::printf("armed %u\n", error);
    std::fflush(stdout);
    if (error != os::ERROR_SUCCESS)
        return 1;
    const bool fired = os::WaitForSingleObject(changed, 5000) == os::WAIT_OBJECT_0;
    std::printf("%s\n", fired ? "changed" : "timeout");
    return 0;
}

int NoHost(uint32_t connectError, const std::string& key) {
    os::RegKey opened;
    uint32_t error = os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, key, opened);
    os::RegKey zw;
    os::NTSTATUS status = os::ZwOpenKey(zw, "\\REGISTRY\\MACHINE\\SOFTWARE");
    std::printf("nohost %u %u %08X\n", connectError, error, static_cast<uint32_t>(status));
    return 0;
}

int Ops(const std::string& path) {
    os::RegKey key;
    auto say = [](const char* name, uint32_t error) { std::printf("%s %u\n", name, error); };
    auto sayStatus = [](const char* name, os::NTSTATUS status) {
        std::printf("%s %08X\n", name, static_cast<uint32_t>(status));
    };
    say("open", os::RegOpenKeyEx(os::HKEY_LOCAL_MACHINE, path, key));
    os::REG_VALUE value;
    say("query", os::RegQueryValue(key, "V", value));
    std::string name;
    say("enumvalue", os::RegEnumValue(key, 0, name, &value));
    say("enumkey", os::RegEnumKeyEx(key, 0, name));
    os::REG_KEY_INFO info;
    say("info", os::RegQueryInfoKey(key, info));
    os::Event changed(os::EventType::Notification, false);
    say("notify", os::RegNotifyChangeKeyValue(key, false, os::REG_NOTIFY_CHANGE_LAST_SET, changed));
    os::REG_SECURITY security;
    say("getsec", os::RegGetKeySecurity(key, security));
    say("set", os::RegSetValueEx(key, "W", os::REG_DWORD, os::RegDwordData(1)));
    say("deletevalue", os::RegDeleteValue(key, "V"));
    os::RegKey created;
    say("create", os::RegCreateKeyEx(key, "New", created));
    os::RegKey existing;
    say("createexisting", os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, path, existing));
    os::REG_SECURITY own{{}, {{os::UnixUserSid(::geteuid()), os::KEY_ALL_ACCESS}}};
    os::RegKey withSecurity;
    say("createwithsecurity", os::RegCreateKeyEx(key, "Own", withSecurity, nullptr, &own));
    say("rename", os::RegRenameKey(key, "Sub", "Sub2"));
    say("deletekey", os::RegDeleteKey(key, "Doomed"));
    say("setsec", os::RegSetKeySecurity(key, security));
    os::RegKey kernel;
    const std::string kernelPath = "\\REGISTRY\\MACHINE\\" + path;
    sayStatus("zwopen", os::ZwOpenKey(kernel, kernelPath));
    sayStatus("zwset", os::ZwSetValueKey(kernel, "Z", os::REG_DWORD, os::RegDwordData(1)));
    os::RegKey zwCreated;
    sayStatus("zwcreate", os::ZwCreateKey(zwCreated, kernelPath + "\\ZwNew"));
    return 0;
}

// ---- Floods ----

std::vector<UNIQUE_FD> Connections(const std::string& socketPath, int count) {
    std::vector<UNIQUE_FD> connections;
    for (int i = 0; i < count; ++i) {
        UNIQUE_FD fd;
        if (os::bridge::ConnectSocket(socketPath, &fd) == os::ERROR_SUCCESS)
            connections.push_back(std::move(fd));
    }
    return connections;
}

// Whether the host has closed the connection (its end read, or a reset).
bool Closed(int fd) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 0) <= 0)
        return false;
    uint8_t byte = 0;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Waits for the host to close every connection, at most `ms`; how many it closed.
size_t ClosedWithin(const std::vector<UNIQUE_FD>& connections, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::vector<bool> closed(connections.size(), false);
    size_t count = 0;
    for (;;) {
        for (size_t i = 0; i < connections.size(); ++i) {
            if (!closed[i] && Closed(connections[i].Get())) {
                closed[i] = true;
                ++count;
            }
        }
        if (count == connections.size() || std::chrono::steady_clock::now() > end)
            return count;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int Flood(const std::string& kind, const std::string& socketPath, int count) {
    std::vector<UNIQUE_FD> connections = Connections(socketPath, count);
    if (kind == "flood-connections") {
        std::printf("connected %zu\n", connections.size());
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(10));  // the test kills this process
        return 0;
    }
    const std::vector<uint8_t> huge{0xFF, 0xFF, 0xFF, 0xFF};
    const std::vector<uint8_t> slow{0xE8, 0x03, 0x00, 0x00, 1, 2, 3};
    const std::vector<uint8_t>& bytes = kind == "flood-huge" ? huge : slow;
    for (const UNIQUE_FD& fd : connections)
        ::send(fd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (kind == "flood-huge") {
        std::printf("closed %zu\n", ClosedWithin(connections, 5000));
        return 0;
    }
    std::printf("stalled %zu\n", connections.size());
    std::fflush(stdout);
    std::printf("closed %zu\n", ClosedWithin(connections, 20'000));
    return 0;
}

bool BecomeNobody() {
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
        return false;
    return ::getuid() == kNobody && ::geteuid() == kNobody && ::setuid(0) != 0;
}

int StoreLoop(const std::string& path) {
    os::RegistryOpenResult result;
    auto store = os::RegistryStore::OpenFile(path, {}, &result);
    if (store == nullptr) {
        std::printf("open %u %s\n", result.error, result.message.c_str());
        return 1;
    }
    os::RegKey key;
    if (!os::NT_SUCCESS(
            store->CreateKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\Loop", key, nullptr)))
        return 1;
    // Large enough that a kill often lands inside a write.
    std::vector<uint8_t> bulk(256 * 1024, 0x5A);
    for (uint32_t round = 1;; ++round) {
        store->SetValue(key, "Bulk", os::REG_BINARY, bulk);
        store->SetValue(key, "Round", os::REG_DWORD, os::RegDwordData(round));
        if (round == 1) {
            std::printf("writing\n");
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 1 && std::strcmp(argv[1], "--nobody") == 0) {
        if (!BecomeNobody()) {
            std::fprintf(stderr, "registry_bridge_peer: could not become uid 65534\n");
            return 5;
        }
        --argc;
        ++argv;
    }
    if (argc < 2)
        return 2;
    const std::string command = argv[1];
    auto arg = [&](int index) { return index < argc ? std::string(argv[index]) : std::string(); };
    if (command == "store-loop")
        return StoreLoop(arg(2));
    if (command.rfind("flood-", 0) == 0)
        return Flood(command, arg(2), std::atoi(arg(3).c_str()));
    const uint32_t connectError = os::ConnectRegistryBridge();
    if (command == "set")
        return Set(arg(2), arg(3), static_cast<uint32_t>(std::strtoul(arg(4).c_str(), nullptr, 0)));
    if (command == "get")
        return Get(arg(2), arg(3));
    if (command == "zwget")
        return ZwGet(arg(2), arg(3));
    if (command == "hold")
        return Hold(arg(2));
    if (command == "watch")
        return Watch(arg(2));
    if (command == "nohost")
        return NoHost(connectError, arg(2));
    if (command == "ops")
        return Ops(arg(2));
    return 2;
}
