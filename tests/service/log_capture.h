// Log lines captured in tests of the service: every line written while a capture lives.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "service/support/debug_log.h"

namespace wexo::svc::testing {

// Every line written while it lives, Verbose included.
class LOG_CAPTURE {
  public:
    LOG_CAPTURE() {
        DebugReset();
        DebugSetMode(DEBUG_OUTPUT_VERBOSE | DEBUG_OUTPUT_NO_TIME_STAMP);
        DebugSetOutputHook([this](uint32_t, std::string_view text) {
            std::lock_guard guard(lock_);
            lines_.emplace_back(text);
            changed_.notify_all();
        });
    }
    ~LOG_CAPTURE() { DebugReset(); }

    std::vector<std::string> Lines() const {
        std::lock_guard guard(lock_);
        return lines_;
    }
    size_t Count(std::string_view part) const {
        std::lock_guard guard(lock_);
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const auto& l) {
            return l.find(part) != std::string::npos;
        }));
    }
    bool Has(std::string_view line) const {
        std::lock_guard guard(lock_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    // Waits (real time, bounded) until the line has been written `times` times.
    bool WaitFor(std::string_view line, size_t times = 1) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(5), [&] {
            return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), line)) >= times;
        });
    }
    void Clear() {
        std::lock_guard guard(lock_);
        lines_.clear();
    }

  private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

}  // namespace wexo::svc::testing
