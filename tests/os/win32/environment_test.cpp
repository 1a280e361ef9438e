#include "os/win32/environment.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "os/core/status.h"

namespace os {
namespace {

TEST(EnvironmentPathTest, LinuxAndWindowsPathsMapBothWays) {
    EXPECT_EQ(WindowsPathFromLinux("/usr/lib/wexo/wexosvc"), "C:\\usr\\lib\\wexo\\wexosvc");
    EXPECT_EQ(WindowsPathFromLinux("/"), "C:\\");
    EXPECT_EQ(WindowsPathFromLinux("relative/path"), std::nullopt);
    EXPECT_EQ(WindowsPathFromLinux(""), std::nullopt);
    EXPECT_EQ(WindowsPathFromLinux("/odd\\name"), std::nullopt);

    EXPECT_EQ(LinuxPathFromWindows("C:\\usr\\lib\\wexo\\wexosvc"), "/usr/lib/wexo/wexosvc");
    EXPECT_EQ(LinuxPathFromWindows("c:/var/lib"), "/var/lib");
    EXPECT_EQ(LinuxPathFromWindows("C:"), "/");
    EXPECT_EQ(LinuxPathFromWindows("C:\\"), "/");
    EXPECT_EQ(LinuxPathFromWindows("D:\\data"), std::nullopt);
    EXPECT_EQ(LinuxPathFromWindows("C:relative"), std::nullopt);
    EXPECT_EQ(LinuxPathFromWindows("\\usr"), std::nullopt);
    EXPECT_EQ(LinuxPathFromWindows("usr\\lib"), std::nullopt);
    EXPECT_EQ(LinuxPathFromWindows(std::string("C:\\a\0b", 6)), std::nullopt);

    for (const char* path : {"/", "/tmp/x y/z", "/usr/lib/wexo/"}) {
        EXPECT_EQ(LinuxPathFromWindows(*WindowsPathFromLinux(path)), path);
    }
}

TEST(EnvironmentModuleTest, ModulePathIsTheRunningProgramInWindowsForm) {
    std::string path;
    ASSERT_TRUE(GetModuleFileName(path));
    ASSERT_EQ(path.rfind("C:\\", 0), 0u) << path;
    auto linuxPath = LinuxPathFromWindows(path);
    ASSERT_TRUE(linuxPath.has_value());
    EXPECT_EQ(::access(linuxPath->c_str(), X_OK), 0) << *linuxPath;
    EXPECT_NE(path.find("os_win32_tests"), std::string::npos);

    {
        ScopedModulePath fake("C:\\usr\\lib\\wexo\\wexosvc");
        ASSERT_TRUE(GetModuleFileName(path));
        EXPECT_EQ(path, "C:\\usr\\lib\\wexo\\wexosvc");
        {
            ScopedModulePath failing(ModulePathError{ERROR_INSUFFICIENT_BUFFER});
            SetLastError(0);
            EXPECT_FALSE(GetModuleFileName(path));
            EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        }
        ASSERT_TRUE(GetModuleFileName(path));
        EXPECT_EQ(path, "C:\\usr\\lib\\wexo\\wexosvc");
    }
    ASSERT_TRUE(GetModuleFileName(path));
    EXPECT_NE(path.find("os_win32_tests"), std::string::npos);
}

TEST(EnvironmentVariableTest, GetSetAndRemove) {
    const char* name = "WexoSvcEnvironmentTest";
    ASSERT_TRUE(SetEnvironmentVariable(name, std::nullopt));
    SetLastError(0);
    EXPECT_EQ(GetEnvironmentVariable(name), std::nullopt);
    EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
    ASSERT_TRUE(SetEnvironmentVariable(name, "0x100"));
    EXPECT_EQ(GetEnvironmentVariable(name), "0x100");
    EXPECT_EQ(GetEnvironmentVariable("wexosvcenvironmenttest"), std::nullopt)
        << "names are case-sensitive";
    ASSERT_TRUE(SetEnvironmentVariable(name, ""));
    EXPECT_EQ(GetEnvironmentVariable(name), "");
    ASSERT_TRUE(SetEnvironmentVariable(name, std::nullopt));
    EXPECT_EQ(GetEnvironmentVariable(name), std::nullopt);

    EXPECT_FALSE(SetEnvironmentVariable("", "x"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetEnvironmentVariable("A=B", "x"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetEnvironmentVariable("A=B"), std::nullopt);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(EnvironmentFolderTest, CommonAppDataAndTemporaryFolders) {
    EXPECT_EQ(GetCommonAppDataFolder(), "C:\\var\\lib");
    {
        ScopedCommonAppDataFolder folder("/tmp/wexo-test/appdata/");
        EXPECT_EQ(GetCommonAppDataFolder(), "C:\\tmp\\wexo-test\\appdata");
        EXPECT_EQ(LinuxPathFromWindows(GetCommonAppDataFolder()), "/tmp/wexo-test/appdata");
    }
    EXPECT_EQ(GetCommonAppDataFolder(), "C:\\var\\lib");

    auto saved = GetEnvironmentVariable("TMPDIR");
    ASSERT_TRUE(SetEnvironmentVariable("TMPDIR", "/var/tmp/wexo"));
    EXPECT_EQ(GetTempPath(), "C:\\var\\tmp\\wexo\\");
    ASSERT_TRUE(SetEnvironmentVariable("TMPDIR", "relative"));
    EXPECT_EQ(GetTempPath(), "C:\\tmp\\");
    ASSERT_TRUE(SetEnvironmentVariable("TMPDIR", std::nullopt));
    EXPECT_EQ(GetTempPath(), "C:\\tmp\\");
    SetEnvironmentVariable("TMPDIR",
                           saved ? std::optional<std::string_view>(*saved) : std::nullopt);
}

}  // namespace
}  // namespace os
