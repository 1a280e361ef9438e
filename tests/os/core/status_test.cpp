#include "os/core/status.h"

#include <gtest/gtest.h>

#include <string>

namespace os {
namespace {

TEST(StatusTest, DriverStatusesMapToTheErrorsTheServiceSees) {
    EXPECT_EQ(NtStatusToWin32Error(STATUS_NOT_FOUND), ERROR_NOT_FOUND);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_BUFFER_TOO_SMALL), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_INVALID_PARAMETER), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_INVALID_DEVICE_REQUEST), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_ACCESS_DENIED), ERROR_ACCESS_DENIED);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_NO_MEMORY), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(NtStatusToWin32Error(STATUS_UNSUCCESSFUL), ERROR_GEN_FAILURE);
    EXPECT_FALSE(NT_SUCCESS(STATUS_NOT_FOUND));
    EXPECT_TRUE(NT_SUCCESS(STATUS_TIMEOUT));
}

TEST(StatusTest, MessageTextsFitTheLogLineFormat) {
    EXPECT_EQ(SystemMessageText(ERROR_NOT_FOUND), "Element not found");
    EXPECT_EQ(SystemMessageText(ERROR_INVALID_DATATYPE), "The specified datatype is invalid");
    EXPECT_EQ(SystemMessageText(WSAHOST_NOT_FOUND), "No such host is known");
    EXPECT_EQ(SystemMessageText(424242), "Unknown error 424242");
    SetLastError(ERROR_MORE_DATA);
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
}

}  // namespace
}  // namespace os
