#include "os/fltmgr/process_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "os/core/process.h"
#include "os/fltmgr/filter_context.h"
#include "os/kernel/object_namespace.h"
#include "tests/os/fltmgr/volume_fixture.h"

namespace os::test {
namespace {

constexpr uint32_t kContextTag = MakePoolTag("TCTX");

// A filter that records what it is asked and refuses the names and classes it is told to.
class RecordingFilter {
  public:
    struct SEEN {
        uint8_t major;
        uint8_t operationFlags;
        uint32_t requestor;
        std::u16string name;
        std::u16string destination;
        uint32_t disposition;
        uint32_t access;
    };

    FLT_REGISTRATION Registration() {
        FLT_REGISTRATION registration;
        registration.name = u"Recorder";
        FLT_CONTEXT_REGISTRATION handleContext;
        handleContext.contextType = FLT_STREAMHANDLE_CONTEXT;
        handleContext.size = sizeof(uint64_t);
        handleContext.poolTag = kContextTag;
        handleContext.cleanup = [this](void* context, uint16_t) {
            std::lock_guard guard(lock);
            cleanedUp.push_back(*static_cast<uint64_t*>(context));
        };
        FLT_CONTEXT_REGISTRATION instanceContext = handleContext;
        instanceContext.contextType = FLT_INSTANCE_CONTEXT;
        instanceContext.cleanup = nullptr;
        registration.contexts = {handleContext, instanceContext};
        for (uint8_t major : {IRP_MJ_CREATE, IRP_MJ_SET_INFORMATION, IRP_MJ_WRITE, IRP_MJ_CLOSE}) {
            FLT_OPERATION_REGISTRATION operation;
            operation.majorFunction = major;
            operation.preOperation = [this](FLT_CALLBACK_DATA& data, const FLT_RELATED_OBJECTS&,
                                            void** completion) { return Pre(data, completion); };
            operation.postOperation = [this](FLT_CALLBACK_DATA& data,
                                             const FLT_RELATED_OBJECTS& objects, void* completion,
                                             uint32_t) { return Post(data, objects, completion); };
            registration.operations.push_back(operation);
        }
        return registration;
    }

    FLT_PREOP_CALLBACK_STATUS Pre(FLT_CALLBACK_DATA& data, void** completion) {
        std::lock_guard guard(lock);
        SEEN seen{data.iopb.majorFunction,
                  data.iopb.operationFlags,
                  data.requestorProcessId,
                  data.openedName,
                  data.iopb.parameters.setFileInformation.destinationName,
                  data.iopb.parameters.create.options >> 24,
                  data.iopb.parameters.create.desiredAccess};
        pre.push_back(seen);
        const bool refuse =
            (data.iopb.majorFunction == IRP_MJ_CREATE && data.openedName == refusedName) ||
            (data.iopb.majorFunction == IRP_MJ_SET_INFORMATION &&
             data.iopb.parameters.setFileInformation.fileInformationClass == refusedClass);
        if (refuse) {
            data.ioStatus.status = STATUS_ACCESS_DENIED;
            return FLT_PREOP_COMPLETE;
        }
        *completion = reinterpret_cast<void*>(static_cast<uintptr_t>(pre.size()));
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    }

    FLT_POSTOP_CALLBACK_STATUS Post(FLT_CALLBACK_DATA& data, const FLT_RELATED_OBJECTS& objects,
                                    void* completion) {
        {
            std::lock_guard guard(lock);
            postStatuses.push_back(data.ioStatus.status);
            EXPECT_NE(completion, nullptr);
        }
        if (data.iopb.majorFunction == IRP_MJ_CREATE && NT_SUCCESS(data.ioStatus.status) &&
            data.ioStatus.status != STATUS_REPARSE && attachContexts) {
            void* context = nullptr;
            EXPECT_EQ(FltAllocateContext(filter, FLT_STREAMHANDLE_CONTEXT, sizeof(uint64_t),
                                         PoolType::Paged, &context),
                      STATUS_SUCCESS);
            *static_cast<uint64_t*>(context) = ++contextsMade;
            EXPECT_EQ(FltSetStreamHandleContext(objects.instance, *data.iopb.targetFileObject,
                                                FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr),
                      STATUS_SUCCESS);
            FltReleaseContext(context);
        }
        if (cancelOpens && data.iopb.majorFunction == IRP_MJ_CREATE &&
            NT_SUCCESS(data.ioStatus.status) && data.ioStatus.status != STATUS_REPARSE) {
            data.ioStatus.status = STATUS_ACCESS_DENIED;
        }
        return FLT_POSTOP_FINISHED_PROCESSING;
    }

    std::vector<SEEN> Seen(uint8_t major) {
        std::lock_guard guard(lock);
        std::vector<SEEN> matching;
        for (const SEEN& seen : pre) {
            if (seen.major == major) {
                matching.push_back(seen);
            }
        }
        return matching;
    }

    std::mutex lock;
    std::shared_ptr<FLT_FILTER> filter;
    std::vector<SEEN> pre;
    std::vector<NTSTATUS> postStatuses;
    std::vector<uint64_t> cleanedUp;
    std::u16string refusedName;
    FILE_INFORMATION_CLASS refusedClass = static_cast<FILE_INFORMATION_CLASS>(0);
    bool attachContexts = false;
    bool cancelOpens = false;
    uint64_t contextsMade = 0;
};

class ProcessIoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = MakeTestFolder("process_io");
        ASSERT_EQ(MountVolume(kTestVolume, u"T:", dir_.string()), STATUS_SUCCESS);
        ASSERT_EQ(FltRegisterFilter(recorder_.Registration(), &recorder_.filter), STATUS_SUCCESS);
        ASSERT_EQ(FltStartFiltering(recorder_.filter), STATUS_SUCCESS);
    }
    void TearDown() override {
        EXPECT_EQ(FltOpenHandleCount(), 0u);
        FltUnregisterFilter(recorder_.filter);
        std::filesystem::remove_all(dir_);
        std::filesystem::remove_all(outside_);
    }

    NTSTATUS Create(std::u16string_view name, uint32_t access, uint32_t disposition, HANDLE* handle,
                    uint32_t options = FILE_NON_DIRECTORY_FILE) {
        IO_STATUS_BLOCK io;
        return NtCreateFile(handle, access, name, &io, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            disposition, options);
    }

    NTSTATUS Rename(HANDLE handle, std::u16string target, bool replace, bool link = false) {
        FILE_RENAME_INFORMATION rename;
        rename.fileName = std::move(target);
        rename.replaceIfExists = replace;
        IO_STATUS_BLOCK io;
        return NtSetInformationFile(handle, &io, &rename, sizeof rename,
                                    link ? FileLinkInformation : FileRenameInformation);
    }

    ScopedVolumes volumes_;
    std::filesystem::path dir_;
    std::filesystem::path outside_;
    RecordingFilter recorder_;
};

TEST_F(ProcessIoTest, ACreatePassesTheFiltersWithTheCallerAndItsDeviceFormName) {
    auto process = CreateProcess({}, 1, "C:\\p.exe");
    HANDLE handle = 0;
    {
        ScopedProcessContext as(process->Id());
        ASSERT_EQ(Create(u"\\??\\T:\\a.txt", FILE_WRITE_DATA, FILE_CREATE, &handle),
                  STATUS_SUCCESS);
    }
    auto seen = recorder_.Seen(IRP_MJ_CREATE);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].requestor, process->Id());
    EXPECT_EQ(seen[0].name, u"\\Device\\HarddiskVolume7\\a.txt");
    EXPECT_EQ(seen[0].disposition, FILE_CREATE);
    EXPECT_EQ(seen[0].access, FILE_WRITE_DATA);
    EXPECT_EQ(recorder_.postStatuses.back(), STATUS_SUCCESS);

    const std::string text = "written";
    IO_STATUS_BLOCK io;
    EXPECT_EQ(NtWriteFile(handle, &io, text.data(), static_cast<uint32_t>(text.size()), nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(io.information, text.size());
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ReadWhole(dir_ / "a.txt"), text);
    EXPECT_EQ(recorder_.Seen(IRP_MJ_WRITE).size(), 1u);
    EXPECT_EQ(recorder_.Seen(IRP_MJ_CLOSE).size(), 1u);
    TerminateProcess(process->Id());
}

TEST_F(ProcessIoTest, ARefusedCreateLeavesNothingAndACancelledOneClosesItsOpen) {
    recorder_.refusedName = u"\\Device\\HarddiskVolume7\\refused.txt";
    HANDLE handle = 0;
    EXPECT_EQ(Create(u"\\??\\T:\\refused.txt", FILE_WRITE_DATA, FILE_CREATE, &handle),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle, 0u);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "refused.txt"));

    WriteWhole(dir_ / "kept.txt", "old");
    recorder_.cancelOpens = true;
    EXPECT_EQ(Create(u"\\??\\T:\\kept.txt", FILE_READ_DATA, FILE_OPEN, &handle),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(FltOpenHandleCount(), 0u);
}

// A link is answered with a reparse: the filters see the link's name, then the target's, so a
// check by name cannot be walked round through a link; one that leads off the volume is refused.
TEST_F(ProcessIoTest, ANameThroughALinkIsIssuedAgainWithTheTargetsName) {
    std::filesystem::create_directories(dir_ / "program");
    WriteWhole(dir_ / "program" / "a.dll", "code");
    std::filesystem::create_directory_symlink(dir_ / "program", dir_ / "absolute");
    std::filesystem::create_directory_symlink("program", dir_ / "relative");
    std::filesystem::create_symlink("../program/a.dll", dir_ / "program" / "..link");

    for (const char16_t* name : {u"\\??\\T:\\absolute\\a.dll", u"\\??\\T:\\relative\\a.dll",
                                 u"\\??\\T:\\program\\..link"}) {
        recorder_.pre.clear();
        recorder_.postStatuses.clear();
        HANDLE handle = 0;
        ASSERT_EQ(Create(name, FILE_READ_DATA, FILE_OPEN, &handle), STATUS_SUCCESS);
        auto seen = recorder_.Seen(IRP_MJ_CREATE);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[1].name, u"\\Device\\HarddiskVolume7\\program\\a.dll");
        EXPECT_EQ(recorder_.postStatuses.front(), STATUS_REPARSE);
        EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
    }

    // The refusal of the target's name holds through every link to it.
    recorder_.refusedName = u"\\Device\\HarddiskVolume7\\program\\a.dll";
    HANDLE handle = 0;
    EXPECT_EQ(Create(u"\\??\\T:\\relative\\a.dll", FILE_WRITE_DATA, FILE_OPEN, &handle),
              STATUS_ACCESS_DENIED);

    outside_ = MakeTestFolder("process_io_outside");
    std::filesystem::create_directory_symlink(outside_, dir_ / "away");
    std::filesystem::create_directory_symlink("../..", dir_ / "program" / "up");
    EXPECT_EQ(Create(u"\\??\\T:\\away\\x.txt", FILE_WRITE_DATA, FILE_CREATE, &handle),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Create(u"\\??\\T:\\program\\up\\x.txt", FILE_WRITE_DATA, FILE_CREATE, &handle),
              STATUS_ACCESS_DENIED);
    EXPECT_TRUE(std::filesystem::is_empty(outside_));

    // Links that lead to each other end after a bounded number of rounds.
    std::filesystem::create_symlink("loop2", dir_ / "loop1");
    std::filesystem::create_symlink("loop1", dir_ / "loop2");
    EXPECT_EQ(Create(u"\\??\\T:\\loop1", FILE_READ_DATA, FILE_OPEN, &handle),
              STATUS_REPARSE_POINT_NOT_RESOLVED);
}

TEST_F(ProcessIoTest, ARenameToAFolderOpensTheTargetFolderFirstAndCarriesTheFullTarget) {
    std::filesystem::create_directories(dir_ / "from");
    std::filesystem::create_directories(dir_ / "to");
    std::filesystem::create_directory_symlink("to", dir_ / "alias");
    WriteWhole(dir_ / "from" / "f.txt", "moved");
    HANDLE handle = 0;
    ASSERT_EQ(Create(u"\\??\\T:\\from\\f.txt", DELETE, FILE_OPEN, &handle), STATUS_SUCCESS);

    recorder_.pre.clear();
    ASSERT_EQ(Rename(handle, u"\\??\\T:\\alias\\g.txt", false), STATUS_SUCCESS);
    auto creates = recorder_.Seen(IRP_MJ_CREATE);
    ASSERT_EQ(creates.size(), 2u);  // the link's name, then the folder it leads to
    EXPECT_EQ(creates[0].operationFlags, SL_OPEN_TARGET_DIRECTORY);
    EXPECT_EQ(creates[1].name, u"\\Device\\HarddiskVolume7\\to\\g.txt");
    auto sets = recorder_.Seen(IRP_MJ_SET_INFORMATION);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].destination, u"\\Device\\HarddiskVolume7\\to\\g.txt");
    EXPECT_EQ(ReadWhole(dir_ / "to" / "g.txt"), "moved");

    // A bare name stays in the file's folder, wherever the file went since it was opened.
    recorder_.pre.clear();
    ASSERT_EQ(Rename(handle, u"h.txt", false), STATUS_SUCCESS);
    EXPECT_TRUE(recorder_.Seen(IRP_MJ_CREATE).empty());
    EXPECT_EQ(recorder_.Seen(IRP_MJ_SET_INFORMATION)[0].destination,
              u"\\Device\\HarddiskVolume7\\to\\h.txt");
    EXPECT_TRUE(std::filesystem::exists(dir_ / "to" / "h.txt"));

    // A refused target folder stops the rename before the file system sees it.
    recorder_.refusedName = u"\\Device\\HarddiskVolume7\\from\\back.txt";
    EXPECT_EQ(Rename(handle, u"\\??\\T:\\from\\back.txt", true), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "to" / "h.txt"));
    // No name on the volume's root, none on another volume, none over a name taken.
    outside_ = MakeTestFolder("process_io_other");
    ASSERT_EQ(MountVolume(u"\\Device\\HarddiskVolume8", u"U:", outside_.string()), STATUS_SUCCESS);
    EXPECT_EQ(Rename(handle, u"\\??\\U:\\x.txt", false), STATUS_NOT_SAME_DEVICE);
    EXPECT_TRUE(std::filesystem::is_empty(outside_));
    WriteWhole(dir_ / "to" / "taken.txt", "x");
    EXPECT_EQ(Rename(handle, u"taken.txt", false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
}

TEST_F(ProcessIoTest, SetInformationChecksAccessAndLengthBeforeAnyFilter) {
    WriteWhole(dir_ / "f.txt", "0123456789");
    HANDLE reader = 0;
    ASSERT_EQ(Create(u"\\??\\T:\\f.txt", FILE_READ_DATA, FILE_OPEN, &reader), STATUS_SUCCESS);
    recorder_.pre.clear();
    FILE_END_OF_FILE_INFORMATION end{4};
    FILE_DISPOSITION_INFORMATION disposition{true};
    FILE_BASIC_INFORMATION basic;
    IO_STATUS_BLOCK io;
    EXPECT_EQ(NtSetInformationFile(reader, &io, &end, sizeof end, FileEndOfFileInformation),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtSetInformationFile(reader, &io, &disposition, sizeof disposition,
                                   FileDispositionInformation),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtSetInformationFile(reader, &io, &basic, sizeof basic, FileBasicInformation),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtSetInformationFile(reader, &io, &end, 0, FileEndOfFileInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(NtSetInformationFile(reader, &io, &end, sizeof end,
                                   static_cast<FILE_INFORMATION_CLASS>(99)),
              STATUS_INVALID_INFO_CLASS);
    EXPECT_TRUE(recorder_.Seen(IRP_MJ_SET_INFORMATION).empty());
    EXPECT_EQ(NtClose(reader), STATUS_SUCCESS);

    HANDLE writer = 0;
    ASSERT_EQ(Create(u"\\??\\T:\\f.txt", FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | DELETE,
                     FILE_OPEN, &writer),
              STATUS_SUCCESS);
    EXPECT_EQ(NtSetInformationFile(writer, &io, &end, sizeof end, FileEndOfFileInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(ReadWhole(dir_ / "f.txt"), "0123");
    basic.fileAttributes = 0x1;                                       // read-only
    basic.lastWriteTime = 116444736000000000LL + 10000000LL * 86400;  // 2 January 1970
    EXPECT_EQ(NtSetInformationFile(writer, &io, &basic, sizeof basic, FileBasicInformation),
              STATUS_SUCCESS);
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "f.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(st.st_mtime, 86400);
    FILE_NAME_INFORMATION shortName{u"F~1.TXT"};
    EXPECT_EQ(
        NtSetInformationFile(writer, &io, &shortName, sizeof shortName, FileShortNameInformation),
        STATUS_NOT_SUPPORTED);
    // A filter that refuses a class keeps the file as it is.
    recorder_.refusedClass = FileDispositionInformation;
    EXPECT_EQ(NtSetInformationFile(writer, &io, &disposition, sizeof disposition,
                                   FileDispositionInformation),
              STATUS_ACCESS_DENIED);
    recorder_.refusedClass = static_cast<FILE_INFORMATION_CLASS>(0);
    EXPECT_EQ(NtSetInformationFile(writer, &io, &disposition, sizeof disposition,
                                   FileDispositionInformation),
              STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "f.txt"));
    EXPECT_EQ(NtClose(writer), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "f.txt"));
}

TEST_F(ProcessIoTest, DeletesAndLinksBehaveAsTheFileSystemDoes) {
    std::filesystem::create_directories(dir_ / "full");
    WriteWhole(dir_ / "full" / "x.txt", "x");
    HANDLE folder = 0;
    ASSERT_EQ(Create(u"\\??\\T:\\full", DELETE, FILE_OPEN, &folder, FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
    FILE_DISPOSITION_INFORMATION disposition{true};
    IO_STATUS_BLOCK io;
    EXPECT_EQ(NtSetInformationFile(folder, &io, &disposition, sizeof disposition,
                                   FileDispositionInformation),
              STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(NtClose(folder), STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "full"));

    std::filesystem::create_directories(dir_ / "empty");
    ASSERT_EQ(Create(u"\\??\\T:\\empty", DELETE, FILE_OPEN, &folder, FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
    EXPECT_EQ(NtSetInformationFile(folder, &io, &disposition, sizeof disposition,
                                   FileDispositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(NtClose(folder), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "empty"));

    // Delete on close needs DELETE; with it, the file goes when the handle does.
    HANDLE file = 0;
    EXPECT_EQ(Create(u"\\??\\T:\\full\\x.txt", FILE_READ_DATA, FILE_OPEN, &file,
                     FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Create(u"\\??\\T:\\full\\x.txt", DELETE, FILE_OPEN, &file,
                     FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE),
              STATUS_SUCCESS);
    EXPECT_EQ(NtClose(file), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "full" / "x.txt"));

    // A link is a second name of the same file.
    WriteWhole(dir_ / "one.txt", "same");
    ASSERT_EQ(Create(u"\\??\\T:\\one.txt", FILE_READ_DATA, FILE_OPEN, &file), STATUS_SUCCESS);
    ASSERT_EQ(Rename(file, u"\\??\\T:\\full\\two.txt", false, true), STATUS_SUCCESS);
    EXPECT_EQ(Rename(file, u"\\??\\T:\\full\\two.txt", false, true), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(NtClose(file), STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::equivalent(dir_ / "one.txt", dir_ / "full" / "two.txt"));
}

TEST_F(ProcessIoTest, HandleContextsLiveAsLongAsTheirOpenAndAreCleanedUpOnce) {
    const size_t before = FltLiveContextCount();
    recorder_.attachContexts = true;
    WriteWhole(dir_ / "c.txt", "c");
    HANDLE first = 0;
    HANDLE second = 0;
    ASSERT_EQ(Create(u"\\??\\T:\\c.txt", FILE_READ_DATA, FILE_OPEN, &first), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"\\??\\T:\\c.txt", FILE_READ_DATA, FILE_OPEN, &second), STATUS_SUCCESS);
    EXPECT_EQ(FltLiveContextCount(), before + 2);

    std::shared_ptr<FLT_FILE_OBJECT> file;
    ASSERT_EQ(FltReferenceFileHandle(first, &file), STATUS_SUCCESS);
    std::shared_ptr<FLT_INSTANCE> instance;
    ASSERT_EQ(FindInstanceForPath(recorder_.filter, u"\\??\\T:\\c.txt", &instance), STATUS_SUCCESS);
    void* context = nullptr;
    ASSERT_EQ(FltGetStreamHandleContext(instance, *file, &context), STATUS_SUCCESS);
    EXPECT_EQ(*static_cast<uint64_t*>(context), 1u);
    // A second context is kept out while one is attached; replacing gives the old one back.
    void* other = nullptr;
    ASSERT_EQ(FltAllocateContext(recorder_.filter, FLT_STREAMHANDLE_CONTEXT, sizeof(uint64_t),
                                 PoolType::Paged, &other),
              STATUS_SUCCESS);
    *static_cast<uint64_t*>(other) = 99;
    void* kept = nullptr;
    EXPECT_EQ(
        FltSetStreamHandleContext(instance, *file, FLT_SET_CONTEXT_KEEP_IF_EXISTS, other, &kept),
        STATUS_FLT_CONTEXT_ALREADY_DEFINED);
    EXPECT_EQ(kept, context);
    FltReleaseContext(kept);
    EXPECT_EQ(FltAllocateContext(recorder_.filter, FLT_STREAMHANDLE_CONTEXT, 4096, PoolType::Paged,
                                 &kept),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FltAllocateContext(recorder_.filter, FLT_STREAM_CONTEXT, 8, PoolType::Paged, &kept),
              STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND);
    FltReleaseContext(other);  // never attached: cleaned up now
    EXPECT_EQ(recorder_.cleanedUp, std::vector<uint64_t>({99}));

    // Still held by this test, the context outlives its open's close; its clean-up waits.
    EXPECT_EQ(NtClose(first), STATUS_SUCCESS);
    EXPECT_EQ(recorder_.cleanedUp.size(), 1u);
    EXPECT_EQ(FltGetStreamHandleContext(instance, *file, &kept), STATUS_NOT_FOUND);
    FltReleaseContext(context);
    EXPECT_EQ(recorder_.cleanedUp, std::vector<uint64_t>({99, 1}));
    // A closed open takes no new context.
    ASSERT_EQ(FltAllocateContext(recorder_.filter, FLT_STREAMHANDLE_CONTEXT, sizeof(uint64_t),
                                 PoolType::Paged, &other),
              STATUS_SUCCESS);
    EXPECT_EQ(
        FltSetStreamHandleContext(instance, *file, FLT_SET_CONTEXT_KEEP_IF_EXISTS, other, nullptr),
        STATUS_FILE_CLOSED);
    FltReleaseContext(other);

    // A deleted context goes at once when nobody else holds it.
    std::shared_ptr<FLT_FILE_OBJECT> secondFile;
    ASSERT_EQ(FltReferenceFileHandle(second, &secondFile), STATUS_SUCCESS);
    ASSERT_EQ(FltGetStreamHandleContext(instance, *secondFile, &context), STATUS_SUCCESS);
    FltDeleteContext(context);
    FltReleaseContext(context);
    EXPECT_EQ(recorder_.cleanedUp.back(), 2u);
    EXPECT_EQ(NtClose(second), STATUS_SUCCESS);
    EXPECT_EQ(FltLiveContextCount(), before);

    // The instance context: one per instance, found again, gone with the instance.
    ASSERT_EQ(
        FltAllocateContext(recorder_.filter, FLT_INSTANCE_CONTEXT, 4, PoolType::NonPaged, &context),
        STATUS_SUCCESS);
    EXPECT_EQ(FltSetInstanceContext(instance, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(FltSetInstanceContext(instance, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr),
              STATUS_FLT_CONTEXT_ALREADY_LINKED);
    FltReleaseContext(context);
    ASSERT_EQ(FltGetInstanceContext(instance, &kept), STATUS_SUCCESS);
    EXPECT_EQ(kept, context);
    FltReleaseContext(kept);
    FltUnregisterFilter(recorder_.filter);
    instance.reset();
    EXPECT_EQ(FltLiveContextCount(), before);
}

TEST(FltOperationRegistrationTest, OperationsAndContextsAreCheckedWhenTheFilterRegisters) {
    std::shared_ptr<FLT_FILTER> filter;
    FLT_REGISTRATION registration;
    registration.name = u"Checked";
    registration.operations.push_back(FLT_OPERATION_REGISTRATION{IRP_MJ_CREATE, 0, {}, {}});
    EXPECT_EQ(FltRegisterFilter(registration, &filter), STATUS_INVALID_PARAMETER);
    registration.operations.clear();
    FLT_CONTEXT_REGISTRATION context;
    context.contextType = FLT_STREAMHANDLE_CONTEXT;
    context.size = 8;
    registration.contexts = {context, context};
    EXPECT_EQ(FltRegisterFilter(registration, &filter), STATUS_INVALID_PARAMETER);
    registration.contexts = {context};
    registration.contexts[0].contextType = 0x0003;  // two types at once
    EXPECT_EQ(FltRegisterFilter(registration, &filter), STATUS_INVALID_PARAMETER);
    registration.contexts[0].contextType = FLT_STREAMHANDLE_CONTEXT;
    registration.contexts[0].size = 0;
    EXPECT_EQ(FltRegisterFilter(registration, &filter), STATUS_INVALID_PARAMETER);
    registration.contexts[0].size = 8;
    ASSERT_EQ(FltRegisterFilter(registration, &filter), STATUS_SUCCESS);
    FltUnregisterFilter(filter);
}

}  // namespace
}  // namespace os::test
