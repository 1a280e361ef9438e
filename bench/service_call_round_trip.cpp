// A verdict round trip through the driver's service-call channel (submit -> fetch by a service
// thread -> answer -> waiter wakes) against a bare hand-off of one request and one answer through a
// mutex and condition variable between two threads, measured in the same run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
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

namespace {

using namespace wexo;
using namespace wexo::drv;

double gBareNanoseconds = 0;

// The bare hand-off: the least any request/answer exchange between two threads costs.
void BM_BareHandOff(benchmark::State& state) {
    std::mutex lock;
    std::condition_variable cv;
    int request = 0, answer = 0;
    bool stop = false;
    std::thread server([&] {
        std::unique_lock guard(lock);
        for (;;) {
            cv.wait(guard, [&] { return stop || request != answer; });
            if (stop)
                return;
            answer = request;
            cv.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock guard(lock);
        ++request;
        cv.notify_all();
        cv.wait(guard, [&] { return answer == request; });
    }
    {
        std::lock_guard guard(lock);
        stop = true;
    }
    cv.notify_all();
    server.join();
    gBareNanoseconds = 0;
}

// The driver's channel with a service process whose threads fetch and answer like the service.
class Channel {
  public:
    explicit Channel(int serviceThreads) {
        queue_.Initialise();
        device_.Create();
        process_ = os::CreateProcess({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 0, "svc.exe");
        os::ScopedProcessContext context(process_->Id());
        handle_ = os::CreateFileA(kDeviceOpenPath, os::GENERIC_READ, 0, os::OPEN_EXISTING, 0);
        event_ = os::CreateEventA(false, false);
        QRN_REGISTER_REQUEST reg{};
        reg.inputEvent = event_;
        QRN_REGISTER_REPLY reply;
        os::DeviceIoControl(handle_, QRN_REGISTER, &reg, sizeof reg, &reply, sizeof reply, nullptr);
        for (int i = 0; i < serviceThreads; ++i) {
            threads_.push_back(os::Thread::Start([this] { Serve(); }));
        }
    }

    ~Channel() {
        stop_ = true;
        {
            os::ScopedProcessContext context(process_->Id());
            for (size_t i = 0; i < threads_.size(); ++i)
                os::SetEvent(event_);
        }
        for (auto& t : threads_)
            os::WaitForSingleObject(*t, os::INFINITE);
        os::TerminateProcess(process_->Id());
        queue_.ShutDown();
        device_.Delete();
    }

    CallResult Lookup() {
        POLICY_LOOKUP_REQUEST record{};
        static const char host[] = "www.example.test";
        static const char path[] = "/index.html";
        uint8_t address[4] = {93, 184, 216, 34};
        record.host = reinterpret_cast<uint64_t>(host);
        record.hostLength = sizeof host - 1;
        record.urlPath = reinterpret_cast<uint64_t>(path);
        record.urlPathLength = sizeof path - 1;
        record.remoteAddress = reinterpret_cast<uint64_t>(address);
        record.remoteAddressLength = 4;
        alignas(8) uint8_t buffer[kDriverAnswerBufferSize];
        void* answer = nullptr;
        uint32_t answerSize = 0;
        int32_t status = 0;
        return queue_.Submit(
            PolicyLookupCall(record, buffer, sizeof buffer, &answer, &answerSize, &status));
    }

  private:
    void Serve() {
        std::vector<uint8_t> buffer(kServiceRequestBufferSize);
        while (!stop_) {
            os::WaitForSingleObject(event_, 100);
            for (;;) {
                SC_INPUT_RESULTS results;
                SC_INPUT_REQUEST in =
                    MakeScInputRequest(results, buffer.data(), uint32_t(buffer.size()));
                if (!os::DeviceIoControl(handle_, QRN_SC_INPUT, &in, sizeof in, nullptr, 0,
                                         nullptr)) {
                    break;
                }
                SC_OUTPUT_REQUEST out{results.callHandle, 0, 0, 1168};
                os::DeviceIoControl(handle_, QRN_SC_OUTPUT, &out, sizeof out, nullptr, 0, nullptr);
            }
        }
    }

    SERVICE_CALL_QUEUE queue_;
    PROTECTION_STATE protection_;
    CONTROL_DEVICE device_{queue_, protection_};
    std::shared_ptr<os::PROCESS> process_;
    os::HANDLE handle_ = 0;
    os::HANDLE event_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::shared_ptr<os::Thread>> threads_;
};

void BM_BareHandOffTimed(benchmark::State& state) {
    BM_BareHandOff(state);
}

void BM_ServiceCallRoundTrip(benchmark::State& state) {
    Channel channel(1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(channel.Lookup());
    }
}

// Throughput: several driver workers submitting at once against many service threads.
void BM_ServiceCallThroughput(benchmark::State& state) {
    int serviceThreads = static_cast<int>(state.range(0));
    int workers = static_cast<int>(state.range(1));
    Channel channel(serviceThreads);
    std::atomic<int> done{0};
    for (auto _ : state) {
        std::vector<std::thread> submitters;
        constexpr int kPerWorker = 200;
        for (int w = 0; w < workers; ++w) {
            submitters.emplace_back([&] {
                for (int i = 0; i < kPerWorker; ++i) {
                    if (channel.Lookup() == CallResult::Answered)
                        ++done;
                }
            });
        }
        for (auto& t : submitters)
            t.join();
        state.counters["calls"] = benchmark::Counter(done.load(), benchmark::Counter::kIsRate);
    }
}

}  // namespace

BENCHMARK(BM_BareHandOffTimed)->UseRealTime();
BENCHMARK(BM_ServiceCallRoundTrip)->UseRealTime();
BENCHMARK(BM_ServiceCallThroughput)
    ->Args({16 * 2, 10})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Reports each channel round trip as a ratio of the bare hand-off measured in the same run.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    class RatioReporter : public benchmark::ConsoleReporter {
      public:
        void ReportRuns(const std::vector<Run>& runs) override {
            for (const auto& run : runs) {
                double ns = run.GetAdjustedRealTime();
                if (run.benchmark_name().find("BareHandOff") != std::string::npos) {
                    bare_ = ns;
                }
                if (run.benchmark_name().find("RoundTrip") != std::string::npos && bare_ > 0) {
                    const_cast<Run&>(run).counters["x_bare"] = ns / bare_;
                }
            }
            ConsoleReporter::ReportRuns(runs);
        }

      private:
        double bare_ = 0;
    };
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
