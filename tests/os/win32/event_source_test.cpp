#include "os/win32/event_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/core/process.h"
#include "os/core/status.h"
#include "os/core/sync.h"

namespace os {
namespace {

using ::testing::ElementsAre;

class EventLogTest : public ::testing::Test {
  protected:
    EventLogTest() : previousSyslog_(SetEventLogSyslogOutput(false)) { ClearEventLogRecords(); }
    ~EventLogTest() override {
        ClearEventLogRecords();
        SetEventLogSyslogOutput(previousSyslog_);
    }

  private:
    bool previousSyslog_;
};

TEST_F(EventLogTest, ReportsReachTheSinkWithEverythingTheRecordHolds) {
    EventSource source = RegisterEventSource("WexoSvc");
    ASSERT_TRUE(source.IsValid());
    std::vector<std::string> strings = {"Access is denied", "5",
                                        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel"};
    {
        ScopedProcessContext process(4242);
        ASSERT_TRUE(ReportEvent(source, EVENTLOG_ERROR_TYPE, 0, 0xC0000064, strings));
    }
    ASSERT_TRUE(ReportEvent(source, EVENTLOG_INFORMATION_TYPE, 3, 0x40000001,
                            std::vector<std::string>{"6.2.9"}));
    auto records = EventLogRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].source, "WexoSvc");
    EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(records[0].eventId, 0xC0000064u);
    EXPECT_EQ(records[0].category, 0);
    EXPECT_EQ(records[0].strings, strings);
    EXPECT_EQ(records[0].processId, 4242u);
    EXPECT_NE(records[0].timeWritten, 0u);
    EXPECT_EQ(records[1].category, 3);
    EXPECT_THAT(records[1].strings, ElementsAre("6.2.9"));
    ClearEventLogRecords();
    EXPECT_TRUE(EventLogRecords().empty());
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FALSE(source.IsValid());
}

TEST_F(EventLogTest, FailureSwitchMakesReportsAndRegistrationsFail) {
    EventSource source = RegisterEventSource("WexoSvc");
    {
        ScopedEventLogFailure failure(ERROR_NOT_ENOUGH_MEMORY);
        SetLastError(0);
        EXPECT_FALSE(ReportEvent(source, EVENTLOG_WARNING_TYPE, 0, 0x8000006A, {}));
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_TRUE(RegisterEventSource("Other").IsValid()) << "only reports were switched off";
    }
    {
        ScopedEventLogFailure failure(ERROR_ACCESS_DENIED, EventLogFailure::Register);
        EXPECT_FALSE(RegisterEventSource("WexoSvc").IsValid());
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_TRUE(ReportEvent(source, EVENTLOG_WARNING_TYPE, 0, 1, {}));
    }
    EXPECT_EQ(EventLogRecords().size(), 1u) << "a failed report records nothing";
    EXPECT_TRUE(ReportEvent(source, EVENTLOG_WARNING_TYPE, 0, 2, {}));
    EXPECT_EQ(EventLogRecords().size(), 2u);
}

TEST_F(EventLogTest, BadArgumentsAreRefused) {
    EXPECT_FALSE(RegisterEventSource("").IsValid());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EventSource none;
    EXPECT_FALSE(ReportEvent(none, EVENTLOG_ERROR_TYPE, 0, 1, {}));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeregisterEventSource(none));
    EventSource source = RegisterEventSource("WexoSvc");
    EXPECT_FALSE(ReportEvent(source, 3, 0, 1, {}));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EventSource moved = std::move(source);
    EXPECT_FALSE(source.IsValid());  // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(ReportEvent(moved, EVENTLOG_SUCCESS, 0, 1, {}));
    EXPECT_EQ(EventLogRecords().size(), 1u);
}

TEST_F(EventLogTest, SyslogLineIsOneLineWithTheIdentifierAndQuotedStrings) {
    EVENT_LOG_RECORD record;
    record.type = EVENTLOG_WARNING_TYPE;
    record.eventId = 0x80000067;
    record.strings = {"line one\r\nline \"two\"", std::string("\x01", 1)};
    EXPECT_EQ(FormatEventLogLine(record),
              "event 0x80000067 warning category 0: \"line one\\r\\nline \\\"two\\\"\" \"\\x01\"");
    // With the syslog copy on, a report still succeeds (whether or not a syslog daemon listens).
    SetEventLogSyslogOutput(true);
    EventSource source = RegisterEventSource("WexoSvcTest");
    EXPECT_TRUE(ReportEvent(source, EVENTLOG_INFORMATION_TYPE, 0, 0x40000001,
                            std::vector<std::string>{"test"}));
}

TEST_F(EventLogTest, ConcurrentReportsAreAllKeptUpToTheSinkCapacity) {
    EventSource source = RegisterEventSource("WexoSvc");
    std::vector<std::shared_ptr<Thread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(Thread::Start([&source, t] {
            for (uint32_t i = 0; i < 100; ++i) {
                ReportEvent(source, EVENTLOG_INFORMATION_TYPE, 0, t * 1000 + i, {});
            }
        }));
    }
    for (auto& thread : threads)
        WaitForSingleObject(*thread, INFINITE);
    EXPECT_EQ(EventLogRecords().size(), 400u);
    for (uint32_t i = 0; i < 5000; ++i)
        ReportEvent(source, EVENTLOG_INFORMATION_TYPE, 0, i, {});
    auto records = EventLogRecords();
    ASSERT_EQ(records.size(), 4096u);
    EXPECT_EQ(records.back().eventId, 4999u);
    EXPECT_EQ(records.front().eventId, 5000u - 4096u);
}

}  // namespace
}  // namespace os
