#include "service/calls/register_service.h"

#include <gtest/gtest.h>

#include "os/core/event_log.h"
#include "os/core/process.h"
#include "os/core/status.h"
#include "os/win32/environment.h"
#include "os/win32/handles.h"
#include "service/support/event_log.h"
#include "service_test_support.h"

namespace wexo::svc::testing {
namespace {

TEST(RegistrationFoldersTest, ProgramFolderFromTheModulePath) {
    {
        os::ScopedModulePath module("C:\\Program Files\\Wexo\\WexoSvc.exe");
        EXPECT_EQ(RegistrationProgramFolder(), u"\\??\\C:\\Program Files\\Wexo");
    }
    {
        os::ScopedModulePath module("C:\\usr\\lib\\w\u00e9xo\\wexosvc");
        EXPECT_EQ(RegistrationProgramFolder(), u"\\??\\C:\\usr\\lib\\w\u00e9xo");
    }
    // Without a module path only the prefix goes, and the event says why.
    ServiceEventLog().Start("WexoSvc");
    os::ClearEventLogRecords();
    {
        os::ScopedModulePath failing(os::ModulePathError{os::ERROR_ACCESS_DENIED});
        EXPECT_EQ(RegistrationProgramFolder(), u"\\??\\");
    }
    ServiceEventLog().Stop();
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].eventId, EVENT_MODULE_PATH_FAILED);
    EXPECT_EQ(records[0].strings, (std::vector<std::string>{"Access is denied", "5"}));
}

TEST(RegistrationFoldersTest, DataFolderUnderTheCommonApplicationData) {
    os::ScopedCommonAppDataFolder folder("/srv/state/");
    EXPECT_EQ(RegistrationDataFolder(), std::u16string(u"\\??\\C:\\srv\\state\\Corvane"));
}

// The request as the driver receives it: event handle, both folders with their byte lengths.
TEST(RegisterServiceTest, TheRequestCarriesTheEventAndBothFolders) {
    LOG_CAPTURE log;
    SCRIPTED_DRIVER driver;
    QRN_REGISTER_REQUEST seen{};
    std::u16string program, data;
    driver.On(QRN_REGISTER, [&](const os::FAST_IO_DEVICE_CONTROL_ARGS& args) {
        args.caller.Read(args.inputBuffer, &seen, sizeof seen);
        program.resize(seen.programFolderLength / 2);
        args.caller.Read(seen.programFolder, program.data(), seen.programFolderLength);
        data.resize(seen.dataFolderLength / 2);
        args.caller.Read(seen.dataFolder, data.data(), seen.dataFolderLength);
        QRN_REGISTER_REPLY reply{6, 2, 9, 0, 2};
        args.caller.Write(args.outputBuffer, &reply, std::min<uint32_t>(args.outputLength, 10));
        return os::STATUS_SUCCESS;
    });
    os::ScopedModulePath module("C:\\opt\\wexo\\wexosvc");
    os::ScopedCommonAppDataFolder folder("/var/lib");
    auto process = os::CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 0, "svc");
    {
        os::ScopedProcessContext context(process->Id());
        os::HANDLE device = OpenControlDevice();
        ASSERT_NE(device, os::INVALID_HANDLE_VALUE);
        DRIVER_VERSION version;
        EXPECT_TRUE(RegisterService(device, 0x1234, &version));
        EXPECT_EQ(version.build, 9);
    }
    os::TerminateProcess(process->Id());
    EXPECT_EQ(seen.inputEvent, 0x1234u);
    EXPECT_EQ(program, u"\\??\\C:\\opt\\wexo");
    EXPECT_EQ(data, u"\\??\\C:\\var\\lib\\Corvane");
    EXPECT_TRUE(log.Has("Service registered"));
}

}  // namespace
}  // namespace wexo::svc::testing
