#include "tools/peers/watched_file.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace wexo::peers {

FILE_STAMP StampOfFile(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return FILE_STAMP{};
    }
    return FILE_STAMP{status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_size,
                      S_ISREG(status.st_mode)};
}

FILE_READ ReadWholeFile(const std::string& path, std::string* content) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return FILE_READ::kNotOpened;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    if (file.bad()) {
        return FILE_READ::kNotRead;
    }
    *content = bytes.str();
    return FILE_READ::kRead;
}

bool ReadStampedFile(const std::string& path, const FILE_STAMP& stamp,
                     const WATCHED_FILE_TEXTS& texts, std::string* text, std::string* error) {
    if (stamp.size < 0) {
        *error = "cannot open " + path;
        return false;
    }
    if (stamp.size > kMaxWatchedFileBytes) {
        *error = path + texts.tooLarge;
        return false;
    }
    // A folder opens and reads as no text at all, which would parse as an empty file: no rules,
    // no devices, taken as if a person had written that.
    if (!stamp.regular) {
        *error = "cannot read " + path;
        return false;
    }
    switch (ReadWholeFile(path, text)) {
        case FILE_READ::kRead:
            return true;
        case FILE_READ::kNotOpened:
            *error = texts.unopened + path;
            return false;
        case FILE_READ::kNotRead:
            break;
    }
    *error = "cannot read " + path;
    return false;
}

}  // namespace wexo::peers
