// Client hello parse of arbitrary bytes: fields stay inside the input (or the result's own copy of
// a field split across records) and within their size limits, the outcome agrees with the result,
// and bytes appended after a complete hello change nothing (but may show an ECH extension).
#include <cstdint>
#include <span>
#include <vector>

#include "driver/filter/tls_parser.h"

namespace {

using wexo::drv::TlsParseStatus;

#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) {   \
            __builtin_trap(); \
        }                     \
    } while (0)

template <size_t N>
bool Valid(const wexo::drv::TLS_FIELD<N>& field, std::span<const uint8_t> bytes,
           const wexo::drv::TLS_CLIENT_HELLO& hello) {
    std::span<const uint8_t> range = field.Bytes();
    if (range.empty()) {
        return true;
    }
    const auto* owner = reinterpret_cast<const uint8_t*>(&hello);
    bool inInput =
        range.data() >= bytes.data() && range.data() + range.size() <= bytes.data() + bytes.size();
    bool inResult = range.data() >= owner && range.data() + range.size() <= owner + sizeof(hello);
    return range.size() <= N && (inInput || inResult);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    wexo::drv::TLS_CLIENT_HELLO hello;
    wexo::drv::TLS_PARSE_OUTCOME outcome = wexo::drv::ParseTlsClientHello(bytes, hello);
    FUZZ_CHECK(Valid(hello.sessionId, bytes, hello));
    FUZZ_CHECK(Valid(hello.serverName, bytes, hello));
    switch (outcome.status) {
        case TlsParseStatus::Complete: {
            FUZZ_CHECK(outcome.missing == 0 && hello.major == 3);
            std::vector<uint8_t> longer(bytes.begin(), bytes.end());
            longer.insert(longer.end(), {22, 3, 1, 0, 4, 1, 0, 0, 0});
            wexo::drv::TLS_CLIENT_HELLO again;
            FUZZ_CHECK(wexo::drv::ParseTlsClientHello(longer, again).status ==
                       TlsParseStatus::Complete);
            FUZZ_CHECK(again.serverName.Text() == hello.serverName.Text());
            FUZZ_CHECK(again.sessionId.Text() == hello.sessionId.Text());
            // More bytes can only show an ECH extension that was not there yet.
            FUZZ_CHECK(!hello.offersEch || again.offersEch);
            break;
        }
        case TlsParseStatus::Incomplete:
            FUZZ_CHECK(outcome.missing > 0);
            break;
        case TlsParseStatus::NotRecognised:
            FUZZ_CHECK(outcome.missing == 0 && hello.sessionId.Empty() &&
                       hello.serverName.Empty() && !hello.offersEch);
            break;
    }
    return 0;
}
