// The traffic filter's parsers on captured bytes, each measured against a baseline in the same run
// (batches of the two interleaved, so that both see the same machine state):
// - HttpGet: a 405-byte browser GET, our parse (header table included) against http_parser
//   collecting the same ranges (target: ratio at most 1.0);
// - HttpGetNormalised: the same parse followed by the normalisation of its host and path into
//   stack buffers (NormalizeHostInto, NormalizePathInto, as the classify path does), against
//   http_parser (target: ratio at most 0.5);
// - ClientHello: a 517-byte hello (padded as browsers send it), our parse against copying the
//   same bytes, which the classifier does before parsing anyway;
// - ServerFlight: a 2211-byte TLS 1.2 server flight with its certificate walk, against a copy;
// - HttpHeadInPieces: a 64 KiB head looked at as it arrives in pieces, against one parse of it.
// Counters: ours_ns and baseline_ns per parse, ratio = ours / baseline.
#include <benchmark/benchmark.h>
#include <http_parser.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "common/url_normalize.h"
#include "driver/filter/http_request.h"
#include "driver/filter/tls_parser.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
constexpr int kBatch = 64;

Bytes ReadData(const char* name) {
    std::ifstream in(std::string(WEXO_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What http_parser hands out, kept as ranges the way our header table keeps them.
struct COLLECTED {
    struct RANGE {
        const char* at;
        size_t length;
    };
    RANGE url{};
    RANGE fields[32]{};
    RANGE values[32]{};
    size_t count = 0;
    bool done = false;
};

int OnUrl(http_parser* parser, const char* at, size_t length) {
    static_cast<COLLECTED*>(parser->data)->url = {at, length};
    return 0;
}
int OnHeaderField(http_parser* parser, const char* at, size_t length) {
    auto* collected = static_cast<COLLECTED*>(parser->data);
    if (collected->count < 32) {
        collected->fields[collected->count] = {at, length};
    }
    return 0;
}
int OnHeaderValue(http_parser* parser, const char* at, size_t length) {
    auto* collected = static_cast<COLLECTED*>(parser->data);
    if (collected->count < 32) {
        collected->values[collected->count++] = {at, length};
    }
    return 0;
}
int OnHeadersComplete(http_parser* parser) {
    static_cast<COLLECTED*>(parser->data)->done = true;
    return 0;
}

http_parser_settings Settings() {
    http_parser_settings settings;
    http_parser_settings_init(&settings);
    settings.on_url = OnUrl;
    settings.on_header_field = OnHeaderField;
    settings.on_header_value = OnHeaderValue;
    settings.on_headers_complete = OnHeadersComplete;
    return settings;
}

// The Host value out of http_parser's ranges, as our parse reports it.
size_t HostLength(const COLLECTED& collected) {
    for (size_t i = 0; i < collected.count; ++i) {
        if (collected.fields[i].length == 4 &&
            strncasecmp(collected.fields[i].at, "Host", 4) == 0) {
            return collected.values[i].length;
        }
    }
    return 0;
}

double Nanos(Clock::duration d) {
    return std::chrono::duration<double, std::nano>(d).count();
}

void Report(benchmark::State& state, Clock::duration ours, Clock::duration baseline) {
    const double parses = static_cast<double>(state.iterations()) * kBatch;
    state.counters["ours_ns"] = Nanos(ours) / parses;
    state.counters["baseline_ns"] = Nanos(baseline) / parses;
    state.counters["ratio"] = Nanos(ours) / Nanos(baseline);
}

// Batches of our parse (`parse`, given the captured request) and of http_parser, interleaved.
template <typename Parse>
void AgainstHttpParser(benchmark::State& state, const Bytes& request, Parse parse) {
    const http_parser_settings settings = Settings();
    Clock::duration ours{};
    Clock::duration baseline{};
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            parse(request);
        }
        auto middle = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            http_parser parser;
            http_parser_init(&parser, HTTP_REQUEST);
            COLLECTED collected;
            parser.data = &collected;
            size_t used = http_parser_execute(
                &parser, &settings, reinterpret_cast<const char*>(request.data()), request.size());
            benchmark::DoNotOptimize(used);
            benchmark::DoNotOptimize(HostLength(collected));
        }
        auto end = Clock::now();
        ours += middle - start;
        baseline += end - middle;
    }
    wexo::drv::HTTP_REQUEST check;
    if (wexo::drv::ParseHttpRequest(request, check).status !=
            wexo::drv::HttpParseStatus::Complete ||
        check.Host() != "www.example-news.test") {
        state.SkipWithError("the captured request did not parse");
    }
    Report(state, ours, baseline);
}

void BM_HttpGet(benchmark::State& state) {
    AgainstHttpParser(state, ReadData("http/browser_get.bin"), [](const Bytes& bytes) {
        wexo::drv::HTTP_REQUEST parsed;
        auto outcome = wexo::drv::ParseHttpRequest(bytes, parsed);
        benchmark::DoNotOptimize(outcome);
        benchmark::DoNotOptimize(parsed.Host().size());
    });
}
BENCHMARK(BM_HttpGet)->MinTime(1.0);

// The parse followed by what the lookup makes of its host and path (target: ratio at most 0.5),
// in the forms the classify path uses: normalised into buffers on the stack, no allocation.
void BM_HttpGetNormalised(benchmark::State& state) {
    AgainstHttpParser(state, ReadData("http/browser_get.bin"), [](const Bytes& bytes) {
        wexo::drv::HTTP_REQUEST parsed;
        auto outcome = wexo::drv::ParseHttpRequest(bytes, parsed);
        std::array<char, 512> hostBuffer;
        std::array<char, 1024> pathBuffer;
        std::string_view host = wexo::NormalizeHostInto(parsed.Host(), hostBuffer);
        std::string_view path = wexo::NormalizePathInto(parsed.Path(), pathBuffer);
        benchmark::DoNotOptimize(outcome);
        benchmark::DoNotOptimize(host.data());
        benchmark::DoNotOptimize(path.data());
        if (host.empty() || path.empty()) {
            std::abort();  // the captured request's names fit; an empty view would measure nothing
        }
    });
}
BENCHMARK(BM_HttpGetNormalised)->MinTime(1.0);

template <typename Parse>
void AgainstCopy(benchmark::State& state, const Bytes& bytes, Parse parse) {
    Bytes copy(bytes.size());
    Clock::duration ours{};
    Clock::duration baseline{};
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            parse(bytes);
        }
        auto middle = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            std::memcpy(copy.data(), bytes.data(), bytes.size());
            benchmark::ClobberMemory();
        }
        auto end = Clock::now();
        ours += middle - start;
        baseline += end - middle;
    }
    Report(state, ours, baseline);
}

void BM_ClientHello(benchmark::State& state) {
    const Bytes hello = ReadData("tls/padded_client_hello.bin");
    AgainstCopy(state, hello, [](const Bytes& bytes) {
        wexo::drv::TLS_CLIENT_HELLO parsed;
        auto outcome = wexo::drv::ParseTlsClientHello(bytes, parsed);
        benchmark::DoNotOptimize(outcome);
        benchmark::DoNotOptimize(parsed.serverName.Text().size());
    });
    wexo::drv::TLS_CLIENT_HELLO check;
    if (wexo::drv::ParseTlsClientHello(hello, check).status !=
            wexo::drv::TlsParseStatus::Complete ||
        check.serverName.Empty()) {
        state.SkipWithError("the captured hello did not parse");
    }
}
BENCHMARK(BM_ClientHello)->MinTime(1.0);

void BM_ServerFlight(benchmark::State& state) {
    const Bytes flight = ReadData("tls/tls12_server_flight.bin");
    AgainstCopy(state, flight, [](const Bytes& bytes) {
        wexo::drv::TLS_SERVER_FLIGHT parsed;
        auto outcome = wexo::drv::ParseTlsServerFlight(bytes, parsed);
        benchmark::DoNotOptimize(outcome);
        benchmark::DoNotOptimize(parsed.subjectCommonName.size());
    });
    wexo::drv::TLS_SERVER_FLIGHT check;
    if (wexo::drv::ParseTlsServerFlight(flight, check).status !=
            wexo::drv::TlsParseStatus::Complete ||
        check.subjectCommonName.empty()) {
        state.SkipWithError("the captured flight did not parse");
    }
}
BENCHMARK(BM_ServerFlight)->MinTime(1.0);

// A 64 KiB head that arrives in 256-byte pieces, each piece a look at all the bytes so far as the
// classify path makes it, against one parse of the whole head (target: ratio at most 2: each byte
// is read once on the way and once more when the head ends). `without_scan_ratio` is the same
// looks each read from the start, measured once: what the looks would cost if they did not go on
// from each other.
void BM_HttpHeadInPieces(benchmark::State& state) {
    constexpr size_t kPiece = 256;
    std::string text = "GET /pieces HTTP/1.1\r\n";
    while (text.size() < 64 * 1024) {
        text += "X-Filler: " + std::string(100, 'f') + "\r\n";
    }
    text += "Host: pieces.test\r\n\r\n";
    const Bytes head(text.begin(), text.end());
    auto looks = [&](bool scanned) {
        wexo::drv::HTTP_HEAD_SCAN scan;
        for (size_t length = kPiece;; length += kPiece) {
            length = std::min(length, head.size());
            wexo::drv::HTTP_REQUEST parsed;
            auto outcome = wexo::drv::ParseHttpRequest(std::span(head).first(length), parsed, false,
                                                       scanned ? &scan : nullptr);
            if (outcome.status != wexo::drv::HttpParseStatus::Incomplete) {
                return parsed.Host() == "pieces.test";
            }
        }
    };
    Clock::duration ours{};
    Clock::duration baseline{};
    for (auto _ : state) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(looks(true));
        auto middle = Clock::now();
        wexo::drv::HTTP_REQUEST parsed;
        benchmark::DoNotOptimize(wexo::drv::ParseHttpRequest(head, parsed));
        benchmark::DoNotOptimize(parsed.Host().size());
        auto end = Clock::now();
        ours += middle - start;
        baseline += end - middle;
    }
    const double heads = static_cast<double>(state.iterations());
    state.counters["ours_ns"] = Nanos(ours) / heads;
    state.counters["baseline_ns"] = Nanos(baseline) / heads;
    state.counters["ratio"] = Nanos(ours) / Nanos(baseline);
    auto start = Clock::now();
    const bool unscanned = looks(false);
    state.counters["without_scan_ratio"] = Nanos(Clock::now() - start) / (Nanos(baseline) / heads);
    if (!looks(true) || !unscanned) {
        state.SkipWithError("the head did not parse");
    }
}
BENCHMARK(BM_HttpHeadInPieces)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
