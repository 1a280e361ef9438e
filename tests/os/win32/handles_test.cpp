#include "os/win32/handles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/core/device_gateway.h"
#include "os/core/process.h"
#include "os/core/status.h"

namespace os {
namespace {

// Stands where a kernel (or a bridge to one) would: records what the program's face asks of it.
class RECORDING_GATEWAY final : public DEVICE_GATEWAY {
  public:
    struct OPEN {
        std::u16string name;
        uint32_t processId;
        int closes = 0;
    };

    NTSTATUS Open(const std::u16string& name, uint32_t processId,
                  std::shared_ptr<void>* file) override {
        if (name != u"\\??\\WexoWfp") {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        auto open = std::make_shared<OPEN>(OPEN{name, processId});
        opens.push_back(open);
        *file = open;
        return STATUS_SUCCESS;
    }
    void Close(const std::shared_ptr<void>& file) override {
        ++std::static_pointer_cast<OPEN>(file)->closes;
    }
    NTSTATUS Control(const std::shared_ptr<void>&, uint32_t code, uint64_t input,
                     uint32_t inputLength, uint64_t output, uint32_t outputLength,
                     uint64_t* information) override {
        lastCode = code;
        lastInput = input;
        lastLengths = {inputLength, outputLength};
        lastOutput = output;
        *information = 12;
        return code == 0x222004 ? STATUS_NOT_FOUND : STATUS_SUCCESS;
    }

    std::vector<std::shared_ptr<OPEN>> opens;
    uint32_t lastCode = 0;
    uint64_t lastInput = 0;
    uint64_t lastOutput = 0;
    std::pair<uint32_t, uint32_t> lastLengths;
};

class HandlesTest : public ::testing::Test {
  protected:
    ~HandlesTest() override { SetDeviceGateway(previous_); }
    void Install() { previous_ = SetDeviceGateway(&gateway_); }

    RECORDING_GATEWAY gateway_;
    DEVICE_GATEWAY* previous_ = CurrentDeviceGateway();
};

TEST_F(HandlesTest, WithNoGatewayADeviceOpenFailsAsForAMissingDevice) {
    SetDeviceGateway(nullptr);
    EXPECT_EQ(CreateFileA("\\\\.\\WexoWfp", GENERIC_READ, 0, OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(HandlesTest, OpensControlsAndClosesGoThroughTheGateway) {
    Install();
    auto process = CreateProcess({1, 2}, 1, "C:\\Program Files\\Svc.exe");
    {
        ScopedProcessContext context(process->Id());
        // Only device paths open, and only existing ones.
        EXPECT_EQ(CreateFileA("C:\\file.txt", GENERIC_READ, 0, OPEN_EXISTING, 0),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(CreateFileA("\\\\.\\WexoWfp", GENERIC_READ, 0, 2 /*CREATE_ALWAYS*/, 0),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(CreateFileA("\\\\.\\Other", GENERIC_READ, 0, OPEN_EXISTING, 0),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

        HANDLE device = CreateFileA("\\\\.\\WexoWfp", GENERIC_READ, 0, OPEN_EXISTING, 0);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        ASSERT_EQ(gateway_.opens.size(), 1u);
        EXPECT_EQ(gateway_.opens[0]->processId, process->Id());

        char input[4] = {}, output[16] = {};
        uint32_t returned = 0;
        EXPECT_TRUE(DeviceIoControl(device, 0x222000, input, sizeof input, output, sizeof output,
                                    &returned));
        EXPECT_EQ(returned, 12u);
        EXPECT_EQ(gateway_.lastInput, reinterpret_cast<uint64_t>(input));
        EXPECT_EQ(gateway_.lastOutput, reinterpret_cast<uint64_t>(output));
        EXPECT_EQ(gateway_.lastLengths, std::make_pair(4u, 16u));
        // The driver's status becomes the program's error.
        EXPECT_FALSE(DeviceIoControl(device, 0x222004, nullptr, 0, nullptr, 0, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
        // An event handle is not a device.
        HANDLE event = CreateEventA(false, false);
        EXPECT_FALSE(DeviceIoControl(event, 0x222000, nullptr, 0, nullptr, 0, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

        EXPECT_TRUE(CloseHandle(device));
        EXPECT_EQ(gateway_.opens[0]->closes, 1);
        EXPECT_FALSE(CloseHandle(device));
        EXPECT_EQ(gateway_.opens[0]->closes, 1);

        ASSERT_NE(CreateFileA("\\\\.\\WexoWfp", GENERIC_READ, 0, OPEN_EXISTING, 0),
                  INVALID_HANDLE_VALUE);
    }
    // A process that ends with a device open closes it.
    TerminateProcess(process->Id());
    ASSERT_EQ(gateway_.opens.size(), 2u);
    EXPECT_EQ(gateway_.opens[1]->closes, 1);
}

}  // namespace
}  // namespace os
