// Helpers of the service-call tests: captured log lines, a sink that keeps the answers handlers
// send, a name resolver whose names the test controls, and a scripted control device that stands
// where the driver would, so that the service's side can be driven with answers the real driver
// never gives.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/control_codes.h"
#include "common/records.h"
#include "os/core/status.h"
#include "os/kernel/device.h"
#include "service/calls/ip_address.h"
#include "service/calls/service_call.h"
#include "service/support/debug_log.h"
#include "tests/service/log_capture.h"

namespace wexo::svc::testing {

// One completion as the driver would receive it: the status and a copy of the answer block.
struct RECORDED_ANSWER {
    uint32_t sequence = 0;
    int32_t status = 0;
    std::vector<uint8_t> block;
    uint64_t base = 0;

    // A part the answer record points to, read only when it lies inside the block.
    std::string Part(uint64_t pointer, uint64_t length) const {
        if (length == 0) {
            return {};
        }
        EXPECT_GE(pointer, base);
        EXPECT_LE(pointer - base + length, block.size());
        if (pointer < base || pointer - base + length > block.size()) {
            return {};
        }
        return std::string(reinterpret_cast<const char*>(block.data() + (pointer - base)), length);
    }
    template <typename RECORD>
    RECORD Record() const {
        RECORD record{};
        EXPECT_GE(block.size(), sizeof record);
        std::memcpy(&record, block.data(), std::min(block.size(), sizeof record));
        return record;
    }
    std::string ResponseText() const {
        if (block.empty()) {
            return {};
        }
        auto answer = Record<POLICY_LOOKUP_ANSWER>();
        return Part(answer.responseText, answer.responseTextLength);
    }
};

class CALL_RECORDER final : public SERVICE_CALL_SINK {
  public:
    void Complete(SERVICE_CALL& call, const void* answer, uint32_t answerSize,
                  int32_t status) override {
        RECORDED_ANSWER recorded;
        recorded.sequence = call.Sequence();
        recorded.status = status;
        if (answer != nullptr) {
            const auto* bytes = static_cast<const uint8_t*>(answer);
            recorded.block.assign(bytes, bytes + answerSize);
            recorded.base = reinterpret_cast<uint64_t>(answer);
        }
        std::lock_guard guard(lock_);
        answers_.push_back(std::move(recorded));
    }
    std::vector<RECORDED_ANSWER> Answers() const {
        std::lock_guard guard(lock_);
        return answers_;
    }
    RECORDED_ANSWER Last() const {
        std::lock_guard guard(lock_);
        EXPECT_FALSE(answers_.empty());
        return answers_.empty() ? RECORDED_ANSWER{} : answers_.back();
    }

  private:
    mutable std::mutex lock_;
    std::vector<RECORDED_ANSWER> answers_;
};

// Names and what they resolve to, as the test says; unknown names are not found.
class TABLE_RESOLVER final : public NAME_RESOLVER {
  public:
    void Add(const std::string& name, std::vector<IP_ADDRESS> addresses) {
        std::lock_guard guard(lock_);
        names_[name] = ENTRY{0, std::move(addresses)};
    }
    void Fail(const std::string& name, uint32_t error) {
        std::lock_guard guard(lock_);
        names_[name] = ENTRY{error, {}};
    }
    uint32_t Resolve(const std::string& hostName, AddressFamily family,
                     std::vector<IP_ADDRESS>* addresses) override {
        std::lock_guard guard(lock_);
        asked_.push_back(hostName);
        addresses->clear();
        auto it = names_.find(hostName);
        if (it == names_.end()) {
            return os::WSAHOST_NOT_FOUND;
        }
        if (it->second.error != 0) {
            return it->second.error;
        }
        uint8_t length = family == AddressFamily::V6 ? 16 : 4;
        for (const IP_ADDRESS& a : it->second.addresses) {
            if (a.Length() == length) {
                addresses->push_back(a);
            }
        }
        return addresses->empty() && !it->second.addresses.empty() ? os::WSANO_DATA : 0;
    }
    std::vector<std::string> Asked() const {
        std::lock_guard guard(lock_);
        return asked_;
    }

  private:
    struct ENTRY {
        uint32_t error = 0;
        std::vector<IP_ADDRESS> addresses;
    };
    mutable std::mutex lock_;
    std::map<std::string, ENTRY> names_;
    std::vector<std::string> asked_;
};

inline IP_ADDRESS V6(std::initializer_list<uint8_t> bytes) {
    uint8_t b[16] = {};
    std::copy(bytes.begin(), bytes.end(), b);
    return IP_ADDRESS(16, b);
}

// "\Device\WexoWfp" answering each code as the test scripts it (success when unscripted).
class SCRIPTED_DRIVER {
  public:
    using HANDLER = std::function<os::NTSTATUS(const os::FAST_IO_DEVICE_CONTROL_ARGS& args)>;

    SCRIPTED_DRIVER() {
        EXPECT_EQ(os::IoCreateDevice(kDeviceName, kDeviceType, false, &device_),
                  os::STATUS_SUCCESS);
        device_->create = [this](os::FILE_OBJECT&) { return createStatus_.load(); };
        device_->close = [](os::FILE_OBJECT&) { return os::STATUS_SUCCESS; };
        device_->cleanup = [](os::FILE_OBJECT&) { return os::STATUS_SUCCESS; };
        device_->fastIoDeviceControl = [this](const os::FAST_IO_DEVICE_CONTROL_ARGS& args,
                                              os::IO_STATUS_BLOCK& status) {
            HANDLER handler;
            {
                std::lock_guard guard(lock_);
                ++counts_[args.code];
                auto it = handlers_.find(args.code);
                if (it != handlers_.end()) {
                    handler = it->second;
                }
            }
            status.status = handler ? handler(args) : os::STATUS_SUCCESS;
            return true;
        };
        EXPECT_EQ(os::IoCreateSymbolicLink(kDeviceLinkName, kDeviceName), os::STATUS_SUCCESS);
    }
    ~SCRIPTED_DRIVER() {
        os::IoDeleteSymbolicLink(kDeviceLinkName);
        os::IoDeleteDevice(device_);
    }

    void On(uint32_t code, HANDLER handler) {
        std::lock_guard guard(lock_);
        handlers_[code] = std::move(handler);
    }
    // What an open of the device gets (a driver that went away: STATUS_OBJECT_NAME_NOT_FOUND).
    void SetCreateStatus(os::NTSTATUS status) { createStatus_.store(status); }
    int Count(uint32_t code) const {
        std::lock_guard guard(lock_);
        auto it = counts_.find(code);
        return it == counts_.end() ? 0 : it->second;
    }

  private:
    std::shared_ptr<os::DEVICE_OBJECT> device_;
    std::atomic<os::NTSTATUS> createStatus_{os::STATUS_SUCCESS};
    mutable std::mutex lock_;
    std::map<uint32_t, HANDLER> handlers_;
    std::map<uint32_t, int> counts_;
};

}  // namespace wexo::svc::testing
