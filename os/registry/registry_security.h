// Who may do what to a key: a small model of Windows key security. Every key has a security
// descriptor, an owner and a list of entries that each allow one SID a set of rights, and every
// operation of the store asks for the rights Windows asks of it. The store judges them in one
// place for every caller, in-process and across the registry bridge; the registry callbacks run
// after that, on what the descriptor let through.
//
// The rule of a new store: \REGISTRY and everything below it (HKEY_LOCAL_MACHINE, HKEY_USERS and
// its .DEFAULT) are owned by Administrators, readable by every user and changed only by the system
// and administrators. A new key gets the descriptor of its parent unless its creator gives it
// another. A key created directly below HKEY_USERS whose name is a user's SID ("S-1-22-1-1000",
// or "S-1-22-1-1000_Classes") is that user's hive: the user owns it and has full access, as do the
// system and administrators; other users have none. Changing a key's descriptor does not change
// its subkeys' (nothing propagates, as with RegSetKeySecurity).
//
// Rights per operation:
//   open                                  KEY_READ of the key
//   create                                KEY_CREATE_SUB_KEY of the deepest key of the path that
//                                         exists (the key itself when it exists: a create asks
//                                         to change, as RegCreateKeyEx with KEY_WRITE does)
//   delete key                            KEY_DELETE of the key
//   rename key                            KEY_WRITE of the key
//   enumerate subkeys                     KEY_ENUMERATE_SUB_KEYS
//   query value, enumerate values, info   KEY_QUERY_VALUE
//   set value, delete value               KEY_SET_VALUE
//   arm a change notification             KEY_NOTIFY
//   read the descriptor                   READ_CONTROL
//   change the descriptor                 WRITE_DAC, and WRITE_OWNER when the owner changes
//
// Callers. An administrator passes every check, as root passes file permissions on Linux (and as
// backup and restore privileges pass them on Windows), so that no descriptor can lock the
// machine's own services out of their keys; the registry callbacks still judge it. Administrators
// are the token users SYSTEM (S-1-5-18), Administrators (S-1-5-32-544), root (S-1-22-1-0) and the
// account the store's own process runs as (a host started by an ordinary user cannot keep its
// store from that user, whose file it is anyway). A process whose token names no user is one of
// the system's own (the driver's threads, the kernel's stand-ins) and counts as SYSTEM. Across a
// bridge the bridge names the caller from the peer's uid (ScopedRegistryCaller), so the process
// table is not asked. Every other caller is a member of Everyone, Authenticated Users and Users:
// it is granted the rights of the entries for those groups and for its own SID, and the owner of
// a key is also granted READ_CONTROL and WRITE_DAC on it. A caller that is not an administrator
// may make only itself the owner of a key.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace os {

// ---- Access rights of keys ----

constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
constexpr uint32_t KEY_SET_VALUE = 0x0002;
constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr uint32_t KEY_NOTIFY = 0x0010;
constexpr uint32_t KEY_CREATE_LINK = 0x0020;
// The standard right DELETE (os/fltmgr names it DELETE for files, and a system header defines
// DELETE as a macro of its own).
constexpr uint32_t KEY_DELETE = 0x00010000;
constexpr uint32_t READ_CONTROL = 0x00020000;
constexpr uint32_t WRITE_DAC = 0x00040000;
constexpr uint32_t WRITE_OWNER = 0x00080000;
constexpr uint32_t KEY_READ = READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr uint32_t KEY_WRITE = READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
constexpr uint32_t KEY_ALL_ACCESS = 0x000F003F;

// ---- Descriptors ----

// One entry of a key's access list: `sid` is allowed the rights of `mask`.
struct REG_ACE {
    std::vector<uint8_t> sid;
    uint32_t mask = 0;
    bool operator==(const REG_ACE&) const = default;
};

struct REG_SECURITY {
    std::vector<uint8_t> owner;  // given to a create or a change: empty names the caller
    std::vector<REG_ACE> entries;
    bool operator==(const REG_SECURITY&) const = default;
};

constexpr size_t kMaxRegAces = 64;

std::vector<uint8_t> EveryoneSid();            // S-1-1-0
std::vector<uint8_t> AuthenticatedUsersSid();  // S-1-5-11
std::vector<uint8_t> LocalSystemSid();         // S-1-5-18
std::vector<uint8_t> AdministratorsSid();      // S-1-5-32-544
std::vector<uint8_t> UsersSid();               // S-1-5-32-545

// A well-formed binary SID: revision 1, at most 15 sub-authorities, exactly as long as they say.
bool IsValidSid(std::span<const uint8_t> sid);
// Well-formed SIDs (an empty owner allowed), at most kMaxRegAces entries.
bool IsValidRegSecurity(const REG_SECURITY& security);

// The rule of \REGISTRY and what inherits it: owner Administrators; SYSTEM and Administrators
// KEY_ALL_ACCESS; Users KEY_READ.
const REG_SECURITY& MachineKeySecurity();
// A user's hive below HKEY_USERS: owner the user; the user, SYSTEM and Administrators
// KEY_ALL_ACCESS.
REG_SECURITY UserHiveSecurity(std::span<const uint8_t> user);
// The user a key name directly below HKEY_USERS stands for ("S-1-22-1-1000", or the same with
// "_Classes"); nullopt for other names and for the system's own accounts (S-1-5-18, -19, -20),
// whose hives are the system's.
std::optional<std::vector<uint8_t>> UserOfHiveName(std::string_view name);

// The form the store file and the bridge carry: u8 owner length, owner, u16 entry count, then
// per entry u8 SID length, SID, u32 mask; integers little-endian.
std::vector<uint8_t> EncodeRegSecurity(const REG_SECURITY& security);
// False when the bytes are not exactly one valid descriptor.
bool DecodeRegSecurity(std::span<const uint8_t> bytes, REG_SECURITY* security);

// ---- Callers ----

struct REG_CALLER {
    std::vector<uint8_t> user;  // empty: the system's own
    bool administrator = false;
};

// The caller a bridge names for a peer process of that uid.
REG_CALLER RegCallerForUid(uint32_t uid);
// Whether a token user is an administrator of this process's registry (see above).
bool IsRegistryAdministrator(std::span<const uint8_t> user);

// Makes `caller` the one the registry judges on this thread while the scope lives (a bridge
// serving another process's request). The caller must outlive the scope.
class ScopedRegistryCaller {
  public:
    explicit ScopedRegistryCaller(const REG_CALLER& caller);
    ~ScopedRegistryCaller();
    ScopedRegistryCaller(const ScopedRegistryCaller&) = delete;
    ScopedRegistryCaller& operator=(const ScopedRegistryCaller&) = delete;

  private:
    const REG_CALLER* previous_;
};

// The caller of the calling thread: the one a bridge named, else the process the thread acts for.
REG_CALLER CurrentRegistryCaller();
// Whether the calling thread's caller is granted every right of `desired` by `security`.
bool RegistryAccessGranted(const REG_SECURITY& security, uint32_t desired);

}  // namespace os
