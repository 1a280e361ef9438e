// Policy lookups end to end in one process: a driver lookup worker submits a lookup, a service-call
// worker fetches it, SC_PolicyLookup decides it at once and answers, and the waiter wakes. Measured
// against the bare channel round trip of the same run (service threads that answer every call
// with "allow" without looking at it), with 16 service threads per core and 10 lookup workers:
// lookups per second and the p50 and p99 latency of one lookup.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/control_codes.h"
#include "common/records.h"
#include "common/service_calls.h"
#include "driver/channel/control_device.h"
#include "driver/channel/service_call_queue.h"
#include "driver/filter/url_lookup.h"
#include "os/core/process.h"
#include "os/win32/handles.h"
#include "service/calls/register_service.h"
#include "service/calls/service_call.h"
#include "service/checkin/identity.h"
#include "service/policy/https_session_map.h"
#include "service/policy/policy_lookup.h"
#include "service/support/debug_log.h"

namespace {

using namespace wexo;
using Clock = std::chrono::steady_clock;

constexpr int kLookupWorkers = 10;
constexpr int kLookupsPerWorker = 300;

int ServiceThreads() {
    return static_cast<int>(svc::SERVICE_CALL_CHANNEL::ServiceCallThreadCountFor(
        std::max(1u, std::thread::hardware_concurrency())));
}

// Decides at once: a path under /blocked/ is redirected, everything else allowed.
class IMMEDIATE_DECISION final : public svc::POLICY_DECISION {
  public:
    bool Decide(const svc::POLICY_QUERY& query, std::string* redirectUrl) override {
        if (query.lookupUrl.find("/blocked/") == std::string_view::npos) {
            return false;
        }
        *redirectUrl = "http://block.example/?from=" + std::string(query.lookupUrl);
        return true;
    }
};

// The driver with a registered service process; Serve() is either the bare answering loop or the
// real service-call workers.
class Channel {
  public:
    explicit Channel(bool realService) {
        queue_.Initialise();
        device_.Create();
        process_ =
            os::CreateProcess(svc::UnixUserSid(0), 0, "C:\\Program Files\\Wexo\\WexoSvc.exe");
        os::ScopedProcessContext context(process_->Id());
        handle_ = os::CreateFileA(kDeviceOpenPath, os::GENERIC_READ | os::GENERIC_WRITE, 0,
                                  os::OPEN_EXISTING, 0);
        const int threads = ServiceThreads();
        if (realService) {
            deviceInfo_.SetUniqueDeviceId("6B29FC40-CA47-1067-B31D-00DD010662DA");
            deviceInfo_.SetReady();
            channel_ = svc::SERVICE_CALL_CHANNEL::Create();
            os::HANDLE input =
                channel_->ServiceCallInitialize(handle_, svc::MakeServiceCallDispatcher(context_));
            for (int i = 0; i < threads; ++i) {
                threads_.push_back(channel_->StartServiceCallThread(static_cast<uint32_t>(i)));
            }
            svc::RegisterService(handle_, input);
        } else {
            event_ = os::CreateEventA(false, false);
            QRN_REGISTER_REQUEST reg{};
            reg.inputEvent = event_;
            QRN_REGISTER_REPLY reply;
            os::DeviceIoControl(handle_, QRN_REGISTER, &reg, sizeof reg, &reply, sizeof reply,
                                nullptr);
            for (int i = 0; i < threads; ++i) {
                threads_.push_back(os::Thread::Start([this] { BareServe(); }));
            }
        }
    }

    ~Channel() {
        if (channel_) {
            channel_->ServiceCallStop();
        } else {
            stop_ = true;
            os::ScopedProcessContext context(process_->Id());
            for (size_t i = 0; i < threads_.size(); ++i) {
                os::SetEvent(event_);
            }
        }
        for (auto& t : threads_) {
            t->Join();
        }
        if (channel_) {
            os::ScopedProcessContext context(process_->Id());
            channel_->ServiceCallUninitialize();
        }
        os::TerminateProcess(process_->Id());
        queue_.ShutDown();
        device_.Delete();
    }

    // One lookup as a lookup worker makes it; returns whether it was answered.
    bool Lookup(int n) {
        static const std::vector<uint8_t> sid = svc::UnixUserSid(static_cast<uint32_t>(getuid()));
        static const char host[] = "www.example.test";
        std::string path = (n % 10 == 0 ? "/blocked/page" : "/news/article") + std::to_string(n);
        uint8_t address[4] = {93, 184, 216, 34};
        POLICY_LOOKUP_REQUEST record{};
        record.processId = 4242;
        record.host = reinterpret_cast<uint64_t>(host);
        record.hostLength = sizeof host - 1;
        record.urlPath = reinterpret_cast<uint64_t>(path.data());
        record.urlPathLength = static_cast<uint32_t>(path.size());
        record.userSid = reinterpret_cast<uint64_t>(sid.data());
        record.userSidLength = static_cast<uint32_t>(sid.size());
        record.remoteAddress = reinterpret_cast<uint64_t>(address);
        record.remoteAddressLength = 4;
        record.flowNumber = static_cast<uint32_t>(n);
        alignas(8) uint8_t buffer[kDriverAnswerBufferSize];
        void* answer = nullptr;
        uint32_t answerSize = 0;
        int32_t status = -1;
        drv::SERVICE_CALL_REQUEST request =
            drv::PolicyLookupCall(record, buffer, sizeof buffer, &answer, &answerSize, &status);
        bool answered = queue_.Submit(request) == CallResult::Answered;
        drv::SERVICE_CALL_QUEUE::FreeAnswer(request, answer);
        return answered;
    }

  private:
    void BareServe() {
        std::vector<uint8_t> buffer(kServiceRequestBufferSize);
        while (!stop_) {
            os::WaitForSingleObject(event_, os::INFINITE);
            for (;;) {
                SC_INPUT_RESULTS results;
                SC_INPUT_REQUEST in =
                    MakeScInputRequest(results, buffer.data(), uint32_t(buffer.size()));
                if (!os::DeviceIoControl(handle_, QRN_SC_INPUT, &in, sizeof in, nullptr, 0,
                                         nullptr)) {
                    break;
                }
                POLICY_LOOKUP_ANSWER none{};
                SC_OUTPUT_REQUEST out{results.callHandle, reinterpret_cast<uint64_t>(&none),
                                      sizeof none, 1168};
                os::DeviceIoControl(handle_, QRN_SC_OUTPUT, &out, sizeof out, nullptr, 0, nullptr);
            }
        }
    }

    drv::SERVICE_CALL_QUEUE queue_;
    drv::PROTECTION_STATE protection_;
    drv::CONTROL_DEVICE device_{queue_, protection_};
    std::shared_ptr<os::PROCESS> process_;
    os::HANDLE handle_ = 0;
    os::HANDLE event_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::shared_ptr<os::Thread>> threads_;

    IMMEDIATE_DECISION decision_;
    svc::HTTPS_SESSION_MAP sessions_;
    svc::DEVICE_INFORMATION deviceInfo_;
    os::Event serviceStop_{os::EventType::Notification, false};
    svc::POLICY_LOOKUP_CONTEXT context_{decision_, sessions_, deviceInfo_, serviceStop_};
    std::shared_ptr<svc::SERVICE_CALL_CHANNEL> channel_;
};

struct RESULT {
    double perSecond = 0;
    double p50us = 0;
    double p99us = 0;
};
RESULT gBare;

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) {
        return 0;
    }
    size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

RESULT Measure(benchmark::State& state, bool realService) {
    svc::DebugReset();  // no log output: the lines are not even formatted
    Channel channel(realService);
    std::vector<double> latencies;
    std::mutex latencyLock;
    double seconds = 0;
    int64_t done = 0;
    for (auto _ : state) {
        std::vector<std::thread> workers;
        std::atomic<int64_t> answered{0};
        auto start = Clock::now();
        for (int w = 0; w < kLookupWorkers; ++w) {
            workers.emplace_back([&, w] {
                std::vector<double> mine;
                mine.reserve(kLookupsPerWorker);
                for (int i = 0; i < kLookupsPerWorker; ++i) {
                    auto t0 = Clock::now();
                    if (channel.Lookup(w * kLookupsPerWorker + i)) {
                        ++answered;
                    }
                    mine.push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                }
                std::lock_guard guard(latencyLock);
                latencies.insert(latencies.end(), mine.begin(), mine.end());
            });
        }
        for (auto& t : workers) {
            t.join();
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        done += answered.load();
    }
    RESULT result;
    result.perSecond = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    result.p50us = Percentile(latencies, 0.50);
    result.p99us = Percentile(latencies, 0.99);
    state.counters["lookups_per_s"] = result.perSecond;
    state.counters["p50_us"] = result.p50us;
    state.counters["p99_us"] = result.p99us;
    state.counters["service_threads"] = ServiceThreads();
    state.counters["answered"] = static_cast<double>(done);
    return result;
}

void BM_BareChannelRoundTrip(benchmark::State& state) {
    gBare = Measure(state, false);
}

void BM_PolicyLookupEndToEnd(benchmark::State& state) {
    RESULT r = Measure(state, true);
    if (gBare.perSecond > 0) {
        state.counters["rate_vs_bare"] = r.perSecond / gBare.perSecond;
        state.counters["p50_vs_bare"] = gBare.p50us > 0 ? r.p50us / gBare.p50us : 0;
        state.counters["p99_vs_bare"] = gBare.p99us > 0 ? r.p99us / gBare.p99us : 0;
    }
}

}  // namespace

BENCHMARK(BM_BareChannelRoundTrip)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PolicyLookupEndToEnd)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
