#include "os/kernel/token.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace os {
namespace {

const std::vector<uint8_t> kUserSid = {1, 5, 0,  0, 0, 0, 0,  5, 21, 0, 0,    0, 11, 0,
                                       0, 0, 22, 0, 0, 0, 33, 0, 0,  0, 0xE9, 3, 0,  0};

class TokenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        process_ = CreateProcess(kUserSid, 3, "browser.exe", 0x0000000200000777ull);
        handlesBefore_ = KernelHandleCount();
    }
    void TearDown() override {
        EXPECT_EQ(KernelHandleCount(), handlesBefore_);
        TerminateProcess(process_->Id());
    }

    HANDLE OpenToken(uint32_t processAccess = PROCESS_QUERY_INFORMATION) {
        HANDLE processHandle = 0;
        EXPECT_EQ(ObOpenObjectByPointer(process_, OBJ_KERNEL_HANDLE, processAccess,
                                        KPROCESSOR_MODE::KernelMode, &processHandle),
                  STATUS_SUCCESS);
        HANDLE token = 0;
        EXPECT_EQ(ZwOpenProcessTokenEx(processHandle, TOKEN_QUERY, OBJ_KERNEL_HANDLE, &token),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(processHandle), STATUS_SUCCESS);
        return token;
    }

    std::shared_ptr<PROCESS> process_;
    size_t handlesBefore_ = 0;
};

TEST_F(TokenTest, ProcessesAreLookedUpByTheirId) {
    std::shared_ptr<PROCESS> found;
    ASSERT_EQ(PsLookupProcessByProcessId(process_->Id(), &found), STATUS_SUCCESS);
    EXPECT_EQ(found, process_);
    EXPECT_EQ(PsLookupProcessByProcessId(process_->Id() + 2, &found), STATUS_INVALID_CID);
    EXPECT_EQ(PsLookupProcessByProcessId((1ull << 32) | process_->Id(), &found),
              STATUS_INVALID_CID);
}

// The driver host stands in for real callers by their real pids; no simulated process may hold one.
TEST_F(TokenTest, SimulatedIdsNeverMeetARealPid) {
    constexpr uint32_t kHighestPid = 1u << 22;  // the kernel's PID_MAX_LIMIT
    EXPECT_GT(process_->Id(), kHighestPid);
    auto real = CreateProcessWithId(kHighestPid - 4, kUserSid, 0, "caller");
    ASSERT_NE(real, nullptr);
    std::shared_ptr<PROCESS> found;
    ASSERT_EQ(PsLookupProcessByProcessId(kHighestPid - 4, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, real);
    EXPECT_EQ(CreateProcessWithId(kHighestPid - 4, kUserSid, 0, "again"), nullptr);
    TerminateProcess(real->Id());
}

TEST_F(TokenTest, TokenUserIsTheSidAfterTheStructureAndTooSmallTellsTheSize) {
    HANDLE token = OpenToken();
    const uint32_t needed = static_cast<uint32_t>(sizeof(TOKEN_USER) + kUserSid.size());
    alignas(8) uint8_t buffer[256];
    uint32_t returned = 0;
    EXPECT_EQ(ZwQueryInformationToken(token, TokenUser, buffer, needed - 1, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, needed);
    EXPECT_EQ(ZwQueryInformationToken(token, TokenUser, nullptr, 0, &returned),
              STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(ZwQueryInformationToken(token, TokenUser, buffer, needed, &returned), STATUS_SUCCESS);
    auto* user = reinterpret_cast<TOKEN_USER*>(buffer);
    ASSERT_EQ(user->User.Sid, buffer + sizeof(TOKEN_USER));
    EXPECT_TRUE(RtlValidSid(user->User.Sid));
    EXPECT_EQ(RtlLengthSid(user->User.Sid), kUserSid.size());
    EXPECT_EQ(std::memcmp(user->User.Sid, kUserSid.data(), kUserSid.size()), 0);
    EXPECT_EQ(ZwClose(token), STATUS_SUCCESS);
}

TEST_F(TokenTest, FixedSizeClassesGiveSessionAndLogonSession) {
    HANDLE token = OpenToken(PROCESS_QUERY_LIMITED_INFORMATION);
    uint32_t session = 0;
    uint32_t returned = 0;
    EXPECT_EQ(ZwQueryInformationToken(token, TokenSessionId, &session, 2, &returned),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(returned, 4u);
    ASSERT_EQ(ZwQueryInformationToken(token, TokenSessionId, &session, 4, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(session, 3u);
    TOKEN_STATISTICS statistics;
    ASSERT_EQ(
        ZwQueryInformationToken(token, TokenStatistics, &statistics, sizeof statistics, &returned),
        STATUS_SUCCESS);
    EXPECT_EQ(statistics.AuthenticationId.HighPart, 2);
    EXPECT_EQ(statistics.AuthenticationId.LowPart, 0x777u);
    EXPECT_EQ(statistics.TokenType, TokenPrimary);
    TOKEN_ORIGIN origin;
    ASSERT_EQ(ZwQueryInformationToken(token, TokenOrigin, &origin, sizeof origin, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(LuidValue(origin.OriginatingLogonSession), 0x0000000200000777ull);
    EXPECT_EQ(ZwQueryInformationToken(token, static_cast<TOKEN_INFORMATION_CLASS>(2), &origin,
                                      sizeof origin, &returned),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(ZwClose(token), STATUS_SUCCESS);
}

TEST_F(TokenTest, AccessRightsOfTheHandlesAreChecked) {
    HANDLE processHandle = 0;
    ASSERT_EQ(ObOpenObjectByPointer(process_, OBJ_KERNEL_HANDLE, SYNCHRONIZE,
                                    KPROCESSOR_MODE::KernelMode, &processHandle),
              STATUS_SUCCESS);
    HANDLE token = 0;
    EXPECT_EQ(ZwOpenProcessTokenEx(processHandle, TOKEN_QUERY, OBJ_KERNEL_HANDLE, &token),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(token, 0u);
    EXPECT_EQ(ZwClose(processHandle), STATUS_SUCCESS);

    ASSERT_EQ(ObOpenObjectByPointer(process_, OBJ_KERNEL_HANDLE, PROCESS_QUERY_INFORMATION,
                                    KPROCESSOR_MODE::KernelMode, &processHandle),
              STATUS_SUCCESS);
    ASSERT_EQ(ZwOpenProcessTokenEx(processHandle, 0, OBJ_KERNEL_HANDLE, &token), STATUS_SUCCESS);
    uint32_t session = 0;
    uint32_t returned = 0;
    EXPECT_EQ(ZwQueryInformationToken(token, TokenSessionId, &session, 4, &returned),
              STATUS_ACCESS_DENIED);
    // A token handle is no process handle.
    HANDLE other = 0;
    EXPECT_EQ(ZwOpenProcessTokenEx(token, TOKEN_QUERY, OBJ_KERNEL_HANDLE, &other),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(token), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(processHandle), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryInformationToken(token, TokenSessionId, &session, 4, &returned),
              STATUS_INVALID_HANDLE);
}

TEST_F(TokenTest, TheCurrentProcessTokenIsReadWhenItIsOpened) {
    ScopedProcessContext context(process_->Id());
    HANDLE token = 0;
    ASSERT_EQ(ZwOpenProcessTokenEx(NtCurrentProcess(), TOKEN_QUERY, OBJ_KERNEL_HANDLE, &token),
              STATUS_SUCCESS);
    process_->SetAuthenticationId(0x99);
    TOKEN_STATISTICS statistics;
    uint32_t returned = 0;
    ASSERT_EQ(
        ZwQueryInformationToken(token, TokenStatistics, &statistics, sizeof statistics, &returned),
        STATUS_SUCCESS);
    EXPECT_EQ(LuidValue(statistics.AuthenticationId), 0x0000000200000777ull);
    EXPECT_EQ(ZwClose(token), STATUS_SUCCESS);
    ASSERT_EQ(ZwOpenProcessTokenEx(NtCurrentProcess(), TOKEN_QUERY, OBJ_KERNEL_HANDLE, &token),
              STATUS_SUCCESS);
    ASSERT_EQ(
        ZwQueryInformationToken(token, TokenStatistics, &statistics, sizeof statistics, &returned),
        STATUS_SUCCESS);
    EXPECT_EQ(LuidValue(statistics.AuthenticationId), 0x99u);
    EXPECT_EQ(ZwClose(token), STATUS_SUCCESS);
}

TEST(TokenDefaultsTest, LogonSessionFollowsTheSessionWhenNoneIsGiven) {
    auto service = CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 0, "svc.exe");
    auto user = CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 2, "user.exe");
    EXPECT_EQ(service->AuthenticationId(), kSystemLogonId);
    EXPECT_EQ(user->AuthenticationId(), DefaultLogonId(2));
    EXPECT_NE(user->AuthenticationId(), kSystemLogonId);
    TerminateProcess(service->Id());
    TerminateProcess(user->Id());
}

TEST(SidTest, ValidSidsAreRevisionOneWithAtMostFifteenSubAuthorities) {
    const uint8_t system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_TRUE(RtlValidSid(system));
    EXPECT_EQ(RtlLengthSid(system), 12u);
    const uint8_t revisionTwo[] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_FALSE(RtlValidSid(revisionTwo));
    const uint8_t tooMany[] = {1, 16, 0, 0, 0, 0, 0, 5};
    EXPECT_FALSE(RtlValidSid(tooMany));
    EXPECT_FALSE(RtlValidSid(nullptr));
}

}  // namespace
}  // namespace os
