// HTTP request-head parse of arbitrary bytes: every range stays inside the input, the outcome
// agrees with the result, the header table is freed, bytes appended after a complete request
// change nothing, a head looked at as it grows (in pieces the input chooses) reads at each look as
// it does whole, the framing reader fed the same bytes in two pieces agrees with itself, and the
// framing reader finds a whole head where the parse does (its end, CONNECT, an Upgrade header)
// unless it refuses the framing.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "driver/filter/http_framing.h"
#include "driver/filter/http_request.h"
#include "os/kernel/pool.h"

namespace {

using wexo::drv::HttpParseStatus;

#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) {   \
            __builtin_trap(); \
        }                     \
    } while (0)

bool Inside(std::string_view range, std::span<const uint8_t> bytes) {
    const auto* begin = reinterpret_cast<const uint8_t*>(range.data());
    return range.empty() ||
           (begin >= bytes.data() && begin + range.size() <= bytes.data() + bytes.size());
}

void CheckRequest(const wexo::drv::HTTP_REQUEST& request, std::span<const uint8_t> bytes) {
    FUZZ_CHECK(Inside(request.Host(), bytes));
    FUZZ_CHECK(Inside(request.Path(), bytes));
    FUZZ_CHECK(Inside(request.ProxyPrefix(), bytes));
    FUZZ_CHECK(request.Host() == wexo::drv::FindHost(request));
    for (const wexo::drv::HTTP_HEADER& header : request.Headers()) {
        FUZZ_CHECK(header.nameLength > 0 && Inside(header.Name(), bytes));
        FUZZ_CHECK(std::memchr(header.name, ':', header.nameLength) == nullptr);
        for (const wexo::drv::HTTP_HEADER_VALUE& value : header.Values()) {
            FUZZ_CHECK(value.length > 0 && Inside(value.View(), bytes));
        }
    }
}

bool SameLook(const wexo::drv::HTTP_PARSE_OUTCOME& a, const wexo::drv::HTTP_REQUEST& x,
              const wexo::drv::HTTP_PARSE_OUTCOME& b, const wexo::drv::HTTP_REQUEST& y) {
    return a.status == b.status && a.missing == b.missing && a.headLength == b.headLength &&
           x.Method() == y.Method() && x.Host() == y.Host() && x.Path() == y.Path() &&
           x.ProxyPrefix() == y.ProxyPrefix() && x.Headers().size() == y.Headers().size() &&
           x.Truncated() == y.Truncated() && x.HostConflict() == y.HostConflict() &&
           x.Ambiguous() == y.Ambiguous();
}

// An "Upgrade" header as the framing reader knows one: the name before the ":", blanks after it
// not counted, on a line that does not start with a blank (a folded line).
bool OffersUpgrade(const wexo::drv::HTTP_REQUEST& request) {
    for (const wexo::drv::HTTP_HEADER& header : request.Headers()) {
        std::string_view name = header.Name();
        if (name.front() == ' ' || name.front() == '\t') {
            continue;
        }
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
            name.remove_suffix(1);
        }
        constexpr std::string_view kUpgrade = "upgrade";
        bool same = name.size() == kUpgrade.size();
        for (size_t i = 0; same && i < name.size(); ++i) {
            same = (name[i] | 0x20) == kUpgrade[i];
        }
        if (same) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    {
        wexo::drv::HTTP_REQUEST request;
        wexo::drv::HTTP_PARSE_OUTCOME outcome = wexo::drv::ParseHttpRequest(bytes, request);
        CheckRequest(request, bytes);
        switch (outcome.status) {
            case HttpParseStatus::Complete: {
                FUZZ_CHECK(outcome.missing == 0);
                if (request.SimpleRequestLength() != 0) {
                    // HTTP/0.9: the line alone, which the framing of later requests never sees.
                    FUZZ_CHECK(request.SimpleRequestLength() == outcome.headLength);
                    FUZZ_CHECK(request.Headers().empty() && request.Method() == "GET");
                } else if (outcome.headLength > 0) {
                    using wexo::drv::HTTP_FRAMING;
                    HTTP_FRAMING framing;
                    framing.BeginRequest();
                    HTTP_FRAMING::RESULT step = framing.Feed(bytes);
                    if (step.step != HTTP_FRAMING::Step::Error) {
                        FUZZ_CHECK(step.consumed == outcome.headLength);
                        FUZZ_CHECK((step.step == HTTP_FRAMING::Step::Tunnel) ==
                                   (request.Method() == "CONNECT"));
                        FUZZ_CHECK(step.step == HTTP_FRAMING::Step::Tunnel ||
                                   step.step == HTTP_FRAMING::Step::HeadEnd);
                        FUZZ_CHECK(framing.UpgradeOffered() == OffersUpgrade(request));
                    }
                }
                std::vector<uint8_t> longer(bytes.begin(), bytes.end());
                longer.insert(longer.end(), {'\r', '\n', 'H', 'o', 's', 't', ':', 'x', '\r', '\n'});
                wexo::drv::HTTP_REQUEST again;
                FUZZ_CHECK(wexo::drv::ParseHttpRequest(longer, again).status ==
                           HttpParseStatus::Complete);
                FUZZ_CHECK(again.Path() == request.Path());
                FUZZ_CHECK(again.Host() == request.Host());
                FUZZ_CHECK(again.Headers().size() == request.Headers().size());
                break;
            }
            case HttpParseStatus::Incomplete: {
                FUZZ_CHECK(outcome.missing == 1);
                FUZZ_CHECK(request.Headers().empty() && request.Path().empty());
                FUZZ_CHECK(!request.Ambiguous());
                wexo::drv::HTTP_REQUEST truncated;
                wexo::drv::ParseHttpRequest(bytes, truncated, true);
                CheckRequest(truncated, bytes);
                break;
            }
            case HttpParseStatus::NotHttp:
                FUZZ_CHECK(request.Headers().empty() && request.Path().empty());
                FUZZ_CHECK(!request.Ambiguous());
                break;
        }
    }
    if (size > 0) {
        // A parse of the whole prefix at each look would make this target quadratic: looks are
        // compared where they end (an outcome, or the input's end) and at two looks on the way.
        wexo::drv::HTTP_HEAD_SCAN scan;
        size_t length = 0;
        for (size_t piece = 0; length < size; ++piece) {
            length = std::min(size, length + 1 + data[piece % size] % 61);
            std::span<const uint8_t> prefix = bytes.first(length);
            wexo::drv::HTTP_HEAD_SCAN last = scan;
            wexo::drv::HTTP_REQUEST grown;
            wexo::drv::HTTP_PARSE_OUTCOME outcome =
                wexo::drv::ParseHttpRequest(prefix, grown, false, &scan);
            const bool ends = outcome.status != HttpParseStatus::Incomplete || length == size;
            if (ends || piece == 3 || piece == 10) {
                wexo::drv::HTTP_REQUEST alone;
                FUZZ_CHECK(
                    SameLook(outcome, grown, wexo::drv::ParseHttpRequest(prefix, alone), alone));
                // The last look, which takes what is there, from the same point.
                wexo::drv::HTTP_REQUEST taken;
                wexo::drv::HTTP_REQUEST takenAlone;
                FUZZ_CHECK(SameLook(wexo::drv::ParseHttpRequest(prefix, taken, true, &last), taken,
                                    wexo::drv::ParseHttpRequest(prefix, takenAlone, true),
                                    takenAlone));
            }
            if (outcome.status != HttpParseStatus::Incomplete) {
                FUZZ_CHECK(scan.seen == 0);
                break;
            }
        }
    }
    FUZZ_CHECK(os::PoolOutstanding(wexo::drv::kHttpHeaderTableTag) == 0);
    // Framing: one piece or two, the reader stops at the same places.
    {
        using wexo::drv::HTTP_FRAMING;
        auto run = [&](size_t split) {
            HTTP_FRAMING framing;
            std::vector<std::pair<int, size_t>> steps;
            size_t at = 0;
            size_t guard = 0;
            while (at < size && guard++ < 4 * size + 8) {
                size_t end = at < split ? split : size;
                HTTP_FRAMING::RESULT step = framing.Feed(bytes.subspan(at, end - at));
                at += step.consumed;
                if (step.step == HTTP_FRAMING::Step::RequestStart) {
                    steps.emplace_back(1, at);
                    framing.BeginRequest();
                } else if (step.step == HTTP_FRAMING::Step::HeadEnd) {
                    steps.emplace_back(2, at);
                } else if (step.step != HTTP_FRAMING::Step::Consumed) {
                    steps.emplace_back(3, at);
                    break;
                }
            }
            FUZZ_CHECK(guard <= 4 * size + 8);
            return steps;
        };
        FUZZ_CHECK(run(0) == run(size / 2));
    }
    return 0;
}
