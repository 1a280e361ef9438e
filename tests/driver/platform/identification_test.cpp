#include "driver/platform/identification.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/platform/scratch_buffer.h"
#include "os/core/allocation.h"
#include "os/kernel/device.h"
#include "os/kernel/kernel_handles.h"

namespace wexo::drv {
namespace {

const std::vector<uint8_t> kUserSid = {1, 5, 0,  0, 0, 0, 0,  5, 21, 0, 0,    0, 11, 0,
                                       0, 0, 22, 0, 0, 0, 33, 0, 0,  0, 0xE9, 3, 0,  0};

class ScopedLink {
  public:
    ScopedLink(std::u16string name, std::u16string target) : name_(std::move(name)) {
        EXPECT_EQ(os::IoCreateSymbolicLink(name_, target), os::STATUS_SUCCESS);
    }
    ~ScopedLink() { os::IoDeleteSymbolicLink(name_); }

  private:
    std::u16string name_;
};

// The normalised form as text ("<null>" when none came back); the string is freed.
std::u16string Normalised(std::u16string_view path) {
    UNICODE_STRING* result = NormalisePath(os::UnicodeStringOf(path));
    if (result == nullptr) {
        return u"<null>";
    }
    EXPECT_EQ(result->Buffer[result->Length / 2], u'\0');
    std::u16string text(result->View());
    FreeString(result);
    return text;
}

std::u16string Text(const UNICODE_STRING& string) {
    return std::u16string(string.View());
}

class IdentificationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        handles_ = os::KernelHandleCount();
        strings_ = os::PoolOutstanding(kIdentificationTag);
    }
    void TearDown() override {
        EXPECT_EQ(os::KernelHandleCount(), handles_);
        EXPECT_EQ(os::PoolOutstanding(kIdentificationTag), strings_);
    }

  private:
    size_t handles_ = 0;
    size_t strings_ = 0;
};

// ---- Process user ----

TEST_F(IdentificationTest, ProcessUserGivesTheTokensSidAndSession) {
    auto process = os::CreateProcess(kUserSid, 2, "browser.exe");
    void* sid = nullptr;
    uint32_t length = 0;
    uint32_t session = 0;
    ASSERT_EQ(ProcessUser(process->Id(), &sid, &length, &session), os::STATUS_SUCCESS);
    ASSERT_EQ(length, kUserSid.size());
    EXPECT_EQ(std::memcmp(sid, kUserSid.data(), length), 0);
    EXPECT_EQ(session, 2u);
    FreeProcessUserSid(sid);
    os::TerminateProcess(process->Id());
}

TEST_F(IdentificationTest, ProcessUserIsAllZeroWhenAnyStepFails) {
    void* sid = reinterpret_cast<void*>(1);
    uint32_t length = 7;
    uint32_t session = 7;
    EXPECT_FALSE(os::NT_SUCCESS(ProcessUser(0x7FFFFFF0, &sid, &length, &session)));
    EXPECT_EQ(sid, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(session, 0u);

    // A token whose user is no SID (the real process has none here).
    auto odd = os::CreateProcess({1, 2}, 4, "odd.exe");
    session = 7;
    EXPECT_FALSE(os::NT_SUCCESS(ProcessUser(odd->Id(), &sid, &length, &session)));
    EXPECT_EQ(sid, nullptr);
    EXPECT_EQ(session, 0u);
    EXPECT_FALSE(os::NT_SUCCESS(ProcessUser(os::CurrentProcessId(), &sid, &length, &session)));
    EXPECT_EQ(length, 0u);

    // No memory for the copy.
    auto process = os::CreateProcess(kUserSid, 2, "browser.exe");
    {
        os::ScopedPoolFailure failure(kIdentificationTag);
        EXPECT_EQ(ProcessUser(process->Id(), &sid, &length, &session),
                  os::STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(sid, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(session, 0u);
    os::TerminateProcess(process->Id());
    os::TerminateProcess(odd->Id());
}

// ---- Path normalisation ----

TEST_F(IdentificationTest, DriveLetterPathsBecomeTheVolumesDeviceForm) {
    EXPECT_EQ(Normalised(u"\\??\\C:\\Windows"), u"\\Device\\HarddiskVolume1\\Windows");
    EXPECT_EQ(Normalised(u"\\Device\\HarddiskVolume1\\Windows"),
              u"\\Device\\HarddiskVolume1\\Windows");
    EXPECT_EQ(Normalised(u"\\GLOBAL??\\C:\\x"), u"\\Device\\HarddiskVolume1\\x");
    EXPECT_EQ(Normalised(u"\\??\\C:"), u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(Normalised(u"\\SystemRoot\\System32\\drivers"),
              u"\\Device\\HarddiskVolume1\\Windows\\System32\\drivers");
}

TEST_F(IdentificationTest, SpellingsOfOneFolderCompareEqualOnceNormalised) {
    const std::u16string expected = u"\\Device\\HarddiskVolume1\\Program Files\\Wexo";
    const UNICODE_STRING wanted = os::UnicodeStringOf(expected);
    for (std::u16string_view spelling :
         {u"\\??\\C:\\Program Files\\Wexo", u"\\??\\c:\\program files\\WEXO",
          u"\\GLOBAL??\\C:\\Program Files\\Wexo", u"\\global??\\c:\\Program Files\\Wexo",
          u"\\DosDevices\\C:\\Program Files\\Wexo", u"\\??\\Global\\C:\\Program Files\\Wexo",
          u"\\Device\\HarddiskVolume1\\Program Files\\Wexo",
          u"\\DEVICE\\HARDDISKVOLUME1\\PROGRAM FILES\\WEXO"}) {
        UNICODE_STRING* result = NormalisePath(os::UnicodeStringOf(spelling));
        ASSERT_NE(result, nullptr);
        EXPECT_TRUE(os::RtlEqualUnicodeString(*result, wanted, true))
            << std::string(spelling.begin(), spelling.end());
        FreeString(result);
    }
}

TEST_F(IdentificationTest, ALetterOnlyInTheUsersLogonSessionResolvesThroughItsDirectory) {
    constexpr uint64_t kLogon = 0x00000001000A0B0Cull;
    ASSERT_EQ(os::CreateLogonSessionDirectory(kLogon), os::STATUS_SUCCESS);
    auto user = os::CreateProcess(kUserSid, 1, "explorer.exe", kLogon);
    ScopedLink letter(os::LogonSessionDirectoryName(kLogon) + u"\\M:",
                      u"\\Device\\HarddiskVolume5");
    {
        os::ScopedProcessContext context(user->Id());
        EXPECT_EQ(Normalised(u"\\??\\M:\\share\\a.txt"),
                  u"\\Device\\HarddiskVolume5\\share\\a.txt");
        // "\GLOBAL??" comes first.
        EXPECT_EQ(Normalised(u"\\??\\C:\\x"), u"\\Device\\HarddiskVolume1\\x");
    }
    // Another logon session does not see it.
    EXPECT_EQ(Normalised(u"\\??\\M:\\share\\a.txt"), u"\\??\\M:\\share\\a.txt");
    os::TerminateProcess(user->Id());
    EXPECT_EQ(os::DeleteLogonSessionDirectory(kLogon), os::STATUS_SUCCESS);
}

TEST_F(IdentificationTest, LinksInsideDeviceTakeTheLongestRunOfComponents) {
    ScopedLink alias(u"\\Device\\Alias", u"\\Device\\HarddiskVolume2");
    EXPECT_EQ(Normalised(u"\\Device\\Alias\\dir\\f.txt"), u"\\Device\\HarddiskVolume2\\dir\\f.txt");
    EXPECT_EQ(Normalised(u"\\device\\alias"), u"\\Device\\HarddiskVolume2");
    ASSERT_EQ(os::ObCreateDirectoryObject(u"\\Device\\TestNet"), os::STATUS_SUCCESS);
    {
        ScopedLink share(u"\\Device\\TestNet\\Share", u"\\Device\\HarddiskVolume2\\shared");
        ScopedLink shorter(u"\\Device\\TestNet\\Sh", u"\\Device\\Wrong");
        EXPECT_EQ(Normalised(u"\\Device\\TestNet\\Share\\a\\b"),
                  u"\\Device\\HarddiskVolume2\\shared\\a\\b");
        // A directory is not a link: nothing to resolve.
        EXPECT_EQ(Normalised(u"\\Device\\TestNet\\Other\\a"), u"\\Device\\TestNet\\Other\\a");
    }
    EXPECT_EQ(os::ObDeleteDirectoryObject(u"\\Device\\TestNet"), os::STATUS_SUCCESS);
}

TEST_F(IdentificationTest, LinksThatLeadBackToEachOtherStopWithThePathReached) {
    ScopedLink a(u"\\Device\\CycleA", u"\\Device\\CycleB");
    ScopedLink b(u"\\Device\\CycleB", u"\\Device\\CycleA");
    const std::u16string reached = Normalised(u"\\Device\\CycleA\\x");
    EXPECT_TRUE(reached == u"\\Device\\CycleA\\x" || reached == u"\\Device\\CycleB\\x");
    ScopedLink self(u"\\GLOBAL??\\L:", u"\\??\\L:\\deeper");
    const std::u16string deep = Normalised(u"\\??\\L:\\f");
    EXPECT_EQ(deep.rfind(u"\\??\\L:\\deeper", 0), 0u);
    EXPECT_EQ(deep.size(), std::u16string(u"\\??\\L:").size() +
                               kMaxNormaliseSteps * std::u16string(u"\\deeper").size() +
                               std::u16string(u"\\f").size());
}

TEST_F(IdentificationTest, ALongTargetIsReadWithAGrownScratchBuffer) {
    std::u16string target = u"\\Device\\HarddiskVolume1";
    while (target.size() * 2 <= ScratchBuffer::kStandardSize + 100) {
        target += u"\\long-folder-name";
    }
    ScopedLink link(u"\\GLOBAL??\\W:", target);
    EXPECT_EQ(Normalised(u"\\??\\W:\\end"), target + u"\\end");
}

TEST_F(IdentificationTest, WhatDoesNotResolveIsCopiedAsItIs) {
    EXPECT_EQ(Normalised(u"C:\\Windows"), u"C:\\Windows");
    EXPECT_EQ(Normalised(u""), u"");
    EXPECT_EQ(Normalised(u"\\??\\Z:\\x"), u"\\??\\Z:\\x");
    EXPECT_EQ(Normalised(u"\\??\\"), u"\\??\\");
    EXPECT_EQ(Normalised(u"\\??"), u"\\??");
    EXPECT_EQ(Normalised(u"\\???\\C:"), u"\\???\\C:");
    EXPECT_EQ(Normalised(u"\\Device\\NoSuchThing\\x"), u"\\Device\\NoSuchThing\\x");
    EXPECT_EQ(Normalised(u"\\Nowhere"), u"\\Nowhere");
    EXPECT_EQ(Normalised(u"\\"), u"\\");
    os::ScopedPoolFailure failure(kIdentificationTag);
    EXPECT_EQ(NormalisePath(os::UnicodeStringOf(u"\\??\\C:\\x")), nullptr);
}

// ---- Object names ----

TEST_F(IdentificationTest, ObjectNameIsTheNameTheObjectManagerReports) {
    std::shared_ptr<os::DEVICE_OBJECT> device;
    ASSERT_EQ(os::IoCreateDevice(u"\\Device\\IdNamed", 0x22, false, &device), os::STATUS_SUCCESS);
    UNICODE_STRING* name = ObjectName(device.get());
    EXPECT_EQ(Text(*name), u"\\Device\\IdNamed");
    FreeString(name);
    os::IoDeleteDevice(device);
    EXPECT_EQ(ObjectName(nullptr), EmptyString());
    os::DEVICE_OBJECT unnamed(u"", 0x22, false);
    EXPECT_EQ(ObjectName(&unnamed), EmptyString());
    {
        os::ScopedPoolFailure failure(kIdentificationTag);
        EXPECT_EQ(ObjectName(device.get()), EmptyString());
    }
    UNICODE_STRING* empty = EmptyString();
    EXPECT_EQ(empty->Length, 0);
    EXPECT_EQ(empty->MaximumLength, 2);
    FreeString(empty);  // never freed
    EXPECT_EQ(EmptyString()->Buffer[0], u'\0');
}

// ---- Walking and comparing ----

TEST(PathTextTest, NextComponentWalksALeadingBackslashFirst) {
    const std::u16string text = u"\\A\\B";
    UNICODE_STRING path = os::UnicodeStringOf(text);
    UNICODE_STRING component;
    std::vector<std::u16string> seen;
    while (NextComponent(&path, &component)) {
        seen.push_back(Text(component));
    }
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"", u"A", u"B"}));
    UNICODE_STRING one = os::UnicodeStringOf(u"x");
    EXPECT_TRUE(NextComponent(&one, &component));
    EXPECT_EQ(Text(component), u"x");
    EXPECT_FALSE(NextComponent(&one, &component));
    UNICODE_STRING odd{1, 2, const_cast<char16_t*>(u"x")};
    EXPECT_FALSE(NextComponent(&odd, &component));
}

TEST(PathTextTest, BeginsWithAndIsUnderIgnoreCaseAndRespectComponents) {
    auto s = [](std::u16string_view text) { return os::UnicodeStringOf(text); };
    EXPECT_TRUE(BeginsWith(s(u"\\Device\\X"), s(u"\\device\\")));
    EXPECT_FALSE(BeginsWith(s(u"\\Dev"), s(u"\\Device")));
    EXPECT_TRUE(BeginsWith(s(u"abc"), s(u"")));
    EXPECT_TRUE(IsUnder(s(u"\\x\\Folder\\a.txt"), s(u"\\X\\folder\\")));
    EXPECT_TRUE(IsUnder(s(u"\\x\\Folder"), s(u"\\X\\folder\\")));
    EXPECT_TRUE(IsUnder(s(u"\\x\\Folder\\"), s(u"\\X\\folder")));
    EXPECT_FALSE(IsUnder(s(u"\\x\\FolderB\\a"), s(u"\\x\\Folder")));
    EXPECT_FALSE(IsUnder(s(u"\\x"), s(u"\\x\\Folder")));
}

TEST(PathTextTest, CharactersOutOfRangeAreAllOnes) {
    UNICODE_STRING text = os::UnicodeStringOf(u"abc");
    EXPECT_EQ(FirstCharacter(text), u'a');
    EXPECT_EQ(LastCharacter(text), u'c');
    EXPECT_EQ(CharacterAt(text, 2), u'b');
    EXPECT_EQ(CharacterAt(text, 6), kNoCharacter);
    UNICODE_STRING empty = os::UnicodeStringOf(u"");
    EXPECT_EQ(FirstCharacter(empty), kNoCharacter);
    EXPECT_EQ(LastCharacter(empty), kNoCharacter);
    EXPECT_EQ(FirstCharacter(UNICODE_STRING{}), kNoCharacter);
}

TEST(PathTextTest, FindLastNeverReportsTheFirstCharacter) {
    UNICODE_STRING log = os::UnicodeStringOf(u".log");
    EXPECT_EQ(FindLast(log, u'.'), kNoCharacter);
    EXPECT_EQ(Text(Extension(log, u'.', kExtensionWholeWhenAbsent)), u".log");
    EXPECT_EQ(Text(Extension(log, u'.', kExtensionWithoutCharacter)), u"");
    EXPECT_EQ(Text(Extension(log, u'.', 0)), u"");
    UNICODE_STRING name = os::UnicodeStringOf(u"a.tar.gz");
    EXPECT_EQ(FindLast(name, u'.'), 5u);
    EXPECT_EQ(Text(Extension(name, u'.', 0)), u".gz");
    EXPECT_EQ(Text(Extension(name, u'.', kExtensionWithoutCharacter)), u"gz");
    EXPECT_EQ(Text(Extension(name, u'.', kExtensionWithoutCharacter | kExtensionWholeWhenAbsent)),
              u"gz");
    UNICODE_STRING dotAtEnd = os::UnicodeStringOf(u"file.");
    EXPECT_EQ(Text(Extension(dotAtEnd, u'.', kExtensionWithoutCharacter)), u"");
}

TEST_F(IdentificationTest, FormatNewStringSizesOneBlockWithItsNul) {
    UNICODE_STRING* text = FormatNewString("%ws-%u-%08lx", u"ab", 7u, 0x1Fful);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(Text(*text), u"ab-7-000001ff");
    EXPECT_EQ(text->MaximumLength, text->Length + 2);
    EXPECT_EQ(text->Buffer[text->Length / 2], u'\0');
    EXPECT_EQ(static_cast<void*>(text->Buffer), static_cast<void*>(text + 1));
    FreeString(text);
    os::ScopedPoolFailure failure(kIdentificationTag);
    EXPECT_EQ(FormatNewString("%u", 1u), nullptr);
}

}  // namespace
}  // namespace wexo::drv
