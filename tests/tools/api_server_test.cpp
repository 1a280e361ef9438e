// The reference API server: its devices file, the check-in reply the service reads, the update
// packages and the remap list page in process, and the program that serves them.
#include "tools/peers/api_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/core/clock.h"
#include "service/checkin/check_in.h"
#include "service/support/debug_log.h"

extern char** environ;

namespace wexo::peers {
namespace {

TEST(ApiFileTest, EverySettingReads) {
    ApiFile file;
    std::string error;
    ASSERT_TRUE(
        ParseApiFile("# devices\n"
                     "[device aa-bb-cc-dd-ee-01]   # the pupil's laptop\n"
                     "CustomerID = school-42\n"
                     "servermode = Tiered\n"
                     "Servers = p1.example ,p2.example,, \n"
                     "Dormant = yes\n"
                     "NextCheckIn = +6h\n"
                     "UpdatePackage = Update-6.2.10.zip\n"
                     "[device *]\n"
                     "ServerMode = 7\n"
                     "NextCheckIn = 2026-12-08 03:00:00 UTC\n"
                     "UpdateURL = https://u.example/U.zip#x\n"
                     "[DNS_REMAPS]\n"
                     "www.search.test = safe.search.test\n",
                     &file, &error))
        << error;
    ASSERT_EQ(file.devices.size(), 2u);
    const ApiDevice& laptop = file.devices[0];
    EXPECT_EQ(laptop.customerId, "school-42");
    EXPECT_EQ(laptop.serverMode, 1);
    EXPECT_EQ(laptop.servers, (std::vector<std::string>{"p1.example", "p2.example"}));
    EXPECT_EQ(laptop.dormant, true);
    EXPECT_EQ(laptop.nextCheckInFromNow, 6 * 3600);
    EXPECT_EQ(laptop.updatePackage, "Update-6.2.10.zip");
    EXPECT_EQ(file.devices[1].serverMode, 7);
    EXPECT_EQ(file.devices[1].updateUrl, "https://u.example/U.zip#x");
    ASSERT_TRUE(file.dnsRemaps.has_value());
    EXPECT_EQ(file.dnsRemaps->size(), 1u);

    // MAC addresses in any spelling; others get the "*" section.
    EXPECT_EQ(FindApiDevice(file, "AA:BB:CC:DD:EE:01"), &file.devices[0]);
    EXPECT_EQ(FindApiDevice(file, "11:22:33:44:55:66"), &file.devices[1]);
    EXPECT_EQ(FindApiDevice(file, ""), &file.devices[1]);
    file.devices.pop_back();
    EXPECT_EQ(FindApiDevice(file, "11:22:33:44:55:66"), nullptr);
}

TEST(ApiFileTest, WhatItDoesNotUnderstandIsRefusedWithItsLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"CustomerID = x\n", "line 1: a setting outside a [device ...] section"},
        {"[device a]\n[device A]\n", "line 2: device A has a section already"},
        {"[devices]\n", "line 1: unknown section [devices]"},
        {"[device a]\nColour = red\n", "line 2: unknown setting \"Colour\""},
        {"[device a]\nServerMode = sometimes\n",
         "line 2: ServerMode is balanced, tiered or a number"},
        {"[device a]\nDormant = maybe\n", "line 2: Dormant is true or false"},
        {"[device a]\nNextCheckIn = +6w\n", "line 2: NextCheckIn from now is +N with s, m, h or d"},
        {"[device a]\nUpdatePackage = ../etc/passwd\n",
         "line 2: UpdatePackage is a plain file name of the updates folder"},
        {"[device a]\njust words\n", "line 2: expected \"name = value\""},
        {"[dns_remaps]\na,b = c\n", "line 2: a remap line is \"host = remap host\""},
        {"[device a\n", "line 1: a section header ends with ]"},
    };
    for (const auto& c : cases) {
        ApiFile file;
        std::string error;
        EXPECT_FALSE(ParseApiFile(c.text, &file, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(ApiFileTest, TheReplyIsOneTheServiceReads) {
    ApiDevice device;
    device.customerId = "quote \" and \\ and \x01";
    device.serverMode = 1;
    device.servers = std::vector<std::string>{"p1.example", "p2.example"};
    device.dormant = false;
    device.nextCheckInFromNow = 3600;
    device.updatePackage = "Update.zip";
    os::CALENDAR_TIME start{};
    start.year = 2026;
    start.month = 12;
    start.day = 31;
    start.hour = 23;
    start.minute = 30;
    const std::string json =
        CheckInReplyJson(device, "https://127.0.0.1:9/updates", os::UtcToSystemTime(start));

    svc::DebugReset();
    svc::CHECK_IN_REPLY reply;
    ASSERT_TRUE(svc::ParseCheckInReply(json, &reply)) << json;
    EXPECT_EQ(reply.received, 31u);
    EXPECT_EQ(reply.customerId, "quote \" and \\ and \x01");
    EXPECT_EQ(reply.serverMode, 1);
    EXPECT_EQ(reply.servers, (std::vector<std::string>{"p1.example", "p2.example"}));
    EXPECT_EQ(reply.dormant, 0);
    // An hour from 23:30 on New Year's Eve.
    EXPECT_EQ(reply.nextCheckIn.year, 2027);
    EXPECT_EQ(reply.nextCheckIn.month, 1);
    EXPECT_EQ(reply.nextCheckIn.day, 1);
    EXPECT_EQ(reply.nextCheckIn.hour, 0);
    EXPECT_EQ(reply.nextCheckIn.minute, 30);
    EXPECT_EQ(reply.updateUrl, "https://127.0.0.1:9/updates/Update.zip");

    // Nothing set, nothing sent.
    EXPECT_EQ(CheckInReplyJson(ApiDevice{}, "", 0), "{\n}\n");
}

class ApiPagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::path(::testing::TempDir()) /
                  ("api-pages-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_ / "updates");
        ASSERT_TRUE(server_.Start());
        server_.Pages().SetUpdatesFolder((folder_ / "updates").string());
    }
    void TearDown() override {
        server_.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    httplib::Result Get(const std::string& target) {
        httplib::Client client("127.0.0.1", server_.Port());
        client.set_connection_timeout(2, 0);
        client.set_read_timeout(2, 0);
        return client.Get(target);
    }
    void Write(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    ApiServer server_{PeerOptions()};
    std::filesystem::path folder_;
};

TEST_F(ApiPagesTest, CheckInsAreAnsweredPerDeviceAndUnknownDevicesAre404) {
    std::string error;
    ASSERT_TRUE(server_.Pages().SetDevicesText(
        "[device AA:BB:CC:DD:EE:01]\nDormant = true\nUpdatePackage = U.zip\n", &error));
    auto known = Get("/2/checkin?client=ZQ&uuid=x&mac=AA%3ABB%3ACC%3ADD%3AEE%3A01");
    ASSERT_TRUE(known);
    EXPECT_EQ(known->status, 200);
    EXPECT_EQ(known->get_header_value("Content-Type"), "application/json; charset=utf-8");
    EXPECT_NE(known->body.find("\"Dormant\": true"), std::string::npos);
    EXPECT_NE(
        known->body.find("\"UpdateURL\": \"http://" + server_.HostPort() + "/updates/U.zip\""),
        std::string::npos);

    auto unknown = Get("/2/checkin?client=ZQ&mac=11%3A22%3A33%3A44%3A55%3A66");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(server_.Pages().CheckInCount(), 2u);

    // An answer a test sets takes the place of the device's.
    server_.Pages().SetCheckInAnswer(200, "{\"Dormant\": true}", "text/html");
    auto fixed = Get("/2/checkin?mac=AA%3ABB%3ACC%3ADD%3AEE%3A01");
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->get_header_value("Content-Type"), "text/html");
}

TEST_F(ApiPagesTest, PackagesAreServedOnlyAsPlainFilesOfTheFolder) {
    Write(folder_ / "updates" / "Update.zip", std::string("PK\x03\x04zip", 7));
    Write(folder_ / "secret.txt", "not for devices");
    std::filesystem::create_directories(folder_ / "updates" / "sub");
    Write(folder_ / "updates" / "sub" / "x.zip", "x");
    Write(folder_ / "updates" / ".hidden", "x");

    auto package = Get("/updates/Update.zip");
    ASSERT_TRUE(package);
    EXPECT_EQ(package->status, 200);
    EXPECT_EQ(package->body, std::string("PK\x03\x04zip", 7));
    for (const char* target :
         {"/updates/..%2Fsecret.txt", "/updates/../secret.txt", "/updates/sub/x.zip",
          "/updates/sub", "/updates/.hidden", "/updates/", "/updates/missing.zip"}) {
        auto refused = Get(target);
        ASSERT_TRUE(refused) << target;
        EXPECT_NE(refused->status, 200) << target;
        EXPECT_EQ(refused->body.find("not for devices"), std::string::npos) << target;
    }
}

TEST_F(ApiPagesTest, TheRemapListIs404WithoutItsSectionAndEmptyWithAnEmptyOne) {
    auto none = Get("/api/mobile/v1/dns_remaps?host_id=x");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 404);
    std::string error;
    ASSERT_TRUE(server_.Pages().SetDevicesText("[dns_remaps]\n", &error));
    auto empty = Get("/api/mobile/v1/dns_remaps?host_id=x");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->status, 200);
    EXPECT_NE(empty->body.find("<DNSRemap>\n</DNSRemap>"), std::string::npos);
    ASSERT_TRUE(server_.Pages().SetDevicesText("[dns_remaps]\na&b.test = <c>.test\n", &error));
    auto escaped = Get("/api/mobile/v1/dns_remaps?host_id=x");
    ASSERT_TRUE(escaped);
    EXPECT_NE(escaped->body.find("<host>a&amp;b.test,&lt;c&gt;.test</host>"), std::string::npos);
}

TEST_F(ApiPagesTest, AnEditedFileIsReadAgainAndABrokenEditIsNotTaken) {
    const std::filesystem::path path = folder_ / "devices.ini";
    Write(path, "[device *]\nCustomerID = first\n");
    std::string error;
    ASSERT_TRUE(server_.Pages().LoadDevicesFile(path.string(), &error)) << error;
    std::vector<std::string> activity;
    std::mutex lock;
    server_.Pages().SetActivityLog([&](const std::string& line) {
        std::lock_guard guard(lock);
        activity.push_back(line);
    });
    auto body = [&] {
        auto result = Get("/2/checkin?mac=01");
        return result ? result->body : std::string();
    };
    EXPECT_NE(body().find("first"), std::string::npos);
    Write(path, "[device *]\nCustomerID = second, longer\n");
    EXPECT_NE(body().find("second"), std::string::npos);
    Write(path, "[device *]\nCustomerID = third\nbroken\n");
    EXPECT_NE(body().find("second"), std::string::npos);
    std::lock_guard guard(lock);
    ASSERT_EQ(activity.size(), 5u);
    EXPECT_EQ(activity[1], "devices reloaded from " + path.string());
    EXPECT_EQ(activity[3],
              "devices file not reloaded (line 3: expected \"name = value\"); the previous "
              "devices stay");
    EXPECT_FALSE(server_.Pages().LoadDevicesFile(path.string() + ".missing", &error));
    EXPECT_EQ(error, "cannot open " + path.string() + ".missing");
}

// ---- The program.

class ApiServerProgramTest : public ApiPagesTest {
  protected:
    void SetUp() override {
        program_ = std::string(WEXO_BINARY_DIR) + "/tools/api-server";
        if (!std::filesystem::exists(program_)) {
            GTEST_SKIP() << "build the api-server target first: " << program_;
        }
        ApiPagesTest::SetUp();
    }

    pid_t Spawn(std::vector<std::string> arguments, int& output) {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0) {
            return 0;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
        arguments.insert(arguments.begin(), program_);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawn(&pid, program_.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid = 0;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(pipeEnds[1]);
        output = pipeEnds[0];
        return pid;
    }

    static std::string ReadLine(int fd) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        fcntl(fd, F_SETFL, O_NONBLOCK);
        while (std::chrono::steady_clock::now() < end) {
            char c = 0;
            const ssize_t got = read(fd, &c, 1);
            if (got == 1) {
                if (c == '\n') {
                    return line;
                }
                line.push_back(c);
            } else if (got == 0) {
                return line;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        return line;
    }

    static int ExitCode(pid_t pid) {
        int status = 0;
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -2;
    }

    std::string program_;
};

TEST_F(ApiServerProgramTest, AnswersCheckInsAndPackagesFromItsFilesUntilTerminated) {
    const std::filesystem::path devices = folder_ / "devices.ini";
    Write(devices, "[device AA:BB:CC:DD:EE:01]\nServerMode = balanced\nUpdatePackage = U.zip\n");
    Write(folder_ / "updates" / "U.zip", "package bytes");
    int output = -1;
    const pid_t pid = Spawn(
        {"--http", "--devices", devices.string(), "--updates", (folder_ / "updates").string()},
        output);
    ASSERT_NE(pid, 0);
    const std::string line = ReadLine(output);
    const std::string prefix = "API server listening on http://127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::stoi(line.substr(prefix.size()));
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(2, 0);
    auto checkIn = client.Get("/2/checkin?client=ZQ&mac=AA%3ABB%3ACC%3ADD%3AEE%3A01&uuid=u1");
    ASSERT_TRUE(checkIn);
    EXPECT_EQ(checkIn->status, 200);
    EXPECT_NE(checkIn->body.find("\"UpdateURL\": \"http://127.0.0.1:" + std::to_string(port) +
                                 "/updates/U.zip\""),
              std::string::npos);
    EXPECT_EQ(ReadLine(output),
              "checkin mac=\"AA:BB:CC:DD:EE:01\" uuid=\"u1\": answered from "
              "[device AA:BB:CC:DD:EE:01]");
    auto package = client.Get("/updates/U.zip");
    ASSERT_TRUE(package);
    EXPECT_EQ(package->body, "package bytes");
    EXPECT_EQ(ReadLine(output), "updates/U.zip: 13 bytes");
    kill(pid, SIGTERM);
    EXPECT_EQ(ExitCode(pid), 0);
    close(output);
}

TEST_F(ApiServerProgramTest, RefusesADevicesFileItCannotReadAndBadArguments) {
    const std::filesystem::path devices = folder_ / "devices.ini";
    Write(devices, "[device a]\nColour = red\n");
    int output = -1;
    pid_t pid = Spawn({"--devices", devices.string()}, output);
    ASSERT_NE(pid, 0);
    EXPECT_EQ(ReadLine(output),
              "api-server: " + devices.string() + ": line 2: unknown setting \"Colour\"");
    EXPECT_EQ(ExitCode(pid), 2);
    close(output);
    pid = Spawn({"--port", "70000"}, output);
    ASSERT_NE(pid, 0);
    EXPECT_EQ(ReadLine(output), "api-server: invalid port \"70000\"");
    EXPECT_EQ(ExitCode(pid), 2);
    close(output);
}

}  // namespace
}  // namespace wexo::peers
