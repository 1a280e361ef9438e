// Shared by the HTTP client tests: the debug log captured line by line, and an environment
// without proxy variables (so that requests to the local peers go straight to them).
#pragma once

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/support/debug_log.h"

namespace wexo::svc::testing_http {

class LogCapture {
  public:
    explicit LogCapture(uint32_t mode = DEBUG_OUTPUT_HTTP) {
        DebugReset();
        DebugSetMode(mode);
        DebugSetOutputHook([this](uint32_t flags, std::string_view text) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(flags, std::string(text));
        });
    }
    ~LogCapture() { DebugReset(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> texts;
        for (const auto& line : lines_) {
            texts.push_back(line.second);
        }
        return texts;
    }
    // How many lines are exactly `text`.
    size_t Count(const std::string& text) const {
        std::lock_guard lock(mutex_);
        size_t count = 0;
        for (const auto& line : lines_) {
            count += line.second == text ? 1 : 0;
        }
        return count;
    }
    bool Has(const std::string& text) const { return Count(text) != 0; }
    // The first line that starts with `prefix`, or "".
    std::string Find(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        for (const auto& line : lines_) {
            if (line.second.rfind(prefix, 0) == 0) {
                return line.second;
            }
        }
        return {};
    }
    // The flags the first line starting with `prefix` was written with.
    std::optional<uint32_t> FlagsOf(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        for (const auto& line : lines_) {
            if (line.second.rfind(prefix, 0) == 0) {
                return line.first;
            }
        }
        return std::nullopt;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<uint32_t, std::string>> lines_;
};

// Removes the proxy variables for its lifetime and puts them back after.
class NoProxyEnvironment {
  public:
    NoProxyEnvironment() {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved_.emplace_back(
                name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
    }
    ~NoProxyEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name, value->c_str(), 1);
            } else {
                unsetenv(name);
            }
        }
    }
    NoProxyEnvironment(const NoProxyEnvironment&) = delete;
    NoProxyEnvironment& operator=(const NoProxyEnvironment&) = delete;

  private:
    static constexpr const char* kNames[] = {"http_proxy", "https_proxy", "HTTPS_PROXY",
                                             "all_proxy",  "ALL_PROXY",   "no_proxy",
                                             "NO_PROXY"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

}  // namespace wexo::svc::testing_http
