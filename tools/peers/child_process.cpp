#include "tools/peers/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

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
    return child;
}

CHILD_PROCESS::~CHILD_PROCESS() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) {
        close(out_);
    }
}

bool CHILD_PROCESS::ReadSome(std::chrono::milliseconds limit) {
    if (out_ < 0) {
        return false;
    }
    pollfd fd{out_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(limit.count())) <= 0) {
        return false;
    }
    char buffer[4096];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) {
        close(out_);
        out_ = -1;
        return false;
    }
    output_.append(buffer, static_cast<size_t>(n));
    return true;
}

bool CHILD_PROCESS::ReadUntil(const std::string& text, std::chrono::milliseconds limit,
                              size_t times) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (CountOccurrences(output_, text) < times) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || out_ < 0) {
            return false;
        }
        ReadSome(left);
    }
    return true;
}

std::string CHILD_PROCESS::ReadLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const size_t end = output_.find('\n', lineStart_);
        if (end != std::string::npos) {
            std::string line = output_.substr(lineStart_, end - lineStart_);
            lineStart_ = end + 1;
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || out_ < 0) {
            return {};
        }
        ReadSome(left);
    }
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
        if (!ReadSome(std::chrono::milliseconds(20)) && out_ < 0) {
            // The output ended first; the exit is near. Wait for it without spinning.
            struct timespec pause = {0, 1'000'000};
            nanosleep(&pause, nullptr);
        }
    }
    pid_ = -1;
    while (ReadSome(std::chrono::milliseconds(100))) {
    }
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
