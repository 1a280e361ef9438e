#include "service/support/event_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "os/core/clock.h"
#include "os/core/event_log.h"
#include "os/core/status.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Format(uint32_t id, std::vector<std::string> strings) {
    const char* text = FindEventMessage(ServiceMessageTable(), id);
    EXPECT_NE(text, nullptr) << std::hex << id;
    return text == nullptr ? std::string() : FormatEventMessage(text, strings);
}

// ---- Message table and formatting.

TEST(EventMessageTest, TheTableHoldsEveryEventOnce) {
    const uint32_t ids[] = {0x40000001, 0x40000050, 0x80000066, 0x80000067, 0x8000006A, 0x80000070,
                            0x80000071, 0x800001FC, 0x800001FD, 0x800001FE, 0xC0000002, 0xC0000003,
                            0xC0000004, 0xC0000005, 0xC0000064, 0xC0000065, 0xC0000068, 0xC0000069,
                            0xC000006B, 0xC000006C, 0xC000006D, 0xC000006E, 0xC00001F4, 0xC00001F5,
                            0xC00001F6, 0xC00001F7, 0xC00001F8, 0xC00001F9, 0xC00001FA, 0xC00001FB};
    std::set<uint32_t> seen;
    for (const EVENT_MESSAGE& message : ServiceMessageTable()) {
        EXPECT_TRUE(seen.insert(message.id).second) << std::hex << message.id;
    }
    EXPECT_EQ(seen, std::set<uint32_t>(std::begin(ids), std::end(ids)));
    EXPECT_EQ(FindEventMessage(ServiceMessageTable(), 0xC0000001), nullptr);
    EXPECT_EQ(EventTypeOf(EVENT_SERVICE_STARTED), os::EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(EventTypeOf(EVENT_DEVICE_IO_CONTROL_FAILED), os::EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(EventTypeOf(EVENT_OPEN_DEVICE_FAILED), os::EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(EventTypeOf(0x00000001), os::EVENTLOG_INFORMATION_TYPE);
}

TEST(EventMessageTest, ResourceStrings) {
    EXPECT_STREQ(LoadResourceString(IDS_WARNING_CAPTION), "Corvane Ostrel Warning");
    EXPECT_STREQ(LoadResourceString(IDS_INVALID_ARGUMENT), "Invalid command line argument: \"%s\"");
    EXPECT_EQ(LoadResourceString(102), nullptr);
}

TEST(EventMessageTest, InsertsAndLineBreaks) {
    EXPECT_EQ(Format(EVENT_SERVICE_STARTED, {"6.2.9"}),
              "Corvane Ostrel service version 6.2.9 started.");
    EXPECT_EQ(Format(EVENT_CREATE_PROCESS_FAILED, {"Update.exe /s", "Access is denied", "5"}),
              "Unable to create the process for command [Update.exe /s].\n"
              "Access is denied. Error code = 5.");
    EXPECT_EQ(Format(EVENT_SET_REGISTRY_VALUE_FAILED,
                     {"Access is denied", "5", "Dormant", "SOFTWARE\\Corvane\\Ostrel"}),
              "Unable to set registry value \"Dormant\" in key \"SOFTWARE\\Corvane\\Ostrel\".\n"
              "Access is denied. Error code = 5.");
    // This message breaks the line before its final period.
    EXPECT_EQ(Format(EVENT_CREATE_SOCKET_EVENT_FAILED, {"Bad", "10"}),
              "Unable to create Windows Sockets event.\nBad. Error code = 10\n.");
    EXPECT_EQ(Format(EVENT_WINSOCK_VERSION_MISMATCH, {"2", "2", "1", "1"}),
              "Windows Sockets version 2.2 required, but version 1.1 is installed.");
    // Trailing blanks of the message and of inserted strings are cut at the end.
    EXPECT_EQ(Format(EVENT_INVALID_START_PARAMETER, {"-Q  "}),
              "Invalid service start parameter = \"-Q  \".");
    EXPECT_EQ(FormatEventMessage("End with blanks %1", std::vector<std::string>{"x   \n  "}),
              "End with blanks x");
}

TEST(EventMessageTest, OtherSequences) {
    std::vector<std::string> one = {"one"};
    EXPECT_EQ(FormatEventMessage("100%% %1!s! and %2 and %12 kept", one),
              "100% one and %2 and %12 kept");
    EXPECT_EQ(FormatEventMessage("a%tb%bc%.%!%0 never", one), "a\tb c.!");
    EXPECT_EQ(FormatEventMessage("trailing %", one), "trailing %");
    EXPECT_EQ(FormatEventMessage("", one), "");
}

TEST(EventMessageTest, LongLinesWrapAtEightyCharacters) {
    std::string words;
    for (int i = 0; i < 30; ++i) {
        words += "word" + std::to_string(i % 10) + " ";
    }
    std::string text = Format(EVENT_CREATE_PROCESS_FAILED, {words, "Denied", "5"});
    std::vector<std::string> lines;
    for (size_t start = 0;;) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    ASSERT_GE(lines.size(), 3u);
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), 80u) << line;
        EXPECT_NE(line.back(), ' ') << line;
        EXPECT_NE(line.front(), ' ') << line;
    }
    EXPECT_EQ(lines[0],
              "Unable to create the process for command [word0 word1 word2 word3 word4 "
              "word5");
    EXPECT_EQ(lines.back(), "Denied. Error code = 5.");

    // A word longer than a line is cut; characters, not bytes, are counted.
    std::string longWord(100, 'x');
    EXPECT_EQ(FormatEventMessage("%1", std::vector<std::string>{longWord}),
              std::string(80, 'x') + "\n" + std::string(20, 'x'));
    std::string umlauts;
    for (int i = 0; i < 85; ++i) {
        umlauts += "\xC3\xA4";
    }
    std::string wrapped = FormatEventMessage("%1", std::vector<std::string>{umlauts});
    EXPECT_EQ(wrapped.find('\n'), 160u);
    EXPECT_EQ(wrapped.size(), 171u);
}

// ---- Reporting, throttling and the debug-log copy.

class EventLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previousSyslog_ = os::SetEventLogSyslogOutput(false);
        os::ClearEventLogRecords();
        DebugReset();
        DebugSetOutputHook([this](uint32_t flags, std::string_view text) {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.emplace_back(text);
            flags_.push_back(flags);
        });
    }
    void TearDown() override {
        ServiceEventLog().Stop();
        ServiceEventLog().SetMessageTable({});
        DebugReset();
        os::ClearEventLogRecords();
        os::SetEventLogSyslogOutput(previousSyslog_);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

    bool previousSyslog_ = true;
    std::mutex lock_;
    std::vector<std::string> lines_;
    std::vector<uint32_t> flags_;
};

TEST_F(EventLogTest, ReportsReachTheEventLogAndTheDebugLog) {
    EVENT_LOG log;
    ASSERT_TRUE(log.Start());
    log.SetMessageTable(ServiceMessageTable());
    EXPECT_TRUE(log.Report(os::EVENTLOG_INFORMATION_TYPE, EVENT_SERVICE_STARTED, {"6.2.9"}));
    std::vector<os::EVENT_LOG_RECORD> records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].source, "WexoSvc");
    EXPECT_EQ(records[0].type, os::EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(records[0].category, 0);
    EXPECT_EQ(records[0].eventId, EVENT_SERVICE_STARTED);
    EXPECT_THAT(records[0].strings, ElementsAre("6.2.9"));
    EXPECT_THAT(Lines(), ElementsAre("Corvane Ostrel service version 6.2.9 started."));
    EXPECT_EQ(flags_[0], 0u);
}

TEST_F(EventLogTest, TheThirtyFirstEventOfAMinuteIsOnlyInTheDebugLog) {
    os::VirtualClock clock;
    EVENT_LOG log;
    ASSERT_TRUE(log.Start());
    log.SetMessageTable(ServiceMessageTable());
    ASSERT_TRUE(clock.Settle());
    for (int i = 1; i <= 31; ++i) {
        bool reported = log.Report(os::EVENTLOG_ERROR_TYPE, EVENT_OPEN_DEVICE_FAILED,
                                   {"Denied", "5", "dev" + std::to_string(i)});
        EXPECT_EQ(reported, i <= 30) << i;
    }
    EXPECT_EQ(os::EventLogRecords().size(), 30u);
    EXPECT_EQ(Lines().size(), 31u);
    EXPECT_EQ(Lines().back(), "Unable to open device \"dev31\".\nDenied. Error code = 5.");

    // The window is fixed: 59 seconds on, still throttled; at 60 seconds it starts again.
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(59)));
    EXPECT_FALSE(log.Report(os::EVENTLOG_ERROR_TYPE, EVENT_OPEN_DEVICE_FAILED, {"a", "1", "x"}));
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(1)));
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_TRUE(log.Report(os::EVENTLOG_ERROR_TYPE, EVENT_OPEN_DEVICE_FAILED, {"a", "1", "y"}));
    EXPECT_EQ(os::EventLogRecords().size(), 31u);
    EXPECT_THAT(os::EventLogRecords().back().strings, ElementsAre("a", "1", "y"));
    log.Stop();
}

TEST_F(EventLogTest, TheWindowDoesNotSlide) {
    os::VirtualClock clock;
    EVENT_LOG log;
    ASSERT_TRUE(log.Start());
    ASSERT_TRUE(clock.Settle());
    // Thirty events just before the window ends do not hold back the next window.
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(59)));
    for (int i = 0; i < 30; ++i) {
        EXPECT_TRUE(log.Report(os::EVENTLOG_WARNING_TYPE, EVENT_READ_EVENT_ERROR, {"e", "1"}));
    }
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(1)));
    for (int i = 0; i < 30; ++i) {
        EXPECT_TRUE(log.Report(os::EVENTLOG_WARNING_TYPE, EVENT_READ_EVENT_ERROR, {"e", "1"}));
    }
    EXPECT_FALSE(log.Report(os::EVENTLOG_WARNING_TYPE, EVENT_READ_EVENT_ERROR, {"e", "1"}));
    EXPECT_EQ(os::EventLogRecords().size(), 60u);
    log.Stop();
}

TEST_F(EventLogTest, AFailedReportIsWrittenToDebuggerAndLogFile) {
    EVENT_LOG log;
    ASSERT_TRUE(log.Start());
    log.SetMessageTable(ServiceMessageTable());
    os::ScopedEventLogFailure failure(os::ERROR_ACCESS_DENIED);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(log.Report(os::EVENTLOG_WARNING_TYPE, EVENT_DEVICE_IO_CONTROL_FAILED,
                            {"QRN_SC_INPUT", "Denied", "5"}));
    std::string debugger = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(debugger, ::testing::HasSubstr("Unable to report event ID = 106. " +
                                               os::SystemMessageText(5) + ". Error code = 5.\n"));
    EXPECT_THAT(Lines(), ElementsAre("Unable to report event ID = 106. " +
                                         os::SystemMessageText(5) + ". Error code = 5.",
                                     "Device I/O control QRN_SC_INPUT failed.\n"
                                     "Denied. Error code = 5."));
    EXPECT_EQ(flags_[0], LINE_ALWAYS_DEBUGGER | LINE_ALWAYS_LOG);
    EXPECT_THAT(os::EventLogRecords(), IsEmpty());
}

TEST_F(EventLogTest, WithoutASourceEventsAreOnlyCopied) {
    EVENT_LOG log;
    {
        os::ScopedEventLogFailure failure(os::ERROR_ACCESS_DENIED, os::EventLogFailure::Register);
        EXPECT_FALSE(log.Start());
    }
    log.SetMessageTable(ServiceMessageTable());
    EXPECT_FALSE(log.Report(os::EVENTLOG_INFORMATION_TYPE, EVENT_RESTART_FOR_UPDATE, {}));
    EXPECT_THAT(Lines(), ElementsAre("Computer restart to complete software update."));
    EXPECT_THAT(os::EventLogRecords(), IsEmpty());

    // Stopping deregisters the source; without a table nothing is copied.
    ASSERT_TRUE(log.Start());
    log.Stop();
    log.SetMessageTable({});
    EXPECT_FALSE(log.Report(os::EVENTLOG_INFORMATION_TYPE, EVENT_RESTART_FOR_UPDATE, {}));
    EXPECT_THAT(os::EventLogRecords(), IsEmpty());
    EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(EventLogTest, TheProcessWriterBuildsErrorStrings) {
    ASSERT_TRUE(ServiceEventLog().Start());
    ServiceEventLog().SetMessageTable(ServiceMessageTable());
    EXPECT_TRUE(ReportServiceErrorEvent(EVENT_CREATE_REGISTRY_KEY_FAILED, os::ERROR_ACCESS_DENIED,
                                        {"SOFTWARE\\Corvane\\Ostrel"}));
    std::vector<os::EVENT_LOG_RECORD> records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, os::EVENTLOG_ERROR_TYPE);
    EXPECT_THAT(records[0].strings,
                ElementsAre(os::SystemMessageText(5), "5", "SOFTWARE\\Corvane\\Ostrel"));
    EXPECT_TRUE(
        ReportServiceEvent(os::EVENTLOG_INFORMATION_TYPE, EVENT_SERVICE_STARTED, {"6.2.9"}));
    EXPECT_EQ(Lines().back(), "Corvane Ostrel service version 6.2.9 started.");
}

}  // namespace
}  // namespace wexo::svc
