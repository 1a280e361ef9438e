#include "service/support/debug_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "os/core/clock.h"
#include "os/core/debugger.h"
#include "os/core/process.h"
#include "os/core/sync.h"
#include "os/win32/environment.h"

namespace wexo::svc {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The system time at which the process's local clock shows these fields.
uint64_t LocalSystemTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    std::time_t seconds = std::mktime(&tm);
    return os::kUnixEpochSystemTime + static_cast<uint64_t>(seconds) * os::kTicksPerSecond;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The Windows form of a local folder or file, as the log shows it.
std::string Win(const fs::path& path) {
    return os::WindowsPathFromLinux(path.string()).value();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

class DebugLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DebugReset();
        dir_ =
            fs::temp_directory_path() /
            ("wexo_debug_log_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
    }
    void TearDown() override {
        DebugReset();
        fs::remove_all(dir_);
    }

    void UseLogIn(const fs::path& dir) {
        LOG_PATH path;
        path.directoryKind = LogDirectory::Given;
        path.directory = Win(dir);
        ASSERT_TRUE(DebugSetLogPath(path));
    }
    fs::path LogFile() const { return dir_ / "WexoSvc.log"; }

    void CaptureLines() {
        DebugSetOutputHook([this](uint32_t flags, std::string_view text) {
            std::lock_guard<std::mutex> guard(linesLock_);
            lines_.emplace_back(text);
            flags_.push_back(flags);
        });
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(linesLock_);
        return lines_;
    }

    fs::path dir_;
    std::mutex linesLock_;
    std::vector<std::string> lines_;
    std::vector<uint32_t> flags_;
};

// ---- Which lines are written, and where.

TEST_F(DebugLogTest, ModeZeroWritesOnlyTheForcedLines) {
    os::VirtualClock clock(LocalSystemTime(2026, 3, 2, 9, 30, 5));
    UseLogIn(dir_);
    ::testing::internal::CaptureStderr();
    DebugPrint("plain %d", 1);
    DebugWrite(LINE_VERBOSE, "verbose");
    DebugWrite(LINE_ALWAYS_DEBUGGER, "to the debugger");
    DebugWrite(LINE_ALWAYS_LOG, "to the log");
    std::string debugger = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(debugger, "2026/03/02 09:30:05 AM to the debugger\n");
    EXPECT_EQ(ReadFile(LogFile()), "2026/03/02 09:30:05 AM to the log\r\n");
}

TEST_F(DebugLogTest, VerboseLinesNeedVerboseInTheMode) {
    std::vector<std::string> debuggerOnly = {"WexoSvc", "-D"};
    std::vector<std::string> withVerbose = {"WexoSvc", "/d", "-v"};
    DebugSetMode(DebugModeFromArguments(debuggerOnly) | DEBUG_OUTPUT_NO_TIME_STAMP);
    ::testing::internal::CaptureStderr();
    DebugWrite(LINE_VERBOSE, "detail");
    DebugPrint("ordinary");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ordinary\n");

    DebugSetMode(DebugModeFromArguments(withVerbose) | DEBUG_OUTPUT_NO_TIME_STAMP);
    ::testing::internal::CaptureStderr();
    DebugWrite(LINE_VERBOSE, "detail");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "detail\n");
}

TEST_F(DebugLogTest, ALineNeedsEveryCategoryItCarries) {
    CaptureLines();
    DebugSetMode(DEBUG_OUTPUT_HTTP);
    DebugWrite(LINE_HTTP, "http");
    DebugWrite(LINE_HTTP | LINE_XML, "http and xml");
    DebugWrite(LINE_XML, "xml");
    EXPECT_THAT(Lines(), ElementsAre("http"));
    EXPECT_TRUE(DebugCategoryEnabled(DEBUG_OUTPUT_HTTP));
    EXPECT_FALSE(DebugCategoryEnabled(DEBUG_OUTPUT_HTTP | DEBUG_OUTPUT_XML));
    DebugSetOutputHook(nullptr);
    // With no output at all, no category counts as enabled.
    EXPECT_FALSE(DebugCategoryEnabled(DEBUG_OUTPUT_HTTP));
    EXPECT_FALSE(DebugAnyOutput());
}

TEST_F(DebugLogTest, KernelModeSendsDebuggerLinesThroughTheKernelDebugPrint) {
    std::vector<std::string> kernel;
    os::ScopedDebuggerListener listener(
        [&](uint32_t component, uint32_t level, std::string_view text) {
            EXPECT_EQ(component, os::DPFLTR_IHVDRIVER_ID);
            EXPECT_EQ(level, os::DPFLTR_ERROR_LEVEL);
            kernel.emplace_back(text);
        });
    DebugSetPrefix("WexoS: ");
    DebugSetMode(DEBUG_OUTPUT_DEBUGGER | DEBUG_OUTPUT_KERNEL | DEBUG_OUTPUT_NO_TIME_STAMP);
    ::testing::internal::CaptureStderr();
    // A "%" in the text is printed, not taken for a conversion.
    DebugPrint("100%% kernel %s", "%s");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_THAT(kernel, ElementsAre("WexoS: 100% kernel %s\n"));

    DebugSetMode(DEBUG_OUTPUT_DEBUGGER | DEBUG_OUTPUT_NO_TIME_STAMP);
    ::testing::internal::CaptureStderr();
    DebugPrint("user mode");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "WexoS: user mode\n");
    EXPECT_EQ(kernel.size(), 1u);
}

TEST_F(DebugLogTest, ConsoleLinesCarryPrefixButNoTimeStamp) {
    DebugSetPrefix("WexoS: ");
    DebugSetMode(DEBUG_OUTPUT_CONSOLE);
    ::testing::internal::CaptureStdout();
    DebugPrint("to console");
    DebugWrite(LINE_NO_LINE_END, "no end");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "WexoS: to console\nWexoS: no end");
}

// ---- The shape of a line.

TEST_F(DebugLogTest, TimeStampUsesTheTwelveHourClock) {
    struct CASE {
        int hour, minute;
        const char* stamp;
    };
    const CASE cases[] = {{0, 5, "12:05:00 AM"},
                          {9, 0, "09:00:00 AM"},
                          {12, 0, "12:00:00 PM"},
                          {13, 59, "01:59:00 PM"},
                          {23, 1, "11:01:00 PM"}};
    DebugSetMode(DEBUG_OUTPUT_LOG);
    UseLogIn(dir_);
    std::string expected;
    for (const CASE& c : cases) {
        os::VirtualClock clock(LocalSystemTime(2026, 7, 4, c.hour, c.minute, 0));
        DebugPrint("x");
        expected += std::string("2026/07/04 ") + c.stamp + " x\r\n";
    }
    EXPECT_EQ(ReadFile(LogFile()), expected);
}

TEST_F(DebugLogTest, LeadingLineBreaksGoBeforeTheTimeStamp) {
    os::VirtualClock clock(LocalSystemTime(2026, 3, 2, 15, 4, 5));
    DebugSetPrefix("WexoS: ");
    DebugSetMode(DEBUG_OUTPUT_LOG);
    UseLogIn(dir_);
    DebugPrint("\n\nAfter two empty lines");
    EXPECT_EQ(ReadFile(LogFile()),
              "\r\n\r\n2026/03/02 03:04:05 PM WexoS: After two empty lines\r\n");
}

TEST_F(DebugLogTest, LogFileLinesEndInCrlf) {
    DebugSetMode(DEBUG_OUTPUT_LOG | DEBUG_OUTPUT_NO_TIME_STAMP);
    UseLogIn(dir_);
    DebugPrint("a\nb\r\nc");
    DebugWrite(LINE_RAW | LINE_NO_LINE_END, "raw\n");
    DebugWriteText(0, "text with %s kept");
    EXPECT_EQ(ReadFile(LogFile()), "a\r\nb\r\nc\r\nraw\r\ntext with %s kept\r\n");
}

TEST_F(DebugLogTest, RawLinesHaveNeitherPrefixNorTimeStamp) {
    os::VirtualClock clock(LocalSystemTime(2026, 3, 2, 9, 30, 5));
    DebugSetPrefix("WexoS: ");
    DebugSetMode(DEBUG_OUTPUT_LOG);
    UseLogIn(dir_);
    DebugWrite(LINE_RAW, "raw");
    DebugPrint("cooked");
    EXPECT_EQ(ReadFile(LogFile()), "raw\r\n2026/03/02 09:30:05 AM WexoS: cooked\r\n");
}

TEST_F(DebugLogTest, PrefixCanCarryProcessAndThreadIds) {
    CaptureLines();
    DebugSetPrefix("WexoS: ", true);
    os::ScopedProcessContext process(1234);
    DebugPrint("hello");
    std::string expected = "WexoS: (1234." + std::to_string(os::CurrentThreadId()) + ") hello";
    EXPECT_THAT(Lines(), ElementsAre(expected));
    // The prefix is limited to 32 characters.
    DebugSetPrefix(std::string(40, 'p'));
    DebugPrint("x");
    EXPECT_EQ(Lines().back(), std::string(32, 'p') + "x");
}

TEST_F(DebugLogTest, LinesOfDifferentThreadsNeverInterleave) {
    DebugSetMode(DEBUG_OUTPUT_LOG | DEBUG_OUTPUT_NO_TIME_STAMP);
    UseLogIn(dir_);
    const std::string a(300, 'a');
    const std::string b(300, 'b');
    auto writer = [](const std::string& text) {
        return os::Thread::Start([text] {
            for (int i = 0; i < 200; ++i) {
                DebugWrite(0, "%s\n%s", text.c_str(), text.c_str());
            }
        });
    };
    auto first = writer(a);
    auto second = writer(b);
    os::WaitForSingleObject(*first, os::INFINITE);
    os::WaitForSingleObject(*second, os::INFINITE);
    std::string log = ReadFile(LogFile());
    size_t lines = 0;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string line = log.substr(at, end - at);
        ASSERT_TRUE(line == a || line == b) << line.substr(0, 20);
        // The two halves of one message stay together.
        size_t next = log.find("\r\n", end + 2);
        ASSERT_EQ(log.substr(end + 2, next - end - 2), line);
        at = next + 2;
        lines += 2;
    }
    EXPECT_EQ(lines, 800u);
}

// ---- The log file: where, opening, overwriting and renaming aside.

TEST_F(DebugLogTest, PathSelectorsComposeThePath) {
    fs::create_directories(dir_ / "bin");
    os::ScopedModulePath module(Win(dir_ / "bin" / "WexoSvc.exe"));
    std::string bin = Win(dir_ / "bin");
    ASSERT_TRUE(DebugSetLogPath(LOG_PATH()));
    EXPECT_EQ(DebugGetLogPath(), bin + "\\WexoSvc.log");

    LOG_PATH path;
    path.directoryKind = LogDirectory::Given;
    path.directory = Win(dir_ / "logs");
    path.nameKind = LogName::Default;
    path.extension = "txt";
    ASSERT_TRUE(DebugSetLogPath(path));
    EXPECT_EQ(DebugGetLogPath(), Win(dir_ / "logs") + "\\Debug.txt");
    EXPECT_TRUE(fs::is_directory(dir_ / "logs"));
    path.directory += "\\";  // a given backslash is not doubled
    ASSERT_TRUE(DebugSetLogPath(path));
    EXPECT_EQ(DebugGetLogPath(), Win(dir_ / "logs") + "\\Debug.txt");

    path = LOG_PATH();
    path.directoryKind = LogDirectory::NamedAfterExecutable;
    path.nameKind = LogName::Executable;
    ASSERT_TRUE(DebugSetLogPath(path));
    EXPECT_EQ(DebugGetLogPath(), bin + "\\WexoSvc\\WexoSvc.exe.log");
    EXPECT_TRUE(fs::is_directory(dir_ / "bin" / "WexoSvc"));

    path = LOG_PATH();
    path.directoryKind = LogDirectory::None;
    path.nameKind = LogName::ExecutableWithoutExtension;
    ASSERT_TRUE(DebugSetLogPath(path));
    EXPECT_EQ(DebugGetLogPath(), "WexoSvc.log");
}

TEST_F(DebugLogTest, TheLogNeverReplacesTheProgram) {
    fs::create_directories(dir_);
    os::ScopedModulePath module(Win(dir_ / "Tool.log"));
    LOG_PATH path;
    path.nameKind = LogName::ExecutableWithoutExtension;
    ASSERT_TRUE(DebugSetLogPath(path));
    EXPECT_EQ(DebugGetLogPath(), Win(dir_) + "\\Tool.txt");
    path.extension = "txt";
    os::ScopedModulePath other(Win(dir_ / "Tool.txt"));
    ASSERT_TRUE(DebugSetLogPath(path));
    EXPECT_EQ(DebugGetLogPath(), Win(dir_) + "\\Tool.log");
}

TEST_F(DebugLogTest, OpeningAppendsAndTellsWhatItDid) {
    CaptureLines();
    fs::create_directories(dir_);
    WriteFile(LogFile(), "old\r\n");
    DebugSetMode(DEBUG_OUTPUT_LOG | DEBUG_OUTPUT_INTERNAL | DEBUG_OUTPUT_NO_TIME_STAMP);
    UseLogIn(dir_);
    DebugPrint("new");
    EXPECT_EQ(ReadFile(LogFile()), "old\r\nnew\r\n");
    EXPECT_EQ(Lines().front(), "Log file \"" + Win(LogFile()) + "\" opened");
}

TEST_F(DebugLogTest, OverwriteReplacesTheFileOnlyOnce) {
    CaptureLines();
    fs::create_directories(dir_);
    WriteFile(LogFile(), "old\r\n");
    DebugSetMode(DebugModeOption("O") | DEBUG_OUTPUT_INTERNAL | DEBUG_OUTPUT_NO_TIME_STAMP);
    UseLogIn(dir_);
    DebugPrint("first");
    EXPECT_EQ(ReadFile(LogFile()), "first\r\n");
    EXPECT_EQ(Lines().front(), "Log file \"" + Win(LogFile()) + "\" overwritten");
    // Turning Log off closes the file; the next line reopens it without overwriting again.
    DebugSetMode(DEBUG_OUTPUT_NO_TIME_STAMP);
    DebugSetMode(DebugModeOption("O") | DEBUG_OUTPUT_NO_TIME_STAMP);
    DebugPrint("second");
    EXPECT_EQ(ReadFile(LogFile()), "first\r\nsecond\r\n");
}

TEST_F(DebugLogTest, RenameAtTheFullHourUsesTheHourOnly) {
    os::VirtualClock clock(LocalSystemTime(2026, 3, 2, 14, 0, 0));
    CaptureLines();
    fs::create_directories(dir_);
    WriteFile(LogFile(), "previous run\r\n");
    DebugSetMode(DebugModeOption("R") | DEBUG_OUTPUT_INTERNAL | DEBUG_OUTPUT_NO_TIME_STAMP);
    UseLogIn(dir_);
    DebugPrint("this run");
    fs::path aside = dir_ / "WexoSvc_2026-03-02@14.log";
    EXPECT_EQ(ReadFile(aside), "previous run\r\n");
    EXPECT_EQ(ReadFile(LogFile()), "this run\r\n");
    EXPECT_THAT(Lines(), ElementsAre("Log path \"" + Win(LogFile()) + "\" renamed to\n    \"" +
                                         Win(aside) + "\"",
                                     "Log file \"" + Win(LogFile()) + "\" created", "this run"));
}

TEST_F(DebugLogTest, RenameTimeTextFollowsTheClock) {
    struct CASE {
        int hour, minute, second;
        const char* name;
    };
    const CASE cases[] = {{0, 0, 0, "WexoSvc_2026-03-02.log"},
                          {9, 30, 0, "WexoSvc_2026-03-02@09_30_00.log"},
                          {0, 0, 7, "WexoSvc_2026-03-02@00_00_07.log"}};
    for (const CASE& c : cases) {
        DebugReset();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        WriteFile(LogFile(), "old");
        os::VirtualClock clock(LocalSystemTime(2026, 3, 2, c.hour, c.minute, c.second));
        DebugSetMode(DebugModeOption("R"));
        UseLogIn(dir_);
        DebugPrint("x");
        EXPECT_EQ(ReadFile(dir_ / c.name), "old") << c.name;
    }
}

TEST_F(DebugLogTest, RenameCollisionsGetANumber) {
    os::VirtualClock clock(LocalSystemTime(2026, 3, 2, 14, 0, 0));
    fs::create_directories(dir_);
    WriteFile(dir_ / "WexoSvc_2026-03-02@14.log", "older");
    WriteFile(LogFile(), "old");
    DebugSetMode(DebugModeOption("R") | DEBUG_OUTPUT_NO_TIME_STAMP);
    UseLogIn(dir_);
    DebugPrint("new");
    EXPECT_EQ(ReadFile(dir_ / "WexoSvc_2026-03-02@14.log"), "older");
    EXPECT_EQ(ReadFile(dir_ / "WexoSvc_2026-03-02@14#001.log"), "old");
    EXPECT_EQ(ReadFile(LogFile()), "new\r\n");
}

TEST_F(DebugLogTest, WhenEveryRenameTargetIsTakenTheOldLogIsKept) {
    os::VirtualClock clock(LocalSystemTime(2026, 3, 2, 14, 0, 0));
    CaptureLines();
    fs::create_directories(dir_);
    WriteFile(dir_ / "WexoSvc_2026-03-02@14.log", "");
    for (int i = 1; i <= 999; ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof(suffix), "#%03d", i);
        WriteFile(dir_ / ("WexoSvc_2026-03-02@14" + std::string(suffix) + ".log"), "");
    }
    WriteFile(LogFile(), "old\r\n");
    DebugSetMode(DebugModeOption("R") | DEBUG_OUTPUT_INTERNAL | DEBUG_OUTPUT_NO_TIME_STAMP);
    UseLogIn(dir_);
    DebugPrint("new");
    EXPECT_EQ(ReadFile(LogFile()), "old\r\nnew\r\n");
    EXPECT_EQ(Lines().front(), "Name collision renaming log path \"" + Win(LogFile()) +
                                   "\" to\n    \"" + Win(dir_ / "WexoSvc_2026-03-02@14#999.log") +
                                   "\"");
}

TEST_F(DebugLogTest, AFolderThatCannotBeCreatedIsReported) {
    CaptureLines();
    fs::create_directories(dir_);
    WriteFile(dir_ / "file", "");
    DebugSetMode(DEBUG_OUTPUT_LOG | DEBUG_OUTPUT_INTERNAL | DEBUG_OUTPUT_NO_TIME_STAMP);
    LOG_PATH path;
    path.directoryKind = LogDirectory::Given;
    path.directory = Win(dir_ / "file" / "logs");
    EXPECT_FALSE(DebugSetLogPath(path));
    DebugPrint("lost");
    std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_THAT(lines[0],
                HasSubstr("Unable to create log directory = \"" + path.directory + "\\\". \n    "));
    EXPECT_THAT(lines.back(), "lost");
    EXPECT_THAT(lines[lines.size() - 2], HasSubstr("Unable to create log file \""));
    EXPECT_THAT(lines[lines.size() - 2], HasSubstr("Error code = 3.\n    "));
}

TEST_F(DebugLogTest, AFullDiskIsReportedAndNothingBreaks) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    CaptureLines();
    fs::create_directories(dir_);
    fs::create_symlink("/dev/full", LogFile());
    DebugSetMode(DEBUG_OUTPUT_LOG | DEBUG_OUTPUT_INTERNAL | DEBUG_OUTPUT_NO_TIME_STAMP);
    UseLogIn(dir_);
    DebugPrint("12345");
    DebugPrint("again");
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_THAT(lines[1], HasSubstr("Unable to write 7 bytes to log file. "));
    EXPECT_THAT(lines[1], HasSubstr(". Error code = 112."));
    EXPECT_EQ(lines[2], "12345");
    EXPECT_THAT(lines[3], HasSubstr("Unable to write 7 bytes"));
}

// ---- Choosing the mode.

TEST_F(DebugLogTest, ModeOptionsAndNumbers) {
    EXPECT_EQ(DebugModeOption("D"), 0x1u);
    EXPECT_EQ(DebugModeOption("l"), 0x2u);
    EXPECT_EQ(DebugModeOption("O"), 0x6u);
    EXPECT_EQ(DebugModeOption("r"), 0xAu);
    EXPECT_EQ(DebugModeOption("Kd"), 0x11u);
    EXPECT_EQ(DebugModeOption("no_time_stamp"), 0x40000u);
    EXPECT_EQ(DebugModeOption("Internal"), 0x10000u);
    EXPECT_EQ(DebugModeOption("json"), 0x800u);
    EXPECT_EQ(DebugModeOption("C"), 0u);
    EXPECT_EQ(DebugModeOption(""), 0u);
    std::vector<std::string> args = {"WexoSvc", "-V", "/HTTP", "V", "-CHECK_IN", "-"};
    EXPECT_EQ(DebugModeFromArguments(args), 0x300u);

    EXPECT_EQ(DebugParseModeNumber("770"), 770u);
    EXPECT_EQ(DebugParseModeNumber("0x302"), 0x302u);
    EXPECT_EQ(DebugParseModeNumber("0XfF"), 0xFFu);
    EXPECT_EQ(DebugParseModeNumber("0xFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(DebugParseModeNumber("4294967296"), 0u);
    EXPECT_EQ(DebugParseModeNumber("12abc"), 0u);
    EXPECT_EQ(DebugParseModeNumber("0x"), 0u);
    EXPECT_EQ(DebugParseModeNumber("-1"), 0u);
    EXPECT_EQ(DebugParseModeNumber(""), 0u);
    EXPECT_EQ(DebugParseModeNumber(" 3"), 0u);
}

TEST_F(DebugLogTest, ModeTextListsTheNamesInTheirOrder) {
    EXPECT_EQ(DebugModeText(0), "None");
    EXPECT_EQ(DebugModeText(0x40000 | 0x20 | 0x10000 | 0x2 | 0x10 | 0x1),
              "Debugger, Kernel, Log, Internal, Console, No time stamp");
    EXPECT_EQ(DebugModeText(0xF00), "Verbose, Custom1, Custom2, Custom3");
    DebugUseProductCategoryNames();
    EXPECT_EQ(DebugModeText(0x1F0C),
              "Overwrite existing, Rename existing, Verbose, HTTP, XML, "
              "JSON, Custom4");
}

TEST_F(DebugLogTest, StartTakesTheFirstNonZeroSource) {
    CaptureLines();
    DebugUseProductCategoryNames();
    std::vector<std::string> args = {"WexoSvc", "-V", "-HTTP"};
    DEBUG_MODE_SOURCES sources;
    sources.commandLine = 0x300;
    sources.registry = 0x2;
    DebugStartLog(sources, args);
    EXPECT_EQ(DebugGetMode(), 0x300u);
    EXPECT_THAT(Lines(), ElementsAre("Argument[0] = \"WexoSvc\"", "Argument[1] = \"-V\"",
                                     "Argument[2] = \"-HTTP\"",
                                     "Debug output mode (from command line) = Verbose, HTTP"));
    EXPECT_EQ(flags_.back(), LINE_ALWAYS_DEBUGGER);
    EXPECT_TRUE(DebugModeFromCommandLine());
    // A mode fixed on the command line ignores the registry.
    EXPECT_FALSE(DebugApplyRegistryMode(0x1));
    EXPECT_EQ(DebugGetMode(), 0x300u);

    lines_.clear();
    sources = DEBUG_MODE_SOURCES();
    sources.registry = 0x2;
    sources.environment = 0x1;
    DebugStartLog(sources, {});
    EXPECT_THAT(Lines(), ElementsAre("Debug output mode (from registry value = \"DebugOutput\") "
                                     "= Log "));
    lines_.clear();
    sources.registry = 0;
    DebugStartLog(sources, {});
    EXPECT_THAT(Lines(),
                ElementsAre("Debug output mode (from environment variable = \"WexoSvc\") = "
                            "Debugger "));
}

TEST_F(DebugLogTest, RegistryValueSetToZeroClosesTheLogFile) {
    CaptureLines();
    DEBUG_MODE_SOURCES sources;
    sources.registry = DEBUG_OUTPUT_LOG | DEBUG_OUTPUT_NO_TIME_STAMP;
    // The environment's mode played no part at start and plays none later.
    sources.environment = DEBUG_OUTPUT_LOG;
    LOG_PATH path;
    path.directoryKind = LogDirectory::Given;
    path.directory = Win(dir_);
    DebugStartLog(sources, {}, path);
    DebugPrint("while on");
    ASSERT_EQ(ReadFile(LogFile()),
              "Debug output mode (from registry value = \"DebugOutput\") = "
              "Log, No time stamp \r\nwhile on\r\n");
    EXPECT_FALSE(DebugApplyRegistryMode(sources.registry));  // unchanged

    EXPECT_TRUE(DebugApplyRegistryMode(0));
    EXPECT_EQ(DebugGetMode(), 0u);
    EXPECT_EQ(Lines().back(), "Debug output mode (from registry value = \"DebugOutput\") = None ");
    // The file was closed: once it is gone, the next forced line creates it anew.
    fs::remove(LogFile());
    DebugWrite(LINE_ALWAYS_LOG, "forced");
    EXPECT_THAT(ReadFile(LogFile()), HasSubstr("forced\r\n"));

    EXPECT_TRUE(DebugApplyRegistryMode(0x20));
    EXPECT_EQ(Lines().back(),
              "Debug output mode (from registry value = \"DebugOutput\") = Console ");
}

// ---- Held-back lines.

TEST_F(DebugLogTest, PendingLinesWaitForTheNextOrdinaryLine) {
    CaptureLines();
    {
        DEBUG_PENDING_LINES pending;
        DebugWrite(LINE_PENDING, "held 1");
        DebugWrite(LINE_PENDING, "held 2");
        // Another thread's lines are not held.
        auto other = os::Thread::Start([] { DebugWrite(LINE_PENDING, "other thread"); });
        os::WaitForSingleObject(*other, os::INFINITE);
        EXPECT_THAT(Lines(), ElementsAre("other thread"));
        DebugPrint("ordinary");
        EXPECT_THAT(Lines(), ElementsAre("other thread", "held 1", "held 2", "ordinary"));
        DebugWrite(LINE_PENDING, "held 3");
    }
    EXPECT_EQ(Lines().back(), "held 3");
    // Without an active list the flag changes nothing.
    DebugWrite(LINE_PENDING, "direct");
    EXPECT_EQ(Lines().back(), "direct");
}

}  // namespace
}  // namespace wexo::svc
