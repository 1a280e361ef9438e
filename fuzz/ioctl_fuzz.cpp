// Drives the control device with random codes and records, from a registered and an unregistered
// handle, with lookups waiting in the queue. Pointer fields are aimed at a buffer of the calling
// process that ends at an inaccessible page, at unmapped addresses, or across the boundary, so that
// every probe and copy of the driver is exercised without letting the target scribble over the
// fuzzer's own memory (all simulated processes share one address space).
#include <sys/mman.h>

#include <cstdint>
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
#include "os/core/sync.h"
#include "os/win32/handles.h"

namespace {

using namespace wexo;
using namespace wexo::drv;

constexpr size_t kArenaSize = 16 * 4096;

constexpr uint32_t kCodes[] = {
    QRN_GET_VERSION,   QRN_REGISTER,   QRN_AUTH_CHALLENGE,     QRN_AUTH_RESPONSE,
    QRN_UPDATE_DRIVER, QRN_UNINSTALL,  QRN_SUSPEND_PROTECTION, QRN_RESUME_PROTECTION,
    QRN_SC_ATTACH,     QRN_SC_DETACH,  QRN_SC_INPUT,           QRN_SC_OUTPUT,
    QRN_SC_EXTEND,     QRN_SC_STANDBY, QRN_SC_RESUME,          QRN_SC_HEARTBEAT};

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return offset_ >= size_; }
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | Byte();
        return v;
    }
    void Fill(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i)
            out[i] = Byte();
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// Memory the fuzzed records may point into: a buffer with an inaccessible page after it.
class Arena {
  public:
    Arena() {
        base_ = static_cast<uint8_t*>(mmap(nullptr, kArenaSize + 4096, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + kArenaSize, 4096, PROT_NONE);
    }
    uint8_t* Base() const { return base_; }

    // A pointer the driver may be given: inside, at the end, unmapped, or in the guard page.
    uint64_t Pointer(Input& in) {
        uint8_t kind = in.Byte();
        uint32_t offset = in.U32() % kArenaSize;
        switch (kind % 8) {
            case 0:
                return 0;
            case 1:
                return 0x10 + offset;  // never mapped
            case 2:
                return reinterpret_cast<uint64_t>(base_ + kArenaSize - (offset % 64));
            case 3:
                return reinterpret_cast<uint64_t>(base_ + kArenaSize + (offset % 4096));
            case 4:
                return 0xFFFFFFFFFFFF0000ull + offset;  // kernel half / wrap
            default:
                return reinterpret_cast<uint64_t>(base_ + offset);
        }
    }

  private:
    uint8_t* base_;
};

struct Driver {
    SERVICE_CALL_QUEUE queue;
    PROTECTION_STATE protection;
    CONTROL_DEVICE device{queue, protection};
    Arena arena;
    Driver() {
        queue.Initialise();
        device.Create();
        device.SetAuthSecret(std::vector<uint8_t>(32, 7));
    }
};

Driver& TheDriver() {
    static Driver* driver = new Driver();
    return *driver;
}

struct Lookup {
    std::string host, path;
    uint8_t address[16] = {};
    POLICY_LOOKUP_REQUEST record{};
    alignas(8) uint8_t answerBuffer[kDriverAnswerBufferSize];
    void* answer = nullptr;
    uint32_t answerSize = 0;
    int32_t status = 0;
    SERVICE_CALL_REQUEST request;
    std::shared_ptr<os::Thread> thread;

    Lookup(Input& in, SERVICE_CALL_QUEUE& queue) {
        host.assign(in.Byte() % 64 + 1, 'h');
        path.assign(static_cast<size_t>(in.Byte()) * 16, 'p');
        record.host = reinterpret_cast<uint64_t>(host.data());
        record.hostLength = static_cast<uint32_t>(host.size());
        record.urlPath = path.empty() ? 0 : reinterpret_cast<uint64_t>(path.data());
        record.urlPathLength = static_cast<uint32_t>(path.size());
        record.remoteAddress = reinterpret_cast<uint64_t>(address);
        record.remoteAddressLength = 16;
        request = PolicyLookupCall(record, answerBuffer, sizeof answerBuffer, &answer, &answerSize,
                                   &status);
        thread = os::Thread::Start([this, &queue] {
            if (queue.Submit(request) == CallResult::Answered) {
                SERVICE_CALL_QUEUE::FreeAnswer(request, answer);
            }
        });
    }
};

// Fills a record of the code's layout, aiming its pointer fields with the arena's rules.
std::vector<uint8_t> BuildRecord(uint32_t code, Input& in, Arena& arena, uint64_t event,
                                 uint64_t lastHandle) {
    std::vector<uint8_t> record(in.Byte() % 80);
    in.Fill(record.data(), record.size());
    auto put = [&](size_t offset, uint64_t value) {
        if (offset + 8 <= record.size())
            std::memcpy(record.data() + offset, &value, 8);
    };
    switch (code) {
        case QRN_REGISTER:
            put(0, in.Byte() % 2 ? event : in.U32());
            put(8, arena.Pointer(in));
            put(24, arena.Pointer(in));
            break;
        case QRN_SC_ATTACH:
            put(0, in.Byte() % 2 ? event : in.U32());
            break;
        case QRN_SC_INPUT:
            for (size_t offset : {0, 8, 16, 24, 40, 48})
                put(offset, arena.Pointer(in));
            break;
        case QRN_SC_OUTPUT:
            put(0, in.Byte() % 2 ? lastHandle : (uint64_t{in.U32()} << 32 | in.Byte() % 8));
            put(8, arena.Pointer(in));
            break;
        case QRN_SC_EXTEND:
            put(0, lastHandle);
            break;
        default:
            break;
    }
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Driver& driver = TheDriver();
    Input in(data, size);
    auto process = os::CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 0, "fuzz.exe");
    std::vector<std::unique_ptr<Lookup>> lookups;
    {
        os::ScopedProcessContext context(process->Id());
        os::HANDLE device =
            os::CreateFileA(kDeviceOpenPath, os::GENERIC_READ, 0, os::OPEN_EXISTING, 0);
        os::HANDLE event = os::CreateEventA(false, false);
        if (in.Byte() % 2 == 1) {
            QRN_REGISTER_REQUEST reg{};
            reg.inputEvent = event;
            QRN_REGISTER_REPLY reply;
            os::DeviceIoControl(device, QRN_REGISTER, &reg, sizeof reg, &reply, sizeof reply,
                                nullptr);
        }
        int submitters = in.Byte() % 3;
        for (int i = 0; i < submitters && driver.queue.IsServiceActive(); ++i) {
            lookups.push_back(std::make_unique<Lookup>(in, driver.queue));
        }
        uint64_t lastHandle = 0;
        for (int op = 0; op < 16 && !in.Empty(); ++op) {
            uint32_t code = in.Byte() % 5 == 0 ? in.U32() : kCodes[in.Byte() % std::size(kCodes)];
            std::vector<uint8_t> record = BuildRecord(code, in, driver.arena, event, lastHandle);
            // The record itself lives at the end of the arena so short lengths meet the guard page.
            uint8_t* at = driver.arena.Base() + kArenaSize - record.size();
            if (!record.empty()) {
                std::memcpy(at, record.data(), record.size());
            }
            uint32_t inputLength =
                in.Byte() % 4 == 0 ? in.U32() : static_cast<uint32_t>(record.size());
            uint64_t output = driver.arena.Pointer(in);
            uint32_t outputLength = in.Byte() % 64;
            uint32_t returned = 0;
            os::DeviceIoControl(device, code, at, inputLength, reinterpret_cast<void*>(output),
                                outputLength, &returned);
            if (code == QRN_SC_INPUT && returned == 0) {
                // Remember a handle the driver may have written, to answer it next.
                std::memcpy(&lastHandle, driver.arena.Base() + (in.Byte() % 64) * 8, 8);
            }
        }
    }
    // Ending the process closes its handles: the registration goes and every call is cancelled.
    os::TerminateProcess(process->Id());
    for (auto& lookup : lookups) {
        lookup->thread->Join();
    }
    if (driver.device.RegisteredProcessId() != 0 || driver.queue.InFlight() != 0 ||
        process->CommittedRegionCount() != 0) {
        __builtin_trap();
    }
    return 0;
}
