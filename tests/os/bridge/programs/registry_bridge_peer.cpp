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
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/bridge/registry_bridge.h"
#include "os/registry/registry.h"

namespace {

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
    if (argc < 2)
        return 2;
    const std::string command = argv[1];
    auto arg = [&](int index) { return index < argc ? std::string(argv[index]) : std::string(); };
    if (command == "store-loop")
        return StoreLoop(arg(2));
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
    return 2;
}
