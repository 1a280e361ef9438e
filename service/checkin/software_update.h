// Software update: the package (a zip archive) downloaded into a fresh folder, unpacked beside it,
// the archive deleted and the updater "Update.exe" started from the unpacked folder with its fixed
// command line. The service does not wait for the updater: the caller gets its process and
// notices its end (the check-in thread logs the exit code).
//
// The fresh folder is "CorvaneOstrelUpdate" in the product's folder of the common application-data
// folder ("C:\var\lib\wexo", root's alone), not in the temporary folder, where any local user
// could plant it, swap it for a link or remake it. The product's folder is refused with
// "Update folder base ... refused: <reason>" (no update) when a name on its path is a link, or it
// or a folder above it can be changed by another account than root's. The update folder is
// removed and made through descriptors, never through a link; a step that finds its path no longer
// naming the folder made ends the update ("Update folder ... was replaced during the update").
//
// The updater runs outside the service (CREATE_BREAKAWAY_FROM_JOB): under systemd as a transient
// unit of its own, so that stopping or restarting the service, the first thing an updater does,
// does not end it.
//
// Signed updates (off unless the product key's "UpdatePublicKey" is set): before anything is
// unpacked, "<URL>.sig" is downloaded from beside the package and must be the Ed25519 signature of
// the whole package by that key (update_signature.h). A key that cannot be used, a signature that
// cannot be downloaded, or one that does not match refuses the update with
// "Update package signature not valid: <reason>": the package file is deleted, nothing is unpacked
// and no updater is started.
//
// What is run as root must be vouched for: by TLS (an "https://" URL whose server verifies, as
// the check-in's does, see http_engine.h) or by the signature above. Without a key, a plain
// "http://" URL, or an "https://" one while "AcceptAnyServerCertificate" is on, is refused before
// anything is fetched, with "Software update refused: <reason>." and URL in the debug log and
// EVENT_UPDATE_NOT_VERIFIED in the event log; nothing is downloaded, unpacked or started.
//
// Paths are Windows paths of at most 260 characters, as the service has always kept them; a path
// that would be longer ends the step. On Linux "Update.exe" is an executable file of that name at
// the top of the package.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/win32/process_create.h"

namespace wexo::svc {

constexpr size_t kMaxUpdatePath = 260;
constexpr char kUpdateBaseFolderName[] = "wexo";
constexpr char kUpdateFolderName[] = "CorvaneOstrelUpdate";
constexpr char kUpdatePackageName[] = "UpdatePackage.zip";
constexpr char kUpdaterName[] = "Update.exe";

// `name` joined to `path`: leading separators of the name dropped, one backslash between them,
// every slash turned into a backslash. False when the result would pass 260 characters.
bool JoinUpdatePath(std::string_view path, std::string_view name, std::string* joined);
// The absolute form of a path: a drive path ("C:...") or a "\\" path as it is, a path starting
// with one separator on the current folder's drive, any other relative to the current folder with
// its leading "." and ".." resolved. False when the current folder is unknown or the result has
// 261 characters or more.
bool FullUpdatePath(std::string_view path, std::string* full);
// "\"<folder>\Update.exe\"" with " /D" for the Debugger flag, " /R", " /O" or " /L" for the log
// file flags, and " /UPDATE".
std::string UpdaterCommandLine(std::string_view unpackFolder, uint32_t debugOutputMode);

// Depth first, through descriptors; links are removed as themselves, never followed, and a link
// on the way to the path refuses the deletion. A path that is not there counts as deleted.
bool DeleteDirectoryTree(const std::string& path);
// The public key packages must be signed with: the "UpdatePublicKey" text as the settings read it
// ("" for a value that is there but could not be read as text, which no package passes); none:
// packages are taken unsigned. Set by whoever reads the settings; each update takes the key in
// force when it starts.
void SetUpdatePublicKey(std::optional<std::string> text);
std::optional<std::string> GetUpdatePublicKey();

// GET of the URL by its scheme (HTTPS_API for "https://", its server verified; HTTP_API otherwise)
// into the file, refused as above when no key is given and TLS does not verify it. A file is left
// only when the whole body was written.
bool DownloadUpdatePackage(const std::string& url, const std::string& packageFile);
// As DownloadUpdatePackage, and then the package checked against "<url>.sig" with the key given
// (none: no check). A package that fails the check is deleted after its line.
bool DownloadUpdatePackage(const std::string& url, const std::string& packageFile,
                           const std::optional<std::string>& publicKey);
// The archive into the folder, all or nothing: an archive with an entry that would land outside
// the folder, a link or a special file, or one that is damaged or cut short, is refused and the
// folder removed.
bool UnpackPackage(const std::string& zipFile, const std::string& targetFolder);
// Starts the updater; null when it cannot be started.
std::shared_ptr<os::STARTED_PROCESS> LaunchUpdater(const std::string& unpackFolder);
// The whole update for one URL; the updater's process, or null after the failing step's lines.
// The first form takes the key of GetUpdatePublicKey.
std::shared_ptr<os::STARTED_PROCESS> StartSoftwareUpdate(const std::string& url);
std::shared_ptr<os::STARTED_PROCESS> StartSoftwareUpdate(
    const std::string& url, const std::optional<std::string>& publicKey);

}  // namespace wexo::svc
