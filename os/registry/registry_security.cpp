// Key security: descriptors, their byte form, the rules of new keys and the access check.

#include "os/registry/registry_security.h"

#include <unistd.h>

#include <algorithm>
#include <string>

#include "os/core/process.h"
#include "os/core/sid.h"

namespace os {
namespace {

constexpr size_t kSidHeader = 8;  // revision, count, 48-bit authority
constexpr size_t kMaxSubAuthorities = 15;

std::vector<uint8_t> Sid(uint64_t authority, std::initializer_list<uint32_t> subs) {
    const std::vector<uint32_t> list(subs);
    return MakeSid(authority, list);
}

// The groups every user who is not an administrator belongs to.
const std::vector<std::vector<uint8_t>>& EveryUsersGroups() {
    static const std::vector<std::vector<uint8_t>> groups{EveryoneSid(), AuthenticatedUsersSid(),
                                                          UsersSid()};
    return groups;
}

bool Same(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

bool Granted(const REG_SECURITY& security, std::span<const uint8_t> user, bool administrator,
             uint32_t desired) {
    if (administrator)
        return true;
    uint32_t granted = 0;
    for (const REG_ACE& entry : security.entries) {
        if (Same(entry.sid, user)) {
            granted |= entry.mask;
            continue;
        }
        for (const auto& group : EveryUsersGroups()) {
            if (Same(entry.sid, group)) {
                granted |= entry.mask;
                break;
            }
        }
    }
    if (!user.empty() && Same(security.owner, user))
        granted |= READ_CONTROL | WRITE_DAC;
    return (granted & desired) == desired;
}

// A decimal number of at most `limit`; false for anything else (no sign, no blanks).
bool Number(std::string_view text, uint64_t limit, uint64_t* value) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (result > (limit - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

// "S-1-<authority>-<sub>..." as a binary SID.
std::optional<std::vector<uint8_t>> SidFromText(std::string_view text) {
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text.substr(1, 3) != "-1-")
        return std::nullopt;
    text.remove_prefix(4);
    std::vector<uint64_t> parts;
    for (;;) {
        const size_t dash = text.find('-');
        uint64_t value = 0;
        const uint64_t limit = parts.empty() ? (1ull << 48) - 1 : UINT32_MAX;
        if (!Number(text.substr(0, dash), limit, &value))
            return std::nullopt;
        parts.push_back(value);
        if (dash == std::string_view::npos)
            break;
        text.remove_prefix(dash + 1);
    }
    if (parts.size() < 2 || parts.size() > kMaxSubAuthorities + 1)
        return std::nullopt;
    std::vector<uint32_t> subs;
    for (size_t i = 1; i < parts.size(); ++i)
        subs.push_back(static_cast<uint32_t>(parts[i]));
    return MakeSid(parts[0], subs);
}

class BYTE_READER {
  public:
    explicit BYTE_READER(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool Int(size_t size, uint32_t* value) {
        if (bytes_.size() - position_ < size)
            return false;
        *value = 0;
        for (size_t i = 0; i < size; ++i)
            *value |= static_cast<uint32_t>(bytes_[position_ + i]) << (8 * i);
        position_ += size;
        return true;
    }
    bool Take(size_t size, std::vector<uint8_t>* out) {
        if (bytes_.size() - position_ < size)
            return false;
        out->assign(bytes_.begin() + static_cast<std::ptrdiff_t>(position_),
                    bytes_.begin() + static_cast<std::ptrdiff_t>(position_ + size));
        position_ += size;
        return true;
    }
    bool AtEnd() const { return position_ == bytes_.size(); }

  private:
    std::span<const uint8_t> bytes_;
    size_t position_ = 0;
};

void PutInt(std::vector<uint8_t>& out, uint32_t value, size_t size) {
    for (size_t i = 0; i < size; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

thread_local const REG_CALLER* tCaller = nullptr;

}  // namespace

std::vector<uint8_t> EveryoneSid() {
    return Sid(1, {0});
}

std::vector<uint8_t> AuthenticatedUsersSid() {
    return Sid(5, {11});
}

std::vector<uint8_t> LocalSystemSid() {
    return Sid(5, {18});
}

std::vector<uint8_t> AdministratorsSid() {
    return Sid(5, {32, 544});
}

std::vector<uint8_t> UsersSid() {
    return Sid(5, {32, 545});
}

bool IsValidSid(std::span<const uint8_t> sid) {
    return sid.size() >= kSidHeader && sid[0] == 1 && sid[1] <= kMaxSubAuthorities &&
           sid.size() == kSidHeader + 4u * sid[1];
}

bool IsValidRegSecurity(const REG_SECURITY& security) {
    if (!security.owner.empty() && !IsValidSid(security.owner))
        return false;
    if (security.entries.size() > kMaxRegAces)
        return false;
    return std::all_of(security.entries.begin(), security.entries.end(),
                       [](const REG_ACE& entry) { return IsValidSid(entry.sid); });
}

const REG_SECURITY& MachineKeySecurity() {
    static const REG_SECURITY security{AdministratorsSid(),
                                       {{LocalSystemSid(), KEY_ALL_ACCESS},
                                        {AdministratorsSid(), KEY_ALL_ACCESS},
                                        {UsersSid(), KEY_READ}}};
    return security;
}

REG_SECURITY UserHiveSecurity(std::span<const uint8_t> user) {
    const std::vector<uint8_t> owner(user.begin(), user.end());
    return {owner,
            {{owner, KEY_ALL_ACCESS},
             {LocalSystemSid(), KEY_ALL_ACCESS},
             {AdministratorsSid(), KEY_ALL_ACCESS}}};
}

std::optional<std::vector<uint8_t>> UserOfHiveName(std::string_view name) {
    constexpr std::string_view kClasses = "_classes";
    if (name.size() > kClasses.size()) {
        std::string tail(name.substr(name.size() - kClasses.size()));
        std::transform(tail.begin(), tail.end(), tail.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
        if (tail == kClasses)
            name.remove_suffix(kClasses.size());
    }
    auto sid = SidFromText(name);
    if (!sid)
        return std::nullopt;
    for (uint32_t service : {18u, 19u, 20u}) {
        if (*sid == Sid(5, {service}))
            return std::nullopt;
    }
    return sid;
}

std::vector<uint8_t> EncodeRegSecurity(const REG_SECURITY& security) {
    std::vector<uint8_t> out;
    PutInt(out, static_cast<uint32_t>(security.owner.size()), 1);
    out.insert(out.end(), security.owner.begin(), security.owner.end());
    PutInt(out, static_cast<uint32_t>(security.entries.size()), 2);
    for (const REG_ACE& entry : security.entries) {
        PutInt(out, static_cast<uint32_t>(entry.sid.size()), 1);
        out.insert(out.end(), entry.sid.begin(), entry.sid.end());
        PutInt(out, entry.mask, 4);
    }
    return out;
}

bool DecodeRegSecurity(std::span<const uint8_t> bytes, REG_SECURITY* security) {
    BYTE_READER in(bytes);
    REG_SECURITY found;
    uint32_t length = 0, count = 0;
    if (!in.Int(1, &length) || !in.Take(length, &found.owner) || !in.Int(2, &count) ||
        count > kMaxRegAces) {
        return false;
    }
    found.entries.resize(count);
    for (REG_ACE& entry : found.entries) {
        if (!in.Int(1, &length) || !in.Take(length, &entry.sid) || !in.Int(4, &entry.mask))
            return false;
    }
    if (!in.AtEnd() || !IsValidRegSecurity(found))
        return false;
    *security = std::move(found);
    return true;
}

bool IsRegistryAdministrator(std::span<const uint8_t> user) {
    static const std::vector<std::vector<uint8_t>> administrators{
        LocalSystemSid(), AdministratorsSid(), UnixUserSid(0),
        UnixUserSid(static_cast<uint32_t>(::geteuid()))};
    if (user.empty())
        return true;
    return std::any_of(administrators.begin(), administrators.end(),
                       [&](const std::vector<uint8_t>& sid) { return Same(sid, user); });
}

REG_CALLER RegCallerForUid(uint32_t uid) {
    REG_CALLER caller;
    caller.user = UnixUserSid(uid);
    caller.administrator = IsRegistryAdministrator(caller.user);
    return caller;
}

ScopedRegistryCaller::ScopedRegistryCaller(const REG_CALLER& caller) : previous_(tCaller) {
    tCaller = &caller;
}

ScopedRegistryCaller::~ScopedRegistryCaller() {
    tCaller = previous_;
}

REG_CALLER CurrentRegistryCaller() {
    if (tCaller != nullptr)
        return *tCaller;
    auto process = CurrentProcess();
    if (process == nullptr || process->UserSid().empty())
        return {{}, true};
    return {process->UserSid(), IsRegistryAdministrator(process->UserSid())};
}

bool RegistryAccessGranted(const REG_SECURITY& security, uint32_t desired) {
    if (tCaller != nullptr)
        return Granted(security, tCaller->user, tCaller->administrator, desired);
    auto process = CurrentProcess();
    if (process == nullptr || process->UserSid().empty())
        return true;  // the system's own
    const std::vector<uint8_t>& user = process->UserSid();
    return Granted(security, user, IsRegistryAdministrator(user), desired);
}

}  // namespace os
