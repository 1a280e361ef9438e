// Software update: the package (a zip archive) downloaded into a fresh folder under the temporary
// folder, unpacked beside it, the archive deleted and the updater "Update.exe" started from the
// unpacked folder with its fixed command line. The service does not wait for the updater: the
// caller gets its process and notices its end (the check-in thread logs the exit code).
//
// Paths are Windows paths of at most 260 characters, as the service has always kept them; a path
// that would be longer ends the step. On Linux "Update.exe" is an executable file of that name at
// the top of the package.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "os/win32/process_create.h"

namespace wexo::svc {

constexpr size_t kMaxUpdatePath = 260;
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

// Depth first; links are removed as themselves, never followed. A path that is not there counts
// as deleted.
bool DeleteDirectoryTree(const std::string& path);
// GET of the URL by its scheme (HTTPS_API for "https://", HTTP_API otherwise) into the file. A
// file is left only when the whole body was written.
bool DownloadUpdatePackage(const std::string& url, const std::string& packageFile);
// The archive into the folder, all or nothing: an archive with an entry that would land outside
// the folder, a link or a special file, or one that is damaged or cut short, is refused and the
// folder removed.
bool UnpackPackage(const std::string& zipFile, const std::string& targetFolder);
// Starts the updater; null when it cannot be started.
std::shared_ptr<os::STARTED_PROCESS> LaunchUpdater(const std::string& unpackFolder);
// The whole update for one URL; the updater's process, or null after the failing step's lines.
std::shared_ptr<os::STARTED_PROCESS> StartSoftwareUpdate(const std::string& url);

}  // namespace wexo::svc
