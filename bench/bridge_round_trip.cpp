// A verdict round trip across processes: the driver and the device bridge's host end run here, as
// in the driver host; the service's own service-call code runs in a child process
// (bench/programs/bridge_bench_peer) and reaches the control device over the bridge socket. One
// call: submit in the driver -> the service's input event crosses as an eventfd count -> a worker
// fetches the call (QRN_SC_INPUT) -> answers it (QRN_SC_OUTPUT) -> the driver's waiter wakes.
//
// The baseline, in the same run, is the least a request/answer exchange between two processes
// costs: one frame of a control request out and one frame of its reply back over a Unix socket,
// with nothing else around it. cs_per_call counts the context switches of both processes per
// iteration (/proc/<pid>/task/*/status).
//
// One call crosses between the processes four times (QRN_SC_INPUT and its reply, QRN_SC_OUTPUT
// and its reply) where the ping-pong crosses twice; the input event's count wakes a waiting worker
// directly (it waits on the eventfd itself), the driver's waiter is woken only by the answer and
// after the queue's and the dispatcher's locks are free, and a frame is one poll and one read.
// Measured on the 2-core development machine, 19 alternating runs of the code before and after
// (11:16-11:19, `uptime` load average 1.5-2.5 from other sessions' builds), medians by what the
// CPUs were doing, since a wake on an idle CPU of this VM costs about 15 us more than one on a
// busy CPU:
//   CPUs mostly idle (bare 52 us):  1 thread 170 us (3.24x bare, was 3.59x), 32 threads 116 us
//                                   (2.23x, was 2.83x)
//   CPUs busy with other work (bare 7.8 us): 1 thread 62 us (5.6x, was 9.6x), 32 threads 93 us
//                                   (9.6x, was 16.3x)
// Context switches per call 5.3 with 1 thread (was 12.5) and 9.4 with 32 (was 19.4); system calls
// 29 and 44 (were 44 and 66); the bare ping-pong about 2 and 4. With 32 threads every call also
// costs a fetch in vain: the worker that answered fetches again while the next call's set wakes
// another worker.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "common/service_calls.h"
#include "driver/channel/service_call_queue.h"
#include "driver/filter/url_lookup.h"
#include "driver/platform/driver_entry.h"
#include "os/bridge/device_bridge.h"
#include "os/core/device_gateway.h"
#include "os/core/status.h"
#include "service/calls/service_call.h"
#include "tools/peers/child_process.h"
#include "tools/pipeline/in_process_driver.h"

namespace {

using namespace wexo;

// The frames of one control request on the bridge: a 32-bit length, then the operation, the
// host's instance, the open's number, the code, the input address and length, the output
// address and length and the caller's thread. Its reply: length, operation, status and
// information.
constexpr size_t kControlFrameSize = 4 + 4 + 8 + 8 + 4 + 8 + 4 + 8 + 4 + 4;
constexpr size_t kReplyFrameSize = 4 + 4 + 4 + 8;

// The service's pool on this machine, as the service sizes it.
const int kServicePool = static_cast<int>(
    svc::SERVICE_CALL_CHANNEL::ServiceCallThreadCountFor(std::thread::hardware_concurrency()));

bool gFailed = false;

void Fail(benchmark::State& state, const std::string& problem) {
    std::fprintf(stderr, "bench_bridge_round_trip: %s\n", problem.c_str());
    gFailed = true;
    state.SkipWithError(problem.c_str());
}

// Context switches of every thread of a process so far (voluntary and not), from /proc.
uint64_t ContextSwitches(pid_t pid) {
    uint64_t total = 0;
    std::error_code error;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("voluntary_ctxt_switches:") ||
                line.starts_with("nonvoluntary_ctxt_switches:")) {
                total += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
            }
        }
    }
    return total;
}

// bridge_bench_peer as a child process: it dies with the bench and is killed and reaped when
// this object goes.
class CHILD {
  public:
    // `passFd` stays open across the exec; every other descriptor of the bench does not.
    explicit CHILD(std::vector<std::string> arguments, int passFd = -1)
        : process_(peers::CHILD_PROCESS::Start(WEXO_BRIDGE_BENCH_PEER, arguments, {}, passFd)) {}

    pid_t Pid() const { return process_ ? process_->Pid() : -1; }
    std::string ReadLine(int ms) {
        return process_ ? process_->ReadLine(std::chrono::milliseconds(ms)) : std::string();
    }
    bool Running() { return process_ && process_->Running(); }
    // How it ended ("exited 3", "ended by signal 9"), or "still running" (it is killed then).
    std::string Ended() {
        if (!process_) {
            return "not started";
        }
        const int status = process_->Wait(std::chrono::milliseconds(200));
        if (status < 0) {
            return "still running";
        }
        if (status == 127) {
            return "exited 127: " WEXO_BRIDGE_BENCH_PEER " did not run";
        }
        return status > 128 ? "ended by signal " + std::to_string(status - 128)
                            : "exited " + std::to_string(status);
    }
    // Gives it `ms` to end on its own.
    void WaitEnd(int ms) {
        if (process_) {
            process_->Wait(std::chrono::milliseconds(ms));
        }
    }

  private:
    std::unique_ptr<peers::CHILD_PROCESS> process_;
};

// ---- Baseline ----

void BM_BareSocketPingPong(benchmark::State& state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        Fail(state, "socketpair failed");
        return;
    }
    CHILD echo({"echo", std::to_string(fds[1]), std::to_string(kControlFrameSize),
                std::to_string(kReplyFrameSize)},
               fds[1]);
    close(fds[1]);
    if (echo.Pid() <= 0) {
        close(fds[0]);
        Fail(state, "the echo child did not start");
        return;
    }
    uint8_t request[kControlFrameSize] = {};
    uint8_t answer[kReplyFrameSize];
    const uint64_t switches = ContextSwitches(getpid()) + ContextSwitches(echo.Pid());
    for (auto _ : state) {
        if (send(fds[0], request, sizeof request, MSG_NOSIGNAL) != sizeof request ||
            recv(fds[0], answer, sizeof answer, MSG_WAITALL) != sizeof answer) {
            Fail(state, "the echo child stopped answering: " + echo.Ended());
            break;
        }
    }
    state.counters["cs_per_call"] = benchmark::Counter(
        static_cast<double>(ContextSwitches(getpid()) + ContextSwitches(echo.Pid()) - switches),
        benchmark::Counter::kAvgIterations);
    close(fds[0]);  // its end of the stream: the child returns
    echo.WaitEnd(1'000);
    state.SetLabel(std::to_string(kControlFrameSize) + " B out, " +
                   std::to_string(kReplyFrameSize) + " B back");
}

// ---- The driver host with a service in another process ----

class HOST {
  public:
    // The one host of the run, started on first use; nullptr (and `*problem`) when it cannot be.
    static HOST* Get(std::string* problem) {
        if (!instance_) {
            auto host = std::unique_ptr<HOST>(new HOST);
            if (!host->Start(problem)) {
                return nullptr;
            }
            instance_ = std::move(host);
        }
        return instance_.get();
    }
    static void End() { instance_.reset(); }

    ~HOST() {
        // The service first: its connections end, and with them its registration, while the
        // driver is still there to take the cleanup.
        Retire();
        server_.reset();
        if (started_) {
            driver_.Stop();
        }
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }

    // A service child with `threads` workers, registered with the driver.
    bool Serve(int threads, std::string* problem) {
        if (service_ && threads_ == threads) {
            if (service_->Running()) {
                return true;
            }
            *problem = "the service child ended during the run";
            return false;
        }
        Retire();
        // The driver takes one service at a time; the one before must be gone from it.
        if (!Within(5'000, [&] { return driver_.ServiceProcessId() == 0; })) {
            *problem = "the previous service is still registered with the driver";
            return false;
        }
        service_ = std::make_unique<CHILD>(
            std::vector<std::string>{"service", dir_, std::to_string(threads)});
        threads_ = threads;
        answered_ = 0;
        const std::string expected = "registered " + std::to_string(threads);
        std::string line = service_->Pid() > 0 ? service_->ReadLine(10'000) : "";
        if (line != expected) {
            *problem = "the service child did not register (said \"" + line + "\", " +
                       service_->Ended() + ")";
            service_.reset();
            return false;
        }
        if (driver_.ServiceProcessId() != static_cast<uint32_t>(service_->Pid())) {
            *problem = "the driver's service is process " +
                       std::to_string(driver_.ServiceProcessId()) + ", not the child " +
                       std::to_string(service_->Pid());
            service_.reset();
            return false;
        }
        return true;
    }

    // One policy lookup, as a URL-lookup worker submits it; true when the service answered
    // "allow".
    bool Lookup() {
        static const char host[] = "www.example.test";
        static const char path[] = "/index.html";
        static const uint8_t address[4] = {93, 184, 216, 34};
        POLICY_LOOKUP_REQUEST record{};
        record.processId = 4321;
        record.host = reinterpret_cast<uint64_t>(host);
        record.hostLength = sizeof host - 1;
        record.urlPath = reinterpret_cast<uint64_t>(path);
        record.urlPathLength = sizeof path - 1;
        record.remoteAddress = reinterpret_cast<uint64_t>(address);
        record.remoteAddressLength = sizeof address;
        record.sessionId = 1;
        alignas(8) uint8_t buffer[kDriverAnswerBufferSize];
        void* answer = nullptr;
        uint32_t answerSize = 0;
        int32_t status = -1;
        drv::SERVICE_CALL_REQUEST request =
            drv::PolicyLookupCall(record, buffer, sizeof buffer, &answer, &answerSize, &status);
        CallResult result = driver_.Driver().Queue().Submit(request);
        // An allow carries no answer block: the driver reads one only with a block's status.
        const bool allowed = result == CallResult::Answered &&
                             status == static_cast<int32_t>(os::ERROR_NOT_FOUND) &&
                             answer == nullptr;
        drv::SERVICE_CALL_QUEUE::FreeAnswer(request, answer);
        if (allowed) {
            answered_.fetch_add(1, std::memory_order_relaxed);
        } else {
            std::lock_guard guard(lastLock_);
            last_ = "call result " + std::to_string(static_cast<uint32_t>(result)) + ", status " +
                    std::to_string(status) + ", answer of " + std::to_string(answerSize) + " bytes";
        }
        return allowed;
    }

    // Context switches so far of this process and the service child together.
    uint64_t Switches() const {
        return ContextSwitches(getpid()) + (service_ ? ContextSwitches(service_->Pid()) : 0);
    }

    // The last refused lookup and the state of the service child, for a failure's message.
    std::string Describe() {
        std::lock_guard guard(lastLock_);
        return last_ + "; service child " + (service_ ? service_->Ended() : "absent");
    }

  private:
    HOST() = default;

    bool Start(std::string* problem) {
        char dir[] = "/tmp/wexo-bench-bridge-XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            *problem = "no runtime folder";
            return false;
        }
        dir_ = dir;
        if (!driver_.Start()) {
            *problem = "the driver did not start";
            return false;
        }
        started_ = true;
        server_ = std::make_unique<os::DEVICE_BRIDGE_SERVER>(*os::CurrentDeviceGateway());
        if (server_->Start(dir_) != os::STATUS_SUCCESS) {
            *problem = "the device bridge did not start in " + dir_;
            return false;
        }
        return true;
    }

    // The child's totals go to the error stream, where a syscall count of the run can be divided
    // by them.
    void Retire() {
        if (service_) {
            std::fprintf(
                stderr,
                "bench_bridge_round_trip: service child %d (%d threads) answered %llu calls\n",
                static_cast<int>(service_->Pid()), threads_,
                static_cast<unsigned long long>(answered_.load()));
            service_.reset();
        }
    }

    template <typename CONDITION>
    static bool Within(int ms, CONDITION condition) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    }

    static inline std::unique_ptr<HOST> instance_;
    std::string dir_;
    pipeline::IN_PROCESS_DRIVER driver_;
    bool started_ = false;
    std::unique_ptr<os::DEVICE_BRIDGE_SERVER> server_;
    std::unique_ptr<CHILD> service_;
    int threads_ = -1;
    std::atomic<uint64_t> answered_{0};
    std::mutex lastLock_;
    std::string last_;
};

HOST* ServedHost(benchmark::State& state, int threads) {
    std::string problem;
    HOST* host = HOST::Get(&problem);
    if (host == nullptr || !host->Serve(threads, &problem)) {
        Fail(state, problem);
        return nullptr;
    }
    return host;
}

// One call at a time: what a single URL-lookup worker waits per verdict.
void BM_BridgeRoundTrip(benchmark::State& state) {
    HOST* host = ServedHost(state, static_cast<int>(state.range(0)));
    if (host == nullptr) {
        return;
    }
    const uint64_t switches = host->Switches();
    for (auto _ : state) {
        if (!host->Lookup()) {
            Fail(state, "a lookup was not answered with allow (" + host->Describe() + ")");
            break;
        }
    }
    state.counters["cs_per_call"] = benchmark::Counter(
        static_cast<double>(host->Switches() - switches), benchmark::Counter::kAvgIterations);
}

// The driver's lookup workers all submitting at once against the service's whole pool.
void BM_BridgeLookups(benchmark::State& state) {
    const int submitters = static_cast<int>(state.range(0));
    HOST* host = ServedHost(state, kServicePool);
    if (host == nullptr) {
        return;
    }
    constexpr int kPerSubmitter = 200;
    std::atomic<uint64_t> answered{0}, refused{0};
    std::chrono::steady_clock::duration elapsed{};
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (int s = 0; s < submitters; ++s) {
            threads.emplace_back([&] {
                for (int i = 0; i < kPerSubmitter; ++i) {
                    (host->Lookup() ? answered : refused).fetch_add(1, std::memory_order_relaxed);
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        elapsed += std::chrono::steady_clock::now() - start;
        if (refused.load() != 0) {
            Fail(state, std::to_string(refused.load()) + " lookups not answered with allow (" +
                            host->Describe() + ")");
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(elapsed).count();
    state.counters["calls_per_s"] = seconds > 0 ? double(answered.load()) / seconds : 0;
    state.counters["submitters"] = submitters;
}

}  // namespace

BENCHMARK(BM_BareSocketPingPong)->UseRealTime();
BENCHMARK(BM_BridgeRoundTrip)->ArgName("service_threads")->Arg(1)->Arg(kServicePool)->UseRealTime();
BENCHMARK(BM_BridgeLookups)
    ->ArgName("submitters")
    ->Arg(1)
    ->Arg(drv::URL_LOOKUP::kWorkerCount)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Each bridge round trip is reported as a ratio of the bare ping-pong (x_bare), and the lookups of
// several submitters as a ratio of one submitter's (x_one), both measured in the same run.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    class RatioReporter : public benchmark::ConsoleReporter {
      public:
        void ReportRuns(const std::vector<Run>& runs) override {
            for (const auto& run : runs) {
                auto& counters = const_cast<Run&>(run).counters;
                if (run.error_occurred) {
                    continue;
                }
                const std::string name = run.benchmark_name();
                if (name.find("BareSocketPingPong") != std::string::npos) {
                    bare_ = run.GetAdjustedRealTime();
                    bareUnit_ = run.time_unit;
                }
                if (name.find("BridgeRoundTrip") != std::string::npos && bare_ > 0) {
                    counters["x_bare"] = Seconds(run.GetAdjustedRealTime(), run.time_unit) /
                                         Seconds(bare_, bareUnit_);
                }
                auto submitters = counters.find("submitters");
                auto rate = counters.find("calls_per_s");
                if (submitters != counters.end() && rate != counters.end()) {
                    if (submitters->second.value == 1) {
                        one_ = rate->second.value;
                    } else if (one_ > 0) {
                        counters["x_one"] = rate->second.value / one_;
                    }
                }
            }
            ConsoleReporter::ReportRuns(runs);
        }

      private:
        static double Seconds(double value, benchmark::TimeUnit unit) {
            return value / benchmark::GetTimeUnitMultiplier(unit);
        }
        double bare_ = 0;
        benchmark::TimeUnit bareUnit_ = benchmark::kNanosecond;
        double one_ = 0;
    };
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    HOST::End();
    if (gFailed) {
        std::fprintf(stderr, "bench_bridge_round_trip: FAILED (see above)\n");
        return 1;
    }
    return 0;
}
