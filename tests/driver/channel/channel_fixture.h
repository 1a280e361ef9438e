// A driver with its control device and service-call queue, and a simulated service process that
// drives the channel exactly as the service does: through DeviceIoControl with real buffers.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/control_codes.h"
#include "common/records.h"
#include "common/service_calls.h"
#include "driver/channel/control_device.h"
#include "driver/channel/service_call_queue.h"
#include "driver/filter/url_lookup.h"
#include "os/core/process.h"
#include "os/win32/handles.h"

namespace wexo::drv::testing {

// One page the service can read but not write: a buffer it handed over by mistake, or a mapping
// of a file opened read-only.
class ReadOnlyPage {
  public:
    ReadOnlyPage()
        : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))),
          base_(mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
        EXPECT_NE(base_, MAP_FAILED);
    }
    ~ReadOnlyPage() { munmap(base_, size_); }
    ReadOnlyPage(const ReadOnlyPage&) = delete;
    ReadOnlyPage& operator=(const ReadOnlyPage&) = delete;

    void* Data() const { return base_; }
    uint64_t Address() const { return reinterpret_cast<uint64_t>(base_); }

  private:
    size_t size_;
    void* base_;
};

// A service process: its own handles, input event and request buffer.
class ServiceProcess {
  public:
    ServiceProcess()
        : process_(os::CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 0,
                                     "C:\\Program Files\\Wexo\\WexoSvc.exe")) {}
    // A process of another user, in that user's session.
    ServiceProcess(std::vector<uint8_t> userSid, uint32_t sessionId)
        : process_(os::CreateProcess(std::move(userSid), sessionId, "C:\\Users\\Public\\a.exe")) {}
    ~ServiceProcess() { os::TerminateProcess(process_->Id()); }

    uint32_t Id() const { return process_->Id(); }
    os::PROCESS& Process() { return *process_; }

    // Runs a call inside this process.
    template <typename F>
    auto In(F&& f) {
        os::ScopedProcessContext context(process_->Id());
        return f();
    }

    os::HANDLE Open() {
        return In([] {
            return os::CreateFileA(kDeviceOpenPath, os::GENERIC_READ | os::GENERIC_WRITE, 0,
                                   os::OPEN_EXISTING, os::FILE_ATTRIBUTE_NORMAL);
        });
    }

    // Sends a code; returns 0 on success, else the Win32 error the service would see.
    uint32_t Control(os::HANDLE device, uint32_t code, void* in, uint32_t inLength, void* out,
                     uint32_t outLength, uint32_t* returned = nullptr) {
        return In([&] {
            uint32_t bytes = 0;
            bool ok = os::DeviceIoControl(device, code, in, inLength, out, outLength, &bytes);
            if (returned != nullptr) {
                *returned = bytes;
            }
            return ok ? 0u : os::GetLastError();
        });
    }

    // Opens the device and registers with a fresh input event.
    uint32_t Register(os::HANDLE* device, QRN_REGISTER_REPLY* reply = nullptr,
                      uint32_t replyLength = sizeof(QRN_REGISTER_REPLY)) {
        *device = Open();
        if (*device == os::INVALID_HANDLE_VALUE) {
            return os::GetLastError();
        }
        inputEvent_ = In([] { return os::CreateEventA(false, false); });
        QRN_REGISTER_REQUEST request{};
        request.inputEvent = inputEvent_;
        request.programFolder = reinterpret_cast<uint64_t>(programFolder_.data());
        request.programFolderLength = static_cast<uint16_t>(programFolder_.size() * 2);
        QRN_REGISTER_REPLY local{};
        return Control(*device, QRN_REGISTER, &request, sizeof request,
                       reply != nullptr ? reply : &local, replyLength);
    }

    os::HANDLE InputEvent() const { return inputEvent_; }

    struct Fetched {
        uint32_t error = 0;
        uint64_t handle = 0;
        uint32_t code = 0;
        uint32_t timeout = 0;
        uint32_t size = 0;
        uint64_t address = 0;
    };

    Fetched Fetch(os::HANDLE device) {
        SC_INPUT_RESULTS results;
        SC_INPUT_REQUEST request =
            MakeScInputRequest(results, buffer_.data(), static_cast<uint32_t>(buffer_.size()));
        Fetched f;
        f.error = Control(device, QRN_SC_INPUT, &request, sizeof request, nullptr, 0);
        f.handle = results.callHandle;
        f.code = results.code;
        f.timeout = results.timeout;
        f.size = results.requestSize;
        f.address = results.requestAddress;
        return f;
    }

    bool InBuffer(uint64_t address) const {
        auto start = reinterpret_cast<uint64_t>(buffer_.data());
        return address >= start && address < start + buffer_.size();
    }

    uint32_t Answer(os::HANDLE device, uint64_t handle, int32_t status, const std::string* text) {
        answerText_ = text != nullptr ? *text : std::string();
        answer_ = POLICY_LOOKUP_ANSWER{};
        if (text != nullptr && !text->empty()) {
            answer_.responseText = reinterpret_cast<uint64_t>(answerText_.data());
            answer_.responseTextLength = static_cast<uint32_t>(answerText_.size());
        }
        SC_OUTPUT_REQUEST request{handle, reinterpret_cast<uint64_t>(&answer_), sizeof answer_,
                                  status};
        return Control(device, QRN_SC_OUTPUT, &request, sizeof request, nullptr, 0);
    }

    // Answers a name resolution with a DNS_ADDRESS_ANSWER block built in this process's memory.
    uint32_t AnswerAddresses(os::HANDLE device, uint64_t call, int32_t status,
                             const std::vector<uint8_t>& addresses, uint32_t elementSize) {
        addressBlock_.assign(sizeof(DNS_ADDRESS_ANSWER) + addresses.size(), 0);
        DNS_ADDRESS_ANSWER answer{};
        answer.count = static_cast<uint32_t>(addresses.size() / elementSize);
        if (!addresses.empty()) {
            answer.addresses = reinterpret_cast<uint64_t>(addressBlock_.data() + sizeof answer);
            std::memcpy(addressBlock_.data() + sizeof answer, addresses.data(), addresses.size());
        }
        std::memcpy(addressBlock_.data(), &answer, sizeof answer);
        SC_OUTPUT_REQUEST output{call, reinterpret_cast<uint64_t>(addressBlock_.data()),
                                 static_cast<uint32_t>(addressBlock_.size()), status};
        return Control(device, QRN_SC_OUTPUT, &output, sizeof output, nullptr, 0);
    }

    uint32_t Simple(os::HANDLE device, uint32_t code) {
        return Control(device, code, nullptr, 0, nullptr, 0);
    }

    void Close(os::HANDLE handle) {
        In([&] { return os::CloseHandle(handle); });
    }

    std::u16string programFolder_ = u"\\??\\C:\\Program Files\\Wexo";

  private:
    std::shared_ptr<os::PROCESS> process_;
    os::HANDLE inputEvent_ = 0;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kServiceRequestBufferSize);
    POLICY_LOOKUP_ANSWER answer_{};
    std::string answerText_;
    std::vector<uint8_t> addressBlock_;
};

// A policy-lookup request built in kernel memory, as a lookup worker builds it.
struct LookupRecord {
    explicit LookupRecord(std::string hostName, std::string path = "/")
        : host(std::move(hostName)), url(std::move(path)) {
        record.processId = 1234;
        record.host = reinterpret_cast<uint64_t>(host.data());
        record.hostLength = static_cast<uint32_t>(host.size());
        record.urlPath = reinterpret_cast<uint64_t>(url.data());
        record.urlPathLength = static_cast<uint32_t>(url.size());
        record.remoteAddress = reinterpret_cast<uint64_t>(address);
        record.remoteAddressLength = 4;
        record.flowNumber = 1;
    }

    SERVICE_CALL_REQUEST Request(uint32_t limit = kServiceCallTimeoutSeconds) {
        SERVICE_CALL_REQUEST request = PolicyLookupCall(record, answerBuffer, sizeof answerBuffer,
                                                        &answer, &answerSize, &status);
        request.limitSeconds = limit;
        return request;
    }

    std::string AnswerText() const {
        if (answer == nullptr) {
            return {};
        }
        auto* a = static_cast<const POLICY_LOOKUP_ANSWER*>(answer);
        return std::string(reinterpret_cast<const char*>(a->responseText), a->responseTextLength);
    }

    std::string host;
    std::string url;
    uint8_t address[4] = {93, 184, 216, 34};
    POLICY_LOOKUP_REQUEST record{};
    void* answer = nullptr;
    uint32_t answerSize = 0;
    alignas(8) uint8_t answerBuffer[kDriverAnswerBufferSize] = {};
    int32_t status = -1;
};

// The driver's channel: queue, protection switches and control device.
class ChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(queue.Initialise());
        ASSERT_EQ(device.Create(), os::STATUS_SUCCESS);
    }
    void TearDown() override {
        queue.ShutDown();
        device.Delete();
    }

    SERVICE_CALL_QUEUE queue;
    PROTECTION_STATE protection;
    CONTROL_DEVICE device{queue, protection};
};

}  // namespace wexo::drv::testing
