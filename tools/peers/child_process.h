// A program started as a child process with its standard output and error read through one pipe,
// for the tests and the demo that run the product's programs as real processes. Every wait is
// bounded in real time; a child still running when the object goes is killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace wexo::peers {

class CHILD_PROCESS {
  public:
    // Starts `program` with the arguments (after its name) and extra environment entries
    // ("NAME=value"; "NAME=" removes one). Null when it cannot be started.
    static std::unique_ptr<CHILD_PROCESS> Start(const std::string& program,
                                                const std::vector<std::string>& arguments,
                                                const std::vector<std::string>& environment);
    ~CHILD_PROCESS();
    CHILD_PROCESS(const CHILD_PROCESS&) = delete;
    CHILD_PROCESS& operator=(const CHILD_PROCESS&) = delete;

    pid_t Pid() const { return pid_; }
    // Everything read so far.
    const std::string& Output() const { return output_; }
    // Reads until `text` appears `times` times, the output ends or the limit passes.
    bool ReadUntil(const std::string& text, std::chrono::milliseconds limit, size_t times = 1);
    bool Signal(int signal);
    // The exit status (128 + the signal when a signal ended it), or -1 when it did not end in
    // time (it is killed then). The output is read meanwhile, to its end.
    int Wait(std::chrono::milliseconds limit);

  private:
    CHILD_PROCESS() = default;
    // Reads what is there within `limit`; false when the output ended or nothing came.
    bool ReadSome(std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

// How often `text` occurs in `output`.
size_t CountOccurrences(const std::string& output, const std::string& text);

}  // namespace wexo::peers
