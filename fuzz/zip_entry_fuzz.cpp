// The update package's unpacking: archive bytes in, unpacked into a folder of its own; whatever
// the bytes, nothing may appear outside that folder, nothing inside may be a link or a special
// file, and a refused archive leaves the folder empty. Bytes that carry a tar header go through
// the same entry rules as a tar (the way hard links, fifos and devices reach them).
#include <archive.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>

#include "os/core/status.h"
#include "os/win32/zip_archive.h"

namespace {

namespace fs = std::filesystem;

struct FOLDERS {
    fs::path base;    // holds a/ and a sentinel; nothing else may appear here
    fs::path outer;   // base/a: holds b/ only
    fs::path middle;  // base/a/b: holds unpack/ only
    fs::path unpack;  // base/a/b/unpack
};

const FOLDERS& Folders() {
    // Never destroyed, so that the clean-up at exit still finds it.
    static const FOLDERS& folders = *[] {
        std::string pattern = (fs::temp_directory_path() / "wexo-zipfuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        auto* made = new FOLDERS;
        FOLDERS& f = *made;
        f.base = pattern;
        f.outer = f.base / "a";
        f.middle = f.outer / "b";
        f.unpack = f.middle / "unpack";
        fs::create_directories(f.unpack);
        // The folders go with the process, replays in the normal build included.
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(Folders().base, ignored);
        });
        std::FILE* sentinel = std::fopen((f.base / "sentinel").c_str(), "w");
        if (sentinel != nullptr) {
            std::fclose(sentinel);
        }
        return made;
    }();
    return folders;
}

void Fail(const char* what, const fs::path& path) {
    std::fprintf(stderr, "zip_entry_fuzz: %s: %s\n", what, path.c_str());
    std::abort();
}

// Only the expected names in a folder outside the unpack folder.
void ExpectOnly(const fs::path& folder, std::initializer_list<const char*> names) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        bool known = false;
        for (const char* name : names) {
            known = known || entry.path().filename() == name;
        }
        if (!known) {
            Fail("written outside the unpack folder", entry.path());
        }
    }
}

// Checks what the unpacking left and empties the folder for the next input.
void CheckAndClear(const FOLDERS& f, const os::UNPACK_RESULT& result) {
    ExpectOnly(f.base, {"a", "sentinel"});
    ExpectOnly(f.outer, {"b"});
    ExpectOnly(f.middle, {"unpack"});
    struct stat info {};
    if (lstat(f.unpack.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        Fail("the unpack folder is gone or replaced", f.unpack);
    }
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(f.unpack)) {
        if (lstat(entry.path().c_str(), &info) != 0) {
            Fail("cannot stat", entry.path());
        }
        if (S_ISREG(info.st_mode)) {
            ++files;
            if ((info.st_mode & (S_ISUID | S_ISGID | S_IWOTH | S_IWGRP)) != 0) {
                Fail("set-id or shared write bits", entry.path());
            }
        } else if (!S_ISDIR(info.st_mode)) {
            Fail("neither a file nor a folder", entry.path());
        }
    }
    if (result.error != os::ERROR_SUCCESS && !fs::is_empty(f.unpack)) {
        Fail("a refused archive left entries", f.unpack);
    }
    if (result.error == os::ERROR_SUCCESS && files > result.files) {
        Fail("more files than were reported", f.unpack);
    }
    for (const auto& entry : fs::directory_iterator(f.unpack)) {
        fs::remove_all(entry.path());
    }
}

bool HasTarMagic(const uint8_t* data, size_t size) {
    return size >= 262 && std::memcmp(data + 257, "ustar", 5) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FOLDERS& f = Folders();
    CheckAndClear(f, os::UnpackZipMemory(std::span(data, size), f.unpack.string()));
    if (HasTarMagic(data, size)) {
        archive* reader = archive_read_new();
        archive_read_support_format_tar(reader);
        os::UNPACK_RESULT result;
        if (archive_read_open_memory(reader, data, size) == ARCHIVE_OK) {
            result = os::UnpackArchive(reader, f.unpack.string());
        } else {
            result.error = 13;
        }
        archive_read_free(reader);
        CheckAndClear(f, result);
    }
    return 0;
}
