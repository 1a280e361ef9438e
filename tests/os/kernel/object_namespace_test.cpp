#include "os/kernel/object_namespace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "os/kernel/device.h"
#include "os/kernel/kernel_handles.h"

namespace os {
namespace {

constexpr uint32_t kKernel = OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE;

NTSTATUS OpenLink(std::u16string_view name, HANDLE* handle, HANDLE root = 0,
                  uint32_t access = SYMBOLIC_LINK_QUERY, uint32_t flags = kKernel) {
    UNICODE_STRING text = UnicodeStringOf(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, flags, root);
    return ZwOpenSymbolicLinkObject(handle, access, &attributes);
}

NTSTATUS OpenDirectory(std::u16string_view name, HANDLE* handle, HANDLE root = 0) {
    UNICODE_STRING text = UnicodeStringOf(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, kKernel, root);
    return ZwOpenDirectoryObject(handle, DIRECTORY_QUERY | DIRECTORY_TRAVERSE, &attributes);
}

// The link's target, or the status that kept it from being read.
std::u16string TargetOf(std::u16string_view name, HANDLE root = 0) {
    HANDLE link = 0;
    NTSTATUS status = OpenLink(name, &link, root);
    if (!NT_SUCCESS(status)) {
        char text[16];
        std::snprintf(text, sizeof text, "<%08X>", static_cast<uint32_t>(status));
        return std::u16string(text, text + std::strlen(text));
    }
    char16_t buffer[512];
    UNICODE_STRING target{0, sizeof buffer, buffer};
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);
    return std::u16string(target.View());
}

class ScopedLink {
  public:
    ScopedLink(std::u16string name, std::u16string target) : name_(std::move(name)) {
        EXPECT_EQ(IoCreateSymbolicLink(name_, target), STATUS_SUCCESS);
    }
    ~ScopedLink() { IoDeleteSymbolicLink(name_); }

  private:
    std::u16string name_;
};

TEST(ObjectNamespaceTest, SystemLayoutNamesTheSystemVolumeEveryWay) {
    EXPECT_EQ(TargetOf(u"\\GLOBAL??\\C:"), u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(TargetOf(u"\\global??\\c:"), u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(TargetOf(u"\\??\\C:"), u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(TargetOf(u"\\DosDevices\\C:"), u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(TargetOf(u"\\??\\Global\\C:"), u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(TargetOf(u"\\SystemRoot"), u"\\Device\\HarddiskVolume1\\Windows");
    EXPECT_EQ(TargetOf(u"\\DosDevices"), u"\\??");
}

TEST(ObjectNamespaceTest, LinksOpenRelativeToADirectoryHandle) {
    const size_t before = KernelHandleCount();
    HANDLE global = 0;
    ASSERT_EQ(OpenDirectory(u"\\GLOBAL??", &global), STATUS_SUCCESS);
    EXPECT_TRUE(IsKernelHandle(global));
    EXPECT_EQ(TargetOf(u"c:", global), u"\\Device\\HarddiskVolume1");
    HANDLE link = 0;
    EXPECT_EQ(OpenLink(u"\\C:", &link, global), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(OpenLink(u"C:", &link), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(OpenLink(u"Z:", &link, global), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(link, 0u);
    // A link's handle is no directory to look names up in.
    ASSERT_EQ(OpenLink(u"\\GLOBAL??\\C:", &link), STATUS_SUCCESS);
    HANDLE inner = 0;
    EXPECT_EQ(OpenLink(u"x", &inner, link), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(global), STATUS_SUCCESS);
    EXPECT_EQ(KernelHandleCount(), before);
}

TEST(ObjectNamespaceTest, WhatIsNotALinkFailsAsTheRealCallDoes) {
    HANDLE link = 0;
    EXPECT_EQ(OpenLink(u"\\Device\\HarddiskVolume1", &link), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(OpenLink(u"\\Device", &link), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(OpenLink(u"\\Device\\HarddiskVolume1\\Windows", &link), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(OpenLink(u"\\Device\\NoSuchDevice", &link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenLink(u"\\NoSuchDirectory\\X", &link), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(OpenLink(u"\\Device\\\\X", &link), STATUS_OBJECT_NAME_INVALID);
    HANDLE directory = 0;
    EXPECT_EQ(OpenDirectory(u"\\Device\\HarddiskVolume1", &directory), STATUS_OBJECT_TYPE_MISMATCH);
    // A link on the way is followed: "\DosDevices" leads to the caller's "\??".
    ASSERT_EQ(OpenDirectory(u"\\DosDevices", &directory), STATUS_SUCCESS);
    EXPECT_EQ(TargetOf(u"C:", directory), u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(ZwClose(directory), STATUS_SUCCESS);
}

TEST(ObjectNamespaceTest, TargetReadIntoAShortBufferTellsTheLengthItNeeds) {
    HANDLE link = 0;
    ASSERT_EQ(OpenLink(u"\\SystemRoot", &link), STATUS_SUCCESS);
    const std::u16string expected = u"\\Device\\HarddiskVolume1\\Windows";
    const uint16_t bytes = static_cast<uint16_t>(expected.size() * 2);
    char16_t buffer[64];
    UNICODE_STRING target{0, 8, buffer};
    uint32_t needed = 0;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, bytes + 2u);
    EXPECT_EQ(target.Length, 0);
    // Room for the text but not its NUL: the text alone.
    buffer[expected.size()] = u'#';
    target.MaximumLength = bytes;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, &needed), STATUS_SUCCESS);
    EXPECT_EQ(target.View(), expected);
    EXPECT_EQ(buffer[expected.size()], u'#');
    target.MaximumLength = sizeof buffer;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(buffer[expected.size()], u'\0');
    EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);

    ASSERT_EQ(OpenLink(u"\\SystemRoot", &link, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, nullptr), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);
    EXPECT_EQ(ZwQuerySymbolicLinkObject(link, &target, nullptr), STATUS_INVALID_HANDLE);
}

TEST(ObjectNamespaceTest, WithoutTheKernelFlagTheHandleIsTheProcesss) {
    auto process = CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 0, "ns.exe");
    {
        ScopedProcessContext context(process->Id());
        HANDLE link = 0;
        ASSERT_EQ(OpenLink(u"\\??\\C:", &link, 0, SYMBOLIC_LINK_QUERY, 0), STATUS_SUCCESS);
        EXPECT_FALSE(IsKernelHandle(link));
        EXPECT_EQ(process->HandleCount(), 1u);
        EXPECT_EQ(ZwClose(link), STATUS_SUCCESS);
        EXPECT_EQ(process->HandleCount(), 0u);
    }
    TerminateProcess(process->Id());
}

TEST(ObjectNamespaceTest, EachLogonSessionSeesItsOwnDriveLettersBeforeTheGlobalOnes) {
    constexpr uint64_t kLogon = 0x0000123456789ABCull;
    EXPECT_EQ(LogonSessionDirectoryName(kLogon), u"\\Sessions\\0\\DosDevices\\00001234-56789abc");
    ASSERT_EQ(CreateLogonSessionDirectory(kLogon), STATUS_SUCCESS);
    EXPECT_EQ(CreateLogonSessionDirectory(kLogon), STATUS_SUCCESS);
    auto user = CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0}, 2, "user.exe", kLogon);
    ScopedLink global(u"\\GLOBAL??\\Q:", u"\\Device\\HarddiskVolume4");
    {
        ScopedProcessContext context(user->Id());
        ScopedLink mine(u"\\??\\Q:", u"\\Device\\HarddiskVolume3");
        EXPECT_EQ(TargetOf(u"\\??\\Q:"), u"\\Device\\HarddiskVolume3");
        EXPECT_EQ(TargetOf(u"\\??\\C:"), u"\\Device\\HarddiskVolume1");
        EXPECT_EQ(TargetOf(u"\\??\\Global\\Q:"), u"\\Device\\HarddiskVolume4");
        EXPECT_EQ(TargetOf(u"\\Sessions\\0\\DosDevices\\00001234-56789ABC\\q:"),
                  u"\\Device\\HarddiskVolume3");
        // The real process (no simulated one) runs in the system's logon session, whose view is
        // "\GLOBAL??" alone.
        ScopedProcessContext system(0);
        EXPECT_EQ(TargetOf(u"\\??\\Q:"), u"\\Device\\HarddiskVolume4");
    }
    EXPECT_EQ(TargetOf(u"\\??\\Q:"), u"\\Device\\HarddiskVolume4");
    EXPECT_EQ(DeleteLogonSessionDirectory(kLogon), STATUS_SUCCESS);
    HANDLE link = 0;
    EXPECT_EQ(OpenLink(u"\\Sessions\\0\\DosDevices\\00001234-56789abc\\Q:", &link),
              STATUS_OBJECT_PATH_NOT_FOUND);
    TerminateProcess(user->Id());
}

TEST(ObjectNamespaceTest, LinksThatLeadBackToEachOtherEndTheLookup) {
    ScopedLink a(u"\\Device\\LoopA", u"\\Device\\LoopB");
    ScopedLink b(u"\\Device\\LoopB", u"\\Device\\LoopA\\x");
    // The link itself opens; following it never reaches an object.
    EXPECT_EQ(TargetOf(u"\\Device\\LoopA"), u"\\Device\\LoopB");
    std::shared_ptr<DEVICE_OBJECT> device;
    EXPECT_EQ(ObLookupDevice(u"\\Device\\LoopA", kSystemLogonId, &device),
              STATUS_OBJECT_PATH_NOT_FOUND);
    std::shared_ptr<FILE_OBJECT> file;
    EXPECT_FALSE(NT_SUCCESS(IoOpenDevice(u"\\Device\\LoopB", CurrentProcessId(), &file)));
}

TEST(ObjectNamespaceTest, DevicesStandInTheirDirectoryAndOpenThroughLinks) {
    std::shared_ptr<DEVICE_OBJECT> device;
    ASSERT_EQ(IoCreateDevice(u"\\Device\\NsTestDevice", 0x22, false, &device), STATUS_SUCCESS);
    std::shared_ptr<DEVICE_OBJECT> twin;
    EXPECT_EQ(IoCreateDevice(u"\\DEVICE\\nstestdevice", 0x22, false, &twin),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateDevice(u"\\NoSuchDirectory\\Dev", 0x22, false, &twin),
              STATUS_OBJECT_PATH_NOT_FOUND);
    {
        ScopedLink link(u"\\??\\NsTestLink", u"\\Device\\NsTestDevice");
        EXPECT_EQ(IoCreateSymbolicLink(u"\\GLOBAL??\\nstestlink", u"\\Device\\Other"),
                  STATUS_OBJECT_NAME_COLLISION);
        std::shared_ptr<FILE_OBJECT> file;
        ASSERT_EQ(IoOpenDevice(u"\\??\\NSTESTLINK", CurrentProcessId(), &file), STATUS_SUCCESS);
        EXPECT_EQ(&file->Device(), device.get());
        EXPECT_EQ(IoOpenDevice(u"\\??\\Global\\NsTestLink", CurrentProcessId(), &file),
                  STATUS_SUCCESS);
        EXPECT_EQ(IoOpenDevice(u"\\Device\\NsTestDevice\\file.txt", CurrentProcessId(), &file),
                  STATUS_OBJECT_NAME_NOT_FOUND);
    }
    std::shared_ptr<FILE_OBJECT> file;
    EXPECT_EQ(IoOpenDevice(u"\\??\\NsTestLink", CurrentProcessId(), &file),
              STATUS_OBJECT_NAME_NOT_FOUND);
    IoDeleteDevice(device);
    EXPECT_EQ(IoOpenDevice(u"\\Device\\NsTestDevice", CurrentProcessId(), &file),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(ObjectNamespaceTest, ObjectNamesAreAskedForBySizeThenCopied) {
    std::shared_ptr<DEVICE_OBJECT> device;
    ASSERT_EQ(IoCreateDevice(u"\\Device\\NsNamed", 0x22, false, &device), STATUS_SUCCESS);
    const std::u16string name = u"\\Device\\NsNamed";
    uint32_t needed = 0;
    EXPECT_EQ(ObQueryNameString(device.get(), nullptr, 0, &needed), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, sizeof(OBJECT_NAME_INFORMATION) + name.size() * 2 + 2);
    alignas(8) uint8_t buffer[256];
    auto* info = reinterpret_cast<OBJECT_NAME_INFORMATION*>(buffer);
    EXPECT_EQ(ObQueryNameString(device.get(), info, needed - 1, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    ASSERT_EQ(ObQueryNameString(device.get(), info, needed, &needed), STATUS_SUCCESS);
    EXPECT_EQ(info->Name.View(), name);
    EXPECT_EQ(info->Name.Buffer[name.size()], u'\0');
    FILE_OBJECT file(device, CurrentProcessId());
    ASSERT_EQ(ObQueryNameString(&file, info, sizeof buffer, &needed), STATUS_SUCCESS);
    EXPECT_EQ(info->Name.View(), name);
    IoDeleteDevice(device);

    HANDLE directory = 0;
    ASSERT_EQ(OpenDirectory(u"\\global??", &directory), STATUS_SUCCESS);
    std::shared_ptr<NAMED_OBJECT> object;
    ASSERT_EQ(ReferenceAnyObject(directory, 0, ObjectType::Directory, &object), STATUS_SUCCESS);
    EXPECT_EQ(object->ObjectName(), u"\\GLOBAL??");
    EXPECT_EQ(ZwClose(directory), STATUS_SUCCESS);
}

TEST(ObjectNamespaceTest, DeclaredVolumesGetADeviceAndADriveLetter) {
    ASSERT_EQ(DeclareVolume(u"\\Device\\HarddiskVolume7", u"Y:"), STATUS_SUCCESS);
    EXPECT_EQ(TargetOf(u"\\??\\y:"), u"\\Device\\HarddiskVolume7");
    std::shared_ptr<DEVICE_OBJECT> device;
    EXPECT_EQ(ObLookupDevice(u"\\??\\Y:", kSystemLogonId, &device), STATUS_SUCCESS);
    EXPECT_EQ(device->Name(), u"\\Device\\HarddiskVolume7");
    EXPECT_EQ(DeclareVolume(u"\\Device\\HarddiskVolume8", u"Y:"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ObLookupDevice(u"\\Device\\HarddiskVolume8", kSystemLogonId, &device),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(DeclareVolume(u"\\Volumes\\X", u""), STATUS_OBJECT_NAME_INVALID);
    RemoveVolume(u"\\Device\\HarddiskVolume7", u"Y:");
    EXPECT_EQ(ObLookupDevice(u"\\??\\Y:", kSystemLogonId, &device), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ObLookupDevice(u"\\Device\\HarddiskVolume7", kSystemLogonId, &device),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(ObjectNamespaceTest, DirectoriesAndLinksAreRemovedOnlyAsWhatTheyAre) {
    ASSERT_EQ(ObCreateDirectoryObject(u"\\NsTestDir"), STATUS_SUCCESS);
    EXPECT_EQ(ObCreateDirectoryObject(u"\\nstestdir"), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(ObCreateSymbolicLink(u"\\NsTestDir\\L", u"\\Device"), STATUS_SUCCESS);
    EXPECT_EQ(ObDeleteSymbolicLink(u"\\NsTestDir"), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObDeleteDirectoryObject(u"\\NsTestDir\\L"), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObDeleteDirectoryObject(u"\\GLOBAL??"), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObDeleteSymbolicLink(u"\\NsTestDir\\L"), STATUS_SUCCESS);
    EXPECT_EQ(ObDeleteSymbolicLink(u"\\NsTestDir\\L"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ObDeleteDirectoryObject(u"\\NsTestDir"), STATUS_SUCCESS);
    EXPECT_EQ(ObCreateSymbolicLink(u"\\NsTestDir\\L", u"\\Device"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(ObCreateSymbolicLink(u"NoBackslash", u"\\Device"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ObCreateSymbolicLink(u"\\Device\\", u"\\Device"), STATUS_OBJECT_NAME_INVALID);
}

}  // namespace
}  // namespace os
