// The file a reference server keeps read while a person edits it: edits are taken with the next
// request, a broken one keeps the previous value and is said once, and only a file's text counts.
#include "tools/peers/watched_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wexo::peers {
namespace {

struct NOTE {
    std::string text;
};

// A note is any text but one that begins with "!", which stands for a typo.
bool ParseNote(std::string_view text, NOTE* note, std::string* error) {
    if (!text.empty() && text.front() == '!') {
        *error = "line 1: a typo";
        return false;
    }
    note->text = std::string(text);
    return true;
}

class WatchedFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::path(::testing::TempDir()) /
                  ("watched-file-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
        path_ = (folder_ / "note.txt").string();
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // Each write gets a time of its own, so that the edit tells even on a coarse clock.
    void Write(const std::string& text) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
        static auto when = std::filesystem::file_time_type::clock::now();
        when += std::chrono::seconds(1);
        std::filesystem::last_write_time(path_, when);
    }

    std::vector<std::string> Reports() {
        std::lock_guard guard(lock_);
        return reports_;
    }

    std::filesystem::path folder_;
    std::string path_;
    std::mutex lock_;
    std::vector<std::string> reports_;
    WATCHED_FILE<NOTE> note_{
        ParseNote,
        {" is larger than a note can be", "cannot open "},
        [this](bool reloaded, const std::string& path, const std::string& error) {
            std::lock_guard guard(lock_);
            reports_.push_back(reloaded ? "reloaded " + path : "kept: " + error);
        }};
};

TEST_F(WatchedFileTest, AnEditIsTakenAndABrokenOneIsSaidOnceAndNotTaken) {
    Write("first");
    std::string error;
    ASSERT_TRUE(note_.Load(path_, &error)) << error;
    EXPECT_EQ(note_.Current()->text, "first");
    Write("second");
    EXPECT_EQ(note_.Current()->text, "second");
    Write("!third");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(note_.Current()->text, "second");
    }
    std::filesystem::remove(path_);
    EXPECT_EQ(note_.Current()->text, "second");
    EXPECT_EQ(note_.Current()->text, "second");
    Write("fourth");
    EXPECT_EQ(note_.Current()->text, "fourth");
    EXPECT_EQ(Reports(),
              (std::vector<std::string>{"reloaded " + path_, "kept: line 1: a typo",
                                        "kept: cannot open " + path_, "reloaded " + path_}));
}

TEST_F(WatchedFileTest, OnlyAFileOfBoundedSizeIsRead) {
    std::string error;
    // A folder opens and reads as nothing; taken, it would make an empty note out of no text.
    EXPECT_FALSE(note_.Load(folder_.string(), &error));
    EXPECT_EQ(error, "cannot read " + folder_.string());
    EXPECT_FALSE(note_.Load(path_, &error));
    EXPECT_EQ(error, "cannot open " + path_);
    Write("small");
    std::filesystem::resize_file(path_, kMaxWatchedFileBytes + 1);
    EXPECT_FALSE(note_.Load(path_, &error));
    EXPECT_EQ(error, path_ + " is larger than a note can be");
    Write("small");
    ASSERT_TRUE(note_.Load(path_, &error)) << error;

    // The same when the watched file turns into one of these.
    std::filesystem::remove(path_);
    std::filesystem::create_directory(path_);
    EXPECT_EQ(note_.Current()->text, "small");
    std::filesystem::remove(path_);
    Write("small");
    std::filesystem::resize_file(path_, kMaxWatchedFileBytes + 1);
    EXPECT_EQ(note_.Current()->text, "small");
    EXPECT_EQ(Reports(), (std::vector<std::string>{
                             "kept: cannot read " + path_,
                             "kept: " + path_ + " is larger than a note can be",
                         }));
}

TEST_F(WatchedFileTest, AFileThatDoesNotReadLeavesTheOneWatchedBefore) {
    Write("watched");
    std::string error;
    ASSERT_TRUE(note_.Load(path_, &error)) << error;
    EXPECT_FALSE(note_.Load(path_ + ".missing", &error));
    Write("edited");
    EXPECT_EQ(note_.Current()->text, "edited");
}

TEST_F(WatchedFileTest, AValueSetIsKeptWhateverBecomesOfTheFile) {
    Write("from the file");
    std::string error;
    ASSERT_TRUE(note_.Load(path_, &error)) << error;
    note_.Set(NOTE{"set"});
    Write("edited");
    EXPECT_EQ(note_.Current()->text, "set");
    EXPECT_FALSE(note_.SetText("!typo", &error));
    EXPECT_EQ(note_.Current()->text, "set");
    EXPECT_TRUE(Reports().empty());
}

TEST_F(WatchedFileTest, RequestsThatMeetOneEditAtOnceSayItOnce) {
    Write("first");
    std::string error;
    ASSERT_TRUE(note_.Load(path_, &error)) << error;
    for (const char* edit : {"!broken", "second"}) {
        Write(edit);
        std::vector<std::thread> requests;
        for (int i = 0; i < 8; ++i) {
            requests.emplace_back([this] { note_.Current(); });
        }
        for (std::thread& request : requests) {
            request.join();
        }
    }
    EXPECT_EQ(note_.Current()->text, "second");
    EXPECT_EQ(Reports(), (std::vector<std::string>{"kept: line 1: a typo", "reloaded " + path_}));
}

}  // namespace
}  // namespace wexo::peers
