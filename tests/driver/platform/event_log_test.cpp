#include "driver/platform/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "os/core/allocation.h"
#include "os/core/event_log.h"

namespace wexo::drv {
namespace {

template <typename T>
T At(const os::EVENT_LOG_RECORD& record, size_t offset) {
    T value{};
    EXPECT_GE(record.data.size(), offset + sizeof value);
    if (record.data.size() >= offset + sizeof value) {
        std::memcpy(&value, record.data.data() + offset, sizeof value);
    }
    return value;
}

// The strings the packet itself carries, read from its string offset.
std::vector<std::u16string> PacketStrings(const os::EVENT_LOG_RECORD& record) {
    std::vector<std::u16string> strings;
    size_t at = At<uint16_t>(record, kPacketStringOffsetOffset);
    for (uint16_t i = 0; i < At<uint16_t>(record, kPacketNumberOfStringsOffset); ++i) {
        std::u16string text;
        char16_t c;
        while (at + 2 <= record.data.size() && (std::memcpy(&c, &record.data[at], 2), c != 0)) {
            text.push_back(c);
            at += 2;
        }
        at += 2;
        strings.push_back(text);
    }
    return strings;
}

class EventLogTest : public ::testing::Test {
  protected:
    EventLogTest() : previousSyslog_(os::SetEventLogSyslogOutput(false)) {
        os::ClearEventLogRecords();
    }
    ~EventLogTest() override {
        os::ClearEventLogRecords();
        os::SetEventLogSyslogOutput(previousSyslog_);
    }

    os::EVENT_LOG_RECORD Only() {
        auto records = os::EventLogRecords();
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? os::EVENT_LOG_RECORD{} : records[0];
    }

  private:
    bool previousSyslog_;
};

TEST_F(EventLogTest, TaggedItemsFillThePacketAndTheStrings) {
    const char16_t path[] = u"\\??\\C:\\Windows\\WexoWfp.sys";
    const std::u16string counted = u"counted, no NUL here";
    WriteEvent(
        DRIVER_EVENT_OPEN_FILE_FAILED,
        {EventMajorFunction(3), EventRetryCount(2), EventCategory(9),
         EventUniqueValue(UniqueValue("PROT")), EventFinalStatus(os::STATUS_ACCESS_DENIED),
         EventSequenceNumber(77), EventControlCode(0x222004), EventString(path),
         EventHexNumber(0xC0000022), EventCountedString(counted.data(), 8), EventSignedNumber(-12),
         EventUnsignedNumber(4000000000u), EventHexNumber(0), EventEnd()});
    os::EVENT_LOG_RECORD record = Only();
    EXPECT_EQ(record.source, "WexoWfp");
    EXPECT_EQ(record.eventId, DRIVER_EVENT_OPEN_FILE_FAILED);
    EXPECT_EQ(record.type, os::EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(At<uint8_t>(record, kPacketMajorFunctionOffset), 3);
    EXPECT_EQ(At<uint8_t>(record, kPacketRetryCountOffset), 2);
    EXPECT_EQ(At<uint16_t>(record, kPacketEventCategoryOffset), 9);
    EXPECT_EQ(At<uint32_t>(record, kPacketErrorCodeOffset), DRIVER_EVENT_OPEN_FILE_FAILED);
    EXPECT_EQ(At<uint32_t>(record, kPacketUniqueValueOffset), UniqueValue("PROT"));
    EXPECT_EQ(At<int32_t>(record, kPacketFinalStatusOffset), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(At<uint32_t>(record, kPacketSequenceNumberOffset), 77u);
    EXPECT_EQ(At<uint32_t>(record, kPacketControlCodeOffset), 0x222004u);
    EXPECT_EQ(At<uint16_t>(record, kPacketDumpDataSizeOffset), 0);
    EXPECT_EQ(At<uint16_t>(record, kPacketStringOffsetOffset), kPacketHeaderSize);
    const std::vector<std::string> expected = {
        "WexoWfp", "\\??\\C:\\Windows\\WexoWfp.sys", "C0000022", "coun", "-12", "4000000000", "0"};
    EXPECT_EQ(record.strings, expected);
    EXPECT_EQ(PacketStrings(record), (std::vector<std::u16string>{path, u"C0000022", u"coun",
                                                                  u"-12", u"4000000000", u"0"}));
    EXPECT_EQ(FormatDriverEventMessage(record.eventId, record.strings),
              "Unable to open file \\??\\C:\\Windows\\WexoWfp.sys. Status=0xC0000022.\r\n");
}

TEST_F(EventLogTest, LaterItemsWinAndARequestGivesItsFields) {
    EVENT_REQUEST control{IRP_MJ_DEVICE_CONTROL, os::STATUS_INVALID_PARAMETER, 0x12345};
    EVENT_REQUEST create{0x00, os::STATUS_SHARING_VIOLATION, 0x999};
    WriteEvent(DRIVER_EVENT_NO_POOL,
               {EventUniqueValue(1), EventUniqueValue(UniqueValue("DE01")), EventRequest(control)});
    WriteEvent(DRIVER_EVENT_NO_POOL,
               {EventControlCode(5), EventRequest(create), EventFinalStatus(os::STATUS_NO_MEMORY)});
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(At<uint32_t>(records[0], kPacketUniqueValueOffset), UniqueValue("DE01"));
    EXPECT_EQ(At<uint8_t>(records[0], kPacketMajorFunctionOffset), IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(At<int32_t>(records[0], kPacketFinalStatusOffset), os::STATUS_INVALID_PARAMETER);
    EXPECT_EQ(At<uint32_t>(records[0], kPacketControlCodeOffset), 0x12345u);
    // Not a device-control request: its code is not taken; the later status wins.
    EXPECT_EQ(At<uint32_t>(records[1], kPacketControlCodeOffset), 5u);
    EXPECT_EQ(At<int32_t>(records[1], kPacketFinalStatusOffset), os::STATUS_NO_MEMORY);
}

TEST_F(EventLogTest, NothingAfterTheEndItemCounts) {
    WriteEvent(DRIVER_EVENT_STARTED, {EventString(u"6.02.09"), EventSignedNumber(4), EventEnd(),
                                      EventString(u"late"), EventUniqueValue(UniqueValue("XXXX"))});
    os::EVENT_LOG_RECORD record = Only();
    EXPECT_EQ(record.strings, (std::vector<std::string>{"WexoWfp", "6.02.09", "4"}));
    EXPECT_EQ(At<uint32_t>(record, kPacketUniqueValueOffset), 0u);
    EXPECT_EQ(FormatDriverEventMessage(record.eventId, record.strings),
              "Corvane Ostrel driver version 6.02.09 build 4 started.\r\n");
}

TEST_F(EventLogTest, StringsStopAtTheFirstThatWouldPass200Bytes) {
    const std::u16string first(49, u'a');   // 100 bytes with its NUL
    const std::u16string second(50, u'b');  // 102 bytes: 202 in all
    WriteEvent(DRIVER_EVENT_QUERY_VALUE_FAILED,
               {EventString(first.c_str()), EventString(second.c_str()), EventString(u"x")});
    os::EVENT_LOG_RECORD record = Only();
    ASSERT_EQ(record.strings.size(), 2u);  // the driver's name and the first
    EXPECT_EQ(record.strings[1], std::string(49, 'a'));
    EXPECT_EQ(At<uint16_t>(record, kPacketNumberOfStringsOffset), 1);
    EXPECT_EQ(record.data.size(), kPacketHeaderSize + 100);

    // Exactly 200 bytes fit.
    os::ClearEventLogRecords();
    const std::u16string exact(99, u'c');
    WriteEvent(DRIVER_EVENT_QUERY_VALUE_FAILED, {EventString(exact.c_str())});
    EXPECT_EQ(Only().strings.size(), 2u);
}

TEST_F(EventLogTest, DumpDataIsRoundedUpAndCutToWhatTheStringsLeave) {
    const uint8_t five[] = {1, 2, 3, 4, 5};
    WriteEvent(DRIVER_EVENT_NO_MDL, {EventDumpData(five, sizeof five), EventString(u"ab")});
    os::EVENT_LOG_RECORD record = Only();
    EXPECT_EQ(At<uint16_t>(record, kPacketDumpDataSizeOffset), 8);
    EXPECT_EQ(At<uint16_t>(record, kPacketStringOffsetOffset), kPacketHeaderSize + 8);
    ASSERT_EQ(record.data.size(), kPacketHeaderSize + 8 + 6);
    EXPECT_EQ(std::vector<uint8_t>(record.data.begin() + 40, record.data.begin() + 48),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(PacketStrings(record), std::vector<std::u16string>{u"ab"});

    os::ClearEventLogRecords();
    std::vector<uint8_t> big(300, 0xAB);
    const std::u16string name(10, u'n');  // 22 bytes: 178 left, 176 for the dump
    WriteEvent(DRIVER_EVENT_NO_MDL, {EventDumpData(big.data(), static_cast<uint32_t>(big.size())),
                                     EventString(name.c_str())});
    record = Only();
    EXPECT_EQ(At<uint16_t>(record, kPacketDumpDataSizeOffset), 176);
    EXPECT_EQ(record.data.size(), kPacketHeaderSize + 176 + 22);
    EXPECT_EQ(record.data[kPacketHeaderSize + 175], 0xAB);
    EXPECT_EQ(PacketStrings(record), std::vector<std::u16string>{name});
}

TEST_F(EventLogTest, StringsThatTakeAll200BytesLeaveNoRoomForDumpData) {
    const uint8_t dump[] = {9, 9, 9, 9};
    const std::u16string full(99, u'f');  // 200 bytes with its NUL
    WriteEvent(DRIVER_EVENT_NO_MDL, {EventDumpData(dump, sizeof dump), EventString(full.c_str())});
    os::EVENT_LOG_RECORD record = Only();
    EXPECT_EQ(At<uint16_t>(record, kPacketDumpDataSizeOffset), 0);
    EXPECT_EQ(At<uint16_t>(record, kPacketStringOffsetOffset), kPacketHeaderSize);
    EXPECT_EQ(record.data.size(), kPacketHeaderSize + 200);
    EXPECT_EQ(PacketStrings(record), std::vector<std::u16string>{full});

    // Dump data alone may take all of it; a later dump item replaces an earlier one.
    os::ClearEventLogRecords();
    std::vector<uint8_t> big(250, 0x5A);
    WriteEvent(DRIVER_EVENT_NO_MDL, {EventDumpData(dump, sizeof dump),
                                     EventDumpData(big.data(), static_cast<uint32_t>(big.size()))});
    record = Only();
    EXPECT_EQ(At<uint16_t>(record, kPacketDumpDataSizeOffset), 200);
    EXPECT_EQ(record.data.size(), kPacketHeaderSize + 200);
    EXPECT_EQ(record.data[kPacketHeaderSize], 0x5A);
}

TEST_F(EventLogTest, CountedStringsTakeWholeUnitsAndMissingTextIsLeftOut) {
    const char16_t text[] = {u'a', u'b', u'c'};  // not terminated
    const EVENT_ITEM unknownTag{static_cast<EVENT_TAG>(3), 77};
    const EVENT_ITEM noRequest{EVENT_TAG::Request, 0, nullptr};
    WriteEvent(DRIVER_EVENT_CREATE_KEY_FAILED,
               {EventCountedString(text, 5), unknownTag, EventString(nullptr),
                EventCountedString(nullptr, 4), EventCountedString(nullptr, 0), noRequest,
                EventHexNumber(0x1F)});
    os::EVENT_LOG_RECORD record = Only();
    // Five bytes are two units; a null text with a length is left out, an empty one is kept.
    EXPECT_EQ(PacketStrings(record), (std::vector<std::u16string>{u"ab", u"", u"1F"}));
    EXPECT_EQ(At<uint32_t>(record, kPacketFinalStatusOffset), 0u);
    EXPECT_EQ(FormatDriverEventMessage(record.eventId, record.strings),
              "Unable to create registry key ab. Status=0x.\r\n");
}

TEST_F(EventLogTest, APacketIsAtLeast48BytesAndNoneIsWrittenWithoutMemory) {
    WriteEvent(DRIVER_EVENT_BUILD_REQUEST_FAILED, {});
    os::EVENT_LOG_RECORD record = Only();
    EXPECT_EQ(record.data.size(), kPacketMinimumSize);
    EXPECT_EQ(At<uint16_t>(record, kPacketNumberOfStringsOffset), 0);
    os::ClearEventLogRecords();
    {
        os::ScopedPoolFailure failure(os::MakePoolTag("ELOG"));
        WriteEvent(DRIVER_EVENT_BUILD_REQUEST_FAILED, {EventString(u"x")});
        WriteDriverEvent(DRIVER_EVENT_NO_POOL, UniqueValue("DE01"), 0, {"224"});
    }
    EXPECT_TRUE(os::EventLogRecords().empty());
    EXPECT_EQ(os::PoolOutstanding(os::MakePoolTag("ELOG")), 0u);
}

TEST_F(EventLogTest, WriteDriverEventIsTheTaggedFormOfItsArguments) {
    WriteDriverEvent(DRIVER_EVENT_QUERY_VALUE_FAILED, UniqueValue("SETL"),
                     os::STATUS_OBJECT_TYPE_MISMATCH,
                     {"Z\xC3\xBCrich", "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel",
                      StatusText(os::STATUS_OBJECT_TYPE_MISMATCH)});
    os::EVENT_LOG_RECORD record = Only();
    EXPECT_EQ(At<uint32_t>(record, kPacketUniqueValueOffset), UniqueValue("SETL"));
    EXPECT_EQ(At<int32_t>(record, kPacketFinalStatusOffset), os::STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(PacketStrings(record)[0], u"Z\u00fcrich");
    EXPECT_EQ(FormatDriverEventMessage(record.eventId, record.strings),
              "Unable to query Z\xC3\xBCrich in registry key "
              "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel. Status=0xC0000024.\r\n");
}

TEST(EventLogMessageTableTest, EveryMessageOfTheDriverHasItsText) {
    const std::vector<std::string> strings = {"WexoWfp", "A", "B", "C"};
    const std::pair<uint32_t, const char*> expected[] = {
        {DRIVER_EVENT_STARTED, "Corvane Ostrel driver version A build B started.\r\n"},
        {DRIVER_EVENT_OPEN_FILE_FAILED, "Unable to open file A. Status=0xB.\r\n"},
        {DRIVER_EVENT_NO_POOL, "Unable to allocate A bytes of non-paged pool.\r\n"},
        {DRIVER_EVENT_CREATE_DEVICE_FAILED, "Unable to create a device. Status=0xA.\r\n"},
        {DRIVER_EVENT_CREATE_LINK_FAILED,
         "Unable to create a symbolic link to a device. Status=0xA.\r\n"},
        {DRIVER_EVENT_IO_TIMER_FAILED, "Unable to initialize I/O timer. Status=0xA.\r\n"},
        {DRIVER_EVENT_ATTACH_FAILED, "Unable to attach to device. Status=0xA.\r\n"},
        {DRIVER_EVENT_DEVICE_POINTER_FAILED,
         "Unable to get object pointer to device \"B\". Status=0xA.\r\n"},
        {DRIVER_EVENT_NO_MDL,
         "I/O manager was unable to allocate a memory descriptor list (MDL).\r\n"},
        {DRIVER_EVENT_CREATE_THREAD_FAILED, "Unable to create a system thread. Status=0xA.\r\n"},
        {DRIVER_EVENT_CREATE_KEY_FAILED, "Unable to create registry key A. Status=0xB.\r\n"},
        {DRIVER_EVENT_QUERY_VALUE_FAILED, "Unable to query A in registry key B. Status=0xC.\r\n"},
        {DRIVER_EVENT_BUILD_REQUEST_FAILED, "Unable to build a device I/O request.\r\n"},
        {DRIVER_EVENT_REGISTER_FILTER_FAILED,
         "Unable to register the file system filter. Status=0xA.\r\n"},
        {DRIVER_EVENT_START_FILTER_FAILED,
         "Unable to start the file system filter. Status=0xA.\r\n"},
    };
    for (const auto& [id, text] : expected) {
        EXPECT_EQ(FormatDriverEventMessage(id, strings), text) << std::hex << id;
    }
    EXPECT_EQ(FormatDriverEventMessage(0xC0000009, strings), "");
}

}  // namespace
}  // namespace wexo::drv
