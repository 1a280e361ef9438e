// The network adapters (GetAdaptersInfo) as the interfaces of <sysfs>/class/net: name, driver,
// adapter type, hardware address, and whether a device stands behind the interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/win32/device_facts.h"

namespace os {

// Adapter types as GetAdaptersInfo reports them.
constexpr uint32_t MIB_IF_TYPE_OTHER = 1;
constexpr uint32_t MIB_IF_TYPE_ETHERNET = 6;
constexpr uint32_t MIB_IF_TYPE_TOKENRING = 9;
constexpr uint32_t MIB_IF_TYPE_FDDI = 15;
constexpr uint32_t MIB_IF_TYPE_PPP = 23;
constexpr uint32_t MIB_IF_TYPE_LOOPBACK = 24;
constexpr uint32_t MIB_IF_TYPE_SLIP = 28;
constexpr uint32_t IF_TYPE_IEEE80211 = 71;

// The most address bytes an adapter reports; longer addresses (InfiniBand) are cut, as Windows
// cuts them.
constexpr size_t MAX_ADAPTER_ADDRESS_LENGTH = 8;

struct IP_ADAPTER_INFO {
    std::string adapterName;  // the interface name, "eth0"
    // The driver's name (the basename of device/driver), else the interface name.
    std::string description;
    // 71 with a "wireless" entry or a "phy80211" link; else by the ARP hardware type in "type":
    // 772 loopback (24), 1 Ethernet (6), anything else 1.
    uint32_t type = MIB_IF_TYPE_OTHER;
    std::vector<uint8_t> address;  // from "address"; empty when it has none
    uint32_t index = 0;            // ifindex
    // A device stands behind it (a "device" link); bridges, veth, tun and the like have none.
    bool physical = false;
};

// The interfaces in the order of their index (then name). ERROR_SUCCESS, also with no interface;
// otherwise the mapped errno of the folder that cannot be listed (the list is then empty).
// Interfaces that vanish while they are read are left out.
uint32_t GetAdaptersInfo(std::vector<IP_ADAPTER_INFO>* adapters,
                         const std::string& sysfsRoot = kDefaultSysfsRoot);

// Whether the named interface exists with a "device" link; false for names that are not one
// component of a path.
bool IsPhysicalInterface(std::string_view name, const std::string& sysfsRoot = kDefaultSysfsRoot);

// The same with where it failed, as the network configuration's steps fail on Windows: the
// interface folder cannot be listed (the components cannot be enumerated), the name is not one
// of an interface (no bind name), or the device link cannot be looked at (no characteristics).
// An interface that is not there, or has no device, is simply not physical.
enum class INTERFACE_QUERY_STEP { None, Enumerate, Name, Characteristics };
struct INTERFACE_DEVICE {
    uint32_t error = 0;
    INTERFACE_QUERY_STEP failedStep = INTERFACE_QUERY_STEP::None;
    bool physical = false;
};
INTERFACE_DEVICE QueryInterfaceDevice(std::string_view name,
                                      const std::string& sysfsRoot = kDefaultSysfsRoot);

}  // namespace os
