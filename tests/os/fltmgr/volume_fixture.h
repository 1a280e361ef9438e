// A test volume on a temporary folder ("\Device\HarddiskVolume7", T:) with every other volume
// dismounted, and a registered, started filter.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "os/fltmgr/file_io.h"
#include "os/fltmgr/fltmgr.h"

namespace os::test {

inline constexpr char16_t kTestVolume[] = u"\\Device\\HarddiskVolume7";

inline std::filesystem::path MakeTestFolder(const char* kind) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        (std::string("wexo_") + kind + "_" + info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::string ReadWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteWhole(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class VolumeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = MakeTestFolder("fltmgr");
        ASSERT_EQ(MountVolume(kTestVolume, u"T:", dir_.string(), FLT_FSTYPE_NTFS, &volume_),
                  STATUS_SUCCESS);
        FLT_REGISTRATION registration;
        registration.name = u"TestFilter";
        ASSERT_EQ(FltRegisterFilter(registration, &filter_), STATUS_SUCCESS);
        ASSERT_EQ(FltStartFiltering(filter_), STATUS_SUCCESS);
        ASSERT_EQ(FltGetVolumeInstanceFromName(filter_, volume_, {}, &instance_), STATUS_SUCCESS);
    }
    void TearDown() override {
        FltUnregisterFilter(filter_);
        std::filesystem::remove_all(dir_);
    }

    ScopedVolumes volumes_;
    std::filesystem::path dir_;
    std::shared_ptr<FLT_VOLUME> volume_;
    std::shared_ptr<FLT_FILTER> filter_;
    std::shared_ptr<FLT_INSTANCE> instance_;
};

}  // namespace os::test
