#include "service/checkin/software_update.h"

#include <cctype>
#include <mutex>
#include <utility>
#include <vector>

#include "os/core/status.h"
#include "os/win32/environment.h"
#include "os/win32/files.h"
#include "os/win32/private_folder.h"
#include "os/win32/zip_archive.h"
#include "service/checkin/update_signature.h"
#include "service/support/debug_log.h"
#include "service/support/event_log.h"
#include "service/support/http_api.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) !=
            std::toupper(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

bool IsDrivePath(std::string_view path) {
    return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) != 0 &&
           path[1] == ':';
}

void LogDeleteFailure(const std::string& path, uint32_t error) {
    DebugPrint("Unable to delete directory \"%s\".\n    %s. Error code = %lu.", path.c_str(),
               os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
}

// The folder and every missing parent; false with the last error of the first that could not be
// made.
bool CreateDirectoryWithParents(const std::string& folder) {
    if (os::GetFileAttributes(folder) != os::INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const size_t cut = folder.find_last_of("\\/");
    if (cut != std::string::npos && cut > 0 && folder[cut - 1] != ':') {
        if (!CreateDirectoryWithParents(folder.substr(0, cut))) {
            return false;
        }
    }
    return os::CreateDirectory(folder) || os::GetLastError() == os::ERROR_ALREADY_EXISTS;
}

// Never destroyed: an update on another thread may still read them while the process exits.
std::mutex& PublicKeyMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

std::optional<std::string>& PublicKey() {
    static std::optional<std::string>* key = new std::optional<std::string>();
    return *key;
}

void LogSignatureRefusal(const std::string& reason) {
    DebugPrint("Update package signature not valid: %s", reason.c_str());
}

// The client for the URL's scheme, with the server and page it names.
std::unique_ptr<HTTPX_API> ClientFor(const std::string& url, std::string* server,
                                     std::string* page) {
    std::unique_ptr<HTTPX_API> client;
    std::string_view rest = url;
    if (StartsWithIgnoringCase(rest, "HTTPS://")) {
        client = std::make_unique<HTTPS_API>();
        client->Config("VerifyServer=true");
        rest.remove_prefix(8);
    } else {
        if (StartsWithIgnoringCase(rest, "HTTP://")) {
            rest.remove_prefix(7);
        }
        client = std::make_unique<HTTP_API>();
    }
    const size_t slash = rest.find('/');
    *server = std::string(rest.substr(0, slash));
    *page = slash == std::string_view::npos ? std::string() : std::string(rest.substr(slash + 1));
    return client;
}

// Why a package fetched from `url` would not be verified by TLS, or null when it would be: the
// settings accept any server, or the URL is no HTTPS URL.
const char* WhyNotVerifiedByTls(const std::string& url) {
    if (!StartsWithIgnoringCase(url, "HTTPS://")) {
        return "not an HTTPS URL, and no UpdatePublicKey to check a signature with";
    }
    const HTTP_TLS_POLICY policy = GetHttpTlsPolicy();
    if (policy.acceptAnyServer && !policy.strict) {
        return "server verification is off (AcceptAnyServerCertificate), and no UpdatePublicKey "
               "to check a signature with";
    }
    return nullptr;
}

// An update whose package nothing verifies: what it would run as root could come from anyone on
// the network path.
void RefuseUnverifiedUpdate(const std::string& url, const char* reason) {
    DebugPrint("Software update refused: %s.\n    URL = \"%s\"", reason, url.c_str());
    ReportServiceEvent(os::EVENTLOG_WARNING_TYPE, EVENT_UPDATE_NOT_VERIFIED, {url, reason});
}

// Whether the signature served beside the package is the key's signature of `package`; false
// with the reason.
bool CheckPackageSignature(const std::string& url, std::string_view package,
                           const UPDATE_PUBLIC_KEY& key, std::string* reason) {
    const std::string signatureUrl = url + kUpdateSignatureSuffix;
    std::string server, page;
    std::unique_ptr<HTTPX_API> client = ClientFor(signatureUrl, &server, &page);
    if (!client->Get(server, page.c_str())) {
        *reason =
            "signature \"" + signatureUrl + "\" not downloaded: " + client->GetLastErrorText();
        return false;
    }
    if (client->GetStatus() != 200) {
        *reason = "signature \"" + signatureUrl + "\" not downloaded: HTTP status " +
                  std::to_string(client->GetStatus());
        return false;
    }
    return VerifyUpdateSignature(key, package, client->GetReplyData(), reason);
}

}  // namespace

void SetUpdatePublicKey(std::optional<std::string> text) {
    std::lock_guard lock(PublicKeyMutex());
    PublicKey() = std::move(text);
}

std::optional<std::string> GetUpdatePublicKey() {
    std::lock_guard lock(PublicKeyMutex());
    return PublicKey();
}

bool JoinUpdatePath(std::string_view path, std::string_view name, std::string* joined) {
    while (!name.empty() && IsSeparator(name.front())) {
        name.remove_prefix(1);
    }
    std::string result(path);
    if (result.empty() || !IsSeparator(result.back())) {
        result += '\\';
    }
    result += name;
    for (char& c : result) {
        if (c == '/') {
            c = '\\';
        }
    }
    if (result.size() > kMaxUpdatePath) {
        return false;
    }
    *joined = std::move(result);
    return true;
}

bool FullUpdatePath(std::string_view path, std::string* full) {
    std::string result;
    if (IsDrivePath(path) || (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))) {
        result = std::string(path);
    } else {
        std::string current;
        if (!os::GetCurrentDirectory(&current)) {
            return false;
        }
        if (!path.empty() && IsSeparator(path.front())) {
            result = current.substr(0, 2) + std::string(path);
        } else {
            // Leading "." and ".." steps are taken from the current folder, never above its
            // drive's root.
            while (!path.empty()) {
                size_t end = path.find_first_of("\\/");
                std::string_view step = path.substr(0, end);
                if (step != "." && step != "..") {
                    break;
                }
                if (step == "..") {
                    size_t cut = current.find_last_of('\\');
                    if (cut != std::string::npos && cut > 2) {
                        current.resize(cut);
                    } else if (cut == 2) {
                        current.resize(3);
                    }
                }
                path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
            }
            if (path.empty()) {
                result = current;
            } else {
                result = current;
                if (!IsSeparator(result.back())) {
                    result += '\\';
                }
                result += path;
            }
        }
    }
    if (result.size() > kMaxUpdatePath) {
        return false;
    }
    *full = std::move(result);
    return true;
}

std::string UpdaterCommandLine(std::string_view unpackFolder, uint32_t mode) {
    const char* debugSwitch = (mode & DEBUG_OUTPUT_DEBUGGER) != 0 ? " /D" : "";
    const char* logSwitch = "";
    if ((mode & DEBUG_OUTPUT_LOG) != 0) {
        if ((mode & DEBUG_OUTPUT_RENAME) != 0) {
            logSwitch = " /R";
        } else if ((mode & DEBUG_OUTPUT_OVERWRITE) != 0) {
            logSwitch = " /O";
        } else {
            logSwitch = " /L";
        }
    }
    return FormatText("\"%s\\%s\"%s%s /%s", std::string(unpackFolder).c_str(), kUpdaterName,
                      debugSwitch, logSwitch, "UPDATE");
}

bool DeleteDirectoryTree(const std::string& path) {
    std::string failed;
    if (!os::RemoveDirectoryTree(path, &failed)) {
        LogDeleteFailure(failed, os::GetLastError());
        return false;
    }
    return true;
}

bool DownloadUpdatePackage(const std::string& url, const std::string& packageFile) {
    return DownloadUpdatePackage(url, packageFile, std::nullopt);
}

bool DownloadUpdatePackage(const std::string& url, const std::string& packageFile,
                           const std::optional<std::string>& publicKey) {
    // Without a key only TLS can vouch for the package: an update it cannot verify is refused
    // before anything is fetched.
    if (!publicKey) {
        if (const char* reason = WhyNotVerifiedByTls(url)) {
            RefuseUnverifiedUpdate(url, reason);
            return false;
        }
    }
    // A key that cannot be used refuses the update before anything is fetched.
    UPDATE_PUBLIC_KEY key{};
    if (publicKey) {
        std::string reason;
        if (!ParseUpdatePublicKey(*publicKey, &key, &reason)) {
            LogSignatureRefusal(reason);
            return false;
        }
    }
    DebugPrint("Download update package:\n    URL = \"%s\",\n    Update package zip = \"%s\"",
               url.c_str(), packageFile.c_str());
    std::string server, page;
    std::unique_ptr<HTTPX_API> client = ClientFor(url, &server, &page);
    if (!client->Get(server, page.c_str())) {
        DebugPrint("Unable to download update package.\n    URL = \"%s\"\n    %s", url.c_str(),
                   client->GetLastErrorText().c_str());
        return false;
    }
    if (client->GetStatus() != 200) {
        DebugPrint("Unexpected HTTP status = %u when downloading update package.\n    URL = \"%s\"",
                   static_cast<unsigned>(client->GetStatus()), url.c_str());
        return false;
    }
    if (!publicKey && client->Config("ServerVerified") != "true") {
        RefuseUnverifiedUpdate(
            url, "the server was not verified, and no UpdatePublicKey to check a signature with");
        return false;
    }
    const std::string_view body = client->GetReplyData();
    os::WRITE_FILE file;
    if (!file.Create(packageFile)) {
        const uint32_t error = os::GetLastError();
        DebugPrint("Open update package \"%s\" failed\n    %s. Error code = %lu.",
                   packageFile.c_str(), os::SystemMessageText(error).c_str(),
                   static_cast<unsigned long>(error));
        return false;
    }
    if (!file.Write(body.data(), body.size()) || !file.Close()) {
        const uint32_t error = os::GetLastError();
        DebugPrint("Write update package \"%s\" failed.\n    %s. Error code = %lu.",
                   packageFile.c_str(), os::SystemMessageText(error).c_str(),
                   static_cast<unsigned long>(error));
        // A package cut short by a full disk is not one to unpack later by mistake.
        file.Close();
        os::DeleteFile(packageFile);
        return false;
    }
    if (publicKey) {
        // The bytes checked are the ones just written whole to the file that is unpacked.
        std::string reason;
        if (!CheckPackageSignature(url, body, key, &reason)) {
            LogSignatureRefusal(reason);
            os::DeleteFile(packageFile);
            return false;
        }
        DebugPrint("Update package signature verified");
    }
    return true;
}

bool UnpackPackage(const std::string& zipFile, const std::string& targetFolder) {
    std::string source, target;
    if (!FullUpdatePath(zipFile, &source) || !FullUpdatePath(targetFolder, &target)) {
        DebugPrint("Unable to unzip into directory = \"%s\"\n", targetFolder.c_str());
        return false;
    }
    DebugPrint("Unzipping:\n    Source = \"%s\"\n    Target = \"%s\"", source.c_str(),
               target.c_str());
    if (!CreateDirectoryWithParents(target)) {
        const uint32_t error = os::GetLastError();
        DebugPrint("Unable to create target directory = \"%s\".\n    %s. Error code = %lu.",
                   target.c_str(), os::SystemMessageText(error).c_str(),
                   static_cast<unsigned long>(error));
    }
    const os::UNPACK_RESULT result = os::UnpackZipFile(source, target);
    if (result.error != os::ERROR_SUCCESS) {
        DebugPrint("Zip entry \"%s\" not unpacked: %s.\n    %s. Error code = %lu.",
                   result.entry.c_str(), result.reason.c_str(),
                   os::SystemMessageText(result.error).c_str(),
                   static_cast<unsigned long>(result.error));
        // Nothing of a refused package stays to be started by mistake.
        DeleteDirectoryTree(target);
        DebugPrint("Unable to unzip into directory = \"%s\"\n", target.c_str());
        return false;
    }
    return true;
}

std::shared_ptr<os::STARTED_PROCESS> LaunchUpdater(const std::string& unpackFolder) {
    const std::string commandLine = UpdaterCommandLine(unpackFolder, DebugGetMode());
    os::PROCESS_INFORMATION information;
    // An updater stops or restarts the service first thing: it must not be ended with it.
    if (!os::CreateProcess(commandLine, unpackFolder, &information,
                           os::CREATE_BREAKAWAY_FROM_JOB)) {
        const uint32_t error = os::GetLastError();
        DebugPrint("Unable to create process.\n    Command line [%s].\n    %s. Error code = %lu.",
                   commandLine.c_str(), os::SystemMessageText(error).c_str(),
                   static_cast<unsigned long>(error));
        return nullptr;
    }
    DebugPrint("Process created (%lu.%lu) command line [%s]",
               static_cast<unsigned long>(information.processId),
               static_cast<unsigned long>(information.threadId), commandLine.c_str());
    if (!information.unitName.empty()) {
        DebugPrint("Updater runs as unit \"%s\"", information.unitName.c_str());
    } else {
        DebugPrint("Updater runs as a child of the service (%s)", information.breakaway.c_str());
    }
    return information.process;
}

std::shared_ptr<os::STARTED_PROCESS> StartSoftwareUpdate(const std::string& url) {
    return StartSoftwareUpdate(url, GetUpdatePublicKey());
}

std::shared_ptr<os::STARTED_PROCESS> StartSoftwareUpdate(
    const std::string& url, const std::optional<std::string>& publicKey) {
    DebugWrite(LINE_ALWAYS_LOG, "Software update URL = \"%s\"", url.c_str());
    // The folder the updater is started from is reachable by nobody but root: a folder of the
    // temporary folder could be planted, swapped for a link or remade by any local user.
    std::string base;
    if (!JoinUpdatePath(os::GetCommonAppDataFolder(), kUpdateBaseFolderName, &base)) {
        return nullptr;
    }
    os::PRIVATE_FOLDER baseFolder;
    if (std::string reason; !baseFolder.Open(base, &reason)) {
        const uint32_t error = os::GetLastError();
        DebugPrint("Update folder base \"%s\" refused: %s.\n    %s. Error code = %lu.",
                   base.c_str(), reason.c_str(), os::SystemMessageText(error).c_str(),
                   static_cast<unsigned long>(error));
        return nullptr;
    }
    std::string updateFolder;
    if (!JoinUpdatePath(base, kUpdateFolderName, &updateFolder)) {
        return nullptr;
    }
    if (!DeleteDirectoryTree(updateFolder)) {
        DebugPrint("Unable delete directory \"%s\"", updateFolder.c_str());
        return nullptr;
    }
    os::PRIVATE_FOLDER folder;
    if (!baseFolder.CreateFolder(kUpdateFolderName, &folder)) {
        DebugPrint("Unable create directory \"%s\"", updateFolder.c_str());
        return nullptr;
    }
    // Every later step names the folder by its path; one that no longer names the folder made
    // here ends the update.
    auto stillThere = [&] {
        if (folder.IsAt(updateFolder)) {
            return true;
        }
        DebugPrint("Update folder \"%s\" was replaced during the update", updateFolder.c_str());
        return false;
    };
    std::string packageFile;
    if (!JoinUpdatePath(updateFolder, kUpdatePackageName, &packageFile) ||
        !DownloadUpdatePackage(url, packageFile, publicKey)) {
        return nullptr;
    }
    const std::string unpackFolder = packageFile.substr(0, packageFile.rfind('.'));
    DebugPrint("Software update zip file \"%s\"", packageFile.c_str());
    if (!DeleteDirectoryTree(unpackFolder)) {
        DebugPrint("Unable to delete unzip directory \"%s\"", unpackFolder.c_str());
        return nullptr;
    }
    if (!stillThere()) {
        return nullptr;
    }
    if (!UnpackPackage(packageFile, unpackFolder)) {
        DebugPrint("Unable to unzip \"%s\"", packageFile.c_str());
        return nullptr;
    }
    DebugPrint("Delete zip file \"%s\"", packageFile.c_str());
    os::DeleteFile(packageFile);
    if (!stillThere()) {
        return nullptr;
    }
    return LaunchUpdater(unpackFolder);
}

}  // namespace wexo::svc
