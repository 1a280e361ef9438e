// A stand-in for systemd's manager on private D-Bus connections (one socket pair each, no bus
// daemon): it answers Subscribe, StartTransientUnit, StopUnit and the properties a unit's
// watcher reads, runs each unit's command as its own child in the unit's working directory with
// the unit's environment, and reports the job and the unit's end with the signals systemd sends
// (JobRemoved, PropertiesChanged). What each StartTransientUnit asked for is kept for the test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/win32/transient_unit.h"

namespace wexo::testing {

class FAKE_SERVICE_MANAGER {
  public:
    struct UNIT {
        std::string name;
        std::string mode;
        // Every property given as a string, by name.
        std::map<std::string, std::string> texts;
        bool addRef = false;
        std::string execPath;
        std::vector<std::string> argv;
        bool execIgnoreFailure = true;
        std::vector<std::string> environment;
        pid_t pid = 0;      // MainPID: 0 again once the process ended
        pid_t execPid = 0;  // ExecMainPID: kept after it ended
        std::string state = "activating";
        int code = 0;  // CLD_EXITED, CLD_KILLED, ...
        int status = 0;
        std::string path;
    };

    FAKE_SERVICE_MANAGER() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        thread_ = std::thread([this] { Loop(); });
    }
    ~FAKE_SERVICE_MANAGER() {
        stopping_ = true;
        Wake();
        thread_.join();
        // A program a test left running ends with the manager.
        for (const UNIT& unit : units_) {
            if (unit.pid > 0) {
                kill(unit.pid, SIGKILL);
            }
        }
        for (std::thread& waiter : waiters_) {
            waiter.join();
        }
        for (sd_bus* bus : buses_) {
            sd_bus_flush_close_unref(bus);
        }
        close(wake_);
    }
    FAKE_SERVICE_MANAGER(const FAKE_SERVICE_MANAGER&) = delete;
    FAKE_SERVICE_MANAGER& operator=(const FAKE_SERVICE_MANAGER&) = delete;

    // Opens a new connection to this manager, as the code under test asks for one.
    os::ServiceManagerBusOpener Opener() {
        return [this](sd_bus** client) { return Connect(client); };
    }
    // StartTransientUnit answers with this D-Bus error.
    void RefuseWith(std::string errorName) {
        std::lock_guard guard(lock_);
        refusal_ = std::move(errorName);
    }
    // The next `count` unit names asked for are taken already.
    void TakeNames(int count) {
        std::lock_guard guard(lock_);
        takenNames_ = count;
    }
    std::vector<UNIT> Units() {
        std::lock_guard guard(lock_);
        return units_;
    }
    std::vector<std::string> Refused() {
        std::lock_guard guard(lock_);
        return refusedNames_;
    }
    std::vector<std::string> Stopped() {
        std::lock_guard guard(lock_);
        return stopped_;
    }

  private:
    static constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
    static constexpr const char* kManager = "org.freedesktop.systemd1.Manager";

    int Connect(sd_bus** client) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
            return -errno;
        }
        sd_bus* server = nullptr;
        sd_id128_t id;
        sd_id128_randomize(&id);
        int r = sd_bus_new(&server);
        if (r >= 0) {
            r = sd_bus_set_fd(server, fds[0], fds[0]);
        }
        if (r >= 0) {
            r = sd_bus_set_server(server, 1, id);
        }
        if (r >= 0) {
            r = sd_bus_set_anonymous(server, 1);
        }
        if (r >= 0) {
            r = sd_bus_add_filter(server, nullptr, &FAKE_SERVICE_MANAGER::OnMessage, this);
        }
        if (r >= 0) {
            r = sd_bus_start(server);
        }
        sd_bus* bus = nullptr;
        if (r >= 0) {
            r = sd_bus_new(&bus);
        }
        if (r >= 0) {
            r = sd_bus_set_fd(bus, fds[1], fds[1]);
        }
        if (r >= 0) {
            r = sd_bus_start(bus);
        }
        if (r < 0) {
            sd_bus_unref(bus);
            sd_bus_unref(server);
            return r;
        }
        {
            std::lock_guard guard(lock_);
            incoming_.push_back(server);
        }
        Wake();
        *client = bus;
        return 0;
    }

    void Wake() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t wrote = write(wake_, &one, sizeof one);
    }

    void Loop() {
        while (!stopping_) {
            {
                std::lock_guard guard(lock_);
                buses_.insert(buses_.end(), incoming_.begin(), incoming_.end());
                incoming_.clear();
            }
            ReportEnds();
            for (size_t i = 0; i < buses_.size();) {
                int r;
                while ((r = sd_bus_process(buses_[i], nullptr)) > 0) {
                }
                if (r < 0) {
                    ForgetBus(buses_[i]);
                    sd_bus_flush_close_unref(buses_[i]);
                    buses_.erase(buses_.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
            std::vector<pollfd> fds = {{wake_, POLLIN, 0}};
            for (sd_bus* bus : buses_) {
                const int events = sd_bus_get_events(bus);
                fds.push_back({sd_bus_get_fd(bus), static_cast<short>(events > 0 ? events : 0), 0});
            }
            poll(fds.data(), fds.size(), 100);
            uint64_t count = 0;
            [[maybe_unused]] ssize_t got = read(wake_, &count, sizeof count);
        }
    }

    void ForgetBus(sd_bus* bus) {
        for (auto& [index, owner] : owners_) {
            if (owner == bus) {
                owner = nullptr;
            }
        }
    }

    static int OnMessage(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<FAKE_SERVICE_MANAGER*>(userdata);
        uint8_t type = 0;
        if (sd_bus_message_get_type(m, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) {
            return 0;
        }
        const std::string member = sd_bus_message_get_member(m);
        sd_bus* bus = sd_bus_message_get_bus(m);
        if (member == "Subscribe") {
            sd_bus_reply_method_return(m, "");
        } else if (member == "StartTransientUnit") {
            self->Start(bus, m);
        } else if (member == "StopUnit") {
            const char* name = nullptr;
            const char* mode = nullptr;
            sd_bus_message_read(m, "ss", &name, &mode);
            {
                std::lock_guard guard(self->lock_);
                self->stopped_.push_back(name);
            }
            sd_bus_reply_method_return(m, "o", "/org/freedesktop/systemd1/job/999");
        } else if (member == "Get") {
            self->Get(m);
        } else {
            sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.UnknownMethod", "no %s",
                                       member.c_str());
        }
        return 1;
    }

    static std::vector<std::string> ReadStrv(sd_bus_message* m) {
        char** strv = nullptr;
        std::vector<std::string> result;
        if (sd_bus_message_read_strv(m, &strv) >= 0 && strv != nullptr) {
            for (char** p = strv; *p != nullptr; ++p) {
                result.emplace_back(*p);
                std::free(*p);
            }
            std::free(strv);
        }
        return result;
    }

    void Start(sd_bus* bus, sd_bus_message* m) {
        UNIT unit;
        const char* name = nullptr;
        const char* mode = nullptr;
        sd_bus_message_read(m, "ss", &name, &mode);
        unit.name = name;
        unit.mode = mode;
        sd_bus_message_enter_container(m, 'a', "(sv)");
        while (sd_bus_message_enter_container(m, 'r', "sv") > 0) {
            const char* key = nullptr;
            sd_bus_message_read(m, "s", &key);
            const std::string property = key;
            const char* contents = nullptr;
            sd_bus_message_peek_type(m, nullptr, &contents);
            const std::string signature = contents != nullptr ? contents : "";
            if (property == "ExecStart" && signature == "a(sasb)") {
                sd_bus_message_enter_container(m, 'v', "a(sasb)");
                sd_bus_message_enter_container(m, 'a', "(sasb)");
                sd_bus_message_enter_container(m, 'r', "sasb");
                const char* path = nullptr;
                sd_bus_message_read(m, "s", &path);
                unit.execPath = path;
                unit.argv = ReadStrv(m);
                int ignore = 0;
                sd_bus_message_read(m, "b", &ignore);
                unit.execIgnoreFailure = ignore != 0;
                sd_bus_message_exit_container(m);
                sd_bus_message_exit_container(m);
                sd_bus_message_exit_container(m);
            } else if (property == "Environment" && signature == "as") {
                sd_bus_message_enter_container(m, 'v', "as");
                unit.environment = ReadStrv(m);
                sd_bus_message_exit_container(m);
            } else if (signature == "b") {
                int value = 0;
                sd_bus_message_read(m, "v", "b", &value);
                if (property == "AddRef") {
                    unit.addRef = value != 0;
                }
            } else if (signature == "s") {
                const char* value = nullptr;
                sd_bus_message_read(m, "v", "s", &value);
                unit.texts[property] = value;
            } else {
                sd_bus_message_skip(m, "v");
            }
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        char* path = nullptr;
        sd_bus_path_encode("/org/freedesktop/systemd1/unit", unit.name.c_str(), &path);
        unit.path = path;
        std::free(path);

        std::string refusal;
        bool taken = false;
        {
            std::lock_guard guard(lock_);
            refusal = refusal_;
            if (takenNames_ > 0) {
                --takenNames_;
                taken = true;
                refusedNames_.push_back(unit.name);
            }
        }
        if (!refusal.empty()) {
            sd_bus_reply_method_errorf(m, refusal.c_str(), "refused by the test");
            return;
        }
        if (taken) {
            sd_bus_reply_method_errorf(m, "org.freedesktop.systemd1.UnitExists",
                                       "Unit %s already exists.", unit.name.c_str());
            return;
        }
        const bool started = Spawn(&unit);
        size_t index;
        const std::string job = "/org/freedesktop/systemd1/job/" + std::to_string(++jobs_);
        {
            std::lock_guard guard(lock_);
            index = units_.size();
            if (started) {
                unit.state = "active";
            } else {
                unit.state = "failed";
                unit.code = CLD_EXITED;
                unit.status = 203;
            }
            units_.push_back(unit);
            owners_[index] = bus;
        }
        sd_bus_reply_method_return(m, "o", job.c_str());
        sd_bus_emit_signal(bus, kManagerPath, kManager, "JobRemoved", "uoss",
                           static_cast<uint32_t>(jobs_), job.c_str(), unit.name.c_str(),
                           started ? "done" : "failed");
        if (started) {
            const pid_t pid = unit.pid;
            waiters_.emplace_back([this, pid, index] {
                int status = 0;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                std::lock_guard guard(lock_);
                ended_.emplace_back(index, status);
                Wake();
            });
        }
    }

    bool Spawn(UNIT* unit) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd = 0; fd < 3; ++fd) {
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                             fd == 0 ? O_RDONLY : O_WRONLY, 0);
        }
        posix_spawn_file_actions_addchdir_np(&actions, unit->texts["WorkingDirectory"].c_str());
        std::vector<char*> argv;
        for (std::string& argument : unit->argv) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& variable : unit->environment) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        const int err = posix_spawn(&unit->pid, unit->execPath.c_str(), &actions, nullptr,
                                    argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        unit->execPid = unit->pid;
        return err == 0;
    }

    // Units whose program ended: their state, and the signal to whoever started them.
    void ReportEnds() {
        std::vector<std::pair<size_t, int>> ended;
        {
            std::lock_guard guard(lock_);
            ended.swap(ended_);
        }
        for (const auto& [index, status] : ended) {
            std::string state, path;
            sd_bus* owner = nullptr;
            {
                std::lock_guard guard(lock_);
                UNIT& unit = units_[index];
                if (WIFEXITED(status)) {
                    unit.code = CLD_EXITED;
                    unit.status = WEXITSTATUS(status);
                } else {
                    unit.code = CLD_KILLED;
                    unit.status = WTERMSIG(status);
                }
                unit.state = unit.code == CLD_EXITED && unit.status == 0 ? "inactive" : "failed";
                unit.pid = 0;
                state = unit.state;
                path = unit.path;
                owner = owners_[index];
            }
            if (owner == nullptr) {
                continue;
            }
            sd_bus_message* signal = nullptr;
            if (sd_bus_message_new_signal(owner, &signal, path.c_str(),
                                          "org.freedesktop.DBus.Properties",
                                          "PropertiesChanged") >= 0 &&
                sd_bus_message_append(signal, "sa{sv}as", "org.freedesktop.systemd1.Unit", 1,
                                      "ActiveState", "s", state.c_str(), 0) >= 0) {
                sd_bus_send(owner, signal, nullptr);
            }
            sd_bus_message_unref(signal);
        }
    }

    void Get(sd_bus_message* m) {
        const char* interface = nullptr;
        const char* property = nullptr;
        sd_bus_message_read(m, "ss", &interface, &property);
        const std::string path = sd_bus_message_get_path(m);
        const std::string name = property;
        std::lock_guard guard(lock_);
        for (const UNIT& unit : units_) {
            if (unit.path != path) {
                continue;
            }
            if (name == "ActiveState") {
                sd_bus_reply_method_return(m, "v", "s", unit.state.c_str());
            } else if (name == "MainPID") {
                sd_bus_reply_method_return(m, "v", "u", static_cast<uint32_t>(unit.pid));
            } else if (name == "ExecMainPID") {
                sd_bus_reply_method_return(m, "v", "u", static_cast<uint32_t>(unit.execPid));
            } else if (name == "ExecMainCode") {
                sd_bus_reply_method_return(m, "v", "i", static_cast<int32_t>(unit.code));
            } else if (name == "ExecMainStatus") {
                sd_bus_reply_method_return(m, "v", "i", static_cast<int32_t>(unit.status));
            } else {
                sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.UnknownProperty", "no %s",
                                           property);
            }
            return;
        }
        sd_bus_reply_method_errorf(m, "org.freedesktop.systemd1.NoSuchUnit", "no unit at %s",
                                   path.c_str());
    }

    const int wake_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex lock_;
    // Touched by the loop's thread only, but for the hand-over in `incoming_`.
    std::vector<sd_bus*> buses_;
    std::vector<sd_bus*> incoming_;
    std::vector<std::thread> waiters_;
    std::map<size_t, sd_bus*> owners_;
    std::vector<UNIT> units_;
    std::vector<std::pair<size_t, int>> ended_;
    std::string refusal_;
    int takenNames_ = 0;
    std::vector<std::string> refusedNames_;
    std::vector<std::string> stopped_;
    uint32_t jobs_ = 0;
};

}  // namespace wexo::testing
