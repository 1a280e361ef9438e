// The hardware facts the service identifies the device by, as the three WMI classes it queries
// would give them on Windows (Win32_Processor, Win32_BaseBoard, Win32_Bios), read here from
// /proc/cpuinfo and the DMI folder of sysfs. A fact that cannot be read (a missing file, or a
// root-only one read by another user) makes its query fail with the Win32 error of the read, as a
// query fails on a machine without WMI.
#pragma once

#include <cstdint>
#include <string>

namespace os {

constexpr char kDefaultProcRoot[] = "/proc";
constexpr char kDefaultSysfsRoot[] = "/sys";

// Where the facts are read. Tests point the roots at folders they make; `machine` stands in for
// the uname machine ("x86_64") when not empty.
struct DEVICE_FACT_SOURCES {
    std::string procRoot = kDefaultProcRoot;
    std::string sysfsRoot = kDefaultSysfsRoot;
    std::string machine;
};

// The first processor.
struct PROCESSOR_FACTS {
    std::string manufacturer;  // vendor_id, "GenuineIntel"
    std::string description;   // "x86_64 Family 6 Model 158 Stepping 10"
    std::string name;          // model name
    uint32_t numberOfCores = 0;
    uint32_t numberOfLogicalProcessors = 0;
};

struct BASEBOARD_FACTS {
    std::string manufacturer;  // board_vendor
    std::string serialNumber;  // board_serial
};

struct BIOS_FACTS {
    std::string serialNumber;  // product_serial
};

// Whether the facts can be asked for at all: the DMI folder and the processor list are there.
// ERROR_SUCCESS or the mapped errno of the first that is not (a machine without DMI, a tree
// without /proc).
uint32_t ConnectDeviceFacts(const DEVICE_FACT_SOURCES& sources);

// ERROR_SUCCESS, the mapped errno of a file that cannot be read, or ERROR_NOT_FOUND when
// /proc/cpuinfo lacks one of the fields (vendor_id, cpu family, model, stepping, model name). The
// cores are the distinct (physical id, core id) pairs; without them "cpu cores" of the first
// processor; without that the logical processors. The facts are written only on success.
uint32_t QueryProcessorFacts(const DEVICE_FACT_SOURCES& sources, PROCESSOR_FACTS* facts);
uint32_t QueryBaseBoardFacts(const DEVICE_FACT_SOURCES& sources, BASEBOARD_FACTS* facts);
uint32_t QueryBiosFacts(const DEVICE_FACT_SOURCES& sources, BIOS_FACTS* facts);

// A small text file of /proc or sysfs, without its trailing line ends and blanks: ERROR_SUCCESS or
// the mapped errno of the open or read (text is then left as it was).
uint32_t ReadFactFile(const std::string& path, std::string* text);

}  // namespace os
