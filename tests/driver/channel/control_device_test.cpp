#include "driver/channel/control_device.h"

#include <gtest/gtest.h>

#include <cstring>

#include "channel_fixture.h"
#include "driver/platform/event_log.h"
#include "os/core/clock.h"
#include "os/core/event_log.h"
#include "os/core/process.h"
#include "os/core/sid.h"
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

    // One requesting thread: the thread number a bridge names for a caller's thread.
    struct CALLER {
        ServiceProcess& process;
        os::HANDLE handle;
        uint32_t thread;
    };
    static constexpr uint32_t kChallengeTableSize =
        static_cast<uint32_t>(CONTROL_DEVICE::kChallengeTableSize);

    uint32_t Ask(const CALLER& caller, AuthNonce* nonce) {
        os::ScopedRequestorThread requestor(caller.thread);
        return caller.process.Control(caller.handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce->data(),
                                      32);
    }
    uint32_t Answer(const CALLER& caller, const AuthNonce& nonce, uint32_t function) {
        return Answer(caller, nonce, function, secret);
    }
    uint32_t Answer(const CALLER& caller, const AuthNonce& nonce, uint32_t function,
                    const std::vector<uint8_t>& key) {
        os::ScopedRequestorThread requestor(caller.thread);
        QRN_AUTH_RESPONSE_REQUEST response{function, {}};
        AuthMac mac = ComputeAuthResponse(key, nonce, caller.thread, function);
        std::memcpy(response.mac, mac.data(), mac.size());
        return caller.process.Control(caller.handle, QRN_AUTH_RESPONSE, &response, sizeof response,
                                      nullptr, 0);
    }
    uint32_t Send(const CALLER& caller, uint32_t code) {
        os::ScopedRequestorThread requestor(caller.thread);
        return caller.process.Simple(caller.handle, code);
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

// Each row: how long after its challenge a thread answers, and how long after the answer it sends
// the code it was authorised for.
TEST_F(PrivilegedCodesTest, AChallengeAndAnAuthorisationEachLastThirtySeconds) {
    struct CASE {
        int answerAfter, useAfter;
        bool answered, used;
    };
    const CASE cases[] = {
        {30, 0, true, true},
        {31, 0, false, false},
        {0, 30, true, true},
        {0, 31, true, false},
    };
    os::VirtualClock clock;
    const CALLER caller{admin, handle, 0x100};
    for (const CASE& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.answerAfter << " s, then " << c.useAfter << " s");
        AuthNonce nonce{};
        ASSERT_EQ(Ask(caller, &nonce), 0u);
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(c.answerAfter)));
        EXPECT_EQ(Answer(caller, nonce, 0xB17) == 0, c.answered);
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(c.useAfter)));
        EXPECT_EQ(Send(caller, QRN_SUSPEND_PROTECTION) == 0, c.used);
        EXPECT_EQ(admin.Simple(handle, QRN_RESUME_PROTECTION), 0u);
    }
}

// A loop of challenges, wrong answers and privileged codes from any other caller, however many
// threads and processes it uses, neither replaces an administrator's pending challenge nor takes
// the authorisation it led to.
TEST_F(PrivilegedCodesTest, NoOtherCallerCancelsAPendingChallengeOrItsAuthorisation) {
    ServiceProcess students[] = {
        {os::UnixUserSid(65534), 1}, {os::UnixUserSid(65534), 1}, {os::UnixUserSid(65534), 2}};
    std::vector<CALLER> others{{admin, handle, 0x200}};  // another thread of the same process
    for (ServiceProcess& student : students) {
        const os::HANDLE opened = student.Open();
        for (uint32_t thread = 1; thread <= kChallengeTableSize; ++thread) {
            others.push_back({student, opened, thread});
        }
    }
    auto flood = [&] {
        for (const CALLER& other : others) {
            for (int i = 0; i < 2; ++i) {
                AuthNonce nonce{};
                ASSERT_EQ(Ask(other, &nonce), 0u);
                EXPECT_EQ(Answer(other, nonce, 0xB17, std::vector<uint8_t>(32, 0x11)),
                          os::ERROR_ACCESS_DENIED);
                EXPECT_EQ(Send(other, QRN_SUSPEND_PROTECTION), os::ERROR_ACCESS_DENIED);
                EXPECT_EQ(Answer(other, nonce, 0xB17, std::vector<uint8_t>(32, 0x11)),
                          os::ERROR_ACCESS_DENIED);
            }
            // Open to every caller, and no pending challenge hangs on it.
            EXPECT_EQ(Send(other, QRN_RESUME_PROTECTION), 0u);
        }
    };
    const CALLER administrator{admin, handle, 0x100};
    AuthNonce nonce{};
    ASSERT_EQ(Ask(administrator, &nonce), 0u);
    flood();
    ASSERT_EQ(Answer(administrator, nonce, 0xB17), 0u);
    flood();
    EXPECT_EQ(Send(administrator, QRN_SUSPEND_PROTECTION), 0u);
    EXPECT_FALSE(protection.FileProtectionOn());
}

// A full table gives up the oldest entry of the user who holds the most: a loop's own.
TEST_F(PrivilegedCodesTest, AFullTableDropsTheBusiestUsersOldestChallenge) {
    ServiceProcess student{os::UnixUserSid(65534), 1};
    const os::HANDLE opened = student.Open();
    const CALLER administrator{admin, handle, 0x100};
    std::vector<CALLER> threads;
    std::vector<AuthNonce> nonces(kChallengeTableSize);
    AuthNonce adminNonce{};
    ASSERT_EQ(Ask(administrator, &adminNonce), 0u);
    // The administrator's entry and 63 of the student's fill the table; the 64th pushes out the
    // student's first.
    for (uint32_t i = 0; i < kChallengeTableSize; ++i) {
        threads.push_back({student, opened, i + 1});
        ASSERT_EQ(Ask(threads.back(), &nonces[i]), 0u);
    }
    EXPECT_EQ(Answer(threads.front(), nonces.front(), 0xB17), os::ERROR_ACCESS_DENIED);
    EXPECT_EQ(Answer(threads[1], nonces[1], 0xB17), 0u);
    EXPECT_EQ(Answer(threads.back(), nonces.back(), 0xB17), 0u);
    EXPECT_EQ(Answer(administrator, adminNonce, 0xB16), 0u);
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
