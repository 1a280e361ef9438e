#include "driver/filter/address_names.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/service_domain.h"
#include "common/url_normalize.h"
#include "driver/platform/dns_answer_remap.h"
#include "os/core/clock.h"

namespace wexo::drv {
namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;

uint16_t Get16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

uint32_t Get32(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint32_t>(Get16(bytes, at)) << 16 | Get16(bytes, at + 2);
}

std::string Lowered(std::string_view name) {
    std::string text(name);
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The host as servers read it, without its port: what names are compared as.
std::string HostName(std::string_view host) {
    std::string normal = NormalizeHost(host);
    if (!normal.empty() && normal.front() != '[') {
        size_t colon = normal.find(':');
        if (colon != std::string::npos && normal.find(':', colon + 1) == std::string::npos) {
            normal.resize(colon);
        }
    }
    return normal;
}

struct ALIAS {
    std::string owner;
    std::string target;
};

}  // namespace

size_t ADDRESS_KEY_HASH::operator()(const ADDRESS_KEY& key) const {
    // FNV-1a over the bytes in use.
    uint64_t hash = 1469598103934665603ull ^ key.length;
    for (size_t i = 0; i < key.length; ++i) {
        hash = (hash ^ key.bytes[i]) * 1099511628211ull;
    }
    return static_cast<size_t>(hash);
}

ADDRESS_KEY MakeAddressKey(const uint8_t* bytes, uint32_t length) {
    ADDRESS_KEY key;
    if (length == 4 || length == 16) {
        std::memcpy(key.bytes.data(), bytes, length);
        key.length = static_cast<uint8_t>(length);
    }
    return key;
}

size_t ADDRESS_NAMES::LearnFromAnswer(std::span<const uint8_t> message) {
    if (message.size() < kDnsHeaderSize || (message[2] & 0x80) == 0 || (message[3] & 0x0F) != 0) {
        return 0;  // not a response, or one with an error
    }
    const size_t questions = Get16(message, 4);
    const size_t answers = Get16(message, 6);
    if (answers == 0) {
        return 0;
    }
    size_t at = kDnsHeaderSize;
    std::string questionName;
    for (size_t i = 0; i < questions; ++i) {
        DNS_NAME name;
        if (ReadDnsName(message, at, &name) != DnsParseStatus::Ok ||
            message.size() - name.end < 4) {
            return 0;
        }
        if (i == 0) {
            questionName = Lowered({name.text, name.textLength});
        }
        at = name.end + 4;
    }
    // Aliases first, then the address records; an answer lists a chain in order, but nothing
    // obliges a server to.
    std::vector<ALIAS> aliases;
    struct RECORD {
        ADDRESS_KEY address;
        std::string owner;
        uint32_t ttl;
    };
    std::vector<RECORD> records;
    for (size_t i = 0; i < answers; ++i) {
        DNS_NAME owner;
        if (ReadDnsName(message, at, &owner) != DnsParseStatus::Ok ||
            message.size() - owner.end < 10) {
            break;
        }
        const size_t header = owner.end;
        const uint16_t type = Get16(message, header);
        const uint16_t recordClass = Get16(message, header + 2);
        const uint32_t ttl = Get32(message, header + 4);
        const size_t length = Get16(message, header + 8);
        const size_t data = header + 10;
        if (message.size() - data < length) {
            break;
        }
        at = data + length;
        if (recordClass != kDnsClassIn) {
            continue;
        }
        std::string ownerName = Lowered({owner.text, owner.textLength});
        if ((type == kDnsTypeA && length == 4) || (type == kDnsTypeAaaa && length == 16)) {
            records.push_back({MakeAddressKey(message.data() + data, static_cast<uint32_t>(length)),
                               std::move(ownerName), ttl});
        } else if (type == kDnsTypeCname && aliases.size() < 4 * kAddressNameAliasDepth) {
            DNS_NAME target;
            if (ReadDnsName(message.first(data + length), data, &target) == DnsParseStatus::Ok) {
                aliases.push_back(
                    {std::move(ownerName), Lowered({target.text, target.textLength})});
            }
        }
    }
    size_t learnt = 0;
    for (const RECORD& record : records) {
        // The record's own name, then each name that aliases to it, back to the question's.
        std::string name = record.owner;
        for (size_t depth = 0; depth <= kAddressNameAliasDepth && !name.empty(); ++depth) {
            Learn(record.address, name, record.ttl);
            ++learnt;
            auto alias = std::find_if(aliases.begin(), aliases.end(),
                                      [&](const ALIAS& a) { return a.target == name; });
            if (alias == aliases.end()) {
                break;
            }
            name = alias->owner;
        }
        if (!questionName.empty() && name != questionName &&
            std::none_of(aliases.begin(), aliases.end(),
                         [&](const ALIAS& a) { return a.owner == questionName; })) {
            // A server that answers a question with records of another name (no alias said how)
            // gave that address for the question's name all the same.
            Learn(record.address, questionName, record.ttl);
            ++learnt;
        }
    }
    return learnt;
}

void ADDRESS_NAMES::Learn(const ADDRESS_KEY& address, std::string_view name, uint32_t ttlSeconds) {
    if (address.length == 0 || name.empty()) {
        return;
    }
    std::string text = HostName(name);
    if (text.empty()) {
        return;
    }
    const uint32_t ttl =
        std::clamp(ttlSeconds, kAddressNameTtlFloorSeconds, kAddressNameTtlCeilingSeconds);
    const uint64_t now = os::QueryInterruptTime();
    std::lock_guard guard(lock_);
    ENTRY& entry = entries_[address];
    const uint64_t serial = nextSerial_++;
    auto names = std::span(entry.names).first(entry.count);
    auto same = std::find_if(names.begin(), names.end(),
                             [&](const NAME& known) { return known.text == text; });
    NAME fresh{std::move(text), now + uint64_t{ttl} * kTicksPerSecond, serial};
    if (same != names.end()) {
        // Learnt again: it moves to the front with the new lifetime.
        std::move_backward(names.begin(), same, same + 1);
    } else if (entry.count == kAddressNamesPerAddress) {
        // The oldest of this address goes, but not a name of our own servers while another can:
        // a shared address's other names must not make our servers' requests be judged there.
        auto goes = std::find_if(names.rbegin(), names.rend(), [](const NAME& known) {
                        return !IsServiceDomain(known.text);
                    }).base();
        if (goes == names.begin()) {
            goes = names.end();
        }
        std::move_backward(names.begin(), goes - 1, goes);
    } else {
        ++entry.count;
        std::move_backward(entry.names.begin(), entry.names.begin() + entry.count - 1,
                           entry.names.begin() + entry.count);
        ++nameCount_;
    }
    entry.names[0] = std::move(fresh);
    order_.emplace_back(address, serial);
    while (nameCount_ > kAddressNamesLimit) {
        EvictOldestLocked();
    }
    // The order keeps one mark per learning; marks of names learnt again or gone are skipped
    // when they come up, and trimmed here so that repeated answers do not grow it.
    while (order_.size() > 2 * kAddressNamesLimit) {
        EvictOldestLocked();
    }
}

void ADDRESS_NAMES::EvictOldestLocked() {
    if (order_.empty()) {
        return;
    }
    auto [address, serial] = order_.front();
    order_.pop_front();
    auto at = entries_.find(address);
    if (at == entries_.end()) {
        return;
    }
    ENTRY& entry = at->second;
    for (size_t i = 0; i < entry.count; ++i) {
        if (entry.names[i].serial == serial) {
            std::move(entry.names.begin() + i + 1, entry.names.begin() + entry.count,
                      entry.names.begin() + i);
            entry.names[--entry.count] = {};
            --nameCount_;
            break;
        }
    }
    if (entry.count == 0) {
        entries_.erase(at);
    }
}

void ADDRESS_NAMES::DropExpiredLocked(
    std::unordered_map<ADDRESS_KEY, ENTRY, ADDRESS_KEY_HASH>::iterator at, uint64_t now) {
    ENTRY& entry = at->second;
    size_t kept = 0;
    for (size_t i = 0; i < entry.count; ++i) {
        if (entry.names[i].expires > now) {
            if (kept != i) {
                entry.names[kept] = std::move(entry.names[i]);
            }
            ++kept;
        } else {
            --nameCount_;
        }
    }
    for (size_t i = kept; i < entry.count; ++i) {
        entry.names[i] = {};
    }
    entry.count = static_cast<uint8_t>(kept);
    if (kept == 0) {
        entries_.erase(at);
    }
}

size_t ADDRESS_NAMES::NamesOf(const ADDRESS_KEY& address, NAME_LIST& names) {
    const uint64_t now = os::QueryInterruptTime();
    std::lock_guard guard(lock_);
    auto at = entries_.find(address);
    if (at == entries_.end()) {
        return 0;
    }
    DropExpiredLocked(at, now);
    at = entries_.find(address);
    if (at == entries_.end()) {
        return 0;
    }
    const ENTRY& entry = at->second;
    for (size_t i = 0; i < entry.count; ++i) {
        names[i] = entry.names[i].text;
    }
    return entry.count;
}

template <typename Predicate>
bool ADDRESS_NAMES::AnyNameOf(const ADDRESS_KEY& address, Predicate matches) {
    NAME_LIST names;
    const size_t count = NamesOf(address, names);
    return std::any_of(names.begin(), names.begin() + static_cast<ptrdiff_t>(count), matches);
}

bool ADDRESS_NAMES::WasGivenForServiceDomain(const ADDRESS_KEY& address) {
    return AnyNameOf(address, [](const std::string& name) { return IsServiceDomain(name); });
}

bool ADDRESS_NAMES::WasGivenFor(const ADDRESS_KEY& address, std::string_view name) {
    const std::string wanted = HostName(name);
    return !wanted.empty() &&
           AnyNameOf(address, [&](const std::string& known) { return known == wanted; });
}

size_t ADDRESS_NAMES::NameCount() const {
    std::lock_guard guard(lock_);
    return nameCount_;
}

std::string UNRESOLVED_NAMES::Key(const ADDRESS_KEY& address, std::string_view name) {
    std::string key(reinterpret_cast<const char*>(address.bytes.data()), address.length);
    key += '/';
    key += HostName(name);
    return key;
}

void UNRESOLVED_NAMES::Add(const ADDRESS_KEY& address, std::string_view name) {
    std::string key = Key(address, name);
    const uint64_t expires =
        os::QueryInterruptTime() + uint64_t{kAddressNameTtlFloorSeconds} * kTicksPerSecond;
    std::lock_guard guard(lock_);
    auto [at, added] = expires_.insert_or_assign(key, expires);
    if (added) {
        order_.push_back(std::move(key));
    }
    while (order_.size() > kUnresolvedNamesLimit) {
        expires_.erase(order_.front());
        order_.pop_front();
    }
}

bool UNRESOLVED_NAMES::Contains(const ADDRESS_KEY& address, std::string_view name) {
    const std::string key = Key(address, name);
    std::lock_guard guard(lock_);
    auto at = expires_.find(key);
    return at != expires_.end() && at->second > os::QueryInterruptTime();
}

void ADDRESS_NAMES::Clear() {
    std::lock_guard guard(lock_);
    entries_.clear();
    order_.clear();
    nameCount_ = 0;
}

}  // namespace wexo::drv
