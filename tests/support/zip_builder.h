// Archives made in a test with libarchive: zip packages as an update server would serve them,
// and tar archives for what a zip cannot carry (hard links).
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <vector>

namespace wexo::testing {

struct ARCHIVE_ITEM {
    std::string name;
    std::string content;
    unsigned type = AE_IFREG;  // AE_IFDIR, AE_IFLNK, AE_IFIFO, ...
    unsigned perm = 0644;
    std::string linkTarget;  // symbolic link target (AE_IFLNK) or hard link target (any type)
    bool hardLink = false;
};

inline ARCHIVE_ITEM File(std::string name, std::string content, unsigned perm = 0644) {
    return {std::move(name), std::move(content), AE_IFREG, perm, {}, false};
}
inline ARCHIVE_ITEM Folder(std::string name) {
    return {std::move(name), {}, AE_IFDIR, 0755, {}, false};
}
inline ARCHIVE_ITEM SymbolicLink(std::string name, std::string target) {
    return {std::move(name), {}, AE_IFLNK, 0777, std::move(target), false};
}
inline ARCHIVE_ITEM HardLink(std::string name, std::string target) {
    return {std::move(name), {}, AE_IFREG, 0644, std::move(target), true};
}

namespace detail {
inline la_ssize_t AppendTo(archive*, void* data, const void* buffer, size_t length) {
    static_cast<std::string*>(data)->append(static_cast<const char*>(buffer), length);
    return static_cast<la_ssize_t>(length);
}
}  // namespace detail

// The bytes of an archive of the items: zip (deflated) unless `tar`. Empty when libarchive
// refuses an item (zip has no fifos, for one).
inline std::string MakeArchive(const std::vector<ARCHIVE_ITEM>& items, bool tar = false) {
    std::string bytes;
    archive* writer = archive_write_new();
    if (tar) {
        archive_write_set_format_pax_restricted(writer);
    } else {
        archive_write_set_format_zip(writer);
    }
    archive_write_set_bytes_in_last_block(writer, 1);
    bool ok = archive_write_open(writer, &bytes, nullptr, detail::AppendTo, nullptr) == ARCHIVE_OK;
    for (const ARCHIVE_ITEM& item : items) {
        if (!ok) {
            break;
        }
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.name.c_str());
        archive_entry_set_filetype(entry, item.type);
        archive_entry_set_perm(entry, item.perm);
        archive_entry_set_mtime(entry, 1'700'000'000, 0);
        if (item.hardLink) {
            archive_entry_set_hardlink(entry, item.linkTarget.c_str());
        } else if (item.type == AE_IFLNK) {
            archive_entry_set_symlink(entry, item.linkTarget.c_str());
        }
        const bool hasData = item.type == AE_IFREG && !item.hardLink;
        archive_entry_set_size(entry, hasData ? static_cast<la_int64_t>(item.content.size()) : 0);
        ok = archive_write_header(writer, entry) == ARCHIVE_OK;
        if (ok && hasData && !item.content.empty()) {
            ok = archive_write_data(writer, item.content.data(), item.content.size()) ==
                 static_cast<la_ssize_t>(item.content.size());
        }
        archive_entry_free(entry);
    }
    ok = archive_write_close(writer) == ARCHIVE_OK && ok;
    archive_write_free(writer);
    return ok ? bytes : std::string();
}

}  // namespace wexo::testing
