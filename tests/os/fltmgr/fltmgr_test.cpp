#include "os/fltmgr/fltmgr.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/os/fltmgr/volume_fixture.h"

namespace os::test {
namespace {

using FltVolumeTest = VolumeTest;

TEST_F(FltVolumeTest, NativePathsResolveToTheirVolume) {
    std::shared_ptr<FLT_VOLUME> volume;
    std::u16string rest;
    EXPECT_EQ(ResolveVolumePath(u"\\Device\\HarddiskVolume7\\x\\y.log", &volume, &rest),
              STATUS_SUCCESS);
    EXPECT_EQ(volume, volume_);
    EXPECT_EQ(rest, u"\\x\\y.log");
    EXPECT_EQ(ResolveVolumePath(u"\\device\\harddiskvolume7", &volume, &rest), STATUS_SUCCESS);
    EXPECT_EQ(rest, u"");
    for (const char16_t* path : {u"\\??\\T:\\x\\y.log", u"\\??\\t:\\x\\y.log",
                                 u"\\DosDevices\\T:\\x\\y.log", u"\\GLOBAL??\\T:\\x\\y.log"}) {
        volume.reset();
        EXPECT_EQ(ResolveVolumePath(path, &volume, &rest), STATUS_SUCCESS);
        EXPECT_EQ(volume, volume_);
        EXPECT_EQ(rest, u"\\x\\y.log");
    }
}

TEST_F(FltVolumeTest, PathsOnNoVolumeAreNotFound) {
    std::shared_ptr<FLT_VOLUME> volume;
    std::u16string rest;
    for (const char16_t* path :
         {u"\\Device\\HarddiskVolume70\\x", u"\\Device\\HarddiskVolume\\x", u"\\??\\Q:\\x",
          u"\\??\\T:x", u"\\??\\C:\\x", u"T:\\x", u"\\x\\y", u""}) {
        EXPECT_EQ(ResolveVolumePath(path, &volume, &rest), STATUS_OBJECT_PATH_NOT_FOUND);
        EXPECT_EQ(volume, nullptr);
    }
    std::shared_ptr<FLT_INSTANCE> instance;
    EXPECT_EQ(FindInstanceForPath(filter_, u"\\??\\Q:\\x\\y.log", &instance),
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(instance, nullptr);
}

TEST_F(FltVolumeTest, MountRefusesMalformedNamesTakenNamesAndMissingFolders) {
    const std::string folder = dir_.string();
    EXPECT_EQ(MountVolume(u"HarddiskVolume8", u"", folder), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(MountVolume(u"\\Device\\", u"", folder), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(MountVolume(u"\\Device\\A\\B", u"", folder), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(MountVolume(u"\\Device\\HarddiskVolume8", u"1:", folder), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(MountVolume(u"\\Device\\HarddiskVolume8", u"U", folder), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(MountVolume(u"\\DEVICE\\HARDDISKVOLUME7", u"", folder), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(MountVolume(u"\\Device\\HarddiskVolume8", u"t:", folder),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(MountVolume(u"\\Device\\HarddiskVolume8", u"", (dir_ / "missing").string()),
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(DismountVolume(u"\\Device\\HarddiskVolume8"), STATUS_FLT_VOLUME_NOT_FOUND);
}

TEST(FltSystemVolumeTest, CIsTheRootFolderAgainAfterATestsVolumes) {
    {
        ScopedVolumes volumes;
        std::shared_ptr<FLT_VOLUME> volume;
        std::u16string rest;
        EXPECT_EQ(ResolveVolumePath(u"\\??\\C:\\etc", &volume, &rest),
                  STATUS_OBJECT_PATH_NOT_FOUND);
    }
    std::shared_ptr<FLT_VOLUME> volume;
    std::u16string rest;
    ASSERT_EQ(ResolveVolumePath(u"\\??\\C:\\etc", &volume, &rest), STATUS_SUCCESS);
    EXPECT_EQ(volume->Folder(), "/");
    EXPECT_EQ(volume->DeviceName(), kSystemVolumeDeviceName);
    EXPECT_EQ(rest, u"\\etc");
}

TEST(FltRegistrationTest, RegistrationChecksItsArgumentsAndHasFailureSwitches) {
    ScopedVolumes volumes;
    std::shared_ptr<FLT_FILTER> filter;
    FLT_REGISTRATION registration;
    EXPECT_EQ(FltRegisterFilter(registration, &filter), STATUS_INVALID_PARAMETER);  // no name
    registration.name = u"WexoWfp";
    registration.version = 0x0300;
    EXPECT_EQ(FltRegisterFilter(registration, &filter), STATUS_INVALID_PARAMETER);
    registration.version = FLT_REGISTRATION_VERSION;
    EXPECT_EQ(FltRegisterFilter(registration, nullptr), STATUS_INVALID_PARAMETER);
    {
        ScopedFltFailure failure(FLT_FAILURE::RegisterFilter, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(FltRegisterFilter(registration, &filter), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(filter, nullptr);
        EXPECT_EQ(failure.Failed(), 1u);
    }
    ASSERT_EQ(FltRegisterFilter(registration, &filter), STATUS_SUCCESS);
    EXPECT_TRUE(filter->Registered());
    {
        ScopedFltFailure failure(FLT_FAILURE::StartFiltering, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(FltStartFiltering(filter), STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(filter->Filtering());
    }
    EXPECT_EQ(FltStartFiltering(filter), STATUS_SUCCESS);
    EXPECT_EQ(FltStartFiltering(filter), STATUS_INVALID_PARAMETER);  // already filtering
    FltUnregisterFilter(filter);
    EXPECT_FALSE(filter->Registered());
    EXPECT_EQ(FltStartFiltering(filter), STATUS_INVALID_PARAMETER);
}

TEST(FltRegistrationTest, AFailureSwitchCanLetCallsThroughFirstAndStopAfterACount) {
    ScopedVolumes volumes;
    FLT_REGISTRATION registration;
    registration.name = u"F";
    std::vector<std::shared_ptr<FLT_FILTER>> filters(4);
    ScopedFltFailure failure(FLT_FAILURE::RegisterFilter, STATUS_UNSUCCESSFUL, 1, 2);
    EXPECT_EQ(FltRegisterFilter(registration, &filters[0]), STATUS_SUCCESS);
    EXPECT_EQ(FltRegisterFilter(registration, &filters[1]), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(FltRegisterFilter(registration, &filters[2]), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(FltRegisterFilter(registration, &filters[3]), STATUS_SUCCESS);
    EXPECT_EQ(failure.Failed(), 2u);
    FltUnregisterFilter(filters[0]);
    FltUnregisterFilter(filters[3]);
}

class FltInstanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ntfs_ = MakeTestFolder("fltmgr_ntfs");
        raw_ = MakeTestFolder("fltmgr_raw");
        ASSERT_EQ(MountVolume(u"\\Device\\HarddiskVolume2", u"D:", ntfs_.string()), STATUS_SUCCESS);
        ASSERT_EQ(MountVolume(u"\\Device\\HarddiskVolume3", u"", raw_.string(), FLT_FSTYPE_RAW),
                  STATUS_SUCCESS);
        registration_.name = u"WexoWfp";
        // Raw volumes are not attached, as the product's filter decides.
        registration_.instanceSetup = [this](const FLT_RELATED_OBJECTS& objects, uint32_t flags,
                                             uint32_t deviceType, uint32_t fileSystemType) {
            SETUP call{objects.volume->DeviceName(), flags, deviceType, fileSystemType};
            std::shared_ptr<FLT_INSTANCE> found;
            call.foundDuringSetUp = FltGetVolumeInstanceFromName(filter_, objects.volume, {},
                                                                 &found) == STATUS_SUCCESS &&
                                    found == objects.instance;
            calls_.push_back(call);
            return fileSystemType == FLT_FSTYPE_RAW ? STATUS_FLT_DO_NOT_ATTACH : STATUS_SUCCESS;
        };
        ASSERT_EQ(FltRegisterFilter(registration_, &filter_), STATUS_SUCCESS);
    }
    void TearDown() override {
        FltUnregisterFilter(filter_);
        std::filesystem::remove_all(ntfs_);
        std::filesystem::remove_all(raw_);
    }

    struct SETUP {
        std::u16string volume;
        uint32_t flags;
        uint32_t deviceType;
        uint32_t fileSystemType;
        bool foundDuringSetUp = false;
    };
    ScopedVolumes volumes_;
    std::filesystem::path ntfs_;
    std::filesystem::path raw_;
    FLT_REGISTRATION registration_;
    std::shared_ptr<FLT_FILTER> filter_;
    std::vector<SETUP> calls_;
};

TEST_F(FltInstanceTest, StartingOffersEveryVolumeAndSetUpDecides) {
    EXPECT_TRUE(calls_.empty());  // registering attaches nothing
    std::shared_ptr<FLT_INSTANCE> instance;
    EXPECT_EQ(FindInstanceForPath(filter_, u"\\??\\D:\\x", &instance),
              STATUS_FLT_INSTANCE_NOT_FOUND);
    ASSERT_EQ(FltStartFiltering(filter_), STATUS_SUCCESS);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[0].volume, u"\\Device\\HarddiskVolume2");
    EXPECT_EQ(calls_[0].flags, FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT);
    EXPECT_EQ(calls_[0].deviceType, FILE_DEVICE_DISK_FILE_SYSTEM);
    EXPECT_EQ(calls_[0].fileSystemType, FLT_FSTYPE_NTFS);
    EXPECT_TRUE(calls_[0].foundDuringSetUp);
    EXPECT_EQ(calls_[1].fileSystemType, FLT_FSTYPE_RAW);

    ASSERT_EQ(FindInstanceForPath(filter_, u"\\??\\D:\\x", &instance), STATUS_SUCCESS);
    EXPECT_TRUE(instance->Attached());
    EXPECT_EQ(instance->Name(), u"WexoWfp Instance");
    EXPECT_EQ(instance->Volume()->Folder(), ntfs_.string());
    std::shared_ptr<FLT_INSTANCE> same;
    EXPECT_EQ(FindInstanceForPath(filter_, u"\\Device\\HarddiskVolume2\\y", &same), STATUS_SUCCESS);
    EXPECT_EQ(same, instance);
    EXPECT_EQ(FindInstanceForPath(filter_, u"\\Device\\HarddiskVolume3\\x", &same),
              STATUS_FLT_INSTANCE_NOT_FOUND);

    std::vector<std::shared_ptr<FLT_VOLUME>> volumes;
    ASSERT_EQ(FltEnumerateVolumes(filter_, &volumes), STATUS_SUCCESS);
    ASSERT_EQ(volumes.size(), 2u);
    std::u16string name;
    EXPECT_EQ(FltGetVolumeName(*volumes[1], &name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\Device\\HarddiskVolume3");
}

TEST_F(FltInstanceTest, AVolumeMountedLaterGetsAnInstanceAndDismountTearsItDown) {
    ASSERT_EQ(FltStartFiltering(filter_), STATUS_SUCCESS);
    calls_.clear();
    auto folder = MakeTestFolder("fltmgr_late");
    std::shared_ptr<FLT_VOLUME> volume;
    ASSERT_EQ(
        MountVolume(u"\\Device\\HarddiskVolume4", u"E:", folder.string(), FLT_FSTYPE_FAT, &volume),
        STATUS_SUCCESS);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].flags, FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT |
                                   FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME);
    std::shared_ptr<FLT_INSTANCE> instance;
    ASSERT_EQ(FindInstanceForPath(filter_, u"\\??\\E:\\x", &instance), STATUS_SUCCESS);
    ASSERT_EQ(DismountVolume(u"\\Device\\HarddiskVolume4"), STATUS_SUCCESS);
    EXPECT_FALSE(instance->Attached());
    EXPECT_FALSE(volume->Mounted());
    EXPECT_EQ(FindInstanceForPath(filter_, u"\\??\\E:\\x", &instance),
              STATUS_OBJECT_PATH_NOT_FOUND);
    std::filesystem::remove_all(folder);
}

TEST_F(FltInstanceTest, UnregisteringTearsDownTheInstances) {
    ASSERT_EQ(FltStartFiltering(filter_), STATUS_SUCCESS);
    std::shared_ptr<FLT_INSTANCE> instance;
    ASSERT_EQ(FindInstanceForPath(filter_, u"\\??\\D:\\x", &instance), STATUS_SUCCESS);
    FltUnregisterFilter(filter_);
    EXPECT_FALSE(instance->Attached());
    std::vector<std::shared_ptr<FLT_VOLUME>> volumes;
    EXPECT_EQ(FltEnumerateVolumes(filter_, &volumes), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace os::test
