// Removal of the "ech" parameter from the service-binding records of a DNS answer.
//
// A browser learns the key for Encrypted Client Hello from the "ech" SvcParam (key 5) of an HTTPS
// (type 65) or SVCB (type 64) record. With the key it seals the real server name inside an inner
// hello that the driver cannot read; without it, the browser sends an ordinary hello whose server
// name decides the connection. The DNS forwarder therefore takes the parameter out of every
// answer it hands back to a client.
//
// Only the parameter's bytes go, with the record's RDLENGTH (and a "mandatory" list that named
// key 5) shortened to match; every other byte stays as it was. Removing bytes moves whatever
// follows, so every compression pointer in the message (in question and owner names, in the
// names of the record types that may carry compressed names, and on the way any of them points)
// is re-aimed at the same name. A message that cannot be walked soundly is left as it is: bad
// lengths or names, a pointer that leads anywhere but to the start of a label of a name the walk
// read (into the middle of one, or into data of a type taken as opaque), and a signed message
// (TSIG or SIG), whose signature any change would break.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace os::wfplinux {

inline constexpr uint16_t kDnsTypeSvcb = 64;
inline constexpr uint16_t kDnsTypeHttps = 65;
inline constexpr uint16_t kSvcParamMandatory = 0;
inline constexpr uint16_t kSvcParamEch = 5;

// The message without any "ech" parameter, always shorter than `message`; nullopt when nothing
// was removed (no such parameter, or the message is left as it is for a reason above).
std::optional<std::vector<uint8_t>> StripEchParams(std::span<const uint8_t> message);

}  // namespace os::wfplinux
