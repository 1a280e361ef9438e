#include "driver/protection/driver_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/control_codes.h"
#include "driver/channel/control_device.h"
#include "driver/platform/debug_print.h"
#include "driver/platform/driver_entry.h"
#include "driver/platform/event_log.h"
#include "os/core/debugger.h"
#include "os/core/event_log.h"
#include "os/fltmgr/file_io.h"
#include "os/fltmgr/fltmgr.h"
#include "os/registry/registry.h"
#include "os/wfp/wfp_engine.h"
#include "tests/driver/channel/channel_fixture.h"

namespace wexo::drv {
namespace {

namespace fs = std::filesystem;

constexpr char16_t kImagePath[] = u"\\??\\C:\\Windows\\system32\\drivers\\WexoWfp.sys";
constexpr char kImagePathText[] = "\\??\\C:\\Windows\\system32\\drivers\\WexoWfp.sys";
constexpr char16_t kOldPath[] = u"\\??\\C:\\Windows\\system32\\drivers\\WexoWfp.old";
constexpr char16_t kSourcePath[] = u"\\??\\C:\\Update\\WexoWfp.sys";

std::string Pattern(size_t size, uint8_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = 0x9E3779B9u * (seed + 1u);
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteWhole(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

ino_t InodeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class DriverImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("wexo_image_") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        ASSERT_EQ(os::MountVolume(u"\\Device\\HarddiskVolume7", u"C:", dir_.string()),
                  os::STATUS_SUCCESS);
        os::FLT_REGISTRATION registration;
        registration.name = u"ImageTest";
        ASSERT_EQ(os::FltRegisterFilter(registration, &filter_), os::STATUS_SUCCESS);
        previousSyslog_ = os::SetEventLogSyslogOutput(false);
        os::ClearEventLogRecords();
        previousOutput_ = DebuggerOutput();
        SetDebuggerOutput(true);
        WriteWhole(ImageFile(), oldImage_);
    }

    void TearDown() override {
        image_.reset();
        CloseSource();
        EXPECT_EQ(os::FltOpenHandleCount(), 0u);
        SetDebuggerOutput(previousOutput_);
        os::ClearEventLogRecords();
        os::SetEventLogSyslogOutput(previousSyslog_);
        os::FltUnregisterFilter(filter_);
        fs::remove_all(dir_);
    }

    fs::path Drivers() const { return dir_ / "Windows" / "system32" / "drivers"; }
    fs::path ImageFile() const { return Drivers() / "WexoWfp.sys"; }
    fs::path OldFile() const { return Drivers() / "WexoWfp.old"; }
    fs::path NewFile() const { return Drivers() / "WexoWfp.new"; }

    // The new image as the service hands it over: a file it opened for reading.
    void OpenSource(const std::string& bytes) {
        WriteWhole(dir_ / "Update" / "WexoWfp.sys", bytes);
        os::IO_STATUS_BLOCK io;
        ASSERT_EQ(os::FltCreateFileEx(filter_, nullptr, &sourceHandle_, &source_,
                                      os::FILE_READ_DATA | os::SYNCHRONIZE, kSourcePath, &io, 0x80,
                                      os::FILE_SHARE_READ, os::FILE_OPEN, 0x50),
                  os::STATUS_SUCCESS);
    }
    void CloseSource() {
        if (sourceHandle_ != 0) {
            os::FltClose(sourceHandle_);
            sourceHandle_ = 0;
            source_.reset();
        }
    }

    void Hold() {
        image_->Hold(filter_, kImagePath);
        ASSERT_EQ(image_->State(), DRIVER_IMAGE_FILE::kHeld);
        Lines().clear();
    }

    // What another process gets when it opens the image with these rights.
    os::NTSTATUS OpenImageFor(uint32_t access, uint32_t share) {
        os::HANDLE handle = 0;
        os::IO_STATUS_BLOCK io;
        os::NTSTATUS status = os::FltCreateFile(filter_, nullptr, &handle, access, kImagePath, &io,
                                                0x80, share, os::FILE_OPEN, 0x50);
        if (os::NT_SUCCESS(status)) {
            os::FltClose(handle);
        }
        return status;
    }

    std::vector<std::string>& Lines() { return lines_; }
    bool Logged(const std::string& line) {
        std::lock_guard guard(lock_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }

    os::ScopedVolumes volumes_;
    fs::path dir_;
    std::shared_ptr<os::FLT_FILTER> filter_;
    std::unique_ptr<DRIVER_IMAGE_FILE> image_ = std::make_unique<DRIVER_IMAGE_FILE>();
    std::string oldImage_ = Pattern(50'000, 1);
    os::HANDLE sourceHandle_ = 0;
    std::shared_ptr<os::FLT_FILE_OBJECT> source_;
    bool previousSyslog_ = true;
    bool previousOutput_ = false;
    std::mutex lock_;
    std::vector<std::string> lines_;
    os::ScopedDebuggerListener listener_{[this](uint32_t, uint32_t, std::string_view text) {
        std::lock_guard guard(lock_);
        lines_.emplace_back(text);
    }};
};

TEST_F(DriverImageTest, HoldingTheImageAdmitsReadersOnly) {
    image_->Hold(filter_, kImagePath);
    EXPECT_EQ(image_->State(), DRIVER_IMAGE_FILE::kHeld);
    EXPECT_TRUE(
        Logged(std::string("WexoW: OpenDriver: File=\"") + kImagePathText + "\" opened\n\n"));
    EXPECT_TRUE(os::EventLogRecords().empty());
    EXPECT_EQ(OpenImageFor(os::FILE_READ_DATA, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE),
              os::STATUS_SUCCESS);
    EXPECT_EQ(OpenImageFor(os::FILE_WRITE_DATA, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE),
              os::STATUS_SHARING_VIOLATION);
    EXPECT_EQ(OpenImageFor(os::DELETE, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE),
              os::STATUS_SHARING_VIOLATION);
}

TEST_F(DriverImageTest, AnImageThatCannotBeOpenedIsLoggedWithAnEventAndNotHeld) {
    fs::remove(ImageFile());
    image_->Hold(filter_, kImagePath);
    EXPECT_EQ(image_->State(), DRIVER_IMAGE_FILE::kNotHeld);
    EXPECT_TRUE(Logged(std::string("WexoW: Unable to open driver file \"") + kImagePathText +
                       "\", Status=0xc0000034\n\n"));
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].eventId, DRIVER_EVENT_OPEN_FILE_FAILED);
    ASSERT_GE(records[0].strings.size(), 2u);
    EXPECT_NE(std::find(records[0].strings.begin(), records[0].strings.end(), kImagePathText),
              records[0].strings.end());
    // Nothing held: an update has nothing to replace.
    OpenSource(Pattern(100, 2));
    EXPECT_EQ(image_->Update(*source_), os::STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("WexoW: UpdateDriver: state=0\n\n"));
}

TEST_F(DriverImageTest, AnUpdateReplacesTheImageAtOnceAndHoldsTheNewForReadersOnly) {
    Hold();
    std::string next = Pattern(40'000, 3);
    OpenSource(next);
    EXPECT_EQ(image_->Update(*source_, next.size()), os::STATUS_SUCCESS);
    EXPECT_EQ(image_->State(), DRIVER_IMAGE_FILE::kUpdated);
    EXPECT_TRUE(ReadWhole(ImageFile()) == next) << "the image";
    EXPECT_FALSE(fs::exists(OldFile()));
    EXPECT_FALSE(fs::exists(NewFile()));
    EXPECT_TRUE(
        Logged("WexoW: UpdateDriver: Driver file=\"\\??\\C:\\Windows\\system32\\drivers"
               "\\WexoWfp.new\" created\n\n"));
    ASSERT_NE(image_->HeldFile(), nullptr);
    EXPECT_EQ(OpenImageFor(os::FILE_READ_DATA, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE),
              os::STATUS_SUCCESS);
    EXPECT_EQ(OpenImageFor(os::FILE_WRITE_DATA, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE),
              os::STATUS_SHARING_VIOLATION);
}

TEST_F(DriverImageTest, ASecondUpdateInTheSameBootIsRefusedWithState2) {
    Hold();
    std::string next = Pattern(20'000, 4);
    OpenSource(next);
    ASSERT_EQ(image_->Update(*source_), os::STATUS_SUCCESS);
    CloseSource();
    OpenSource(Pattern(30'000, 5));
    EXPECT_EQ(image_->Update(*source_), os::STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("WexoW: UpdateDriver: state=2\n\n"));
    EXPECT_TRUE(ReadWhole(ImageFile()) == next) << "the image";
}

// Every way an update can fail before the new image is under the image's name: the old image
// stays, byte for byte and the same file, still held; nothing is left beside it; the next
// attempt of the same boot may still succeed.
TEST_F(DriverImageTest, AFailedUpdateLeavesTheOldImageInPlaceAndHeld) {
    struct ROW {
        const char* what;
        std::optional<os::FLT_FAILURE> failure;
        uint32_t skip;
        uint64_t expectedSize;  // 0: the source's own size
        bool checkRefuses;
    };
    const ROW rows[] = {
        {"create fails", os::FLT_FAILURE::CreateFile, 0, 0, false},
        {"a read fails mid copy", os::FLT_FAILURE::ReadFile, 1, 0, false},
        {"a write fails mid copy", os::FLT_FAILURE::WriteFile, 2, 0, false},
        {"the permissions cannot be copied", os::FLT_FAILURE::SetInformation, 0, 0, false},
        {"the rename fails", os::FLT_FAILURE::SetInformation, 1, 0, false},
        {"the source is shorter than said", std::nullopt, 0, 1, false},
        {"the check refuses the image", std::nullopt, 0, 0, true},
    };
    Hold();
    const ino_t inode = InodeOf(ImageFile());
    std::string next = Pattern(3 * DRIVER_IMAGE_FILE::kCopyChunk + 10, 10);
    OpenSource(next);
    for (const ROW& row : rows) {
        image_->SetImageCheck(
            [&row](std::span<const uint8_t>, uint64_t) { return !row.checkRefuses; });
        {
            std::optional<os::ScopedFltFailure> failure;
            if (row.failure) {
                failure.emplace(*row.failure, os::STATUS_IO_DEVICE_ERROR, row.skip, 1);
            }
            uint64_t size = row.expectedSize == 0 ? next.size() : next.size() + row.expectedSize;
            EXPECT_EQ(image_->Update(*source_, size), os::STATUS_UNSUCCESSFUL) << row.what;
        }
        EXPECT_TRUE(ReadWhole(ImageFile()) == oldImage_) << row.what;
        EXPECT_EQ(InodeOf(ImageFile()), inode) << row.what;
        EXPECT_FALSE(fs::exists(NewFile())) << row.what;
        EXPECT_FALSE(fs::exists(OldFile())) << row.what;
        EXPECT_EQ(image_->State(), DRIVER_IMAGE_FILE::kHeld) << row.what;
        EXPECT_EQ(OpenImageFor(os::FILE_WRITE_DATA, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE),
                  os::STATUS_SHARING_VIOLATION)
            << row.what;
    }
    image_->SetImageCheck(nullptr);
    EXPECT_EQ(image_->Update(*source_, next.size()), os::STATUS_SUCCESS);
    EXPECT_TRUE(ReadWhole(ImageFile()) == next) << "the image";
}

TEST_F(DriverImageTest, AnUpdateAfterTheReleaseIsRefusedWithState0) {
    Hold();
    image_->Release();
    EXPECT_EQ(image_->State(), DRIVER_IMAGE_FILE::kNotHeld);
    EXPECT_EQ(image_->HeldFile(), nullptr);
    // Released means closed: others may now replace the image (the uninstaller does).
    EXPECT_EQ(OpenImageFor(os::FILE_WRITE_DATA, 0), os::STATUS_SUCCESS);
    OpenSource(Pattern(1000, 6));
    EXPECT_EQ(image_->Update(*source_), os::STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Logged("WexoW: UpdateDriver: state=0\n\n"));
    EXPECT_TRUE(ReadWhole(ImageFile()) == oldImage_) << "the image";
    EXPECT_FALSE(fs::exists(OldFile()));
}

TEST_F(DriverImageTest, ASourceOfWholeChunksIsCopiedWholeAndTheLongerOldImageCut) {
    Hold();
    std::string next = Pattern(2 * DRIVER_IMAGE_FILE::kCopyChunk, 7);
    OpenSource(next);
    EXPECT_EQ(image_->Update(*source_), os::STATUS_SUCCESS);
    EXPECT_TRUE(ReadWhole(ImageFile()) == next) << "the image";
    EXPECT_EQ(fs::file_size(ImageFile()), 2u * DRIVER_IMAGE_FILE::kCopyChunk);
}

TEST_F(DriverImageTest, AHandleThatNamesNoFileIsRefusedBeforeAnythingIsRenamed) {
    Hold();
    testing::ServiceProcess service;
    uint64_t handle = 0x12345678;
    os::NTSTATUS status = service.In([&] {
        return image_->UpdateFromCaller(os::CallerMemory(os::CurrentProcess()),
                                        reinterpret_cast<uint64_t>(&handle), 8);
    });
    EXPECT_EQ(status, os::STATUS_INVALID_HANDLE);
    EXPECT_EQ(image_->State(), DRIVER_IMAGE_FILE::kHeld);
    EXPECT_TRUE(ReadWhole(ImageFile()) == oldImage_) << "the image";
    EXPECT_FALSE(fs::exists(OldFile()));
}

TEST_F(DriverImageTest, TheLeftoverOfAnEarlierUpdateIsDeletedAtTheNextStart) {
    WriteWhole(OldFile(), Pattern(100, 13));
    WriteWhole(NewFile(), Pattern(100, 13));
    image_->DeleteLeftover(filter_, kImagePath);
    EXPECT_FALSE(fs::exists(OldFile()));
    EXPECT_FALSE(fs::exists(NewFile()));
    EXPECT_TRUE(fs::exists(ImageFile()));
    EXPECT_TRUE(
        Logged("WexoW: OpenDriver: File=\"\\??\\C:\\Windows\\system32\\drivers\\WexoWfp.old\" "
               "opened\n\n"));
    EXPECT_EQ(os::FltOpenHandleCount(), 0u);

    Lines().clear();
    image_->DeleteLeftover(filter_, kImagePath);
    EXPECT_TRUE(Lines().empty());
    EXPECT_TRUE(os::EventLogRecords().empty());
    // Without a folder in the image path there is nothing to look at.
    image_->DeleteLeftover(filter_, u"WexoWfp.sys");
    EXPECT_TRUE(Lines().empty());
}

TEST_F(DriverImageTest, AnUpdateAfterAStartThatDeletedTheLeftoverSucceeds) {
    WriteWhole(OldFile(), Pattern(100, 14));
    image_->Hold(filter_, kImagePath);
    image_->DeleteLeftover(filter_, kImagePath);
    ASSERT_FALSE(fs::exists(OldFile()));
    std::string next = Pattern(17'000, 15);
    OpenSource(next);
    EXPECT_EQ(image_->Update(*source_), os::STATUS_SUCCESS);
    EXPECT_TRUE(ReadWhole(ImageFile()) == next) << "the image";
    EXPECT_FALSE(fs::exists(OldFile()));
}

// The control device in front: the update is one of the privileged codes.
class DriverImageDeviceTest : public DriverImageTest {
  protected:
    void SetUp() override {
        DriverImageTest::SetUp();
        ASSERT_TRUE(queue_.Initialise());
        ASSERT_EQ(device_.Create(), os::STATUS_SUCCESS);
        device_.SetAuthSecret(secret_);
        handle_ = service_.Open();
    }
    void TearDown() override {
        queue_.ShutDown();
        device_.Delete();
        DriverImageTest::TearDown();
    }

    uint32_t Authorise(uint32_t function) {
        AuthNonce nonce{};
        uint32_t error =
            service_.Control(handle_, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32);
        if (error != 0) {
            return error;
        }
        QRN_AUTH_RESPONSE_REQUEST response{function, {}};
        AuthMac mac = ComputeAuthResponse(secret_, nonce, os::CurrentThreadId(), function);
        std::memcpy(response.mac, mac.data(), mac.size());
        return service_.Control(handle_, QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0);
    }

    CONTROL_DEVICE::HOOKS Hooks() {
        CONTROL_DEVICE::HOOKS hooks;
        hooks.updateDriverImage = [this](const os::CallerMemory& caller, uint64_t input,
                                         uint32_t length) {
            return image_->UpdateFromCaller(caller, input, length);
        };
        hooks.releaseDriverImage = [this] { image_->Release(); };
        return hooks;
    }

    SERVICE_CALL_QUEUE queue_;
    PROTECTION_STATE protection_;
    CONTROL_DEVICE device_{queue_, protection_, Hooks()};
    std::vector<uint8_t> secret_ = std::vector<uint8_t>(32, 0x5A);
    testing::ServiceProcess service_;
    os::HANDLE handle_ = 0;
};

TEST_F(DriverImageDeviceTest, AnUnauthorisedCallerCannotReplaceTheImage) {
    Hold();
    std::string next = Pattern(9000, 16);
    OpenSource(next);
    uint64_t source = sourceHandle_;
    EXPECT_EQ(service_.Control(handle_, QRN_UPDATE_DRIVER, &source, 8, nullptr, 0),
              os::ERROR_ACCESS_DENIED);
    // Authorised for another code only.
    ASSERT_EQ(Authorise(0xB17), 0u);
    EXPECT_EQ(service_.Control(handle_, QRN_UPDATE_DRIVER, &source, 8, nullptr, 0),
              os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(image_->State(), DRIVER_IMAGE_FILE::kHeld);
    EXPECT_TRUE(ReadWhole(ImageFile()) == oldImage_) << "the image";
    EXPECT_FALSE(fs::exists(OldFile()));

    // Authorised, it goes through once; the authorisation is used up by it.
    ASSERT_EQ(Authorise(0xB15), 0u);
    EXPECT_EQ(service_.Control(handle_, QRN_UPDATE_DRIVER, &source, 8, nullptr, 0), 0u);
    EXPECT_TRUE(ReadWhole(ImageFile()) == next) << "the image";
    EXPECT_FALSE(fs::exists(OldFile()));
    EXPECT_EQ(service_.Control(handle_, QRN_UPDATE_DRIVER, &source, 8, nullptr, 0),
              os::ERROR_ACCESS_DENIED);
}

TEST_F(DriverImageDeviceTest, UninstallReleasesTheImageAndRefusesLaterUpdates) {
    Hold();
    ASSERT_EQ(Authorise(0xB16), 0u);
    ASSERT_EQ(service_.Simple(handle_, QRN_UNINSTALL), 0u);
    EXPECT_EQ(image_->State(), DRIVER_IMAGE_FILE::kNotHeld);
    OpenSource(Pattern(100, 17));
    uint64_t source = sourceHandle_;
    ASSERT_EQ(Authorise(0xB15), 0u);
    EXPECT_EQ(service_.Control(handle_, QRN_UPDATE_DRIVER, &source, 8, nullptr, 0),
              os::ERROR_GEN_FAILURE);
    EXPECT_TRUE(ReadWhole(ImageFile()) == oldImage_) << "the image";
}

// The whole start: the driver holds its image, clears the leftover, and the service's update
// reaches the held image through the driver's own control device.
class DriverImageStartTest : public DriverImageTest {
  protected:
    static constexpr char kServiceKey[] =
        "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp";

    void SetUp() override {
        DriverImageTest::SetUp();
        os::RegKey key;
        ASSERT_EQ(os::ZwCreateKey(key, kServiceKey), os::STATUS_SUCCESS);
        ASSERT_EQ(os::ZwSetValueKey(key, "Auth Secret", os::REG_BINARY,
                                    std::span<const uint8_t>(secret_.data(), secret_.size())),
                  os::STATUS_SUCCESS);
        driverObject_.imagePath = kImagePath;
    }
    void TearDown() override {
        driver_.reset();
        DriverImageTest::TearDown();
    }

    uint32_t Authorise(os::HANDLE device, uint32_t function) {
        AuthNonce nonce{};
        uint32_t error = service_.Control(device, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32);
        if (error != 0) {
            return error;
        }
        QRN_AUTH_RESPONSE_REQUEST response{function, {}};
        AuthMac mac = ComputeAuthResponse(secret_, nonce, os::CurrentThreadId(), function);
        std::memcpy(response.mac, mac.data(), mac.size());
        return service_.Control(device, QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0);
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    os::FilterEngine engine_;
    DRIVER_OBJECT driverObject_;
    std::vector<uint8_t> secret_ = std::vector<uint8_t>(32, 0x3C);
    testing::ServiceProcess service_;
    std::unique_ptr<WEXO_DRIVER> driver_ = std::make_unique<WEXO_DRIVER>();
};

TEST_F(DriverImageStartTest, TheStartHoldsTheImageClearsTheLeftoverAndTheServiceUpdatesIt) {
    WriteWhole(OldFile(), Pattern(300, 18));
    driver_->SetImageFileHooks(driver_->OwnImageFileHooks());
    ASSERT_EQ(driver_->DriverEntry(driverObject_,
                                   u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001"
                                   u"\\Services\\WexoWfp"),
              os::STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(OldFile()));
    EXPECT_EQ(driver_->Image().State(), DRIVER_IMAGE_FILE::kHeld);
    EXPECT_EQ(OpenImageFor(os::FILE_WRITE_DATA, os::FILE_SHARE_READ | os::FILE_SHARE_WRITE),
              os::STATUS_SHARING_VIOLATION);

    std::string next = Pattern(70'000, 19);
    OpenSource(next);
    uint64_t source = sourceHandle_;
    os::HANDLE device = service_.Open();
    ASSERT_EQ(Authorise(device, 0xB15), 0u);
    EXPECT_EQ(service_.Control(device, QRN_UPDATE_DRIVER, &source, 8, nullptr, 0), 0u);
    EXPECT_TRUE(ReadWhole(ImageFile()) == next) << "the image";
    EXPECT_FALSE(fs::exists(OldFile()));

    // The host process ends: the held image is let go with the driver.
    driver_.reset();
    EXPECT_EQ(OpenImageFor(os::FILE_WRITE_DATA, 0), os::STATUS_SUCCESS);
}

TEST_F(DriverImageStartTest, WithoutTheImageHooksTheStartLeavesTheImageAlone) {
    WriteWhole(OldFile(), Pattern(300, 20));
    ASSERT_EQ(driver_->DriverEntry(driverObject_,
                                   u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001"
                                   u"\\Services\\WexoWfp"),
              os::STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(OldFile()));
    EXPECT_EQ(driver_->Image().State(), DRIVER_IMAGE_FILE::kNotHeld);
}

}  // namespace
}  // namespace wexo::drv
