#include "common/records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/control_codes.h"
#include "common/service_calls.h"

namespace wexo {
namespace {

std::vector<uint8_t> Golden(const std::string& name) {
    std::ifstream in(std::string(WEXO_TEST_DATA_DIR) + "/records/" + name + ".bin",
                     std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T>
std::vector<uint8_t> Bytes(const T& record) {
    std::vector<uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &record, sizeof(T));
    return bytes;
}

// Each record is filled through its C++ fields with the values the golden file holds at the
// documented offsets; equal bytes mean the structure still has the documented layout.
TEST(RecordsTest, LayoutsMatchTheGoldenBytes) {
    QRN_REGISTER_REQUEST reg{};
    reg.inputEvent = 0x1122334455667788;
    reg.programFolder = 0x0000100000002000;
    reg.programFolderLength = 0x42;
    reg.dataFolder = 0x0000100000003000;
    reg.dataFolderLength = 0x64;
    EXPECT_EQ(Bytes(reg), Golden("register_request"));

    QRN_REGISTER_REPLY reply{kDriverMajorVersion, kDriverMinorVersion, kDriverBuildNumber, 0,
                             kInterfaceVersion};
    EXPECT_EQ(Bytes(reply), Golden("register_reply"));

    QRN_VERSION_REPLY version{kDriverMajorVersion, kDriverMinorVersion, kDriverBuildNumber};
    EXPECT_EQ(Bytes(version), Golden("version_reply"));

    SC_INPUT_REQUEST input{};
    input.callHandleOut = 0x7F0000001000;
    input.codeOut = 0x7F0000001100;
    input.timeoutOut = 0x7F0000001200;
    input.buffer = 0x7F0000001300;
    input.bufferSize = kServiceRequestBufferSize;
    input.requestSizeOut = 0x7F0000001400;
    input.requestAddressOut = 0x7F0000001500;
    EXPECT_EQ(Bytes(input), Golden("sc_input_request"));

    SC_OUTPUT_REQUEST output{MakeCallHandle(3, 7), 0x7F0000002000, 16, -5};
    EXPECT_EQ(Bytes(output), Golden("sc_output_request"));

    SC_EXTEND_REQUEST extend{MakeCallHandle(4, 9), 0};
    EXPECT_EQ(Bytes(extend), Golden("sc_extend_request"));

    POLICY_LOOKUP_REQUEST lookup{};
    lookup.processId = 4242;
    lookup.tlsSessionId = 0x10000070;
    lookup.tlsSessionIdLength = 32;
    lookup.host = 0x10000090;
    lookup.hostLength = 11;
    lookup.urlPath = 0x100000A0;
    lookup.urlPathLength = 7;
    lookup.proxyPrefix = 0x100000B0;
    lookup.proxyPrefixLength = 19;
    lookup.userSid = 0x100000C0;
    lookup.userSidLength = 28;
    lookup.remoteAddress = 0x100000E0;
    lookup.remoteAddressLength = 16;
    lookup.sessionId = 3;
    lookup.flowNumber = 77;
    lookup.https = 1;
    lookup.sessionReuse = 1;
    EXPECT_EQ(Bytes(lookup), Golden("policy_lookup_request"));

    POLICY_LOOKUP_ANSWER answer{0x20000010, 300, 0};
    EXPECT_EQ(Bytes(answer), Golden("policy_lookup_answer"));

    DNS_NAME_REQUEST name{0x30000008};
    EXPECT_EQ(Bytes(name), Golden("dns_name_request"));

    DNS_ADDRESS_ANSWER addresses{0x40000010, 5, 0};
    EXPECT_EQ(Bytes(addresses), Golden("dns_address_answer"));
}

TEST(RecordsTest, ControlCodesUseTheNeitherMethodOnTheProductDeviceType) {
    for (uint32_t code : {QRN_GET_VERSION, QRN_REGISTER, QRN_UPDATE_DRIVER, QRN_SC_INPUT,
                          QRN_SC_HEARTBEAT, QRN_AUTH_CHALLENGE, QRN_AUTH_RESPONSE}) {
        EXPECT_EQ(code & 3, METHOD_NEITHER);
        EXPECT_EQ(ControlDeviceType(code), 0xA7F8u);
    }
    EXPECT_EQ(ControlFunction(QRN_AUTH_CHALLENGE), 0xB13u);
    EXPECT_EQ(ControlFunction(QRN_AUTH_RESPONSE), 0xB14u);
}

TEST(CallHandleTest, SlotInTheLowHalfSequenceInTheHighHalf) {
    uint64_t handle = MakeCallHandle(499, 0xFFFFFFFF);
    EXPECT_EQ(handle, 0xFFFFFFFF000001F3ull);
    EXPECT_EQ(CallHandleSlot(handle), 499u);
    EXPECT_EQ(CallHandleSequence(handle), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace wexo
