#include "tools/peers/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace wexo::peers {

std::unique_ptr<CHILD_PROCESS> CHILD_PROCESS::Start(const std::string& program,
                                                    const std::vector<std::string>& arguments,
                                                    const std::vector<std::string>& environment,
                                                    int keepFd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return nullptr;
    }
    // Everything the child needs is prepared before the fork: after it, only async-signal-safe
    // calls are made in the child.
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    for (const std::string& change : environment) {
        const std::string name = change.substr(0, change.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        if (change.size() > name.size()) {
            env.push_back(change);
        }
    }
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = {program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);  // the parent died before the request took hold
        }
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        if (keepFd >= 0) {
            fcntl(keepFd, F_SETFD, 0);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    std::unique_ptr<CHILD_PROCESS> child(new CHILD_PROCESS());
    child->pid_ = pid;
    child->out_ = fds[0];
    child->reader_ = std::thread([raw = child.get()] { raw->Read(); });
    return child;
}

CHILD_PROCESS::~CHILD_PROCESS() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    // A grandchild may still hold the pipe's other end: the reader is told to stop.
    stop_ = true;
    if (reader_.joinable()) {
        reader_.join();
    }
    if (out_ >= 0) {
        close(out_);
    }
}

void CHILD_PROCESS::Read() {
    char buffer[16384];
    while (!stop_) {
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, 50) <= 0) {
            continue;
        }
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        std::lock_guard guard(lock_);
        if (n <= 0) {
            ended_ = true;
            changed_.notify_all();
            return;
        }
        output_.append(buffer, static_cast<size_t>(n));
        changed_.notify_all();
    }
}

template <typename DONE>
bool CHILD_PROCESS::WaitFor(std::chrono::steady_clock::time_point deadline, DONE done) {
    std::unique_lock guard(lock_);
    return changed_.wait_until(guard, deadline, [&] { return done() || ended_; }) && done();
}

std::string CHILD_PROCESS::Output() const {
    std::lock_guard guard(lock_);
    return output_;
}

bool CHILD_PROCESS::ReadUntil(const std::string& text, std::chrono::milliseconds limit,
                              size_t times) {
    return WaitFor(std::chrono::steady_clock::now() + limit,
                   [&] { return CountOccurrences(output_, text) >= times; });
}

std::string CHILD_PROCESS::ReadLine(std::chrono::milliseconds limit) {
    size_t end = std::string::npos;
    if (!WaitFor(std::chrono::steady_clock::now() + limit, [&] {
            end = output_.find('\n', lineStart_);
            return end != std::string::npos;
        })) {
        return {};
    }
    std::lock_guard guard(lock_);
    std::string line = output_.substr(lineStart_, end - lineStart_);
    lineStart_ = end + 1;
    return line;
}

bool CHILD_PROCESS::Signal(int signal) {
    return pid_ > 0 && kill(pid_, signal) == 0;
}

namespace {

int StatusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool CHILD_PROCESS::Running() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = StatusOf(status);
    }
    return pid_ > 0;
}

int CHILD_PROCESS::Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return -1;
        }
        struct timespec pause = {0, 2'000'000};
        nanosleep(&pause, nullptr);
    }
    pid_ = -1;
    // What it wrote last is read before its status is given, unless a child of its own still
    // holds the pipe.
    WaitFor(std::chrono::steady_clock::now() + std::chrono::milliseconds(100),
            [] { return false; });
    status_ = StatusOf(status);
    return status_;
}

size_t CountOccurrences(const std::string& output, const std::string& text) {
    size_t count = 0;
    for (size_t at = output.find(text); at != std::string::npos;
         at = output.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

}  // namespace wexo::peers
