// Unpacking a zip archive into a folder (the Shell's CopyHere of a zip folder's items), over
// libarchive. Only what stays inside the folder is unpacked: an archive that holds an entry that
// would land outside it (a ".." component, an absolute or drive path), or one that is not a plain
// file or folder (a symbolic or hard link, a device, a fifo, a socket), is refused as a whole, and
// so is an archive that is damaged or cut short. A refused archive leaves the folder empty.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct archive;

namespace os {

struct UNPACK_RESULT {
    // ERROR_SUCCESS; ERROR_INVALID_NAME for an entry outside the folder; ERROR_NOT_SUPPORTED for
    // an entry of another kind; 13 (invalid data) for an archive libarchive cannot read through;
    // the file system's error when writing fails.
    uint32_t error = 0;
    std::string entry;   // the entry's name as the archive gives it, for a refused entry
    std::string reason;  // why: the rule broken, or libarchive's or the system's text
    size_t files = 0;    // files written
};

// The zip file (Windows path) into the existing folder (Windows path).
UNPACK_RESULT UnpackZipFile(std::string_view zipPath, std::string_view targetFolder);
// A zip archive held in memory into an existing Linux folder (the fuzzer's way in).
UNPACK_RESULT UnpackZipMemory(std::span<const uint8_t> bytes, const std::string& linuxFolder);
// The entries of an open libarchive reader into an existing Linux folder. Tests give readers of
// other formats for what a zip cannot carry through libarchive (hard links).
UNPACK_RESULT UnpackArchive(archive* reader, const std::string& linuxFolder);

// What all the files of one archive may come to together (1 GiB); a test may lower it for its
// lifetime instead of unpacking a gibibyte.
int64_t MaxUnpackedBytes();
class SCOPED_UNPACK_LIMIT {
  public:
    explicit SCOPED_UNPACK_LIMIT(int64_t bytes);
    ~SCOPED_UNPACK_LIMIT();
    SCOPED_UNPACK_LIMIT(const SCOPED_UNPACK_LIMIT&) = delete;
    SCOPED_UNPACK_LIMIT& operator=(const SCOPED_UNPACK_LIMIT&) = delete;

  private:
    int64_t previous_;
};

}  // namespace os
