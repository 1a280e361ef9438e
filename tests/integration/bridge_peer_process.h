// tests/programs/device_bridge_peer as a child process for the cross-process tests: killed when
// dropped, its waits in milliseconds, its report lines read by name.
#pragma once

#include <signal.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/peers/child_process.h"

namespace wexo::integration {

class BRIDGE_PEER {
  public:
    explicit BRIDGE_PEER(const std::vector<std::string>& arguments)
        : process_(peers::CHILD_PROCESS::Start(
              std::string(WEXO_BINARY_DIR) + "/tests/device_bridge_peer", arguments, {})) {}

    pid_t Pid() const { return process_ ? process_->Pid() : -1; }
    // The next line of its output; empty when none came within `ms` or the output ended.
    std::string ReadLine(int ms = 10'000) {
        return process_ ? process_->ReadLine(std::chrono::milliseconds(ms)) : std::string();
    }
    // "NAME VALUE" lines up to "end", by name.
    std::map<std::string, std::string> ReadReport() {
        std::map<std::string, std::string> lines;
        for (std::string line = ReadLine(); !line.empty() && line != "end"; line = ReadLine()) {
            size_t blank = line.find(' ');
            lines[line.substr(0, blank)] = blank == std::string::npos ? "" : line.substr(blank + 1);
        }
        return lines;
    }
    // Its exit status (128 + signal when killed, -1 when it did not end in time: killed then).
    int Wait(int ms = 10'000) {
        return process_ ? process_->Wait(std::chrono::milliseconds(ms)) : -1;
    }
    void Kill() {
        if (process_ && process_->Signal(SIGKILL)) {
            process_->Wait(std::chrono::seconds(10));
        }
    }

  private:
    std::unique_ptr<peers::CHILD_PROCESS> process_;
};

}  // namespace wexo::integration
