#include "os/kernel/error_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/core/event_log.h"
#include "os/core/status.h"

namespace os {
namespace {

using ::testing::ElementsAre;

class ErrorLogTest : public ::testing::Test {
  protected:
    ErrorLogTest() : previousSyslog_(SetEventLogSyslogOutput(false)) { ClearEventLogRecords(); }
    ~ErrorLogTest() override {
        ClearEventLogRecords();
        SetEventLogSyslogOutput(previousSyslog_);
    }

  private:
    bool previousSyslog_;
};

TEST_F(ErrorLogTest, AnEntryBecomesARecordUnderTheDriversName) {
    const std::vector<std::string> strings = {"C0000034"};
    const std::vector<uint8_t> packet = {1, 2, 3, 4};
    ASSERT_TRUE(IoWriteErrorLogEntry("WexoWfp", 0xC0000003, strings, packet));
    ASSERT_TRUE(IoWriteErrorLogEntry("WexoWfp", 0x40000001, {}, {}));
    ASSERT_TRUE(IoWriteErrorLogEntry("WexoWfp", 0x80000012, {}, {}));

    auto records = EventLogRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].source, "WexoWfp");
    EXPECT_EQ(records[0].eventId, 0xC0000003u);
    EXPECT_EQ(records[0].type, EVENTLOG_ERROR_TYPE);
    // The event viewer's %1 is the driver; the driver's strings follow from %2.
    EXPECT_THAT(records[0].strings, ElementsAre("WexoWfp", "C0000034"));
    EXPECT_EQ(records[0].data, packet);
    EXPECT_NE(records[0].timeWritten, 0u);
    EXPECT_EQ(records[1].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(records[2].type, EVENTLOG_WARNING_TYPE);
}

TEST_F(ErrorLogTest, ARefusingLogTakesNothing) {
    {
        ScopedEventLogFailure failure(ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_FALSE(IoWriteErrorLogEntry("WexoWfp", 0xC0000003, {}, {}));
    }
    EXPECT_TRUE(EventLogRecords().empty());
}

}  // namespace
}  // namespace os
