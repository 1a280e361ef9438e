#include "driver/platform/debug_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "driver/platform/debug_print.h"
#include "os/core/allocation.h"
#include "os/core/clock.h"
#include "os/core/debugger.h"
#include "os/fltmgr/file_io.h"
#include "os/fltmgr/fltmgr.h"
#include "os/kernel/system_routines.h"
#include "os/kernel/unicode_string.h"
#include "os/registry/registry.h"

namespace wexo::drv {
namespace {

namespace fs = std::filesystem;

constexpr char kServiceKey[] = "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp";
constexpr char16_t kLogPath[] = u"\\??\\T:\\logs\\wexo.log";

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The time stamp a line written now gets.
std::string Stamp() {
    os::CALENDAR_TIME t = os::GetLocalTime();
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatDriverText(format, args);
    va_end(args);
    return text;
}

class DebugLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("wexo_debug_log_") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "logs");
        ASSERT_EQ(os::MountVolume(u"\\Device\\HarddiskVolume7", u"T:", dir_.string()),
                  os::STATUS_SUCCESS);
        os::FLT_REGISTRATION registration;
        registration.name = u"WexoWfp";
        ASSERT_EQ(os::FltRegisterFilter(registration, &filter_), os::STATUS_SUCCESS);
        ASSERT_EQ(os::FltStartFiltering(filter_), os::STATUS_SUCCESS);
        ASSERT_EQ(os::ZwCreateKey(key_, kServiceKey), os::STATUS_SUCCESS);
        ResetDebugLogForTest();
        DebugLogInitialise(kInitialDebugFlags,
                           std::make_shared<FILTER_LOG_FILE_OPERATIONS>(filter_));
    }

    void TearDown() override {
        ResetDebugLogForTest();
        os::FltUnregisterFilter(filter_);
        EXPECT_EQ(os::FltOpenHandleCount(), 0u);
        fs::remove_all(dir_);
    }

    void SetDword(const char* name, uint32_t value) {
        ASSERT_EQ(os::ZwSetValueKey(key_, name, os::REG_DWORD, os::RegDwordData(value)),
                  os::STATUS_SUCCESS);
    }
    void SetBytes(const char* name, uint32_t type, std::vector<uint8_t> data) {
        ASSERT_EQ(os::ZwSetValueKey(key_, name, type, data), os::STATUS_SUCCESS);
    }
    void SetPath(std::u16string_view path, uint32_t type = os::REG_SZ) {
        std::vector<uint8_t> data = os::RegStringData(NarrowText(path));
        if (type == os::REG_MULTI_SZ) {
            data.push_back(0);
            data.push_back(0);
        }
        SetBytes("Debug Log", type, data);
    }
    void Delete(const char* name) { os::ZwDeleteValueKey(key_, name); }

    std::vector<std::string> Printed() {
        std::lock_guard guard(lock_);
        return printed_;
    }

    std::string LogText() { return ReadWhole(dir_ / "logs" / "wexo.log"); }

    os::VirtualClock clock_;
    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    os::ScopedVolumes volumes_;
    fs::path dir_;
    std::shared_ptr<os::FLT_FILTER> filter_;
    os::RegKey key_;
    std::mutex lock_;
    std::vector<std::string> printed_;
    os::ScopedDebuggerListener listener_{[this](uint32_t, uint32_t, std::string_view text) {
        std::lock_guard guard(lock_);
        printed_.emplace_back(text);
    }};
};

TEST_F(DebugLogTest, WithoutALogPathOptions3PrintToTheDebuggerOnly) {
    SetDword("Debug Options", 3);
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugOptions(), 3u);
    EXPECT_TRUE(DebuggerOutput());
    EXPECT_FALSE(DebugLogIsOpen());
    DriverPrintAndLog("WexoW: Hello %d\n", 7);
    EXPECT_EQ(Printed(), std::vector<std::string>{"WexoW: Hello 7\n"});
    EXPECT_TRUE(fs::is_empty(dir_ / "logs"));
}

TEST_F(DebugLogTest, ANewFileGetsTheCreatedLineAndFlattenedTimeStampedLines) {
    SetPath(kLogPath);
    SetDword("Debug Options", 2);
    const std::string start = Stamp();
    ReadDebugSettings(key_);
    ASSERT_TRUE(DebugLogIsOpen());
    EXPECT_FALSE(DebuggerOutput());
    clock_.AdvanceSeconds(61);
    const std::string later = Stamp();
    LogLine("WexoW: Test: first,\n    second\n\n");
    LogLine("WexoW: Test: first\n    second\n\n");
    DriverPrintAndLog("WexoW: Test: FC#%lu, %s\n", 12ul, "both");
    EXPECT_TRUE(Printed().empty());  // the debugger is off
    EXPECT_NE(start, later);
    EXPECT_EQ(LogText(), start + "WexoW: Debug log=\"\\??\\T:\\logs\\wexo.log\" created\r\n" +
                             later + "WexoW: Test: first, second\r\n" + later +
                             "WexoW: Test: first; second\r\n" + later +
                             "WexoW: Test: FC#12, both\r\n");
}

TEST_F(DebugLogTest, AnExistingFileIsAppendedToWithoutTheCreatedLine) {
    {
        std::ofstream out(dir_ / "logs" / "wexo.log", std::ios::binary);
        out << "earlier\r\n";
    }
    SetPath(kLogPath);
    SetDword("Debug Options", 3);
    ReadDebugSettings(key_);
    ASSERT_TRUE(DebugLogIsOpen());
    LogLine("WexoW: again");
    EXPECT_EQ(LogText(), "earlier\r\n" + Stamp() + "WexoW: again\r\n");
    EXPECT_TRUE(Printed().empty());  // LogLine alone never prints
}

TEST_F(DebugLogTest, TheSamePathInOtherCaseKeepsTheFileAnotherPathMovesIt) {
    SetPath(kLogPath);
    SetDword("Debug Options", 2);
    ReadDebugSettings(key_);
    ASSERT_TRUE(DebugLogIsOpen());
    const std::string first = LogText();

    SetPath(u"\\??\\t:\\LOGS\\WEXO.LOG", os::REG_EXPAND_SZ);
    ReadDebugSettings(key_);
    EXPECT_TRUE(DebugLogIsOpen());
    EXPECT_EQ(DebugLogPath(), kLogPath);  // the held path stays
    EXPECT_EQ(LogText(), first);          // not opened again, no second "created" line

    SetPath(u"\\Device\\HarddiskVolume7\\logs\\other.log");
    ReadDebugSettings(key_);
    ASSERT_TRUE(DebugLogIsOpen());
    LogLine("WexoW: moved");
    EXPECT_EQ(LogText(), first);
    EXPECT_EQ(ReadWhole(dir_ / "logs" / "other.log"),
              Stamp() +
                  "WexoW: Debug log=\"\\Device\\HarddiskVolume7\\logs\\other.log\" "
                  "created\r\n" +
                  Stamp() + "WexoW: moved\r\n");
}

TEST_F(DebugLogTest, AMultiStringNamesItsFirstStringAndAMissingPathClosesTheFile) {
    SetPath(kLogPath, os::REG_MULTI_SZ);
    SetDword("Debug Options", 2);
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugLogPath(), kLogPath);
    ASSERT_TRUE(DebugLogIsOpen());
    Delete("Debug Log");
    ReadDebugSettings(key_);
    EXPECT_FALSE(DebugLogIsOpen());
    EXPECT_EQ(DebugLogPath(), u"");
    SetDword("Debug Log", 5);  // not a string: no path either
    ReadDebugSettings(key_);
    EXPECT_FALSE(DebugLogIsOpen());
}

TEST_F(DebugLogTest, ClearingBit1ClosesTheFileAndLinesStopThere) {
    SetPath(kLogPath);
    SetDword("Debug Options", 2);
    ReadDebugSettings(key_);
    ASSERT_TRUE(DebugLogIsOpen());
    SetDword("Debug Options", 1);
    ReadDebugSettings(key_);
    EXPECT_FALSE(DebugLogIsOpen());
    EXPECT_EQ(DebugLogPath(), kLogPath);
    const std::string before = LogText();
    LogLine("WexoW: not written");
    EXPECT_EQ(LogText(), before);
}

TEST_F(DebugLogTest, DebugOptionsDefaultToOneAndAnUnreadableValueKeepsThePrevious) {
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugOptions(), 1u);  // missing
    EXPECT_TRUE(DebuggerOutput());
    SetDword("Debug Options", 2);
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugOptions(), 2u);
    EXPECT_FALSE(DebuggerOutput());
    SetBytes("Debug Options", os::REG_BINARY, std::vector<uint8_t>(12, 0xFF));
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugOptions(), 2u);  // 12 bytes cannot be read: the previous setting stays
    // Up to 8 bytes of any type: the first four bytes.
    SetBytes("Debug Options", os::REG_QWORD, {3, 0, 0, 0, 9, 9, 9, 9});
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugOptions(), 3u);
    Delete("Debug Options");
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugOptions(), 1u);
}

TEST_F(DebugLogTest, EachFlagsValueReplacesItsHalfOfTheFlagsWord) {
    EXPECT_EQ(DebugFlags(), kInitialDebugFlags);
    SetDword("Debug Flags2", 0x01000001);
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugFlags(), 0x0100000101000000ULL);
    EXPECT_TRUE(DebugFlags() & kDebugFlagAllDenials);
    EXPECT_TRUE(DebugFlags() & kDebugFlagPreCreateDenials);
    EXPECT_FALSE(DebugFlags() & kDebugFlagPreSetInformationDenials);
    SetDword("Debug Flags1", 0x5);
    SetBytes("Debug Flags2", os::REG_BINARY, std::vector<uint8_t>(9, 0));  // unreadable
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugFlags(), 0x0100000100000005ULL);
    Delete("Debug Flags1");
    Delete("Debug Flags2");
    ReadDebugSettings(key_);
    EXPECT_EQ(DebugFlags(), 0x0100000100000005ULL);  // missing halves stay as they were
}

TEST_F(DebugLogTest, AFileThatCannotBeCreatedIsPrintedThroughTheActivePrinter) {
    SetPath(u"\\??\\Q:\\wexo.log");
    SetDword("Debug Options", 3);
    ReadDebugSettings(key_);
    EXPECT_FALSE(DebugLogIsOpen());
    EXPECT_EQ(Printed(), std::vector<std::string>{"WexoW: Unable to create debug log=\"\\??\\Q:"
                                                  "\\wexo.log\",\n    Status=0xc000003a\n\n"});
    // With the debugger off the same failure is silent; it is tried again at each reading.
    SetDword("Debug Options", 2);
    ReadDebugSettings(key_);
    EXPECT_EQ(Printed().size(), 1u);
    {
        os::ScopedFltFailure failure(os::FLT_FAILURE::CreateFile, os::STATUS_ACCESS_DENIED);
        SetPath(kLogPath);
        SetDword("Debug Options", 3);
        ReadDebugSettings(key_);
    }
    ASSERT_EQ(Printed().size(), 2u);
    EXPECT_EQ(Printed()[1],
              "WexoW: Unable to create debug log=\"\\??\\T:\\logs\\wexo.log\",\n"
              "    Status=0xc0000022\n\n");
    ReadDebugSettings(key_);
    EXPECT_TRUE(DebugLogIsOpen());
}

TEST_F(DebugLogTest, APathThatLeavesTheVolumeFolderIsRefused) {
    SetPath(u"\\??\\T:\\logs\\..\\..\\escaped.log");
    SetDword("Debug Options", 3);
    ReadDebugSettings(key_);
    EXPECT_FALSE(DebugLogIsOpen());
    ASSERT_EQ(Printed().size(), 1u);
    EXPECT_NE(Printed()[0].find("Status=0xc0000033"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_.parent_path() / "escaped.log"));
}

TEST_F(DebugLogTest, AFailedWriteIsPrintedAndAnAllocationFailureDropsTheLine) {
    SetPath(kLogPath);
    SetDword("Debug Options", 3);
    ReadDebugSettings(key_);
    ASSERT_TRUE(DebugLogIsOpen());
    const std::string before = LogText();
    {
        os::ScopedFltFailure failure(os::FLT_FAILURE::WriteFile, os::STATUS_DISK_FULL);
        LogLine("WexoW: lost");
    }
    EXPECT_EQ(Printed(), std::vector<std::string>{
                             "WexoW: Unable to write debug log line. Status=0xc000007f\n\n"});
    {
        os::ScopedPoolFailure failure(os::MakePoolTag("DLOG"));
        LogLine("WexoW: dropped");
    }
    EXPECT_EQ(Printed().size(), 1u);
    EXPECT_EQ(LogText(), before);
    LogLine("WexoW: kept");
    EXPECT_EQ(LogText(), before + Stamp() + "WexoW: kept\r\n");
}

TEST_F(DebugLogTest, ReopenCreatesTheFileAgainAndCloseForgetsThePath) {
    ReopenDebugLog();  // nothing open: nothing happens
    EXPECT_FALSE(DebugLogIsOpen());
    SetPath(kLogPath);
    SetDword("Debug Options", 2);
    ReadDebugSettings(key_);
    ASSERT_TRUE(DebugLogIsOpen());
    fs::remove(dir_ / "logs" / "wexo.log");
    ReopenDebugLog();
    ASSERT_TRUE(DebugLogIsOpen());
    EXPECT_EQ(LogText(), Stamp() + "WexoW: Debug log=\"\\??\\T:\\logs\\wexo.log\" created\r\n");
    CloseDebugLog();
    EXPECT_FALSE(DebugLogIsOpen());
    EXPECT_EQ(DebugLogPath(), u"");
}

TEST(DebugLogFlattenTest, LinesAreJoinedAsTheLogWantsThem) {
    EXPECT_EQ(FlattenLogMessage("\n\nWexoW: a\r\n    b\r\n\r\n"), "WexoW: a; b");
    EXPECT_EQ(FlattenLogMessage("a,\n    b.\n\n  c:\nd;\n e"), "a, b. c: d; e");
    EXPECT_EQ(FlattenLogMessage("a\n\n\n"), "a");
    EXPECT_EQ(FlattenLogMessage("a\n    "), "a");
    EXPECT_EQ(FlattenLogMessage("  indented first"), "  indented first");
    EXPECT_EQ(FlattenLogMessage("\n\r\n"), "");
    EXPECT_EQ(FlattenLogMessage(""), "");
}

TEST(DriverFormatTest, WideStringsPrintAsUtf8AmongTheUsualConversions) {
    EXPECT_EQ(Format("log=\"%ws\", Status=0x%lx", u"\\??\\C:\\Z\u00fcrich.log", 0xC0000022ul),
              "log=\"\\??\\C:\\Z\xC3\xBCrich.log\", Status=0xc0000022");
    EXPECT_EQ(Format("%ws|%-4ws|%5d|%%|%s|%c|%.2f|%*u|%lld", nullptr, u"ab", -3, "s", 'c', 1.5, 3,
                     7u, -9ll),
              "(null)|ab  |   -3|%|s|c|1.50|  7|-9");
    EXPECT_EQ(Format("%ws", u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Format("plain %d", 1), "plain 1");
    EXPECT_EQ(Format("%wq stays"), "%wq stays");
}

TEST(DriverFormatTest, CountedWideStringsPrintTheirLengthAndNoMore) {
    char16_t text[] = u"\\Device\\HarddiskVolume1\\wexo.sysGARBAGE";
    os::UNICODE_STRING counted;
    counted.Buffer = text;
    counted.Length = 32 * sizeof(char16_t);  // up to ".sys": the rest is not the string's
    counted.MaximumLength = sizeof text;
    EXPECT_EQ(Format("DriverPath=\"%wZ\",\n", &counted),
              "DriverPath=\"\\Device\\HarddiskVolume1\\wexo.sys\",\n");
    counted.Length = 7;  // an odd byte length: three whole units
    EXPECT_EQ(Format("[%wZ]", &counted), "[\\De]");
    counted.Length = 0;
    EXPECT_EQ(Format("[%wZ]", &counted), "[]");
    EXPECT_EQ(Format("[%wZ]", static_cast<const os::UNICODE_STRING*>(nullptr)), "[(null)]");
    os::UNICODE_STRING empty;  // no buffer at all
    EXPECT_EQ(Format("[%wZ] %d", &empty, 5), "[] 5");

    char16_t broken[] = {u'a', 0xDC00, u'b', 0xD83D, 0};
    os::UNICODE_STRING lone;
    lone.Buffer = broken;
    lone.Length = 4 * sizeof(char16_t);  // a lone trail, and a lead the string ends on
    EXPECT_EQ(Format("%wZ", &lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(Format("%ws", broken),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

TEST(DriverFormatTest, WideStringsTakeWidthAndPrecisionInCharacters) {
    char16_t text[] = u"Z\u00fcrich";
    os::UNICODE_STRING counted{10, 14, text};  // without its last letter
    EXPECT_EQ(Format("[%8wZ][%-8wZ][%.3wZ]", &counted, &counted, &counted),
              "[   Z\xC3\xBCric][Z\xC3\xBCric   ][Z\xC3\xBCr]");
    EXPECT_EQ(Format("[%*ws][%.*ws]", -8, text, 2, text), "[Z\xC3\xBCrich  ][Z\xC3\xBC]");
    // A precision is how far the text is read: it need not be terminated within it.
    const char16_t unterminated[] = {u'a', u'b', u'c'};
    EXPECT_EQ(Format("%.3ws!", unterminated), "abc!");
    // A pair is never cut in half.
    EXPECT_EQ(Format("%.1ws|%.2ws", u"\U0001F600", u"\U0001F600"), "|\xF0\x9F\x98\x80");
    // The only wide conversion of a format still is one.
    EXPECT_EQ(Format("%-6ws|", u"ab"), "ab    |");
    EXPECT_EQ(Format("%.*d|%.*s", -1, 42, 2, "xyz"), "42|xy");
}

TEST(DriverTextTest, ConversionsKeepEveryCharacterAndMarkBrokenOnes) {
    EXPECT_EQ(WidenText("Z\xC3\xBCrich \xF0\x9F\x98\x80"), u"Z\u00fcrich \U0001F600");
    EXPECT_EQ(NarrowText(u"Z\u00fcrich \U0001F600"), "Z\xC3\xBCrich \xF0\x9F\x98\x80");
    EXPECT_EQ(WidenText("a\xFF"
                        "b\xC3"),
              u"a\uFFFDb\uFFFD");
    EXPECT_EQ(WidenText("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(NarrowText(lone),
              "a\xEF\xBF\xBD"
              "b");
}

TEST(DriverPrinterTest, TheKernelPrinterFallsBackToDbgPrint) {
    std::vector<std::pair<uint32_t, std::string>> lines;
    os::ScopedDebuggerListener listener{[&](uint32_t component, uint32_t, std::string_view text) {
        lines.emplace_back(component, std::string(text));
    }};
    SelectKernelPrinter();
    DriverPrint("WexoW: one\n");
    {
        os::ScopedMissingSystemRoutines missing({"vDbgPrintEx"});
        SelectKernelPrinter();
        DriverPrint("WexoW: two\n");
    }
    SelectKernelPrinter();
    char16_t path[] = u"C:\\x";
    const os::UNICODE_STRING counted{4, 4, path};
    DriverPrintWide("WexoW: %-4ws|%wZ\n", u"ab", &counted);
    SetDebuggerOutput(false);
    DriverPrint("WexoW: silent\n");
    SetDebuggerOutput(true);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::make_pair(os::DPFLTR_IHVDRIVER_ID, std::string("WexoW: one\n")));
    EXPECT_EQ(lines[1], std::make_pair(0u, std::string("WexoW: two\n")));  // DbgPrint
    EXPECT_EQ(lines[2], std::make_pair(os::DPFLTR_IHVDRIVER_ID, std::string("WexoW: ab  |C:\n")));
}

}  // namespace
}  // namespace wexo::drv
