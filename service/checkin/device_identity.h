// Which device this is and whose cloud account is logged on to it: the MAC address the check-in
// reports, the hardware facts behind the unique device ID and the ID itself, the Microsoft account
// of a user (the check-in domain comes from it), and the process list the service can write to its
// log.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/win32/device_facts.h"
#include "service/checkin/identity.h"

namespace wexo::svc {

// "OTHER", "ETHERNET", "TOKENRING", "FDDI", "PPP", "LOOPBACK", "SLIP", "WIRELESS"; any other type
// as its decimal number.
std::string AdapterTypeName(uint32_t type);
// Upper-case hexadecimal pairs separated by ":" ("00:1A:2B:3C:4D:5E"); empty for no bytes.
std::string MacAddressText(std::span<const uint8_t> address);

// Why a BIOS serial number cannot identify the device ("Empty or invalid", "All spaces",
// "Contains less than 7 characters", "Every character is the same", "Contains spaces without
// digits"), the first rule that applies; null for a serial that can.
const char* InvalidBiosSerialReason(std::string_view serial);

// The unique device ID of an identity text: SHA-1 over its UTF-16LE form, the first 16 bytes of
// the digest read as a GUID in its memory layout, "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
std::string UniqueDeviceIdFromIdentityText(std::string_view identityText);

// The device's identity as the system-information thread computes it once at start and the
// check-in reads it later; safe to use from several threads.
class DEVICE_IDENTITY {
  public:
    static constexpr size_t kMaxDeviceIdOverride = 37;

    // Where the adapters and the hardware facts are read (tests give folders of their own).
    explicit DEVICE_IDENTITY(os::DEVICE_FACT_SOURCES sources = {});
    DEVICE_IDENTITY(const DEVICE_IDENTITY&) = delete;
    DEVICE_IDENTITY& operator=(const DEVICE_IDENTITY&) = delete;

    // The device ID given on the command line ("UDID"), at most 37 characters (longer text is
    // cut); empty removes it. An override is the ID as it is, whatever the hardware says.
    void SetDeviceIdOverride(std::string_view deviceId);

    // The MAC text of the first physical wireless adapter, else of the first physical Ethernet
    // adapter; false, after a line for every adapter, when neither exists.
    bool GetMacAddress(std::string* macAddress);
    // Whether a device stands behind the adapter (not a bridge, veth, tun, ...).
    bool IsPhysicalAdapter(const std::string& adapterName);
    // Reads the processor, baseboard and BIOS facts and forms the identity text; an invalid BIOS
    // serial is replaced by `macAddress` unless that is empty. False, with the identity text as it
    // was, when a fact cannot be read.
    bool GatherDeviceInformation(std::string_view macAddress);

    // Empty until GatherDeviceInformation succeeded.
    std::string IdentityText() const;
    // The override when set, else the ID of the identity text (of empty text before it is known).
    std::string GetUniqueDeviceId() const;
    // The single-byte form: the first 36 characters and the NUL.
    void GetUniqueDeviceId(char (&buffer)[DEVICE_INFORMATION::kDeviceIdLength + 1]) const;

    // The system-information step: the MAC address, the hardware facts, the device ID given to
    // `device` and the device marked ready (whatever failed), each step timed in the log. Returns
    // whether the hardware facts were read; the MAC text is kept for MacAddress().
    bool GatherSystemInformation(DEVICE_INFORMATION& device);
    // The MAC text found by the last GatherSystemInformation; empty when none qualified.
    std::string MacAddress() const;

  private:
    const os::DEVICE_FACT_SOURCES sources_;
    mutable std::mutex lock_;
    std::string identityText_;
    std::string deviceIdOverride_;
    std::string macAddress_;
};

// The Microsoft account ("name@example.com") a user signed in with, from the identity caches in
// the registry: HKEY_LOCAL_MACHINE's IdentityStore first, then the StoredIdentities of
// HKEY_USERS\.DEFAULT. False when neither knows the SID.
bool GetMicrosoftAccountForSid(std::span<const uint8_t> sid, std::string* account);

// The user of a session as a binary SID; false with the last error set when the session has no
// user the caller can tell.
using SESSION_USER_SID = std::function<bool(uint32_t sessionId, std::vector<uint8_t>* sid)>;

// The token of a session's user (WTSQueryUserToken); false with the last error set when the
// session has no user the caller can tell.
using SESSION_USER_TOKEN = std::function<bool(uint32_t sessionId, TOKEN_HANDLE* token)>;

// The domain of the Microsoft account of the session's user (the token user's SID): the text
// after the last "@". False for session 0 (no console logon), a session without a user, a user
// without an account, or an account without "@".
bool GetCloudDomainForSessionId(uint32_t sessionId, const SESSION_USER_TOKEN& sessionUserToken,
                                std::string* domain);
// The same where the session's user is known by its SID: the token is made of it and the session.
bool GetCloudDomainForSessionId(uint32_t sessionId, const SESSION_USER_SID& sessionUserSid,
                                std::string* domain);

// One log line for each running process (but IDs 0 and 4) with its session and image path when
// they can be read. False when the processes cannot be listed.
bool ShowProcesses(const std::string& procRoot = os::kDefaultProcRoot);

}  // namespace wexo::svc
