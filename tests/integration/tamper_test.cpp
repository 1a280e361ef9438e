// Tampering with the installed product from another process, with the whole system running: the
// service registered its program folder and the driver protects it, its keys and its privileged
// control codes. Each attempt is refused, and the service doing the same is let through.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/control_codes.h"
#include "driver/platform/driver_settings.h"
#include "os/core/debugger.h"
#include "os/core/process.h"
#include "os/fltmgr/fltmgr.h"
#include "os/fltmgr/process_io.h"
#include "os/registry/registry.h"
#include "os/win32/environment.h"
#include "os/win32/handles.h"
#include "service/calls/register_service.h"
#include "tools/pipeline/pipeline.h"

namespace wexo::testing {
namespace {

namespace fs = std::filesystem;

// os::DELETE, which a resolver header of the system defines as a macro of its own.
constexpr uint32_t kDeleteAccess = 0x00010000;

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TamperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() / (std::string("wexo_tamper_") + info->name());
        fs::remove_all(root_);
        // The system volume on a folder of the test's own, holding the service's program folder
        // where the service will say it is (the folder of this test program).
        std::string module;
        ASSERT_TRUE(os::GetModuleFileName(module));
        folderName_ = module.substr(0, module.rfind('\\'));  // "C:\...\tests"
        std::string relative = folderName_.substr(3);
        for (char& c : relative) {
            if (c == '\\') {
                c = '/';
            }
        }
        program_ = root_ / relative;
        fs::create_directories(program_);
        fs::create_directories(root_ / "tmp");
        std::ofstream(program_ / "wexosvc") << "program";
        ASSERT_EQ(os::MountVolume(os::kSystemVolumeDeviceName, os::kSystemVolumeDriveLetter,
                                  root_.string()),
                  os::STATUS_SUCCESS);

        pipeline::PIPELINE_OPTIONS options;
        options.policyText = "[rules]\nblock host games.test\n";
        options.serviceWorkers = 2;
        pipeline_ = std::make_unique<pipeline::PIPELINE>(options);
        std::string error;
        ASSERT_TRUE(pipeline_->Start(&error)) << error;
        attacker_ = pipeline_->BrowserProcessId();
        service_ = pipeline_->ServiceProcessId();
    }
    void TearDown() override {
        pipeline_.reset();
        EXPECT_EQ(os::FltOpenHandleCount(), 0u);
        fs::remove_all(root_);
    }

    std::u16string Native(const std::string& below) const {
        std::string text = "\\??\\" + folderName_ + (below.empty() ? "" : "\\" + below);
        return std::u16string(text.begin(), text.end());
    }

    os::NTSTATUS Open(uint32_t process, const std::u16string& name, uint32_t access,
                      uint32_t disposition, uint32_t options = 0, os::HANDLE* kept = nullptr) {
        os::ScopedProcessContext as(process);
        os::HANDLE handle = 0;
        os::IO_STATUS_BLOCK io;
        os::NTSTATUS status =
            os::NtCreateFile(&handle, access, name, &io, 0,
                             os::FILE_SHARE_READ | os::FILE_SHARE_WRITE | os::FILE_SHARE_DELETE,
                             disposition, options);
        if (os::NT_SUCCESS(status)) {
            if (kept != nullptr) {
                *kept = handle;
            } else {
                os::NtClose(handle);
            }
        }
        return status;
    }

    os::NTSTATUS Rename(uint32_t process, os::HANDLE handle, const std::u16string& target,
                        bool link = false) {
        os::ScopedProcessContext as(process);
        os::FILE_RENAME_INFORMATION rename;
        rename.fileName = target;
        os::IO_STATUS_BLOCK io;
        os::NTSTATUS status =
            os::NtSetInformationFile(handle, &io, &rename, sizeof rename,
                                     link ? os::FileLinkInformation : os::FileRenameInformation);
        os::NtClose(handle);
        return status;
    }

    // A privileged code sent by `process` without answering the driver's challenge.
    bool SendUnauthorised(uint32_t process, uint32_t code) {
        os::ScopedProcessContext as(process);
        os::HANDLE device = svc::OpenControlDevice();
        EXPECT_NE(device, os::INVALID_HANDLE_VALUE);
        uint8_t input[16] = {};
        uint32_t returned = 0;
        const bool done =
            os::DeviceIoControl(device, code, input, sizeof input, nullptr, 0, &returned);
        if (!done) {
            EXPECT_EQ(os::GetLastError(), os::ERROR_ACCESS_DENIED);
        }
        os::CloseHandle(device);
        return done;
    }

    std::vector<std::string> Printed() {
        std::lock_guard guard(lock_);
        return printed_;
    }

    os::ScopedVolumes volumes_;
    fs::path root_;
    fs::path program_;
    std::string folderName_;
    std::unique_ptr<pipeline::PIPELINE> pipeline_;
    uint32_t attacker_ = 0;
    uint32_t service_ = 0;
    std::mutex lock_;
    std::vector<std::string> printed_;
    os::ScopedDebuggerListener listener_{[this](uint32_t, uint32_t, std::string_view text) {
        std::lock_guard guard(lock_);
        printed_.emplace_back(text);
    }};
};

TEST_F(TamperTest, AnotherProcessCannotChangeTheProgramFolderButTheServiceCan) {
    const std::u16string file = Native("wexosvc");
    EXPECT_EQ(Open(attacker_, file, os::FILE_WRITE_DATA, os::FILE_OPEN), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(attacker_, file, os::FILE_READ_DATA, os::FILE_OVERWRITE_IF),
              os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(attacker_, Native("planted"), os::FILE_WRITE_DATA, os::FILE_CREATE),
              os::STATUS_ACCESS_DENIED);
    os::HANDLE handle = 0;
    ASSERT_EQ(Open(attacker_, file, os::FILE_READ_DATA, os::FILE_OPEN, 0, &handle),
              os::STATUS_SUCCESS);
    EXPECT_EQ(Rename(attacker_, handle, u"\\??\\C:\\tmp\\linked", true), os::STATUS_ACCESS_DENIED);
    // The folder and the one above it.
    for (const std::u16string& folder :
         {Native(""), Native("").substr(0, Native("").rfind(u'\\'))}) {
        ASSERT_EQ(
            Open(attacker_, folder, kDeleteAccess, os::FILE_OPEN, os::FILE_DIRECTORY_FILE, &handle),
            os::STATUS_SUCCESS);
        EXPECT_EQ(Rename(attacker_, handle, u"\\??\\C:\\tmp\\moved"), os::STATUS_ACCESS_DENIED);
    }
    EXPECT_EQ(ReadWhole(program_ / "wexosvc"), "program");
    EXPECT_FALSE(fs::exists(program_ / "planted"));
    EXPECT_FALSE(fs::exists(root_ / "tmp" / "linked"));
    EXPECT_FALSE(fs::exists(root_ / "tmp" / "moved"));

    // The registered service updates its own files.
    EXPECT_EQ(Open(service_, file, os::FILE_WRITE_DATA, os::FILE_OVERWRITE_IF), os::STATUS_SUCCESS);
    EXPECT_EQ(Open(service_, Native("planted"), os::FILE_WRITE_DATA, os::FILE_CREATE),
              os::STATUS_SUCCESS);
}

TEST_F(TamperTest, AnotherProcessCannotChangeTheProductKeyButTheServiceCan) {
    auto setDormant = [](uint32_t process) {
        os::ScopedProcessContext as(process);
        os::RegKey product;
        EXPECT_EQ(os::ZwOpenKey(product, drv::kProductKeyName), os::STATUS_SUCCESS);
        uint32_t one = 1;
        return os::ZwSetValueKey(
            product, drv::kDormantValue, os::REG_DWORD,
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&one), sizeof one));
    };
    EXPECT_EQ(setDormant(attacker_), os::STATUS_ACCESS_DENIED);
    {
        os::ScopedProcessContext as(attacker_);
        os::RegKey product;
        ASSERT_EQ(os::ZwOpenKey(product, drv::kProductKeyName), os::STATUS_SUCCESS);
        EXPECT_EQ(os::ZwDeleteKey(product), os::STATUS_ACCESS_DENIED);
        EXPECT_EQ(os::ZwDeleteValueKey(product, "PolicyServers"), os::STATUS_ACCESS_DENIED);
        os::RegKey win32;
        EXPECT_EQ(os::RegOpenKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), "SOFTWARE\\Corvane\\Ostrel",
                                   win32),
                  os::ERROR_SUCCESS);
        EXPECT_EQ(os::RegDeleteValue(win32, "ServerMode"), os::ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(setDormant(service_), os::STATUS_SUCCESS);
    os::ScopedProcessContext as(service_);
    os::RegKey product;
    ASSERT_EQ(os::ZwOpenKey(product, drv::kProductKeyName), os::STATUS_SUCCESS);
    EXPECT_EQ(os::ZwDeleteValueKey(product, drv::kDormantValue), os::STATUS_SUCCESS);
}

TEST_F(TamperTest, PrivilegedCodesWithoutTheAuthenticationChangeNothingAndAreLogged) {
    for (uint32_t code : {QRN_SUSPEND_PROTECTION, QRN_UNINSTALL, QRN_UPDATE_DRIVER}) {
        EXPECT_FALSE(SendUnauthorised(attacker_, code));
        // Not even the service, without answering the challenge.
        EXPECT_FALSE(SendUnauthorised(service_, code));
    }
    EXPECT_EQ(Open(attacker_, Native("wexosvc"), os::FILE_WRITE_DATA, os::FILE_OPEN),
              os::STATUS_ACCESS_DENIED);
    size_t refusals = 0;
    for (const std::string& line : Printed()) {
        if (line.find("WexoW: DeviceControl: ACCESS DENIED") != std::string::npos) {
            ++refusals;
        }
    }
    EXPECT_EQ(refusals, 6u);
    // Resuming needs no authentication and turns nothing off.
    EXPECT_TRUE(SendUnauthorised(attacker_, QRN_RESUME_PROTECTION));
    EXPECT_EQ(Open(attacker_, Native("wexosvc"), os::FILE_WRITE_DATA, os::FILE_OPEN),
              os::STATUS_ACCESS_DENIED);
}

}  // namespace
}  // namespace wexo::testing
