// A text file a person edits while a reference server runs (the policy, the devices file), kept
// read as a T.
//
// The file is read when it is loaded and again whenever its stamp (modification time and size)
// has changed when the value is asked for, so that an edit takes effect with the next request and
// without a restart. An edit that does not read (a typo saved mid-edit, the file taken away or
// replaced by a folder) keeps the previous value: a server that fell back to "nothing allowed" or
// "no device registered" on every slip would be useless to the person editing. Each change is
// reported once, not on every request until the file is fixed.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace wexo::peers {

// What tells an edit of a file: its modification time and size.
struct FILE_STAMP {
    std::time_t modified = 0;
    long long modifiedNs = 0;
    long long size = -1;   // -1: nothing of that name
    bool regular = false;  // a plain file (not a folder, a pipe or a device)
    bool operator==(const FILE_STAMP&) const = default;
};

FILE_STAMP StampOfFile(const std::string& path);

// How the refusals name a file, as each server has always worded them.
struct WATCHED_FILE_TEXTS {
    std::string tooLarge;  // after the path: " is larger than a policy can be"
    std::string unopened;  // before the path of one that is there but does not open: "cannot open "
};

// Files larger than this are not files a person wrote.
inline constexpr long long kMaxWatchedFileBytes = 4 * 1024 * 1024;

enum class FILE_READ { kRead, kNotOpened, kNotRead };
// The whole content of a file, bytes as they are.
FILE_READ ReadWholeFile(const std::string& path, std::string* content);

// The whole text of the file whose stamp was just taken; false with the reason in *error.
bool ReadStampedFile(const std::string& path, const FILE_STAMP& stamp,
                     const WATCHED_FILE_TEXTS& texts, std::string* text, std::string* error);

template <typename T>
class WATCHED_FILE {
  public:
    // False, with what is wrong in *error, for a text that is no T; *value is then of no use.
    using PARSE = std::function<bool(std::string_view text, T* value, std::string* error)>;
    // Once for every changed stamp a request met: the file was read again, or why it was not.
    using REPORT =
        std::function<void(bool reloaded, const std::string& path, const std::string& error)>;

    WATCHED_FILE(PARSE parse, WATCHED_FILE_TEXTS texts, REPORT report)
        : parse_(std::move(parse)), texts_(std::move(texts)), report_(std::move(report)) {}
    WATCHED_FILE(const WATCHED_FILE&) = delete;
    WATCHED_FILE& operator=(const WATCHED_FILE&) = delete;

    // Takes the value in place of any file, which is watched no more.
    void Set(T value) {
        auto fresh = std::make_shared<const T>(std::move(value));
        std::lock_guard guard(mutex_);
        value_ = std::move(fresh);
        path_.clear();
    }
    // False, keeping what was there, when the text does not parse.
    bool SetText(std::string_view text, std::string* error) {
        T value{};
        if (!parse_(text, &value, error)) {
            return false;
        }
        Set(std::move(value));
        return true;
    }
    // Reads the file now and watches it from here on; false, keeping what was there (and any file
    // watched before), when it does not read.
    bool Load(const std::string& path, std::string* error) {
        const FILE_STAMP stamp = StampOfFile(path);
        std::string text;
        T value{};
        if (!ReadStampedFile(path, stamp, texts_, &text, error) || !parse_(text, &value, error)) {
            return false;
        }
        auto fresh = std::make_shared<const T>(std::move(value));
        std::lock_guard guard(mutex_);
        value_ = std::move(fresh);
        path_ = path;
        stamp_ = stamp;
        rejected_.reset();
        return true;
    }

    // The value to answer with, read again first when the watched file has changed. Called on the
    // server's threads; the file is read outside the lock, so a slow disk holds up no other page.
    std::shared_ptr<const T> Current() {
        std::string path;
        {
            std::lock_guard guard(mutex_);
            if (path_.empty()) {
                return value_;
            }
            path = path_;
        }
        const FILE_STAMP stamp = StampOfFile(path);
        {
            std::lock_guard guard(mutex_);
            if (Seen(path, stamp)) {
                return value_;
            }
        }
        std::string text;
        std::string error;
        T value{};
        const bool read =
            ReadStampedFile(path, stamp, texts_, &text, &error) && parse_(text, &value, &error);
        std::shared_ptr<const T> current;
        {
            std::lock_guard guard(mutex_);
            // Requests that met the same edit at once each read it; the first to get here takes or
            // refuses it and says so. A Set or Load meanwhile wins over this read.
            if (Seen(path, stamp)) {
                return value_;
            }
            if (read) {
                value_ = std::make_shared<const T>(std::move(value));
                stamp_ = stamp;
                rejected_.reset();
            } else {
                rejected_ = stamp;
            }
            current = value_;
        }
        if (report_) {
            report_(read, path, error);
        }
        return current;
    }

  private:
    // Whether nothing is left to do for this state of the file (under the lock): it is no longer
    // the file watched, or this edit was taken or refused already.
    bool Seen(const std::string& path, const FILE_STAMP& stamp) const {
        return path != path_ || stamp == stamp_ || stamp == rejected_;
    }

    const PARSE parse_;
    const WATCHED_FILE_TEXTS texts_;
    const REPORT report_;
    mutable std::mutex mutex_;
    std::shared_ptr<const T> value_ = std::make_shared<const T>();
    std::string path_;  // empty: no file is watched
    FILE_STAMP stamp_;
    // The stamp of the edit last refused; none since the file last read.
    std::optional<FILE_STAMP> rejected_;
};

}  // namespace wexo::peers
