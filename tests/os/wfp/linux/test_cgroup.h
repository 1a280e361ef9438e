// A cgroup v2 folder of a test's (or a benchmark's) own, below wherever the v2 hierarchy is
// mounted, with this process moved into it, so that a program attached there sees this process
// and its children and nothing else on the machine. The process goes back to the cgroup it came
// from and the folder is removed when the object ends.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "os/wfp/linux/bpf_socket_owner.h"

namespace wexo::test {

class TEST_CGROUP {
  public:
    // Null with the reason when there is no v2 hierarchy or it cannot be written here.
    static std::unique_ptr<TEST_CGROUP> Enter(std::string* why) {
        const std::string mount = os::CgroupV2Mount();
        const std::string home = os::CurrentCgroupV2();
        if (mount.empty() || home.empty()) {
            *why = "no cgroup v2 hierarchy is mounted";
            return nullptr;
        }
        RemoveStale(mount);
        static std::atomic<int> sequence{0};
        std::unique_ptr<TEST_CGROUP> made(new TEST_CGROUP());
        made->home_ = home;
        made->path_ = mount + "/wexo-t" + std::to_string(::getpid()) + "-" +
                      std::to_string(sequence.fetch_add(1));
        if (::mkdir(made->path_.c_str(), 0755) != 0) {
            *why = "cannot make " + made->path_;
            return nullptr;
        }
        made->made_ = true;
        if (!MoveHere(made->path_)) {
            *why = "cannot move this process into " + made->path_;
            return nullptr;  // the destructor removes the folder
        }
        made->entered_ = true;
        struct stat folder {};
        if (::stat(made->path_.c_str(), &folder) == 0)
            made->id_ = folder.st_ino;
        return made;
    }

    ~TEST_CGROUP() {
        if (entered_)
            MoveHere(home_);
        if (!made_)
            return;
        // A child that just ended may still be counted in for a moment.
        for (int attempt = 0; attempt < 100 && ::rmdir(path_.c_str()) != 0; ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    TEST_CGROUP(const TEST_CGROUP&) = delete;
    TEST_CGROUP& operator=(const TEST_CGROUP&) = delete;

    const std::string& Path() const { return path_; }
    // The cgroup's id, as bpf_get_current_cgroup_id() gives it: its folder's inode.
    uint64_t Id() const { return id_; }

  private:
    TEST_CGROUP() = default;
    // The folders of runs that ended without removing theirs (a crash): empty once their process
    // is gone.
    static void RemoveStale(const std::string& mount) {
        DIR* folder = ::opendir(mount.c_str());
        if (folder == nullptr)
            return;
        while (const dirent* entry = ::readdir(folder)) {
            const std::string name = entry->d_name;
            if (name.rfind("wexo-t", 0) != 0)
                continue;
            const pid_t pid = static_cast<pid_t>(std::atoi(name.c_str() + 6));
            if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
                ::rmdir((mount + "/" + name).c_str());
        }
        ::closedir(folder);
    }
    static bool MoveHere(const std::string& folder) {
        std::ofstream procs(folder + "/cgroup.procs");
        procs << ::getpid() << std::flush;
        return static_cast<bool>(procs);
    }

    std::string home_;
    std::string path_;
    uint64_t id_ = 0;
    bool made_ = false;
    bool entered_ = false;
};

}  // namespace wexo::test
