// What the bridge's tests share: a temporary runtime folder removed on every exit path, the
// programs as built, and bounded polls.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace wexo::test {

class TEMP_FOLDER {
  public:
    TEMP_FOLDER() {
        char pattern[] = "/tmp/wexo-bridge-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~TEMP_FOLDER() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TEMP_FOLDER(const TEMP_FOLDER&) = delete;
    TEMP_FOLDER& operator=(const TEMP_FOLDER&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Polls `done` every millisecond for at most `limit` of real time.
inline bool PollUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline const char* PeerProgram() {
    return WEXO_BRIDGE_PEER;
}

inline const char* RegTool() {
    return WEXO_REG_TOOL;
}

}  // namespace wexo::test
