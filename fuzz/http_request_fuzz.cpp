// HTTP GET parse of arbitrary bytes: every range stays inside the input, the outcome agrees with
// the result, the header table is freed, and bytes appended after a complete request change
// nothing.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "driver/filter/http_request.h"
#include "os/pool.h"

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
                FUZZ_CHECK(outcome.missing >= 3 && outcome.missing <= 5);
                FUZZ_CHECK(request.Headers().empty() && request.Path().empty());
                // Whether to wait for more: its own scan stays inside the bytes too, and bytes
                // without a line end yet may always still become a request.
                bool mayComplete = wexo::drv::HttpRequestMayComplete(bytes);
                FUZZ_CHECK(mayComplete || std::memchr(data, '\n', size) != nullptr);
                break;
            }
            case HttpParseStatus::NotGet:
                FUZZ_CHECK(request.Headers().empty() && request.Path().empty());
                break;
        }
    }
    FUZZ_CHECK(os::PoolOutstanding(wexo::drv::kHttpHeaderTableTag) == 0);
    return 0;
}
