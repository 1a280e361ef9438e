#include "driver/channel/control_device.h"

#include <gtest/gtest.h>

#include <cstring>

#include "channel_fixture.h"
#include "driver/platform/event_log.h"
#include "os/core/clock.h"
#include "os/core/event_log.h"
#include "os/core/sync.h"

namespace wexo::drv::testing {
namespace {

using ControlDeviceTest = ChannelTest;

TEST_F(ControlDeviceTest, VersionForUnregisteredHandlesOnly) {
    ServiceProcess service;
    os::HANDLE handle = service.Open();
    ASSERT_NE(handle, os::INVALID_HANDLE_VALUE);
    QRN_VERSION_REPLY version{};
    uint32_t returned = 0;
    EXPECT_EQ(service.Control(handle, QRN_GET_VERSION, nullptr, 0, &version, 7),
              os::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(service.Control(handle, QRN_GET_VERSION, nullptr, 0, &version, 8, &returned), 0u);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(version.major, 6);
    EXPECT_EQ(version.minor, 2);
    EXPECT_EQ(version.build, 9u);
    // The unregistered handle may not use the service-call group, and vice versa.
    EXPECT_EQ(service.Simple(handle, QRN_SC_HEARTBEAT), os::ERROR_INVALID_FUNCTION);
    os::HANDLE registered;
    ASSERT_EQ(service.Register(&registered), 0u);
    EXPECT_EQ(service.Control(registered, QRN_GET_VERSION, nullptr, 0, &version, 8),
              os::ERROR_INVALID_FUNCTION);
    EXPECT_EQ(service.Simple(registered, QRN_SC_HEARTBEAT), 0u);
    EXPECT_EQ(service.Simple(registered, WexoCode(0xBC0)), os::ERROR_INVALID_FUNCTION);
}

TEST_F(ControlDeviceTest, UnreadableOrUnwritableBuffersAreInvalidParameters) {
    ServiceProcess service;
    os::HANDLE handle = service.Open();
    uint64_t bad = 0x10;  // never mapped
    EXPECT_EQ(service.Control(handle, QRN_GET_VERSION, nullptr, 0, reinterpret_cast<void*>(bad), 8),
              os::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(service.Control(handle, QRN_REGISTER, reinterpret_cast<void*>(bad), 40, nullptr, 0),
              os::ERROR_INVALID_PARAMETER);
    // A range that wraps around the address space.
    uint8_t byte = 0;
    EXPECT_EQ(service.Control(handle, QRN_REGISTER, &byte, 0xFFFFFFFF, nullptr, 0),
              os::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(device.RegisteredProcessId(), 0u);
}

TEST_F(ControlDeviceTest, RegistrationRecordsTheProcessAndReplies) {
    ServiceProcess service;
    os::HANDLE handle;
    QRN_REGISTER_REPLY reply{};
    ASSERT_EQ(service.Register(&handle, &reply), 0u);
    EXPECT_EQ(device.RegisteredProcessId(), service.Id());
    EXPECT_EQ(reply.major, 6);
    EXPECT_EQ(reply.minor, 2);
    EXPECT_EQ(reply.build, 9);
    EXPECT_EQ(reply.interfaceVersion, 2);
    EXPECT_TRUE(queue.IsServiceActive());
    // Kept in the device form the filter compares names in.
    EXPECT_EQ(protection.ProtectedFolder(), NormaliseText(service.programFolder_));
    EXPECT_EQ(protection.DataFolder(), u"");
}

TEST_F(ControlDeviceTest, ShortReplyBufferGetsATruncatedReplyAndStillRegisters) {
    ServiceProcess service;
    os::HANDLE handle;
    uint8_t reply[10];
    std::memset(reply, 0xEE, sizeof reply);
    uint32_t returned = 0;
    handle = service.Open();
    os::HANDLE event = service.In([] { return os::CreateEventA(false, false); });
    QRN_REGISTER_REQUEST request{};
    request.inputEvent = event;
    EXPECT_EQ(service.Control(handle, QRN_REGISTER, &request, sizeof request, reply, 6, &returned),
              0u);
    EXPECT_EQ(returned, 6u);
    EXPECT_EQ(reply[0], 6);
    EXPECT_EQ(reply[2], 2);
    EXPECT_EQ(reply[4], 9);
    EXPECT_EQ(reply[6], 0xEE);  // nothing past the six bytes asked for
    EXPECT_EQ(device.RegisteredProcessId(), service.Id());
}

// A service that cannot be told the interface version must not be left registered: it would
// believe the registration failed and never serve the calls queued for it.
TEST_F(ControlDeviceTest, AReplyBufferThatCannotBeWrittenRegistersNothing) {
    ServiceProcess service;
    ReadOnlyPage readOnly;
    os::HANDLE handle = service.Open();
    os::HANDLE event = service.In([] { return os::CreateEventA(false, false); });
    QRN_REGISTER_REQUEST request{};
    request.inputEvent = event;
    request.programFolder = reinterpret_cast<uint64_t>(service.programFolder_.data());
    request.programFolderLength = static_cast<uint16_t>(service.programFolder_.size() * 2);
    uint32_t returned = 99;
    EXPECT_EQ(service.Control(handle, QRN_REGISTER, &request, sizeof request, readOnly.Data(),
                              sizeof(QRN_REGISTER_REPLY), &returned),
              os::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(device.RegisteredProcessId(), 0u);
    EXPECT_FALSE(queue.IsServiceActive());
    EXPECT_EQ(protection.ProtectedFolder(), u"");
    // The handle is not registered: it may still ask for the version, and register properly.
    QRN_VERSION_REPLY version{};
    EXPECT_EQ(service.Control(handle, QRN_GET_VERSION, nullptr, 0, &version, 8), 0u);
    QRN_REGISTER_REPLY reply{};
    EXPECT_EQ(service.Control(handle, QRN_REGISTER, &request, sizeof request, &reply, sizeof reply),
              0u);
    EXPECT_EQ(reply.interfaceVersion, 2);
    EXPECT_EQ(device.RegisteredProcessId(), service.Id());
}

TEST_F(ControlDeviceTest, SecondRegistrationIsRefusedAndTheFirstStays) {
    ServiceProcess first, second;
    os::HANDLE a, b, again;
    ASSERT_EQ(first.Register(&a), 0u);
    EXPECT_EQ(second.Register(&b), os::ERROR_INVALID_FUNCTION);
    EXPECT_EQ(first.Register(&again), os::ERROR_INVALID_FUNCTION);
    EXPECT_EQ(device.RegisteredProcessId(), first.Id());
    EXPECT_TRUE(queue.IsServiceActive());
    // The refused handles are not registered: they still may ask for the version.
    QRN_VERSION_REPLY version{};
    EXPECT_EQ(second.Control(b, QRN_GET_VERSION, nullptr, 0, &version, 8), 0u);
}

// A user's process that registered would be asked every lookup and could answer "allow".
TEST_F(ControlDeviceTest, OnlyAProcessOfTheSystemLogonMayRegister) {
    ServiceProcess user, system;
    user.Process().SetAuthenticationId(os::DefaultLogonId(1));
    os::HANDLE a, b;
    EXPECT_EQ(user.Register(&a), os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(device.RegisteredProcessId(), 0u);
    EXPECT_FALSE(queue.IsServiceActive());
    // Refused before anything is read: the handle stays an unregistered one.
    QRN_VERSION_REPLY version{};
    EXPECT_EQ(user.Control(a, QRN_GET_VERSION, nullptr, 0, &version, 8), 0u);
    ASSERT_EQ(system.Register(&b), 0u);
    EXPECT_EQ(device.RegisteredProcessId(), system.Id());
}

TEST_F(ControlDeviceTest, ClosingTheRegisteredHandleOrEndingTheProcessUnregisters) {
    ServiceProcess first;
    os::HANDLE a;
    ASSERT_EQ(first.Register(&a), 0u);
    first.Close(a);
    EXPECT_EQ(device.RegisteredProcessId(), 0u);
    EXPECT_FALSE(queue.IsServiceActive());

    auto second = std::make_unique<ServiceProcess>();
    os::HANDLE b;
    ASSERT_EQ(second->Register(&b), 0u);
    uint32_t id = second->Id();
    EXPECT_EQ(device.RegisteredProcessId(), id);
    second.reset();  // the process ends without closing anything
    EXPECT_EQ(device.RegisteredProcessId(), 0u);
    EXPECT_FALSE(queue.IsServiceActive());

    ServiceProcess third;
    os::HANDLE c;
    EXPECT_EQ(third.Register(&c), 0u);
}

TEST(ControlDeviceCreateTest, FailuresAreReportedAndLeaveNothingBehind) {
    SERVICE_CALL_QUEUE queue;
    PROTECTION_STATE protection;
    os::ClearEventLogRecords();
    auto uniqueValue = [](const os::EVENT_LOG_RECORD& record) {
        uint32_t unique = 0;
        if (record.data.size() >= kPacketHeaderSize) {
            std::memcpy(&unique, record.data.data() + kPacketUniqueValueOffset, 4);
        }
        return unique;
    };
    {
        // The device name is taken.
        std::shared_ptr<os::DEVICE_OBJECT> squatter;
        ASSERT_EQ(os::IoCreateDevice(kDeviceName, 0, false, &squatter), os::STATUS_SUCCESS);
        CONTROL_DEVICE device{queue, protection};
        EXPECT_EQ(device.Create(), os::STATUS_OBJECT_NAME_COLLISION);
        os::IoDeleteDevice(squatter);
    }
    {
        // The link name is taken: the device made for it goes again.
        ASSERT_EQ(os::IoCreateSymbolicLink(kDeviceLinkName, u"\\Device\\Other"),
                  os::STATUS_SUCCESS);
        CONTROL_DEVICE device{queue, protection};
        EXPECT_EQ(device.Create(), os::STATUS_OBJECT_NAME_COLLISION);
        ASSERT_EQ(os::IoDeleteSymbolicLink(kDeviceLinkName), os::STATUS_SUCCESS);
        EXPECT_EQ(device.Create(), os::STATUS_SUCCESS);
        device.Delete();
    }
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].eventId, DRIVER_EVENT_CREATE_DEVICE_FAILED);
    EXPECT_EQ(uniqueValue(records[0]), UniqueValue("DE02"));
    EXPECT_EQ(records[1].eventId, DRIVER_EVENT_CREATE_LINK_FAILED);
    EXPECT_EQ(uniqueValue(records[1]), UniqueValue("DE03"));
    ASSERT_EQ(records[1].strings.size(), 2u);
    EXPECT_EQ(records[1].strings[1], StatusText(os::STATUS_OBJECT_NAME_COLLISION));
}

TEST(ControlDeviceHooksTest, TheFilterHearsOfEveryServiceProcessChange) {
    SERVICE_CALL_QUEUE queue;
    ASSERT_TRUE(queue.Initialise());
    PROTECTION_STATE protection;
    std::vector<uint32_t> told;
    CONTROL_DEVICE::HOOKS hooks;
    hooks.serviceProcessChanged = [&](uint32_t processId) { told.push_back(processId); };
    CONTROL_DEVICE device{queue, protection, hooks};
    ASSERT_EQ(device.Create(), os::STATUS_SUCCESS);
    {
        ServiceProcess first;
        os::HANDLE a;
        ASSERT_EQ(first.Register(&a), 0u);
        ServiceProcess refused;
        os::HANDLE b;
        EXPECT_NE(refused.Register(&b), 0u);
        first.Close(a);
        ServiceProcess second;
        os::HANDLE c;
        ASSERT_EQ(second.Register(&c), 0u);
        EXPECT_EQ(told, (std::vector<uint32_t>{first.Id(), 0, second.Id()}));
    }
    // The second service ended with its handle open.
    EXPECT_EQ(told.back(), 0u);
    queue.ShutDown();
    device.Delete();
}

TEST_F(ControlDeviceTest, RegistrationWithABadEventHandleLeavesNothingRegistered) {
    ServiceProcess service;
    os::HANDLE handle = service.Open();
    QRN_REGISTER_REQUEST request{};
    request.inputEvent = 0x7777;
    QRN_REGISTER_REPLY reply{};
    EXPECT_EQ(service.Control(handle, QRN_REGISTER, &request, sizeof request, &reply, sizeof reply),
              os::ERROR_INVALID_HANDLE);
    // A handle of the wrong type is refused the same way.
    request.inputEvent = handle;
    EXPECT_NE(service.Control(handle, QRN_REGISTER, &request, sizeof request, &reply, sizeof reply),
              0u);
    EXPECT_EQ(device.RegisteredProcessId(), 0u);
    EXPECT_FALSE(queue.IsServiceActive());
    os::HANDLE registered;
    EXPECT_EQ(service.Register(&registered), 0u);
}

TEST_F(ControlDeviceTest, FolderTextsAreStoredAndCleared) {
    ServiceProcess service;
    os::HANDLE handle = service.Open();
    os::HANDLE event = service.In([] { return os::CreateEventA(false, false); });
    std::u16string program = u"\\??\\C:\\Wexo", data = u"\\??\\C:\\ProgramData\\Corvane";
    QRN_REGISTER_REQUEST request{};
    request.inputEvent = event;
    request.programFolder = reinterpret_cast<uint64_t>(program.data());
    request.programFolderLength = static_cast<uint16_t>(program.size() * 2);
    request.dataFolder = reinterpret_cast<uint64_t>(data.data());
    request.dataFolderLength = static_cast<uint16_t>(data.size() * 2);
    QRN_REGISTER_REPLY reply{};
    ASSERT_EQ(service.Control(handle, QRN_REGISTER, &request, sizeof request, &reply, 10), 0u);
    // The program folder is kept in device form (C: is the system volume), the data folder as
    // given: no check reads it.
    const std::u16string inDeviceForm = u"\\Device\\HarddiskVolume1\\Wexo";
    EXPECT_EQ(protection.ProtectedFolder(), inDeviceForm);
    EXPECT_EQ(protection.DataFolder(), data);
    service.Close(handle);

    // The same folder in other letters keeps the stored text; an absent one clears it.
    std::u16string upper = u"\\??\\C:\\WEXO";
    handle = service.Open();
    request.programFolder = reinterpret_cast<uint64_t>(upper.data());
    request.dataFolder = 0;
    request.dataFolderLength = 0;
    ASSERT_EQ(service.Control(handle, QRN_REGISTER, &request, sizeof request, &reply, 10), 0u);
    EXPECT_EQ(protection.ProtectedFolder(), inDeviceForm);
    EXPECT_EQ(protection.DataFolder(), u"");

    // A folder text the caller cannot read is refused before anything is registered.
    service.Close(handle);
    handle = service.Open();
    request.programFolder = 0x20;
    EXPECT_EQ(service.Control(handle, QRN_REGISTER, &request, sizeof request, &reply, 10),
              os::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(device.RegisteredProcessId(), 0u);
}

// The privileged codes need a thread that answered a challenge with the installation's secret.
class PrivilegedCodesTest : public ChannelTest {
  protected:
    void SetUp() override {
        ChannelTest::SetUp();
        device.SetAuthSecret(secret);
        handle = admin.Open();
    }

    uint32_t Authorise(uint32_t function, const std::vector<uint8_t>& key) {
        AuthNonce nonce{};
        uint32_t error = admin.Control(handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32);
        if (error != 0) {
            return error;
        }
        QRN_AUTH_RESPONSE_REQUEST response{function, {}};
        AuthMac mac = ComputeAuthResponse(key, nonce, os::CurrentThreadId(), function);
        std::memcpy(response.mac, mac.data(), mac.size());
        return admin.Control(handle, QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0);
    }

    std::vector<uint8_t> secret = std::vector<uint8_t>(32, 0x5A);
    ServiceProcess admin;
    os::HANDLE handle = 0;
};

TEST_F(PrivilegedCodesTest, WithoutAuthorisationEveryPrivilegedCodeIsDenied) {
    uint64_t image = 0;
    EXPECT_EQ(admin.Control(handle, QRN_UPDATE_DRIVER, &image, 8, nullptr, 0),
              os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(admin.Simple(handle, QRN_UNINSTALL), os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(admin.Simple(handle, QRN_SUSPEND_PROTECTION), os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(admin.Control(handle, QRN_UPDATE_DRIVER, &image, 7, nullptr, 0),
              os::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(protection.FileProtectionOn());
    EXPECT_TRUE(protection.RegistryProtectionEnabled());
}

TEST_F(PrivilegedCodesTest, ARightAnswerAuthorisesOneRequestOfTheNamedCode) {
    ASSERT_EQ(Authorise(0xB17, secret), 0u);
    // Authorised for suspend, not for uninstall.
    EXPECT_EQ(admin.Simple(handle, QRN_UNINSTALL), os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(admin.Simple(handle, QRN_SUSPEND_PROTECTION), 0u);
    EXPECT_TRUE(protection.ProductKeyUnprotected());
    EXPECT_FALSE(protection.FileProtectionOn());
    EXPECT_EQ(admin.Simple(handle, QRN_SUSPEND_PROTECTION), os::ERROR_ACCESS_DENIED);
    // Resume needs nothing.
    EXPECT_EQ(admin.Simple(handle, QRN_RESUME_PROTECTION), 0u);
    EXPECT_FALSE(protection.ProductKeyUnprotected());
    EXPECT_TRUE(protection.FileProtectionOn());

    ASSERT_EQ(Authorise(0xB16, secret), 0u);
    EXPECT_EQ(admin.Simple(handle, QRN_UNINSTALL), 0u);
    EXPECT_FALSE(protection.RegistryProtectionEnabled());
    EXPECT_FALSE(protection.FileProtectionOn());
    EXPECT_EQ(admin.Simple(handle, QRN_RESUME_PROTECTION), 0u);
    EXPECT_FALSE(protection.RegistryProtectionEnabled());  // nothing turns it back on
}

TEST_F(PrivilegedCodesTest, WrongSecretOtherThreadReplayAndExpiryAreDenied) {
    std::vector<uint8_t> wrong(32, 0x5B);
    EXPECT_EQ(Authorise(0xB16, wrong), os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(admin.Simple(handle, QRN_UNINSTALL), os::ERROR_ACCESS_DENIED);

    // A response computed for another thread does not authorise this one.
    AuthNonce nonce{};
    ASSERT_EQ(admin.Control(handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32), 0u);
    QRN_AUTH_RESPONSE_REQUEST response{0xB16, {}};
    AuthMac mac = ComputeAuthResponse(secret, nonce, os::CurrentThreadId() + 4, 0xB16);
    std::memcpy(response.mac, mac.data(), mac.size());
    EXPECT_EQ(admin.Control(handle, QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0),
              os::ERROR_ACCESS_DENIED);

    // A right answer sent twice works once: the challenge is used up.
    ASSERT_EQ(admin.Control(handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32), 0u);
    mac = ComputeAuthResponse(secret, nonce, os::CurrentThreadId(), 0xB16);
    std::memcpy(response.mac, mac.data(), mac.size());
    EXPECT_EQ(admin.Control(handle, QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0), 0u);
    EXPECT_EQ(admin.Control(handle, QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0),
              os::ERROR_ACCESS_DENIED);

    // A code that is not privileged cannot be authorised.
    ASSERT_EQ(admin.Control(handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32), 0u);
    QRN_AUTH_RESPONSE_REQUEST other{0xB11, {}};
    mac = ComputeAuthResponse(secret, nonce, os::CurrentThreadId(), 0xB11);
    std::memcpy(other.mac, mac.data(), mac.size());
    EXPECT_EQ(admin.Control(handle, QRN_AUTH_RESPONSE, &other, sizeof other, nullptr, 0),
              os::ERROR_ACCESS_DENIED);
}

TEST_F(PrivilegedCodesTest, AChallengeExpiresAfterThirtySeconds) {
    os::VirtualClock clock;
    AuthNonce nonce{};
    ASSERT_EQ(admin.Control(handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32), 0u);
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(31)));
    QRN_AUTH_RESPONSE_REQUEST response{0xB16, {}};
    AuthMac mac = ComputeAuthResponse(secret, nonce, os::CurrentThreadId(), 0xB16);
    std::memcpy(response.mac, mac.data(), mac.size());
    EXPECT_EQ(admin.Control(handle, QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0),
              os::ERROR_ACCESS_DENIED);
}

TEST_F(PrivilegedCodesTest, WithoutASecretNoChallengeIsGiven) {
    device.SetAuthSecret({});
    AuthNonce nonce{};
    EXPECT_EQ(admin.Control(handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32),
              os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(admin.Control(handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 31),
              os::ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(PrivilegedCodesTest, UpdateEndsTheAuthorisationWhateverTheOutcome) {
    ASSERT_EQ(Authorise(0xB15, secret), 0u);
    uint64_t image = 0x44;
    // This device has no image updater wired: the update fails, honestly.
    EXPECT_EQ(admin.Control(handle, QRN_UPDATE_DRIVER, &image, 8, nullptr, 0),
              os::ERROR_NOT_SUPPORTED);
    EXPECT_EQ(admin.Control(handle, QRN_UPDATE_DRIVER, &image, 8, nullptr, 0),
              os::ERROR_ACCESS_DENIED);
}

// An update request that fails its checks is still the one request the authorisation was for.
TEST_F(PrivilegedCodesTest, ARefusedUpdateRequestUsesUpTheAuthorisation) {
    uint64_t image = 0x44;
    ASSERT_EQ(Authorise(0xB15, secret), 0u);
    EXPECT_EQ(admin.Control(handle, QRN_UPDATE_DRIVER, &image, 7, nullptr, 0),
              os::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(admin.Control(handle, QRN_UPDATE_DRIVER, &image, 8, nullptr, 0),
              os::ERROR_ACCESS_DENIED);

    ASSERT_EQ(Authorise(0xB15, secret), 0u);
    EXPECT_EQ(
        admin.Control(handle, QRN_UPDATE_DRIVER, reinterpret_cast<void*>(0x10), 8, nullptr, 0),
        os::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(admin.Control(handle, QRN_UPDATE_DRIVER, &image, 8, nullptr, 0),
              os::ERROR_ACCESS_DENIED);

    // A fresh authorisation still reaches the updater (none is wired to this device).
    ASSERT_EQ(Authorise(0xB15, secret), 0u);
    EXPECT_EQ(admin.Control(handle, QRN_UPDATE_DRIVER, &image, 8, nullptr, 0),
              os::ERROR_NOT_SUPPORTED);
}

}  // namespace
}  // namespace wexo::drv::testing
