#include "driver/protection/file_protection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "driver/platform/debug_log.h"
#include "os/core/debugger.h"
#include "os/core/process.h"
#include "os/fltmgr/filter_context.h"
#include "os/fltmgr/process_io.h"

namespace wexo::drv::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

constexpr char16_t kFolder[] = u"\\Device\\HarddiskVolume1\\Program Files\\Vendor\\Agent";

TEST(ClassifyNameTest, NamesRelateToTheFolderByComponentAndWithoutCase) {
    const std::u16string folder = kFolder;
    auto classify = [&](std::u16string_view name) { return ClassifyName(name, folder); };
    EXPECT_EQ(classify(u"\\Device\\HarddiskVolume1\\Program Files\\Vendor\\Agent\\a.dll"),
              NAME_CLASS::Inside);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Vendor\\Agent\\bin\\WexoSvc"),
              NAME_CLASS::Inside);  // no extension
    EXPECT_EQ(classify(u"\\??\\c:\\PROGRAM FILES\\vendor\\AGENT\\A.DLL"), NAME_CLASS::Inside);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Vendor\\Agent\\a.dll."), NAME_CLASS::Inside);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Vendor\\Agent\\sub.log\\a.dll"),
              NAME_CLASS::Inside);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Vendor\\Agent\\trace.LOG"),
              NAME_CLASS::Unprotected);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Vendor\\Agent"), NAME_CLASS::FolderOrAbove);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Vendor\\Agent\\"), NAME_CLASS::FolderOrAbove);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Vendor"), NAME_CLASS::FolderOrAbove);
    EXPECT_EQ(classify(u"\\??\\C:\\program files"), NAME_CLASS::FolderOrAbove);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Vendor\\Agent2\\a.dll"), NAME_CLASS::Unprotected);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Vend"), NAME_CLASS::Unprotected);
    EXPECT_EQ(classify(u"\\??\\C:\\Program Files\\Other"), NAME_CLASS::Unprotected);
    EXPECT_EQ(classify(u"\\Device\\HarddiskVolume2\\Program Files\\Vendor\\Agent\\a.dll"),
              NAME_CLASS::Unprotected);
    // The volume's root, its metadata and the mount-point manager are never looked at.
    EXPECT_EQ(classify(u"\\Device\\HarddiskVolume1\\"), NAME_CLASS::Unprotected);
    EXPECT_EQ(classify(u"\\GLOBALROOT\\Device\\HarddiskVolume1\\"), NAME_CLASS::Unprotected);
    EXPECT_EQ(classify(u"\\Device\\HarddiskVolume1\\$Extend"), NAME_CLASS::Unprotected);
    EXPECT_EQ(classify(u"\\??\\MountPointManager"), NAME_CLASS::Unprotected);
    // Before the service named a folder, nothing is protected.
    EXPECT_EQ(ClassifyName(u"\\??\\C:\\Program Files\\Vendor\\Agent\\a.dll", u""),
              NAME_CLASS::Unprotected);
}

// The filter on a system volume of its own (C: on a test folder), with the program folder
// "C:\Program Files\Vendor\Agent" holding a.dll and bin\, and "C:\Program Files\Other".
class FileProtectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() / (std::string("wexo_protect_") + info->name());
        fs::remove_all(root_);
        agent_ = root_ / "Program Files" / "Vendor" / "Agent";
        fs::create_directories(agent_ / "bin");
        fs::create_directories(root_ / "Program Files" / "Other");
        fs::create_directories(root_ / "tmp");
        Write(agent_ / "a.dll", "code");
        Write(agent_ / "trace.log", "log");
        Write(root_ / "tmp" / "evil.dll", "evil");
        ASSERT_EQ(os::MountVolume(os::kSystemVolumeDeviceName, os::kSystemVolumeDriveLetter,
                                  root_.string()),
                  os::STATUS_SUCCESS);
        ResetDebugLogForTest();
        ASSERT_EQ(os::FltRegisterFilter(protection_.Registration(u"WexoWfp"), &filter_),
                  os::STATUS_SUCCESS);
        protection_.SetFilter(filter_);
        DebugLogInitialise(kInitialDebugFlags,
                           std::make_shared<FILTER_LOG_FILE_OPERATIONS>(filter_));
        ASSERT_EQ(os::FltStartFiltering(filter_), os::STATUS_SUCCESS);
        service_ = os::CreateProcess({}, 0, "C:\\Program Files\\Vendor\\Agent\\bin\\WexoSvc");
        other_ = os::CreateProcess({}, 1, "C:\\tmp\\attacker");
        contextsBefore_ = os::FltLiveContextCount();
    }

    void TearDown() override {
        EXPECT_EQ(os::FltOpenHandleCount(), 0u);
        EXPECT_EQ(os::FltLiveContextCount(), contextsBefore_);
        os::FltUnregisterFilter(filter_);
        ResetDebugLogForTest();
        os::TerminateProcess(service_->Id());
        os::TerminateProcess(other_->Id());
        fs::remove_all(root_);
    }

    static void Write(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    // The service registers: its process is exempt and its folder protected.
    void Register() {
        state_.SetServiceProcessId(service_->Id());
        const std::u16string folder = u"\\??\\C:\\Program Files\\Vendor\\Agent";
        state_.SetProtectedFolder(&folder);
    }

    // An open as `process` (another process by default); the handle is closed again.
    os::NTSTATUS Open(std::u16string_view name, uint32_t access,
                      uint32_t disposition = os::FILE_OPEN, uint32_t options = 0,
                      os::HANDLE* kept = nullptr, const os::PROCESS* process = nullptr) {
        os::ScopedProcessContext as((process != nullptr ? process : other_.get())->Id());
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
                EXPECT_EQ(os::NtClose(handle), os::STATUS_SUCCESS);
            }
        }
        return status;
    }

    os::NTSTATUS SetInformation(os::HANDLE handle, const void* information, uint32_t length,
                                os::FILE_INFORMATION_CLASS informationClass,
                                const os::PROCESS* process = nullptr) {
        os::ScopedProcessContext as((process != nullptr ? process : other_.get())->Id());
        os::IO_STATUS_BLOCK io;
        return os::NtSetInformationFile(handle, &io, information, length, informationClass);
    }

    os::NTSTATUS Rename(os::HANDLE handle, std::u16string target, bool replace = false,
                        bool link = false, const os::PROCESS* process = nullptr) {
        os::FILE_RENAME_INFORMATION rename;
        rename.fileName = std::move(target);
        rename.replaceIfExists = replace;
        return SetInformation(handle, &rename, sizeof rename,
                              link ? os::FileLinkInformation : os::FileRenameInformation, process);
    }

    void Close(os::HANDLE handle) {
        os::ScopedProcessContext as(other_->Id());
        EXPECT_EQ(os::NtClose(handle), os::STATUS_SUCCESS);
    }

    std::vector<std::string> Printed() {
        std::lock_guard guard(lock_);
        return printed_;
    }

    os::ScopedVolumes volumes_;
    fs::path root_;
    fs::path agent_;
    PROTECTION_STATE state_;
    FILE_PROTECTION protection_{state_};
    std::shared_ptr<os::FLT_FILTER> filter_;
    std::shared_ptr<os::PROCESS> service_;
    std::shared_ptr<os::PROCESS> other_;
    size_t contextsBefore_ = 0;
    std::mutex lock_;
    std::vector<std::string> printed_;
    os::ScopedDebuggerListener listener_{[this](uint32_t, uint32_t, std::string_view text) {
        std::lock_guard guard(lock_);
        printed_.emplace_back(text);
    }};
};

constexpr char16_t kDll[] = u"\\??\\C:\\Program Files\\Vendor\\Agent\\a.dll";

TEST_F(FileProtectionTest, ProgramFilesCanBeReadButNotChangedByAnotherProcess) {
    Register();
    EXPECT_EQ(Open(kDll, os::FILE_READ_DATA | os::SYNCHRONIZE), os::STATUS_SUCCESS);
    EXPECT_EQ(Open(kDll, os::GENERIC_READ | os::FILE_READ_ATTRIBUTES), os::STATUS_SUCCESS);
    EXPECT_EQ(Open(kDll, os::FILE_WRITE_DATA), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(kDll, os::FILE_APPEND_DATA), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(kDll, os::GENERIC_WRITE), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(kDll, os::GENERIC_ALL), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(kDll, os::DELETE), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(kDll, os::FILE_READ_DATA, os::FILE_OVERWRITE_IF), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(kDll, os::FILE_READ_DATA, os::FILE_SUPERSEDE), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\??\\C:\\Program Files\\Vendor\\Agent\\new.dll", os::FILE_WRITE_DATA,
                   os::FILE_CREATE),
              os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\??\\C:\\Program Files\\Vendor\\Agent\\newdir", os::FILE_READ_DATA,
                   os::FILE_CREATE, os::FILE_DIRECTORY_FILE),
              os::STATUS_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(agent_ / "new.dll"));
    EXPECT_FALSE(fs::exists(agent_ / "newdir"));
    // Log files in the folder are anyone's.
    EXPECT_EQ(Open(u"\\??\\C:\\Program Files\\Vendor\\Agent\\trace.LOG", os::FILE_WRITE_DATA,
                   os::FILE_OPEN_IF),
              os::STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\Device\\HarddiskVolume1\\Program Files\\Vendor\\Agent\\trace.log",
                   os::FILE_WRITE_DATA),
              os::STATUS_SUCCESS);

    // The service changes its own files.
    EXPECT_EQ(Open(kDll, os::FILE_WRITE_DATA, os::FILE_OVERWRITE_IF, 0, nullptr, service_.get()),
              os::STATUS_SUCCESS);
    EXPECT_EQ(os::FltLiveFileNameCount(), 0u);
}

TEST_F(FileProtectionTest, SpellingsOfTheNameReachTheSameVerdict) {
    Register();
    fs::create_directory_symlink(root_ / "Program Files" / "Vendor", root_ / "tmp" / "vendor");
    fs::create_directory_symlink("../Program Files/Vendor/Agent", root_ / "tmp" / "agent");
    fs::create_symlink(agent_ / "a.dll", root_ / "tmp" / "a.dll");
    for (const char16_t* name :
         {u"\\??\\C:\\tmp\\vendor\\Agent\\a.dll", u"\\??\\C:\\tmp\\agent\\a.dll",
          u"\\??\\C:\\tmp\\a.dll", u"\\DosDevices\\C:\\Program Files\\Vendor\\Agent\\a.dll",
          u"\\GLOBAL??\\C:\\Program Files\\Vendor\\Agent\\a.dll",
          u"\\??\\C:\\PROGRAM FILES\\VENDOR\\AGENT\\A.DLL",
          u"\\??\\C:\\Program Files\\Vendor\\Agent\\a.dll.",
          u"\\??\\C:\\Program Files\\Vendor\\Agent\\..\\Agent\\a.dll",
          u"\\??\\C:\\Program Files\\Vendor\\Agent\\.\\a.dll",
          u"\\??\\C:\\Program Files\\\\Vendor\\Agent\\a.dll"}) {
        const os::NTSTATUS status = Open(name, os::FILE_WRITE_DATA, os::FILE_OPEN_IF);
        EXPECT_FALSE(os::NT_SUCCESS(status)) << fs::path(std::u16string(name)).string();
    }
    EXPECT_EQ(ReadWhole(agent_ / "a.dll"), "code");
    EXPECT_FALSE(fs::exists(agent_ / "A.DLL"));
    EXPECT_FALSE(fs::exists(agent_ / "a.dll."));
    // Reading through the same links works.
    EXPECT_EQ(Open(u"\\??\\C:\\tmp\\agent\\a.dll", os::FILE_READ_DATA), os::STATUS_SUCCESS);
}

TEST_F(FileProtectionTest, TheFolderAndTheFoldersAboveItCannotBeRenamedOrDeleted) {
    Register();
    for (const char16_t* name : {u"\\??\\C:\\Program Files\\Vendor\\Agent",
                                 u"\\??\\C:\\Program Files\\Vendor", u"\\??\\C:\\Program Files"}) {
        os::HANDLE handle = 0;
        ASSERT_EQ(Open(name, os::DELETE | os::FILE_WRITE_ATTRIBUTES, os::FILE_OPEN,
                       os::FILE_DIRECTORY_FILE, &handle),
                  os::STATUS_SUCCESS);
        EXPECT_EQ(Rename(handle, u"\\??\\C:\\tmp\\moved"), os::STATUS_ACCESS_DENIED);
        EXPECT_EQ(Rename(handle, u"renamed"), os::STATUS_ACCESS_DENIED);
        os::FILE_DISPOSITION_INFORMATION remove{true};
        EXPECT_EQ(SetInformation(handle, &remove, sizeof remove, os::FileDispositionInformation),
                  os::STATUS_ACCESS_DENIED);
        os::FILE_BASIC_INFORMATION basic;
        basic.fileAttributes = 0x1;
        EXPECT_EQ(SetInformation(handle, &basic, sizeof basic, os::FileBasicInformation),
                  os::STATUS_ACCESS_DENIED);
        Close(handle);
    }
    EXPECT_TRUE(fs::exists(agent_ / "a.dll"));
    os::HANDLE other = 0;
    ASSERT_EQ(Open(u"\\??\\C:\\Program Files\\Other", os::DELETE, os::FILE_OPEN,
                   os::FILE_DIRECTORY_FILE, &other),
              os::STATUS_SUCCESS);
    EXPECT_EQ(Rename(other, u"Else"), os::STATUS_SUCCESS);
    Close(other);
    EXPECT_TRUE(fs::exists(root_ / "Program Files" / "Else"));
}

TEST_F(FileProtectionTest, RenamesAndLinksCannotPutAFileIntoTheFolderNorGiveAProgramFileANewName) {
    Register();
    // Renaming the writable log file over a program file, by a bare name or a full one.
    os::HANDLE log = 0;
    ASSERT_EQ(Open(u"\\??\\C:\\Program Files\\Vendor\\Agent\\trace.log",
                   os::FILE_WRITE_DATA | os::DELETE, os::FILE_OPEN, 0, &log),
              os::STATUS_SUCCESS);
    EXPECT_EQ(Rename(log, u"a.dll", true), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Rename(log, kDll, true), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Rename(log, u"other.log", false), os::STATUS_SUCCESS);
    Close(log);
    // A file from outside moved or linked in.
    os::HANDLE evil = 0;
    ASSERT_EQ(
        Open(u"\\??\\C:\\tmp\\evil.dll", os::DELETE | os::FILE_READ_DATA, os::FILE_OPEN, 0, &evil),
        os::STATUS_SUCCESS);
    EXPECT_EQ(Rename(evil, kDll, true), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Rename(evil, u"\\??\\C:\\Program Files\\Vendor\\Agent\\bin\\new.dll"),
              os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Rename(evil, u"\\??\\C:\\Program Files\\Vendor\\Agent\\new.dll", false, true),
              os::STATUS_ACCESS_DENIED);
    Close(evil);
    // A program file linked out, where its new name would be anyone's to write.
    os::HANDLE dll = 0;
    ASSERT_EQ(Open(kDll, os::FILE_READ_DATA, os::FILE_OPEN, 0, &dll), os::STATUS_SUCCESS);
    EXPECT_EQ(Rename(dll, u"\\??\\C:\\tmp\\copy.dll", false, true), os::STATUS_ACCESS_DENIED);
    os::FILE_END_OF_FILE_INFORMATION end{0};
    EXPECT_EQ(SetInformation(dll, &end, sizeof end, os::FileEndOfFileInformation),
              os::STATUS_ACCESS_DENIED);  // the I/O manager: no write access
    Close(dll);
    EXPECT_FALSE(fs::exists(root_ / "tmp" / "copy.dll"));
    EXPECT_EQ(ReadWhole(agent_ / "a.dll"), "code");
    EXPECT_EQ(ReadWhole(root_ / "tmp" / "evil.dll"), "evil");

    // A hard link made before protection was on is judged as the program file it reaches.
    fs::create_hard_link(agent_ / "a.dll", root_ / "tmp" / "old-link.dll");
    EXPECT_EQ(Open(u"\\??\\C:\\tmp\\old-link.dll", os::FILE_WRITE_DATA), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\??\\C:\\tmp\\old-link.dll", os::FILE_READ_DATA, os::FILE_OVERWRITE),
              os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\??\\C:\\tmp\\old-link.dll", os::FILE_READ_DATA), os::STATUS_SUCCESS);
    EXPECT_EQ(ReadWhole(agent_ / "a.dll"), "code");
    // A file outside with links of its own outside only is anyone's.
    fs::create_hard_link(root_ / "tmp" / "evil.dll", root_ / "tmp" / "evil2.dll");
    EXPECT_EQ(Open(u"\\??\\C:\\tmp\\evil2.dll", os::FILE_WRITE_DATA), os::STATUS_SUCCESS);

    // The service may do all of it.
    ASSERT_EQ(Open(u"\\??\\C:\\tmp\\evil.dll", os::DELETE, os::FILE_OPEN, 0, &evil, service_.get()),
              os::STATUS_SUCCESS);
    EXPECT_EQ(Rename(evil, u"\\??\\C:\\Program Files\\Vendor\\Agent\\new.dll", false, false,
                     service_.get()),
              os::STATUS_SUCCESS);
    Close(evil);
    EXPECT_TRUE(fs::exists(agent_ / "new.dll"));
}

TEST_F(FileProtectionTest, SuspendedProtectionLetsOpensThroughButEarlierHandlesStayRefused) {
    Register();
    os::HANDLE early = 0;
    ASSERT_EQ(Open(kDll, os::FILE_WRITE_ATTRIBUTES, os::FILE_OPEN, 0, &early), os::STATUS_SUCCESS);
    state_.SetFileProtection(false);
    EXPECT_EQ(Open(kDll, os::FILE_WRITE_DATA), os::STATUS_SUCCESS);
    os::HANDLE late = 0;
    ASSERT_EQ(Open(kDll, os::DELETE | os::FILE_WRITE_ATTRIBUTES, os::FILE_OPEN, 0, &late),
              os::STATUS_SUCCESS);
    os::FILE_BASIC_INFORMATION basic;
    basic.lastWriteTime = 116444736000000000LL;
    EXPECT_EQ(SetInformation(early, &basic, sizeof basic, os::FileBasicInformation),
              os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetInformation(late, &basic, sizeof basic, os::FileBasicInformation),
              os::STATUS_SUCCESS);
    Close(early);
    Close(late);
    state_.SetFileProtection(true);
    EXPECT_EQ(Open(kDll, os::FILE_WRITE_DATA), os::STATUS_ACCESS_DENIED);
}

TEST_F(FileProtectionTest, NothingIsProtectedBeforeTheServiceRegistersAndSystemOpensPass) {
    EXPECT_EQ(Open(kDll, os::FILE_WRITE_DATA), os::STATUS_SUCCESS);
    Register();
    // The volume itself and a paging file are never looked at.
    EXPECT_EQ(Open(u"\\Device\\HarddiskVolume1", os::FILE_READ_DATA, os::FILE_OPEN,
                   os::FILE_DIRECTORY_FILE),
              os::STATUS_SUCCESS);
    {
        os::ScopedProcessContext as(other_->Id());
        os::HANDLE handle = 0;
        os::IO_STATUS_BLOCK io;
        ASSERT_EQ(os::NtCreateFile(&handle, os::FILE_WRITE_DATA, kDll, &io, 0, 0, os::FILE_OPEN, 0,
                                   os::SL_OPEN_PAGING_FILE),
                  os::STATUS_SUCCESS);
        EXPECT_EQ(os::NtClose(handle), os::STATUS_SUCCESS);
    }
    // A name that cannot be queried fails open.
    {
        os::ScopedFltFailure noNames(os::FLT_FAILURE::GetFileName,
                                     os::STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(Open(kDll, os::FILE_WRITE_DATA), os::STATUS_SUCCESS);
    }
    EXPECT_EQ(Open(kDll, os::FILE_WRITE_DATA), os::STATUS_ACCESS_DENIED);
}

TEST_F(FileProtectionTest, DenialsAreLoggedOnlyWhenTheFlagsAskForThem) {
    Register();
    EXPECT_EQ(Open(kDll, os::FILE_WRITE_DATA), os::STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Printed().empty());

    DebugLogInitialise(kDebugFlagAllDenials, nullptr);
    EXPECT_EQ(Open(kDll, os::FILE_READ_DATA, os::FILE_OVERWRITE_IF), os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(kDll, os::FILE_WRITE_DATA), os::STATUS_ACCESS_DENIED);
    os::HANDLE log = 0;
    ASSERT_EQ(Open(u"\\??\\C:\\Program Files\\Vendor\\Agent\\trace.log", os::DELETE, os::FILE_OPEN,
                   0, &log),
              os::STATUS_SUCCESS);
    EXPECT_EQ(Rename(log, u"\\??\\C:\\Program Files\\Vendor\\Agent\\b.dll"),
              os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Rename(log, u"c.dll"), os::STATUS_ACCESS_DENIED);
    Close(log);
    os::HANDLE folder = 0;
    ASSERT_EQ(Open(u"\\??\\C:\\Program Files\\Vendor", os::DELETE, os::FILE_OPEN,
                   os::FILE_DIRECTORY_FILE, &folder),
              os::STATUS_SUCCESS);
    EXPECT_EQ(Rename(folder, u"Moved"), os::STATUS_ACCESS_DENIED);
    Close(folder);

    const std::vector<std::string> printed = Printed();
    const std::string device = "\\Device\\HarddiskVolume1\\Program Files\\Vendor";
    ASSERT_EQ(printed.size(), 5u);
    EXPECT_EQ(printed[0], "WexoW: PreCreate: ACCESS DENIED, Disposition=5l,\n    FileName=\"" +
                              device + "\\Agent\\a.dll\"\n\n");
    EXPECT_EQ(printed[1], "WexoW: PreCreate: ACCESS DENIED, Desired access=0x2,\n    FileName=\"" +
                              device + "\\Agent\\a.dll\"\n\n");
    // The rename's target folder is opened for writing, as Windows opens it.
    EXPECT_EQ(printed[2],
              "WexoW: PreCreate: ACCESS DENIED, Desired access=0x100002,\n    FileName=\"" +
                  device + "\\Agent\\b.dll\"\n\n");
    EXPECT_EQ(printed[3],
              "WexoW: PreSetInformation: Rename or delete operation denied,\n    "
              "FileName=\"" +
                  device + "\\Agent\\c.dll\"\n\n");
    EXPECT_EQ(printed[4],
              "WexoW: PreSetInformation: Rename or delete operation denied,\n    "
              "FileName=\"" +
                  device + "\"\n\n");

    // A target-folder open without write access is refused on its own ground.
    os::FLT_CALLBACK_DATA data;
    data.requestorProcessId = other_->Id();
    data.iopb.majorFunction = os::IRP_MJ_CREATE;
    data.iopb.operationFlags = os::SL_OPEN_TARGET_DIRECTORY;
    data.iopb.parameters.create.desiredAccess = os::FILE_READ_DATA;
    data.iopb.parameters.create.options = os::FILE_OPEN << 24;
    data.openedName = u"\\Device\\HarddiskVolume1\\Program Files\\Vendor\\Agent\\d.dll";
    void* completion = nullptr;
    EXPECT_EQ(protection_.PreCreate(data, os::FLT_RELATED_OBJECTS{}, &completion),
              os::FLT_PREOP_COMPLETE);
    EXPECT_EQ(data.ioStatus.status, os::STATUS_ACCESS_DENIED);
    EXPECT_EQ(Printed().back(),
              "WexoW: PreCreate: ACCESS DENIED, SL_OPEN_TARGET_DIRECTORY "
              "operation,\n    FileName=\"" +
                  device + "\\Agent\\d.dll\"\n\n");
}

TEST_F(FileProtectionTest, InstancesSkipRawVolumesAndShadowCopiesAndRecordTheFileSystem) {
    const fs::path raw = root_ / "tmp" / "raw";
    const fs::path shadow = root_ / "tmp" / "shadow";
    fs::create_directories(raw);
    fs::create_directories(shadow);
    ASSERT_EQ(os::MountVolume(u"\\Device\\HarddiskVolume5", u"", raw.string(), os::FLT_FSTYPE_RAW),
              os::STATUS_SUCCESS);
    ASSERT_EQ(os::MountVolume(u"\\Device\\HarddiskVolumeShadowCopy12", u"", shadow.string()),
              os::STATUS_SUCCESS);
    std::shared_ptr<os::FLT_INSTANCE> instance;
    EXPECT_EQ(os::FindInstanceForPath(filter_, u"\\Device\\HarddiskVolume5\\x", &instance),
              os::STATUS_FLT_INSTANCE_NOT_FOUND);
    EXPECT_EQ(
        os::FindInstanceForPath(filter_, u"\\Device\\HarddiskVolumeShadowCopy12\\x", &instance),
        os::STATUS_FLT_INSTANCE_NOT_FOUND);
    ASSERT_EQ(os::FindInstanceForPath(filter_, kDll, &instance), os::STATUS_SUCCESS);
    void* context = nullptr;
    ASSERT_EQ(os::FltGetInstanceContext(instance, &context), os::STATUS_SUCCESS);
    EXPECT_EQ(*static_cast<uint32_t*>(context), os::FLT_FSTYPE_NTFS);
    os::FltReleaseContext(context);
    instance.reset();
    os::DismountVolume(u"\\Device\\HarddiskVolume5");
    os::DismountVolume(u"\\Device\\HarddiskVolumeShadowCopy12");
}

// The fast-I/O close is sent back as a request, so the context always goes with the handle.
TEST_F(FileProtectionTest, AFastIoCloseIsTurnedBack) {
    os::FLT_CALLBACK_DATA data;
    data.flags = os::FLTFL_CALLBACK_DATA_FAST_IO_OPERATION;
    data.iopb.majorFunction = os::IRP_MJ_CLOSE;
    void* completion = nullptr;
    EXPECT_EQ(protection_.PreClose(data, os::FLT_RELATED_OBJECTS{}, &completion),
              os::FLT_PREOP_DISALLOW_FASTIO);
}

}  // namespace
}  // namespace wexo::drv::testing
