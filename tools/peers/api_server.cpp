#include "tools/peers/api_server.h"

#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <memory>

#include "os/core/clock.h"

namespace wexo::peers {
namespace {

// Packages larger than this are not served (they are read whole into memory).
constexpr long long kMaxPackageBytes = 256 * 1024 * 1024;
constexpr uint64_t kTicksPerSecond = 10'000'000;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

// A MAC address as compared: upper case, ":" for "-".
std::string MacKey(std::string_view mac) {
    std::string key(mac);
    for (char& c : key) {
        c = c == '-' ? ':' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return key;
}

bool ParseInteger(std::string_view text, int64_t* value) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// "+90", "+90s", "+15m", "+6h", "+3d": seconds from now.
bool ParseFromNow(std::string_view text, int64_t* seconds) {
    if (text.size() < 2 || text.front() != '+') {
        return false;
    }
    int64_t unit = 1;
    switch (std::tolower(static_cast<unsigned char>(text.back()))) {
        case 's':
            text.remove_suffix(1);
            break;
        case 'm':
            unit = 60;
            text.remove_suffix(1);
            break;
        case 'h':
            unit = 3600;
            text.remove_suffix(1);
            break;
        case 'd':
            unit = 86400;
            text.remove_suffix(1);
            break;
        default:
            break;
    }
    int64_t count = 0;
    if (!ParseInteger(text, &count) || count < 0 ||
        count > INT64_MAX / unit / static_cast<int64_t>(kTicksPerSecond)) {
        return false;
    }
    *seconds = count * unit;
    return true;
}

bool ParseBoolean(std::string_view text, bool* value) {
    const std::string lower = Lower(text);
    if (lower == "true" || lower == "yes" || lower == "1") {
        *value = true;
        return true;
    }
    if (lower == "false" || lower == "no" || lower == "0") {
        *value = false;
        return true;
    }
    return false;
}

// A file name that stays inside the updates folder.
constexpr std::string_view kSignatureSuffix = ".sig";

// The raw Ed25519 signature of the content; empty when OpenSSL fails.
std::string SignPackage(EVP_PKEY* key, const std::string& content) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    std::string signature(64, '\0');
    size_t length = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(content.data()),
                       content.size()) != 1) {
        return {};
    }
    signature.resize(length);
    return signature;
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.size() > 255) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
    });
}

struct Reader {
    ApiFile file;
    ApiDevice* device = nullptr;
    bool inRemaps = false;
    std::string problem;

    bool Header(std::string_view inside, int line) {
        inside = Trim(inside);
        const std::string name = Lower(inside);
        device = nullptr;
        inRemaps = false;
        if (name == "dns_remaps") {
            inRemaps = true;
            if (!file.dnsRemaps) {
                file.dnsRemaps.emplace();
            }
            return true;
        }
        if (name.rfind("device", 0) == 0 && name.size() > 6 &&
            (name[6] == ' ' || name[6] == '\t')) {
            const std::string_view mac = Trim(inside.substr(6));
            for (const ApiDevice& known : file.devices) {
                if (MacKey(known.mac) == MacKey(mac)) {
                    problem = "device " + std::string(mac) + " has a section already";
                    return false;
                }
            }
            file.devices.push_back(ApiDevice{});
            device = &file.devices.back();
            device->mac = std::string(mac);
            device->line = line;
            return true;
        }
        problem = "unknown section [" + std::string(inside) + "]";
        return false;
    }

    bool Setting(std::string_view name, std::string_view value) {
        if (inRemaps) {
            if (name.empty() || value.empty() || name.find(',') != std::string_view::npos) {
                problem = "a remap line is \"host = remap host\"";
                return false;
            }
            file.dnsRemaps->emplace_back(std::string(name), std::string(value));
            return true;
        }
        if (device == nullptr) {
            problem = "a setting outside a [device ...] section";
            return false;
        }
        const std::string key = Lower(name);
        if (key == "customerid") {
            device->customerId = std::string(value);
        } else if (key == "servermode") {
            const std::string mode = Lower(value);
            int64_t number = 0;
            if (mode == "balanced") {
                device->serverMode = 0;
            } else if (mode == "tiered") {
                device->serverMode = 1;
            } else if (ParseInteger(value, &number)) {
                device->serverMode = number;
            } else {
                problem = "ServerMode is balanced, tiered or a number";
                return false;
            }
        } else if (key == "servers") {
            std::vector<std::string> servers;
            size_t start = 0;
            while (start <= value.size()) {
                size_t comma = value.find(',', start);
                if (comma == std::string_view::npos) {
                    comma = value.size();
                }
                const std::string_view server = Trim(value.substr(start, comma - start));
                if (!server.empty()) {
                    servers.emplace_back(server);
                }
                start = comma + 1;
            }
            device->servers = std::move(servers);
        } else if (key == "dormant") {
            bool dormant = false;
            if (!ParseBoolean(value, &dormant)) {
                problem = "Dormant is true or false";
                return false;
            }
            device->dormant = dormant;
        } else if (key == "nextcheckin") {
            int64_t seconds = 0;
            if (!value.empty() && value.front() == '+') {
                if (!ParseFromNow(value, &seconds)) {
                    problem = "NextCheckIn from now is +N with s, m, h or d";
                    return false;
                }
                device->nextCheckInFromNow = seconds;
                device->nextCheckIn.reset();
            } else {
                device->nextCheckIn = std::string(value);
                device->nextCheckInFromNow.reset();
            }
        } else if (key == "updateurl") {
            device->updateUrl = std::string(value);
        } else if (key == "updatepackage") {
            if (!IsPlainFileName(value)) {
                problem = "UpdatePackage is a plain file name of the updates folder";
                return false;
            }
            device->updatePackage = std::string(value);
        } else {
            problem = "unknown setting \"" + std::string(name) + "\"";
            return false;
        }
        return true;
    }
};

}  // namespace

bool ParseApiFile(std::string_view text, ApiFile* file, std::string* error) {
    Reader reader;
    int lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++lineNumber;
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        // "#" begins a comment at the start of a line or after a blank.
        for (size_t hash = line.find('#'); hash != std::string_view::npos;
             hash = line.find('#', hash + 1)) {
            if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
                line = line.substr(0, hash);
                break;
            }
        }
        line = Trim(line);
        if (line.empty()) {
            continue;
        }
        bool ok = false;
        if (line.front() == '[') {
            if (line.back() != ']') {
                reader.problem = "a section header ends with ]";
            } else {
                ok = reader.Header(line.substr(1, line.size() - 2), lineNumber);
            }
        } else {
            const size_t equals = line.find('=');
            if (equals == std::string_view::npos) {
                reader.problem = "expected \"name = value\"";
            } else {
                ok = reader.Setting(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
            }
        }
        if (!ok) {
            *error = "line " + std::to_string(lineNumber) + ": " + reader.problem;
            return false;
        }
    }
    *file = std::move(reader.file);
    return true;
}

const ApiDevice* FindApiDevice(const ApiFile& file, std::string_view mac) {
    const std::string key = MacKey(mac);
    const ApiDevice* any = nullptr;
    for (const ApiDevice& device : file.devices) {
        if (device.mac == "*") {
            any = &device;
        } else if (!key.empty() && MacKey(device.mac) == key) {
            return &device;
        }
    }
    return any;
}

std::string JsonQuoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted.push_back('\\');
            quoted.push_back(c);
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            quoted += escape;
        } else {
            quoted.push_back(c);
        }
    }
    quoted.push_back('"');
    return quoted;
}

std::string CheckInTimeText(uint64_t systemTime) {
    const os::CALENDAR_TIME t = os::SystemTimeToUtc(systemTime);
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", unsigned{t.year},
                  unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                  unsigned{t.second});
    return text;
}

std::string CheckInReplyJson(const ApiDevice& device, const std::string& updatesUrl, uint64_t now) {
    std::vector<std::string> members;
    if (device.customerId) {
        members.push_back("\"CustomerID\": " + JsonQuoted(*device.customerId));
    }
    if (device.nextCheckIn) {
        members.push_back("\"NextCheckIn\": " + JsonQuoted(*device.nextCheckIn));
    } else if (device.nextCheckInFromNow) {
        const uint64_t due =
            now + static_cast<uint64_t>(*device.nextCheckInFromNow) * kTicksPerSecond;
        members.push_back("\"NextCheckIn\": " + JsonQuoted(CheckInTimeText(due)));
    }
    if (device.dormant) {
        members.push_back(std::string("\"Dormant\": ") + (*device.dormant ? "true" : "false"));
    }
    if (device.serverMode) {
        members.push_back("\"ServerMode\": " + std::to_string(*device.serverMode));
    }
    if (device.servers) {
        std::string list = "\"Servers\": [";
        for (size_t i = 0; i < device.servers->size(); ++i) {
            list += (i == 0 ? "" : ", ") + JsonQuoted((*device.servers)[i]);
        }
        members.push_back(list + "]");
    }
    if (device.updateUrl) {
        members.push_back("\"UpdateURL\": " + JsonQuoted(*device.updateUrl));
    } else if (device.updatePackage) {
        members.push_back("\"UpdateURL\": " + JsonQuoted(updatesUrl + "/" + *device.updatePackage));
    }
    std::string json = "{";
    for (size_t i = 0; i < members.size(); ++i) {
        json += (i == 0 ? "\n  " : ",\n  ") + members[i];
    }
    return json + "\n}\n";
}

ApiPages::ApiPages()
    : file_(ParseApiFile, {" is larger than a devices file can be", "cannot read "},
            [this](bool reloaded, const std::string& path, const std::string& error) {
                Report(reloaded ? "devices reloaded from " + path
                                : "devices file not reloaded (" + error +
                                      "); the previous devices stay");
            }) {}

std::vector<ApiPages::Page> ApiPages::Pages() {
    return {
        {"GET", kCheckInPath, false, Bind(this, &ApiPages::AnswerCheckIn)},
        {"GET", kUpdatesPrefix, true, Bind(this, &ApiPages::AnswerPackage)},
        {"GET", kDnsRemapsPath, false, Bind(this, &ApiPages::AnswerDnsRemaps)},
    };
}

bool ApiPages::SetDevicesText(std::string_view text, std::string* error) {
    return file_.SetText(text, error);
}

void ApiPages::SetDevices(ApiFile file) {
    file_.Set(std::move(file));
}

bool ApiPages::LoadDevicesFile(const std::string& path, std::string* error) {
    return file_.Load(path, error);
}

void ApiPages::SetUpdatesFolder(std::string folder) {
    std::lock_guard guard(mutex_);
    updatesFolder_ = std::move(folder);
}

bool ApiPages::LoadSigningKeyFile(const std::string& path, std::string* error) {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file) {
        *error = "cannot open " + path;
        return false;
    }
    std::shared_ptr<EVP_PKEY> key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr),
                                  EVP_PKEY_free);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
        *error = "not a PEM Ed25519 private key";
        return false;
    }
    SetSigningKey(std::move(key));
    return true;
}

void ApiPages::SetSigningKey(std::shared_ptr<EVP_PKEY> key) {
    std::lock_guard guard(mutex_);
    signingKey_ = std::move(key);
}

std::string ApiPages::SigningPublicKeyHex() const {
    std::lock_guard guard(mutex_);
    unsigned char raw[32];
    size_t length = sizeof(raw);
    if (!signingKey_ || EVP_PKEY_get_raw_public_key(signingKey_.get(), raw, &length) != 1 ||
        length != sizeof(raw)) {
        return {};
    }
    std::string hex;
    char digits[3];
    for (unsigned char byte : raw) {
        std::snprintf(digits, sizeof(digits), "%02x", byte);
        hex += digits;
    }
    return hex;
}

void ApiPages::SetCheckInAnswer(int status, std::string body, std::string contentType) {
    std::lock_guard guard(mutex_);
    checkInAnswer_ = FixedAnswer{status, std::move(body), std::move(contentType)};
}

void ApiPages::ClearCheckInAnswer() {
    std::lock_guard guard(mutex_);
    checkInAnswer_.reset();
}

void ApiPages::AnswerCheckIn(const httplib::Request& request, httplib::Response& response) {
    ++checkInCount_;
    const std::string mac = request.get_param_value("mac");
    {
        std::lock_guard guard(mutex_);
        if (checkInAnswer_) {
            response.status = checkInAnswer_->status;
            response.set_content(checkInAnswer_->body, checkInAnswer_->contentType);
            return;
        }
    }
    const std::shared_ptr<const ApiFile> file = CurrentFile();
    const ApiDevice* device = FindApiDevice(*file, mac);
    if (device == nullptr) {
        response.status = 404;
        response.set_content("MAC address " + mac + " is not registered.\n", "text/plain");
        Report("checkin mac=\"" + mac + "\": not registered");
        return;
    }
    response.status = 200;
    response.set_content(CheckInReplyJson(*device, BaseUrl() + "/updates", os::QuerySystemTime()),
                         "application/json; charset=utf-8");
    Report("checkin mac=\"" + mac + "\" uuid=\"" + request.get_param_value("uuid") +
           "\": answered from [device " + device->mac + "]");
}

bool ApiPages::ReadPackage(const std::string& name, std::string* content) const {
    std::string folder;
    {
        std::lock_guard guard(mutex_);
        folder = updatesFolder_;
    }
    struct stat status {};
    const std::string path = folder + "/" + name;
    return !folder.empty() && IsPlainFileName(name) && ::stat(path.c_str(), &status) == 0 &&
           S_ISREG(status.st_mode) && status.st_size <= kMaxPackageBytes &&
           ReadWholeFile(path, content) == FILE_READ::kRead;
}

void ApiPages::AnswerPackage(const httplib::Request& request, httplib::Response& response) {
    ++packageCount_;
    const std::string name = request.path.substr(std::string_view(kUpdatesPrefix).size());
    std::shared_ptr<EVP_PKEY> key;
    {
        std::lock_guard guard(mutex_);
        key = signingKey_;
    }
    const bool signature = key && name.ends_with(kSignatureSuffix);
    // The signature is made from the package as it is now, so an edited package is never served
    // with the signature of its old bytes.
    const std::string package =
        signature ? name.substr(0, name.size() - kSignatureSuffix.size()) : name;
    std::string content;
    if (!ReadPackage(package, &content)) {
        response.status = 404;
        response.set_content("No such package.\n", "text/plain");
        Report("updates/" + name + ": not found");
        return;
    }
    if (signature) {
        std::string signatureBytes = SignPackage(key.get(), content);
        if (signatureBytes.empty()) {
            response.status = 500;
            response.set_content("Signing failed.\n", "text/plain");
            Report("updates/" + name + ": signing failed");
            return;
        }
        response.status = 200;
        response.set_content(std::move(signatureBytes), "application/octet-stream");
        Report("updates/" + name + ": signature of " + std::to_string(content.size()) + " bytes");
        return;
    }
    const size_t size = content.size();
    response.status = 200;
    response.set_content(std::move(content), "application/octet-stream");
    Report("updates/" + name + ": " + std::to_string(size) + " bytes");
}

void ApiPages::AnswerDnsRemaps(const httplib::Request&, httplib::Response& response) {
    ++dnsRemapCount_;
    const std::shared_ptr<const ApiFile> file = CurrentFile();
    AnswerDnsRemapList(file->dnsRemaps ? &*file->dnsRemaps : nullptr, response);
}

}  // namespace wexo::peers
