// A program started as a child process with its standard output and error read through one pipe,
// for the tests and the demo that run the product's programs as real processes. A thread of its
// own reads the pipe all the time, so a child that writes a lot never blocks on a full pipe while
// nobody looks. Every wait is bounded in real time; a child still running when the object goes is
// killed.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wexo::peers {

class CHILD_PROCESS {
  public:
    // Starts `program` with the arguments (after its name) and extra environment entries
    // ("NAME=value"; "NAME=" removes one). `keepFd`, when not -1, stays open in the child under
    // its number (every other descriptor of the parent is close-on-exec). The child is killed
    // when the parent dies, so that a parent killed outright leaves nothing running. Null when it
    // cannot be started.
    static std::unique_ptr<CHILD_PROCESS> Start(const std::string& program,
                                                const std::vector<std::string>& arguments,
                                                const std::vector<std::string>& environment,
                                                int keepFd = -1);
    ~CHILD_PROCESS();
    CHILD_PROCESS(const CHILD_PROCESS&) = delete;
    CHILD_PROCESS& operator=(const CHILD_PROCESS&) = delete;

    pid_t Pid() const { return pid_; }
    // Everything read so far.
    std::string Output() const;
    // Reads until `text` appears `times` times, the output ends or the limit passes.
    bool ReadUntil(const std::string& text, std::chrono::milliseconds limit, size_t times = 1);
    // The next whole line not yet returned (without its newline); empty when none came within
    // the limit or the output ended.
    std::string ReadLine(std::chrono::milliseconds limit);
    bool Signal(int signal);
    // Whether it still runs; a child that ended is reaped and its status kept for Wait.
    bool Running();
    // The exit status (128 + the signal when a signal ended it), or -1 when it did not end in
    // time (it is killed then). The output is read meanwhile, to its end. A child already reaped
    // (by Running) gives its status at once.
    int Wait(std::chrono::milliseconds limit);

  private:
    CHILD_PROCESS() = default;
    void Read();
    // Waits until `done` holds (under the lock), the output ends or the deadline passes.
    template <typename DONE>
    bool WaitFor(std::chrono::steady_clock::time_point deadline, DONE done);

    pid_t pid_ = -1;
    int out_ = -1;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::string output_;
    bool ended_ = false;    // the pipe's writers are all gone
    size_t lineStart_ = 0;  // where the next line for ReadLine begins
    int status_ = -1;       // once reaped
};

// How often `text` occurs in `output`.
size_t CountOccurrences(const std::string& output, const std::string& text);

}  // namespace wexo::peers
