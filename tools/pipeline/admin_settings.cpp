#include "tools/pipeline/admin_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "os/core/status.h"
#include "os/registry/registry.h"
#include "service/support/registry_helpers.h"
#include "tools/pipeline/program_environment.h"

namespace wexo::pipeline {

namespace {

// Far more than any real file; a larger one is not a settings file.
constexpr size_t kMaxFileSize = 64 * 1024;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return lower;
}

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// A word of a small set, as its number; the reason otherwise.
std::optional<uint32_t> Word(std::string_view value,
                             std::initializer_list<std::pair<const char*, uint32_t>> words,
                             std::string* why) {
    const std::string lower = Lower(value);
    std::string names;
    for (const auto& [word, number] : words) {
        if (lower == word) {
            return number;
        }
        names += names.empty() ? word : std::string(" or ") + word;
    }
    *why = Quoted(value) + " is not " + names;
    return std::nullopt;
}

std::optional<uint32_t> YesNo(std::string_view value, std::string* why) {
    auto number = Word(value,
                       {{"yes", 1},
                        {"no", 0},
                        {"true", 1},
                        {"false", 0},
                        {"on", 1},
                        {"off", 0},
                        {"1", 1},
                        {"0", 0}},
                       why);
    if (!number) {
        *why = Quoted(value) + " is not yes or no";
    }
    return number;
}

std::optional<uint32_t> Number(std::string_view value, std::string* why) {
    const bool hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    const std::string_view digits = hex ? value.substr(2) : value;
    uint64_t number = 0;
    bool good = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
        const int digit = c >= '0' && c <= '9'          ? c - '0'
                          : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                        : -1;
        if (digit < 0) {
            good = false;
            break;
        }
        number = number * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    }
    if (!good || number > UINT32_MAX) {
        *why = Quoted(value) + " is not a number from 0 to 4294967295 (or 0x0 to 0xffffffff)";
        return std::nullopt;
    }
    return static_cast<uint32_t>(number);
}

// The names joined by ";" as the service reads them; the reason when one would be dropped there.
std::optional<std::string> PolicyServers(std::string_view value, std::string* why) {
    const std::string_view whole = value;
    std::vector<std::string> names;
    std::string joined;
    for (;;) {
        const size_t end = value.find(';');
        const std::string_view name = Trim(value.substr(0, end));
        if (name.empty()) {
            *why = "an empty name in " + Quoted(whole);
            return std::nullopt;
        }
        // A name goes into every URL the service builds: nothing that could change their meaning.
        const bool bad = std::any_of(name.begin(), name.end(), [](unsigned char c) {
            return c <= ' ' || c == 0x7f || std::strchr("/?#@\\;", c) != nullptr;
        });
        if (bad) {
            *why = Quoted(name) + " is not a host name with an optional port";
            return std::nullopt;
        }
        const std::string lower = Lower(name);
        if (std::find(names.begin(), names.end(), lower) != names.end()) {
            *why = Quoted(name) + " is named twice";
            return std::nullopt;
        }
        names.push_back(lower);
        joined += (joined.empty() ? "" : ";") + std::string(name);
        if (end == std::string_view::npos) {
            return joined;
        }
        value.remove_prefix(end + 1);
    }
}

std::optional<std::string> AbsolutePath(std::string_view value, std::string* why) {
    if (value.front() != '/') {
        *why = Quoted(value) + " is not an absolute path";
        return std::nullopt;
    }
    if (std::any_of(value.begin(), value.end(),
                    [](unsigned char c) { return c < ' ' || c == 0x7f; })) {
        *why = "the path holds a control character";
        return std::nullopt;
    }
    return std::string(value);
}

// One key of the file: its value's name in the product key and how its text is read.
struct KEY {
    const char* key;
    const char* valueName;
    std::optional<uint32_t> (*number)(std::string_view, std::string*);
    std::optional<std::string> (*text)(std::string_view, std::string*);
};

std::optional<uint32_t> Deployment(std::string_view value, std::string* why) {
    return Word(value, {{"production", 1}, {"staging", 2}, {"development", 3}}, why);
}
std::optional<uint32_t> ServerMode(std::string_view value, std::string* why) {
    return Word(value, {{"balanced", 0}, {"tiered", 1}}, why);
}

constexpr KEY kKeys[] = {
    {"deployment", "Deployment", Deployment, nullptr},
    {"policy_servers", "PolicyServers", nullptr, PolicyServers},
    {"server_mode", "ServerMode", ServerMode, nullptr},
    {"block_on_failure", "BlockOnFailure", YesNo, nullptr},
    {"debug_output", "DebugOutput", Number, nullptr},
    {"strict_tls", "StrictTls", YesNo, nullptr},
    {"tls_ca_file", "TlsCaFile", nullptr, AbsolutePath},
    {"accept_any_server_certificate", "AcceptAnyServerCertificate", YesNo, nullptr},
};

std::string OwnerName(uid_t uid) {
    return uid == 0 ? "root" : "uid " + std::to_string(uid);
}

// Why the opened file, or the folder it is in, is not the administrator's alone; empty when it is.
std::string Untrusted(int fd, const std::string& path, uid_t owner) {
    struct stat file {};
    if (fstat(fd, &file) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISREG(file.st_mode)) {
        return "not a regular file";
    }
    if (file.st_uid != owner) {
        return "owned by " + OwnerName(file.st_uid) + ", not " + OwnerName(owner);
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.st_mode & 07777));
    if ((file.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return std::string("writable by others (mode ") + mode + ")";
    }
    if (file.st_size > static_cast<off_t>(kMaxFileSize)) {
        return "larger than " + std::to_string(kMaxFileSize) + " bytes";
    }
    // Whoever may write the folder may put another file in its place before the next start.
    const std::string folder = std::filesystem::path(path).parent_path().string();
    struct stat dir {};
    if (stat(folder.empty() ? "." : folder.c_str(), &dir) != 0) {
        return "its folder: " + std::string(std::strerror(errno));
    }
    if (dir.st_uid != owner || (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(dir.st_mode & 07777));
        return "its folder " + folder + " is not " + OwnerName(owner) + "'s alone (owned by " +
               OwnerName(dir.st_uid) + ", mode " + mode + ")";
    }
    return {};
}

// Writes every value, or none: a failed write puts back what the values before it replaced.
uint32_t WriteAll(const std::vector<ADMIN_VALUE>& values, std::string* failedName) {
    os::RegKey key;
    uint32_t error =
        os::RegCreateKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), svc::kProductKeyPath, key);
    if (error != os::ERROR_SUCCESS) {
        *failedName = svc::kProductKeyFullName;
        return error;
    }
    std::vector<std::pair<std::string, std::optional<os::REG_VALUE>>> before;
    for (const ADMIN_VALUE& value : values) {
        os::REG_VALUE old;
        const uint32_t read = os::RegQueryValue(key, value.name, old);
        if (read != os::ERROR_SUCCESS && read != os::ERROR_FILE_NOT_FOUND) {
            *failedName = value.name;
            return read;
        }
        before.emplace_back(value.name, read == os::ERROR_SUCCESS
                                            ? std::optional<os::REG_VALUE>(std::move(old))
                                            : std::nullopt);
    }
    for (size_t i = 0; i < values.size(); ++i) {
        const ADMIN_VALUE& value = values[i];
        if (value.isText ? svc::WriteRegistryString(key, value.name, value.text)
                         : svc::WriteRegistryDword(key, value.name, value.number)) {
            continue;
        }
        error = os::GetLastError();
        *failedName = values[i].name;
        for (size_t j = i; j-- > 0;) {
            const auto& [name, old] = before[j];
            if (old) {
                os::RegSetValueEx(key, name, old->type, old->data);
            } else {
                os::RegDeleteValue(key, name);
            }
        }
        return error;
    }
    return os::ERROR_SUCCESS;
}

}  // namespace

std::optional<std::vector<ADMIN_VALUE>> ParseAdminSettings(std::string_view text,
                                                           std::string* why) {
    std::vector<ADMIN_VALUE> values;
    std::map<std::string, unsigned> seen;  // key -> its line
    unsigned number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        for (size_t hash = line.find('#'); hash != std::string_view::npos;
             hash = line.find('#', hash + 1)) {
            if (hash == 0 || IsBlank(line[hash - 1])) {
                line = line.substr(0, hash);
                break;
            }
        }
        line = Trim(line);
        if (line.empty()) {
            continue;
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            *why = where + Quoted(line) + " is not key = value";
            return std::nullopt;
        }
        const std::string key = Lower(Trim(line.substr(0, equals)));
        const std::string_view value = Trim(line.substr(equals + 1));
        const KEY* known = std::find_if(std::begin(kKeys), std::end(kKeys),
                                        [&key](const KEY& k) { return key == k.key; });
        if (known == std::end(kKeys)) {
            *why = where + (key.empty() ? "no key before \"=\"" : Quoted(key) + " is no key");
            return std::nullopt;
        }
        if (auto [at, fresh] = seen.emplace(key, number); !fresh) {
            *why = where + key + ": given again (first on line " + std::to_string(at->second) + ")";
            return std::nullopt;
        }
        if (value.empty()) {
            *why = where + key + ": no value";
            return std::nullopt;
        }
        std::string reason;
        ADMIN_VALUE parsed{known->valueName};
        if (known->number != nullptr) {
            const std::optional<uint32_t> n = known->number(value, &reason);
            if (!n) {
                *why = where + key + ": " + reason;
                return std::nullopt;
            }
            parsed.number = *n;
        } else {
            std::optional<std::string> t = known->text(value, &reason);
            if (!t) {
                *why = where + key + ": " + reason;
                return std::nullopt;
            }
            parsed.isText = true;
            parsed.text = std::move(*t);
        }
        values.push_back(std::move(parsed));
    }
    return values;
}

AdminSettingsResult ApplyAdminSettingsFile(const std::string& path, uid_t owner,
                                           std::string* message) {
    const std::string refused = "; the file is refused and the stored settings stay as they were";
    // No link is followed: the file must be the one the administrator put there.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return AdminSettingsResult::Missing;
        }
        *message =
            path + ": " + (errno == ELOOP ? "a symbolic link" : std::strerror(errno)) + refused;
        return AdminSettingsResult::Refused;
    }
    std::string text;
    std::string problem = Untrusted(fd, path, owner);
    if (problem.empty()) {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxFileSize) {
            text.append(buffer, static_cast<size_t>(got));
        }
        if (got < 0) {
            problem = std::strerror(errno);
        } else if (text.size() > kMaxFileSize) {
            problem = "larger than " + std::to_string(kMaxFileSize) + " bytes";
        } else if (text.find('\0') != std::string::npos) {
            problem = "not text (it holds a NUL byte)";
        }
    }
    close(fd);
    if (!problem.empty()) {
        *message = path + ": " + problem + refused;
        return AdminSettingsResult::Refused;
    }
    std::string why;
    const std::optional<std::vector<ADMIN_VALUE>> values = ParseAdminSettings(text, &why);
    if (!values) {
        *message = path + " " + why + refused;
        return AdminSettingsResult::Refused;
    }
    std::string failedName;
    const uint32_t error = WriteAll(*values, &failedName);
    if (error != os::ERROR_SUCCESS) {
        *message = path + ": " + failedName +
                   " could not be written: " + os::SystemMessageText(error) +
                   "; the stored settings stay as they were";
        return AdminSettingsResult::Refused;
    }
    *message =
        values->empty() ? "sets nothing" : std::to_string(values->size()) + " settings written";
    return AdminSettingsResult::Applied;
}

AdminSettingsResult ApplyAdminSettings(const char* program) {
    const char* named = EnvironmentValue("WEXO_ADMIN_FILE");
    const std::string path = named != nullptr ? named : kAdminSettingsFile;
    std::string message;
    const AdminSettingsResult result = ApplyAdminSettingsFile(path, 0, &message);
    if (result == AdminSettingsResult::Refused) {
        std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    } else if (result == AdminSettingsResult::Applied) {
        std::printf("%s: %s: %s\n", program, path.c_str(), message.c_str());
    }
    std::fflush(stdout);
    return result;
}

}  // namespace wexo::pipeline
