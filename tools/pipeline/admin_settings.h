// The administrator's settings file (/etc/wexo/wexo.conf): the fleet's deployment, policy servers,
// block on failure, debug output and TLS trust, written into the product key by the driver host at
// each start, before its driver runs and refuses every writer but the registered service.
//
// Format: one "key = value" per line; blank lines and lines whose first non-blank character is
// "#" are ignored, and so is " #" and what follows it on a line. Keys and word values are read
// without regard to case. A key left out leaves its stored value as it is.
//
//   deployment       = production | staging | development   -> "Deployment" (1, 2, 3)
//   policy_servers   = host[:port];host[:port]...            -> "PolicyServers"
//   server_mode      = balanced | tiered                     -> "ServerMode" (0, 1)
//   block_on_failure = yes | no                              -> "BlockOnFailure" (1, 0)
//   debug_output     = a number, decimal or 0x-hexadecimal   -> "DebugOutput"
//   strict_tls       = yes | no                              -> "StrictTls" (1, 0)
//   tls_ca_file      = an absolute path                      -> "TlsCaFile"
//
// (yes/no also as true/false, on/off, 1/0.) The file is taken as a whole or not at all: an unknown
// or repeated key, a bad value, a line that is not "key = value", a file that is not a regular file
// owned by root and writable by nobody else (or in a folder that others may write) is refused with
// one line naming the line, the key and the reason, and the product key is left exactly as it was.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wexo::pipeline {

constexpr char kAdminSettingsFile[] = "/etc/wexo/wexo.conf";

// One value of the product key that the file sets: a REG_DWORD or a REG_SZ.
struct ADMIN_VALUE {
    std::string name;
    bool isText = false;
    uint32_t number = 0;
    std::string text;
};

// The file's text as values of the product key, in the order of its lines; nullopt with the reason
// ("line 3: server_mode: ...") in `why` when the text is refused.
std::optional<std::vector<ADMIN_VALUE>> ParseAdminSettings(std::string_view text, std::string* why);

enum class AdminSettingsResult {
    Missing,  // no file: nothing changed
    Applied,  // every value written
    Refused,  // the file was refused, or a write failed and was undone: nothing changed
};

// Reads `path` (which `owner` must own), and writes its values into HKLM\SOFTWARE\Corvane\Ostrel
// of the process's registry. When it refuses, `message` says why, beginning with the path; when it
// applies, how many values it wrote ("3 settings written", "sets nothing").
AdminSettingsResult ApplyAdminSettingsFile(const std::string& path, uid_t owner,
                                           std::string* message);

// The driver host's step: the file WEXO_ADMIN_FILE names, else /etc/wexo/wexo.conf, owned by root.
// A refusal is one line on stderr beginning with `program`; the host starts all the same, with the
// settings it had.
AdminSettingsResult ApplyAdminSettings(const char* program);

}  // namespace wexo::pipeline
