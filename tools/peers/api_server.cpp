#include "tools/peers/api_server.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "os/core/clock.h"

namespace wexo::peers {
namespace {

// Files larger than this are not devices files a person wrote.
constexpr long long kMaxDevicesFileBytes = 4 * 1024 * 1024;
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
bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.size() > 255) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
    });
}

std::string EscapeXml(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped.push_back(c);
        }
    }
    return escaped;
}

bool ReadWholeFile(const std::string& path, std::string* text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        return false;
    }
    *text = content.str();
    return true;
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

std::vector<ApiPages::Page> ApiPages::Pages() {
    auto bind = [this](void (ApiPages::*answer)(const httplib::Request&, httplib::Response&)) {
        return [this, answer](const httplib::Request& request, httplib::Response& response) {
            (this->*answer)(request, response);
        };
    };
    return {
        {"GET", kCheckInPath, false, bind(&ApiPages::AnswerCheckIn)},
        {"GET", kUpdatesPrefix, true, bind(&ApiPages::AnswerPackage)},
        {"GET", kDnsRemapsPath, false, bind(&ApiPages::AnswerDnsRemaps)},
    };
}

void ApiPages::SetBaseUrl(std::string baseUrl) {
    std::lock_guard guard(mutex_);
    baseUrl_ = std::move(baseUrl);
}

std::string ApiPages::BaseUrl() const {
    std::lock_guard guard(mutex_);
    return baseUrl_;
}

bool ApiPages::SetDevicesText(std::string_view text, std::string* error) {
    ApiFile file;
    if (!ParseApiFile(text, &file, error)) {
        return false;
    }
    SetDevices(std::move(file));
    return true;
}

void ApiPages::SetDevices(ApiFile file) {
    std::lock_guard guard(mutex_);
    file_ = std::make_shared<const ApiFile>(std::move(file));
    path_.clear();
}

bool ApiPages::LoadDevicesFile(const std::string& path, std::string* error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        *error = "cannot open " + path;
        return false;
    }
    if (status.st_size > kMaxDevicesFileBytes) {
        *error = path + " is larger than a devices file can be";
        return false;
    }
    std::string text;
    ApiFile file;
    if (!ReadWholeFile(path, &text)) {
        *error = "cannot read " + path;
        return false;
    }
    if (!ParseApiFile(text, &file, error)) {
        return false;
    }
    std::lock_guard guard(mutex_);
    file_ = std::make_shared<const ApiFile>(std::move(file));
    path_ = path;
    stamp_ = FileStamp{status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_size};
    rejectedStamp_ = FileStamp{0, 0, kNoStamp};
    return true;
}

void ApiPages::SetUpdatesFolder(std::string folder) {
    std::lock_guard guard(mutex_);
    updatesFolder_ = std::move(folder);
}

void ApiPages::SetCheckInAnswer(int status, std::string body, std::string contentType) {
    std::lock_guard guard(mutex_);
    checkInAnswer_ = FixedAnswer{status, std::move(body), std::move(contentType)};
}

void ApiPages::ClearCheckInAnswer() {
    std::lock_guard guard(mutex_);
    checkInAnswer_.reset();
}

void ApiPages::SetActivityLog(std::function<void(const std::string&)> log) {
    std::lock_guard guard(mutex_);
    activityLog_ = std::move(log);
}

void ApiPages::Report(const std::string& line) {
    std::function<void(const std::string&)> log;
    {
        std::lock_guard guard(mutex_);
        log = activityLog_;
    }
    if (log) {
        log(line);
    }
}

std::shared_ptr<const ApiFile> ApiPages::CurrentFile() {
    std::string path;
    {
        std::lock_guard guard(mutex_);
        if (path_.empty()) {
            return file_;
        }
        path = path_;
    }
    struct stat status {};
    FileStamp stamp;
    if (::stat(path.c_str(), &status) == 0) {
        stamp = FileStamp{status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_size};
    }
    {
        std::lock_guard guard(mutex_);
        if (stamp == stamp_ || stamp == rejectedStamp_ || path != path_) {
            return file_;
        }
    }
    std::string text;
    std::string error;
    ApiFile file;
    bool read = false;
    if (stamp.size < 0) {
        error = "cannot open " + path;
    } else if (stamp.size > kMaxDevicesFileBytes) {
        error = path + " is larger than a devices file can be";
    } else if (!ReadWholeFile(path, &text)) {
        error = "cannot read " + path;
    } else {
        read = ParseApiFile(text, &file, &error);
    }
    std::shared_ptr<const ApiFile> current;
    {
        std::lock_guard guard(mutex_);
        if (read) {
            file_ = std::make_shared<const ApiFile>(std::move(file));
            stamp_ = stamp;
            rejectedStamp_ = FileStamp{0, 0, kNoStamp};
        } else {
            rejectedStamp_ = stamp;
        }
        current = file_;
    }
    Report(read ? "devices reloaded from " + path
                : "devices file not reloaded (" + error + "); the previous devices stay");
    return current;
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

void ApiPages::AnswerPackage(const httplib::Request& request, httplib::Response& response) {
    ++packageCount_;
    const std::string name = request.path.substr(std::string_view(kUpdatesPrefix).size());
    std::string folder;
    {
        std::lock_guard guard(mutex_);
        folder = updatesFolder_;
    }
    struct stat status {};
    const std::string path = folder + "/" + name;
    std::string content;
    if (folder.empty() || !IsPlainFileName(name) || ::stat(path.c_str(), &status) != 0 ||
        !S_ISREG(status.st_mode) || status.st_size > kMaxPackageBytes ||
        !ReadWholeFile(path, &content)) {
        response.status = 404;
        response.set_content("No such package.\n", "text/plain");
        Report("updates/" + name + ": not found");
        return;
    }
    response.status = 200;
    response.set_content(std::move(content), "application/octet-stream");
    Report("updates/" + name + ": " + std::to_string(status.st_size) + " bytes");
}

void ApiPages::AnswerDnsRemaps(const httplib::Request&, httplib::Response& response) {
    ++dnsRemapCount_;
    const std::shared_ptr<const ApiFile> file = CurrentFile();
    if (!file->dnsRemaps) {
        response.status = 404;
        response.set_content("No DNS remap list is kept for this device.\n", "text/plain");
        return;
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<DNSRemap>\n";
    for (const auto& [host, target] : *file->dnsRemaps) {
        xml += "  <host>" + EscapeXml(host) + "," + EscapeXml(target) + "</host>\n";
    }
    xml += "</DNSRemap>\n";
    response.status = 200;
    response.set_content(xml, "text/xml; charset=utf-8");
}

ApiServer::ApiServer(PeerOptions options) : peer_(std::move(options)) {
    for (auto& page : pages_.Pages()) {
        if (page.prefix) {
            prefixPages_.push_back(std::move(page));
        } else {
            peer_.Handle(page.method, page.path, std::move(page.handler));
        }
    }
    peer_.HandleOthers([this](const httplib::Request& request, httplib::Response& response) {
        for (const ApiPages::Page& page : prefixPages_) {
            if ((request.method == page.method ||
                 (request.method == "HEAD" && page.method == "GET")) &&
                request.path.rfind(page.path, 0) == 0) {
                page.handler(request, response);
                return;
            }
        }
        response.status = 404;
        response.set_content("Not Found", "text/plain");
    });
}

ApiServer::~ApiServer() {
    peer_.Stop();
}

bool ApiServer::Start() {
    if (!peer_.Start()) {
        return false;
    }
    pages_.SetBaseUrl(peer_.BaseUrl());
    return true;
}

void ApiServer::Stop() {
    peer_.Stop();
}

}  // namespace wexo::peers
