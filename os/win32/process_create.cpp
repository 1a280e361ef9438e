#include "os/win32/process_create.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "os/core/status.h"
#include "os/win32/environment.h"
#include "os/win32/transient_unit.h"

extern char** environ;

namespace os {
namespace {

constexpr uint32_t kErrorBadExeFormat = 193;  // ERROR_BAD_EXE_FORMAT
constexpr uint32_t kErrorDirectory = 267;     // ERROR_DIRECTORY

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

uint32_t SpawnError(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case ENOEXEC:
            return kErrorBadExeFormat;
        default:
            return Win32ErrorFromErrno(err);
    }
}

// posix_spawn's attributes and file actions, released whatever happens.
class SPAWN_SETUP {
  public:
    SPAWN_SETUP() {
        attributesReady_ = posix_spawnattr_init(&attributes_) == 0;
        actionsReady_ = posix_spawn_file_actions_init(&actions_) == 0;
    }
    ~SPAWN_SETUP() {
        if (actionsReady_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
        if (attributesReady_) {
            posix_spawnattr_destroy(&attributes_);
        }
    }
    SPAWN_SETUP(const SPAWN_SETUP&) = delete;
    SPAWN_SETUP& operator=(const SPAWN_SETUP&) = delete;

    // 0 or the errno of the step that failed.
    int Prepare(const std::string& directory) {
        if (!attributesReady_ || !actionsReady_) {
            return ENOMEM;
        }
        // The starter's blocked signals and handlers are its own business; the program starts
        // with none blocked and every signal at its default.
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        int err = posix_spawnattr_setsigmask(&attributes_, &none);
        if (err == 0) {
            err = posix_spawnattr_setsigdefault(&attributes_, &all);
        }
        if (err == 0) {
            err = posix_spawnattr_setflags(
                &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
        }
        for (int fd = 0; err == 0 && fd < 3; ++fd) {
            err = posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null",
                                                   fd == 0 ? O_RDONLY : O_WRONLY, 0);
        }
        if (err == 0) {
            err = posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
        }
        if (err == 0) {
            err = posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str());
        }
        return err;
    }
    const posix_spawnattr_t* Attributes() const { return &attributes_; }
    const posix_spawn_file_actions_t* Actions() const { return &actions_; }

  private:
    posix_spawnattr_t attributes_{};
    posix_spawn_file_actions_t actions_{};
    bool attributesReady_ = false;
    bool actionsReady_ = false;
};

// Waits for a child's end and reports it.
void Collect(const std::shared_ptr<STARTED_PROCESS>& process) {
    int status = 0;
    pid_t got;
    do {
        got = waitpid(static_cast<pid_t>(process->ProcessId()), &status, 0);
    } while (got < 0 && errno == EINTR);
    std::optional<uint32_t> code;
    if (got > 0 && WIFEXITED(status)) {
        code = static_cast<uint32_t>(WEXITSTATUS(status));
    }
    detail::FinishStartedProcess(*process, code);
}

// What the breakaway checks itself before it asks systemd, so that a program that cannot run
// fails with the errors a spawn gives: 0 or an errno.
int CheckRunnable(const std::string& program) {
    struct stat info {};
    if (stat(program.c_str(), &info) != 0) {
        return errno;
    }
    if (!S_ISREG(info.st_mode) || access(program.c_str(), X_OK) != 0) {
        return EACCES;
    }
    return 0;
}

}  // namespace

namespace detail {

std::shared_ptr<STARTED_PROCESS> NewStartedProcess(uint32_t processId) {
    return std::shared_ptr<STARTED_PROCESS>(new STARTED_PROCESS(processId));
}

void FinishStartedProcess(STARTED_PROCESS& process, std::optional<uint32_t> exitCode) {
    process.Finish(exitCode);
}

}  // namespace detail

std::optional<uint32_t> STARTED_PROCESS::ExitCode() const {
    std::lock_guard guard(lock_);
    return exitCode_;
}

void STARTED_PROCESS::Finish(std::optional<uint32_t> exitCode) {
    {
        std::lock_guard guard(lock_);
        exitCode_ = exitCode;
    }
    ended_.Set();
}

std::vector<std::string> CommandLineToArgv(std::string_view line) {
    std::vector<std::string> arguments;
    size_t i = 0;
    std::string first;
    if (i < line.size() && line[i] == '"') {
        ++i;
        while (i < line.size() && line[i] != '"') {
            first += line[i++];
        }
        if (i < line.size()) {
            ++i;
        }
    } else {
        while (i < line.size() && !IsBlank(line[i])) {
            first += line[i++];
        }
    }
    arguments.push_back(std::move(first));
    for (;;) {
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        std::string argument;
        bool quoted = false;
        while (i < line.size() && (quoted || !IsBlank(line[i]))) {
            size_t backslashes = 0;
            while (i < line.size() && line[i] == '\\') {
                ++backslashes;
                ++i;
            }
            if (i < line.size() && line[i] == '"') {
                argument.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    argument += '"';
                } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                    // A doubled quote inside quotes is a literal quote.
                    argument += '"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                argument.append(backslashes, '\\');
                if (i < line.size() && (quoted || !IsBlank(line[i]))) {
                    argument += line[i++];
                }
            }
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

bool CreateProcess(std::string_view commandLine, std::string_view currentDirectory,
                   PROCESS_INFORMATION* information, uint32_t creationFlags) {
    std::vector<std::string> arguments = CommandLineToArgv(commandLine);
    std::optional<std::string> program = LinuxPathFromWindows(arguments.front());
    if (arguments.front().empty() || !program) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    std::optional<std::string> directory = LinuxPathFromWindows(currentDirectory);
    struct stat info {};
    if (!directory || stat(directory->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        SetLastError(kErrorDirectory);
        return false;
    }
    // The program sees its own Linux path first, as a program started from a shell would.
    arguments.front() = *program;
    information->unitName.clear();
    information->breakaway.clear();
    if ((creationFlags & CREATE_BREAKAWAY_FROM_JOB) != 0) {
        if (int err = CheckRunnable(*program); err != 0) {
            SetLastError(SpawnError(err));
            return false;
        }
        TRANSIENT_UNIT_START unit = StartTransientUnit(*program, arguments, *directory);
        if (unit.outcome == TRANSIENT_UNIT_START::OUTCOME::FAILED) {
            SetLastError(unit.error);
            return false;
        }
        if (unit.outcome == TRANSIENT_UNIT_START::OUTCOME::STARTED) {
            information->process = std::move(unit.process);
            information->processId = unit.processId;
            information->threadId = unit.processId;
            information->unitName = std::move(unit.unitName);
            return true;
        }
        information->breakaway = std::move(unit.note);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    SPAWN_SETUP setup;
    if (int err = setup.Prepare(*directory); err != 0) {
        SetLastError(Win32ErrorFromErrno(err));
        return false;
    }
    pid_t pid = 0;
    if (int err = posix_spawn(&pid, program->c_str(), setup.Actions(), setup.Attributes(),
                              argv.data(), environ);
        err != 0) {
        SetLastError(SpawnError(err));
        return false;
    }
    std::shared_ptr<STARTED_PROCESS> process =
        detail::NewStartedProcess(static_cast<uint32_t>(pid));
    // The wait for the program's end lives outside os/ threads: it is no work the virtual clock
    // must wait for, and a program may outlive every handle to it.
    std::thread([process] { Collect(process); }).detach();
    information->process = process;
    information->processId = static_cast<uint32_t>(pid);
    information->threadId = static_cast<uint32_t>(pid);
    return true;
}

}  // namespace os
