#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "os/core/status.h"
#include "os/win32/adapters.h"
#include "os/win32/device_facts.h"
#include "os/win32/process_list.h"

namespace os {
namespace {

namespace fs = std::filesystem;

// A folder in the temporary directory standing for /sys or /proc; removed with the object.
class FIXTURE_TREE {
  public:
    FIXTURE_TREE() {
        std::string pattern = (fs::temp_directory_path() / "wexo-facts-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            root_ = pattern;
        }
    }
    ~FIXTURE_TREE() {
        std::error_code ignored;
        if (!root_.empty()) {
            fs::remove_all(root_, ignored);
        }
    }
    FIXTURE_TREE(const FIXTURE_TREE&) = delete;
    FIXTURE_TREE& operator=(const FIXTURE_TREE&) = delete;

    const std::string& Root() const { return root_; }
    std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
    void Write(const std::string& relative, const std::string& text) const {
        fs::create_directories(fs::path(Path(relative)).parent_path());
        std::ofstream(Path(relative)) << text;
    }
    void Folder(const std::string& relative) const { fs::create_directories(Path(relative)); }
    // A link whose target need not exist, as /proc/<pid>/exe of a deleted program.
    void Link(const std::string& relative, const std::string& target) const {
        fs::create_directories(fs::path(Path(relative)).parent_path());
        fs::create_symlink(target, Path(relative));
    }

    // One interface below class/net, with a device and driver when `driver` is given.
    void Interface(const std::string& name, uint32_t index, uint32_t arpType,
                   const std::string& address, const char* driver = nullptr) const {
        const std::string base = "class/net/" + name;
        Write(base + "/ifindex", std::to_string(index) + "\n");
        Write(base + "/type", std::to_string(arpType) + "\n");
        Write(base + "/address", address + "\n");
        if (driver != nullptr) {
            Folder("devices/" + name);
            Folder(std::string("bus/drivers/") + driver);
            Link(base + "/device", Path("devices/" + name));
            Link("devices/" + name + "/driver", Path(std::string("bus/drivers/") + driver));
        }
    }

  private:
    std::string root_;
};

TEST(AdaptersTest, InterfacesInIndexOrderWithTypeDriverAddressAndDevice) {
    FIXTURE_TREE sys;
    ASSERT_FALSE(sys.Root().empty());
    sys.Interface("eth0", 3, 1, "00:1a:2b:3c:4d:5e", "e1000e");
    sys.Interface("wlan0", 2, 1, "a0:b1:c2:d3:e4:f5", "iwlwifi");
    sys.Folder("class/net/wlan0/wireless");
    sys.Interface("lo", 1, 772, "00:00:00:00:00:00");
    sys.Interface("br0", 10, 1, "02:42:ac:11:00:01");
    sys.Interface("tun0", 7, 65534, "");
    // A phy80211 link marks a wireless interface too; InfiniBand's long address is cut.
    sys.Interface("ib0", 8, 32, "80:00:02:08:fe:80:00:00:00:00:00:00:00:02:c9", "mlx4_core");
    sys.Link("class/net/ib0/phy80211", sys.Path("devices/ib0"));
    sys.Folder("class/net/bonding_masters");  // not an interface: no index

    std::vector<IP_ADAPTER_INFO> adapters;
    ASSERT_EQ(GetAdaptersInfo(&adapters, sys.Root()), ERROR_SUCCESS);
    ASSERT_EQ(adapters.size(), 6u);
    const char* names[] = {"lo", "wlan0", "eth0", "tun0", "ib0", "br0"};
    const char* descriptions[] = {"lo", "iwlwifi", "e1000e", "tun0", "mlx4_core", "br0"};
    const uint32_t types[] = {MIB_IF_TYPE_LOOPBACK, IF_TYPE_IEEE80211, MIB_IF_TYPE_ETHERNET,
                              MIB_IF_TYPE_OTHER,    IF_TYPE_IEEE80211, MIB_IF_TYPE_ETHERNET};
    const bool physical[] = {false, true, true, false, true, false};
    for (size_t i = 0; i < adapters.size(); ++i) {
        EXPECT_EQ(adapters[i].adapterName, names[i]);
        EXPECT_EQ(adapters[i].description, descriptions[i]) << names[i];
        EXPECT_EQ(adapters[i].type, types[i]) << names[i];
        EXPECT_EQ(adapters[i].physical, physical[i]) << names[i];
    }
    EXPECT_EQ(adapters[2].index, 3u);
    EXPECT_EQ(adapters[2].address, (std::vector<uint8_t>{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
    EXPECT_EQ(adapters[1].address, (std::vector<uint8_t>{0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5}));
    EXPECT_TRUE(adapters[3].address.empty());
    EXPECT_EQ(adapters[4].address.size(), MAX_ADAPTER_ADDRESS_LENGTH);

    EXPECT_TRUE(IsPhysicalInterface("eth0", sys.Root()));
    EXPECT_FALSE(IsPhysicalInterface("br0", sys.Root()));
    EXPECT_FALSE(IsPhysicalInterface("gone0", sys.Root()));
    // Names are one component: nothing outside class/net is looked at.
    EXPECT_FALSE(IsPhysicalInterface("../../devices/eth0/..", sys.Root()));
    EXPECT_FALSE(IsPhysicalInterface("..", sys.Root()));
}

TEST(AdaptersTest, NoInterfacesAndNoFolder) {
    FIXTURE_TREE sys;
    ASSERT_FALSE(sys.Root().empty());
    std::vector<IP_ADAPTER_INFO> adapters(1);
    EXPECT_EQ(GetAdaptersInfo(&adapters, sys.Root()), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(adapters.empty());
    sys.Folder("class/net");
    EXPECT_EQ(GetAdaptersInfo(&adapters, sys.Root()), ERROR_SUCCESS);
    EXPECT_TRUE(adapters.empty());
}

constexpr char kTwoCoresFourThreads[] =
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 158\n"
    "model name\t: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\nstepping\t: 10\n"
    "physical id\t: 0\ncore id\t\t: 0\ncpu cores\t: 6\n\n"
    "processor\t: 1\nvendor_id\t: GenuineIntel\nphysical id\t: 0\ncore id\t\t: 1\n\n"
    "processor\t: 2\nvendor_id\t: GenuineIntel\nphysical id\t: 0\ncore id\t\t: 0\n\n"
    "processor\t: 3\nvendor_id\t: GenuineIntel\nphysical id\t: 0\ncore id\t\t: 1\n\n";

TEST(DeviceFactsTest, ProcessorFromCpuInfo) {
    FIXTURE_TREE proc;
    ASSERT_FALSE(proc.Root().empty());
    DEVICE_FACT_SOURCES sources{proc.Root(), proc.Root(), "x86_64"};
    PROCESSOR_FACTS facts;
    EXPECT_EQ(QueryProcessorFacts(sources, &facts), ERROR_FILE_NOT_FOUND);

    proc.Write("cpuinfo", kTwoCoresFourThreads);
    ASSERT_EQ(QueryProcessorFacts(sources, &facts), ERROR_SUCCESS);
    EXPECT_EQ(facts.manufacturer, "GenuineIntel");
    EXPECT_EQ(facts.description, "x86_64 Family 6 Model 158 Stepping 10");
    EXPECT_EQ(facts.name, "Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz");
    EXPECT_EQ(facts.numberOfCores, 2u);
    EXPECT_EQ(facts.numberOfLogicalProcessors, 4u);

    // Without core ids the count per package is taken, without that every processor is a core.
    proc.Write("cpuinfo",
               "processor : 0\nvendor_id : AuthenticAMD\ncpu family : 23\nmodel : 1\n"
               "model name : AMD EPYC\nstepping : 2\ncpu cores : 8\n\nprocessor : 1\n\n");
    ASSERT_EQ(QueryProcessorFacts(sources, &facts), ERROR_SUCCESS);
    EXPECT_EQ(facts.description, "x86_64 Family 23 Model 1 Stepping 2");
    EXPECT_EQ(facts.numberOfCores, 8u);
    EXPECT_EQ(facts.numberOfLogicalProcessors, 2u);
    proc.Write("cpuinfo",
               "processor : 0\nvendor_id : V\ncpu family : 1\nmodel : 2\nmodel name : N\n"
               "stepping : 3\nprocessor : 1\nprocessor : 2\n");
    ASSERT_EQ(QueryProcessorFacts(sources, &facts), ERROR_SUCCESS);
    EXPECT_EQ(facts.numberOfCores, 3u);
    EXPECT_EQ(facts.numberOfLogicalProcessors, 3u);

    // A field missing (as on processors that name themselves otherwise) fails the query and
    // leaves the facts alone.
    proc.Write("cpuinfo", "processor : 0\nvendor_id : V\ncpu family : 1\nmodel : 2\n");
    EXPECT_EQ(QueryProcessorFacts(sources, &facts), ERROR_NOT_FOUND);
    EXPECT_EQ(facts.name, "N");
}

TEST(DeviceFactsTest, BoardAndBiosFromDmi) {
    FIXTURE_TREE sys;
    ASSERT_FALSE(sys.Root().empty());
    DEVICE_FACT_SOURCES sources{sys.Root(), sys.Root(), "x86_64"};
    BASEBOARD_FACTS board;
    BIOS_FACTS bios;
    EXPECT_EQ(QueryBiosFacts(sources, &bios), ERROR_FILE_NOT_FOUND);

    sys.Write("class/dmi/id/board_vendor", "Dell Inc.  \n");
    EXPECT_EQ(QueryBaseBoardFacts(sources, &board), ERROR_FILE_NOT_FOUND);  // no serial
    EXPECT_EQ(board.manufacturer, "");
    sys.Write("class/dmi/id/board_serial", " .7XYZ12.CN1296. \t\n\n");
    sys.Write("class/dmi/id/product_serial", "To be filled by O.E.M.\n");
    ASSERT_EQ(QueryBaseBoardFacts(sources, &board), ERROR_SUCCESS);
    EXPECT_EQ(board.manufacturer, "Dell Inc.");
    EXPECT_EQ(board.serialNumber, " .7XYZ12.CN1296.");  // only the end is trimmed
    ASSERT_EQ(QueryBiosFacts(sources, &bios), ERROR_SUCCESS);
    EXPECT_EQ(bios.serialNumber, "To be filled by O.E.M.");

    // Something that cannot be read as a file fails the query.
    fs::remove(sys.Path("class/dmi/id/product_serial"));
    sys.Folder("class/dmi/id/product_serial");
    EXPECT_NE(QueryBiosFacts(sources, &bios), ERROR_SUCCESS);
    EXPECT_EQ(bios.serialNumber, "To be filled by O.E.M.");
}

TEST(ProcessListTest, SnapshotSessionsAndImagePaths) {
    FIXTURE_TREE proc;
    ASSERT_FALSE(proc.Root().empty());
    auto process = [&](uint32_t pid, const char* comm, const char* session, const char* exe) {
        const std::string base = std::to_string(pid);
        proc.Folder(base);
        if (comm != nullptr) {
            proc.Write(base + "/comm", std::string(comm) + "\n");
        }
        if (session != nullptr) {
            proc.Write(base + "/sessionid", session);
        }
        if (exe != nullptr) {
            proc.Link(base + "/exe", exe);
        }
    };
    process(1200, "bash", "3", "/usr/bin/bash");
    process(1, "systemd", "4294967295", "/usr/lib/systemd/systemd");
    process(77, nullptr, "garbage", "/opt/tools/long-named-tool");
    process(88, "kworker/0:1", "4294967295", nullptr);
    process(90, "nosession", nullptr, "/usr/bin/nosession");
    proc.Link("self", "1200");
    proc.Write("cpuinfo", "");

    std::vector<PROCESSENTRY32> processes;
    ASSERT_EQ(CreateProcessSnapshot(&processes, proc.Root()), ERROR_SUCCESS);
    ASSERT_EQ(processes.size(), 5u);
    const uint32_t ids[] = {1, 77, 88, 90, 1200};
    const char* names[] = {"systemd", "long-named-tool", "kworker/0:1", "nosession", "bash"};
    for (size_t i = 0; i < processes.size(); ++i) {
        EXPECT_EQ(processes[i].processId, ids[i]);
        EXPECT_EQ(processes[i].exeFile, names[i]);
    }
    EXPECT_EQ(CreateProcessSnapshot(&processes, proc.Path("missing")), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(processes.empty());

    uint32_t session = 99;
    ASSERT_EQ(ProcessIdToSessionId(1200, &session, proc.Root()), ERROR_SUCCESS);
    EXPECT_EQ(session, 3u);
    ASSERT_EQ(ProcessIdToSessionId(1, &session, proc.Root()), ERROR_SUCCESS);
    EXPECT_EQ(session, 0u);  // outside every login session
    EXPECT_EQ(ProcessIdToSessionId(4242, &session, proc.Root()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ProcessIdToSessionId(90, &session, proc.Root()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ProcessIdToSessionId(77, &session, proc.Root()), 13u);  // invalid data
    EXPECT_EQ(session, 0u);

    std::string path = "unchanged";
    ASSERT_EQ(QueryFullProcessImageName(1200, &path, proc.Root()), ERROR_SUCCESS);
    EXPECT_EQ(path, "/usr/bin/bash");
    EXPECT_EQ(QueryFullProcessImageName(88, &path, proc.Root()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(QueryFullProcessImageName(4242, &path, proc.Root()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(path, "/usr/bin/bash");
}

TEST(ProcessListSmokeTest, TheRunningProcessIsListedWithItsExecutable) {
    const uint32_t self = static_cast<uint32_t>(getpid());
    std::vector<PROCESSENTRY32> processes;
    ASSERT_EQ(CreateProcessSnapshot(&processes), ERROR_SUCCESS);
    auto it = std::find_if(processes.begin(), processes.end(),
                           [&](const PROCESSENTRY32& p) { return p.processId == self; });
    ASSERT_NE(it, processes.end());
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    ASSERT_FALSE(error);
    // comm holds the first 15 bytes of the program's name.
    EXPECT_EQ(it->exeFile, exe.filename().string().substr(0, 15));

    std::string path;
    ASSERT_EQ(QueryFullProcessImageName(self, &path), ERROR_SUCCESS);
    EXPECT_EQ(path, exe.string());
    uint32_t session = 0;
    if (fs::exists("/proc/self/sessionid")) {
        EXPECT_EQ(ProcessIdToSessionId(self, &session), ERROR_SUCCESS);
    }
}

}  // namespace
}  // namespace os
