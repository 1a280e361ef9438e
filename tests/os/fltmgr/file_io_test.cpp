#include "os/fltmgr/file_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/os/fltmgr/volume_fixture.h"

namespace os::test {
namespace {

class FltFileTest : public VolumeTest {
  protected:
    struct OPENED {
        NTSTATUS status;
        uint64_t information = 0;
        HANDLE handle = 0;
        std::shared_ptr<FLT_FILE_OBJECT> file;
    };

    OPENED Open(std::u16string_view name, uint32_t access, uint32_t disposition,
                uint32_t share = FILE_SHARE_READ | FILE_SHARE_WRITE,
                uint32_t options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                const std::shared_ptr<FLT_INSTANCE>* instance = nullptr) {
        OPENED opened;
        IO_STATUS_BLOCK io;
        opened.status =
            FltCreateFileEx(filter_, instance != nullptr ? *instance : instance_, &opened.handle,
                            &opened.file, access, name, &io, 0x80, share, disposition, options);
        opened.information = io.information;
        return opened;
    }

    NTSTATUS Write(const OPENED& opened, const std::string& text, const int64_t* offset = nullptr) {
        uint32_t written = 0;
        NTSTATUS status =
            FltWriteFile(instance_, *opened.file, offset, static_cast<uint32_t>(text.size()),
                         text.data(), 0, &written);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(written, text.size());
        }
        return status;
    }

    void Close(OPENED& opened) {
        EXPECT_EQ(FltClose(opened.handle), STATUS_SUCCESS);
        opened.file.reset();
    }

    void TearDown() override {
        EXPECT_EQ(FltOpenHandleCount(), 0u);
        VolumeTest::TearDown();
    }
};

TEST_F(FltFileTest, DispositionsCreateOpenOrReplaceAndSayWhichTheyDid) {
    const uint32_t rw = FILE_READ_DATA | FILE_WRITE_DATA;
    const char16_t* name = u"\\??\\T:\\a.txt";
    EXPECT_EQ(Open(name, rw, FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(name, rw, FILE_OVERWRITE).status, STATUS_OBJECT_NAME_NOT_FOUND);

    OPENED created = Open(name, rw, FILE_CREATE);
    ASSERT_EQ(created.status, STATUS_SUCCESS);
    EXPECT_EQ(created.information, FILE_CREATED);
    EXPECT_EQ(Write(created, "first"), STATUS_SUCCESS);
    Close(created);
    EXPECT_EQ(Open(name, rw, FILE_CREATE).status, STATUS_OBJECT_NAME_COLLISION);

    OPENED opened = Open(name, rw, FILE_OPEN_IF);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_EQ(opened.information, FILE_OPENED);
    Close(opened);
    EXPECT_EQ(ReadWhole(dir_ / "a.txt"), "first");

    OPENED overwritten = Open(name, rw, FILE_OVERWRITE_IF);
    ASSERT_EQ(overwritten.status, STATUS_SUCCESS);
    EXPECT_EQ(overwritten.information, FILE_OVERWRITTEN);
    EXPECT_EQ(ReadWhole(dir_ / "a.txt"), "");
    Close(overwritten);

    WriteWhole(dir_ / "a.txt", "again");
    OPENED superseded = Open(name, rw, FILE_SUPERSEDE);
    ASSERT_EQ(superseded.status, STATUS_SUCCESS);
    EXPECT_EQ(superseded.information, FILE_SUPERSEDED);
    EXPECT_EQ(ReadWhole(dir_ / "a.txt"), "");
    Close(superseded);

    for (uint32_t disposition : {FILE_OPEN_IF, FILE_OVERWRITE_IF, FILE_SUPERSEDE}) {
        std::filesystem::remove(dir_ / "a.txt");
        OPENED fresh = Open(name, rw, disposition);
        ASSERT_EQ(fresh.status, STATUS_SUCCESS);
        EXPECT_EQ(fresh.information, FILE_CREATED);
        Close(fresh);
    }
    EXPECT_EQ(Open(name, rw, 6).status, STATUS_INVALID_PARAMETER);
}

TEST_F(FltFileTest, AppendDataAlwaysWritesAtTheEnd) {
    WriteWhole(dir_ / "log.txt", "one\n");
    OPENED log =
        Open(u"\\Device\\HarddiskVolume7\\log.txt", SYNCHRONIZE | FILE_APPEND_DATA, FILE_OPEN_IF);
    ASSERT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(log.information, FILE_OPENED);
    const int64_t start = 0;
    EXPECT_EQ(Write(log, "two\n", &start), STATUS_SUCCESS);  // the offset does not matter
    EXPECT_EQ(Write(log, "three\n"), STATUS_SUCCESS);
    EXPECT_EQ(ReadWhole(dir_ / "log.txt"), "one\ntwo\nthree\n");
    Close(log);
}

TEST_F(FltFileTest, WriteDataWritesWhereTheOffsetSays) {
    OPENED file = Open(u"\\??\\T:\\data.bin", FILE_WRITE_DATA, FILE_CREATE);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    EXPECT_EQ(Write(file, "abcdef"), STATUS_SUCCESS);
    const int64_t two = 2;
    EXPECT_EQ(Write(file, "XY", &two), STATUS_SUCCESS);
    EXPECT_EQ(Write(file, "z"), STATUS_SUCCESS);  // on from the current position
    const int64_t end = FILE_WRITE_TO_END_OF_FILE;
    EXPECT_EQ(Write(file, "!", &end), STATUS_SUCCESS);
    const int64_t bad = -3;
    EXPECT_EQ(Write(file, "?", &bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadWhole(dir_ / "data.bin"), "abXYzf!");
    Close(file);
}

TEST_F(FltFileTest, WritesFailWithoutWriteAccessAfterCloseAndByTheSwitch) {
    WriteWhole(dir_ / "r.txt", "keep");
    OPENED reader = Open(u"\\??\\T:\\r.txt", FILE_READ_DATA, FILE_OPEN);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    EXPECT_EQ(Write(reader, "x"), STATUS_ACCESS_DENIED);
    Close(reader);

    OPENED writer = Open(u"\\??\\T:\\r.txt", FILE_APPEND_DATA, FILE_OPEN);
    ASSERT_EQ(writer.status, STATUS_SUCCESS);
    {
        ScopedFltFailure failure(FLT_FAILURE::WriteFile, STATUS_DISK_FULL);
        EXPECT_EQ(Write(writer, "x"), STATUS_DISK_FULL);
    }
    auto file = writer.file;
    Close(writer);
    EXPECT_TRUE(file->Closed());
    uint32_t written = 7;
    EXPECT_EQ(FltWriteFile(instance_, *file, nullptr, 1, "x", 0, &written), STATUS_FILE_CLOSED);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(FltClose(writer.handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ReadWhole(dir_ / "r.txt"), "keep");
}

TEST_F(FltFileTest, NamesThatWouldLeaveTheVolumeFolderAreRefused) {
    std::filesystem::create_directories(dir_ / "sub");
    WriteWhole(dir_.parent_path() / "wexo_fltmgr_outside.txt", "secret");
    for (const char16_t* name :
         {u"\\??\\T:\\..\\wexo_fltmgr_outside.txt", u"\\??\\T:\\sub\\..\\..\\x",
          u"\\??\\T:\\sub\\.\\x", u"\\??\\T:\\sub\\\\x", u"\\??\\T:\\sub\\", u"\\??\\T:\\a/b",
          u"\\??\\T:\\a:stream", u"\\??\\T:\\a?", u"\\??\\T:\\a\x01"}) {
        EXPECT_EQ(Open(name, FILE_WRITE_DATA, FILE_OPEN_IF).status, STATUS_OBJECT_NAME_INVALID)
            << std::filesystem::path(std::u16string(name)).string();
    }
    // A link that leads out of the folder is not followed; one that stays inside is.
    std::filesystem::create_symlink(dir_.parent_path(), dir_ / "up");
    std::filesystem::create_symlink("sub", dir_ / "inside");
    EXPECT_EQ(Open(u"\\??\\T:\\up\\wexo_fltmgr_outside.txt", FILE_READ_DATA, FILE_OPEN).status,
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\??\\T:\\up\\new.txt", FILE_WRITE_DATA, FILE_CREATE).status,
              STATUS_ACCESS_DENIED);
    OPENED inside = Open(u"\\??\\T:\\inside\\x.txt", FILE_WRITE_DATA, FILE_CREATE);
    ASSERT_EQ(inside.status, STATUS_SUCCESS);
    Close(inside);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "sub" / "x.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir_.parent_path() / "new.txt"));
    std::filesystem::remove(dir_.parent_path() / "wexo_fltmgr_outside.txt");
}

TEST_F(FltFileTest, MissingFoldersUnknownVolumesAndWrongInstances) {
    EXPECT_EQ(Open(u"\\??\\T:\\no\\such\\file.txt", FILE_WRITE_DATA, FILE_OPEN_IF).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    WriteWhole(dir_ / "plain", "");
    EXPECT_EQ(Open(u"\\??\\T:\\plain\\file.txt", FILE_WRITE_DATA, FILE_OPEN_IF).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\Q:\\file.txt", FILE_WRITE_DATA, FILE_OPEN_IF).status,
              STATUS_OBJECT_PATH_NOT_FOUND);

    auto other = MakeTestFolder("fltmgr_other");
    ASSERT_EQ(MountVolume(u"\\Device\\HarddiskVolume9", u"U:", other.string()), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\??\\U:\\file.txt", FILE_WRITE_DATA, FILE_OPEN_IF).status,
              STATUS_INVALID_DEVICE_OBJECT_PARAMETER);
    std::shared_ptr<FLT_INSTANCE> none;
    OPENED top = Open(u"\\??\\U:\\file.txt", FILE_WRITE_DATA, FILE_OPEN_IF, FILE_SHARE_READ,
                      FILE_NON_DIRECTORY_FILE, &none);
    ASSERT_EQ(top.status, STATUS_SUCCESS);  // no instance: the name's own volume
    Close(top);
    ASSERT_EQ(DismountVolume(u"\\Device\\HarddiskVolume7"), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\??\\T:\\file.txt", FILE_WRITE_DATA, FILE_OPEN_IF).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    std::filesystem::remove_all(other);
}

TEST_F(FltFileTest, AnInstanceThatIsGoneRefusesIo) {
    OPENED file = Open(u"\\??\\T:\\f.txt", FILE_APPEND_DATA, FILE_CREATE);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    FltUnregisterFilter(filter_);
    EXPECT_EQ(Write(file, "x"), STATUS_FLT_DELETING_OBJECT);
    std::shared_ptr<FLT_FILE_OBJECT> again;
    HANDLE handle = 0;
    IO_STATUS_BLOCK io;
    EXPECT_EQ(FltCreateFileEx(filter_, instance_, &handle, &again, FILE_APPEND_DATA,
                              u"\\??\\T:\\f.txt", &io, 0, 0, FILE_OPEN, 0),
              STATUS_INVALID_PARAMETER);  // the filter is no longer registered
    Close(file);
}

TEST_F(FltFileTest, SharingIsCheckedBetweenOpens) {
    OPENED first = Open(u"\\??\\T:\\s.txt", FILE_WRITE_DATA, FILE_CREATE, FILE_SHARE_READ);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    // Another writer is refused; a reader that shares writing is let in.
    EXPECT_EQ(
        Open(u"\\??\\T:\\s.txt", FILE_APPEND_DATA, FILE_OPEN, FILE_SHARE_READ | FILE_SHARE_WRITE)
            .status,
        STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Open(u"\\??\\T:\\s.txt", FILE_READ_DATA, FILE_OPEN, FILE_SHARE_READ).status,
              STATUS_SHARING_VIOLATION);
    OPENED reader =
        Open(u"\\??\\T:\\s.txt", FILE_READ_DATA, FILE_OPEN, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    Close(reader);
    Close(first);
    OPENED later = Open(u"\\??\\T:\\s.txt", FILE_APPEND_DATA, FILE_OPEN, 0);
    ASSERT_EQ(later.status, STATUS_SUCCESS);
    Close(later);
}

TEST_F(FltFileTest, DirectoriesAndFilesAreToldApart) {
    std::filesystem::create_directories(dir_ / "d");
    WriteWhole(dir_ / "f", "");
    EXPECT_EQ(Open(u"\\??\\T:\\d", FILE_APPEND_DATA, FILE_OPEN_IF).status,
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\??\\T:\\f", FILE_READ_DATA, FILE_OPEN, FILE_SHARE_READ, FILE_DIRECTORY_FILE)
                  .status,
              STATUS_NOT_A_DIRECTORY);
    OPENED made =
        Open(u"\\??\\T:\\d\\new", SYNCHRONIZE, FILE_CREATE, FILE_SHARE_READ, FILE_DIRECTORY_FILE);
    ASSERT_EQ(made.status, STATUS_SUCCESS);
    EXPECT_EQ(made.information, FILE_CREATED);
    EXPECT_TRUE(made.file->IsDirectory());
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "d" / "new"));
    Close(made);
    EXPECT_EQ(Open(u"\\??\\T:\\d", FILE_READ_DATA, FILE_OVERWRITE_IF, FILE_SHARE_READ,
                   FILE_DIRECTORY_FILE)
                  .status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Open(u"\\??\\T:\\d", FILE_READ_DATA, FILE_OPEN, FILE_SHARE_READ,
                   FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE)
                  .status,
              STATUS_INVALID_PARAMETER);
}

TEST_F(FltFileTest, CreateFailureSwitch) {
    ScopedFltFailure failure(FLT_FAILURE::CreateFile, STATUS_INSUFFICIENT_RESOURCES);
    OPENED opened = Open(u"\\??\\T:\\x.txt", FILE_APPEND_DATA, FILE_OPEN_IF);
    EXPECT_EQ(opened.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(opened.handle, 0u);
    EXPECT_EQ(opened.file, nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "x.txt"));
}

}  // namespace
}  // namespace os::test
