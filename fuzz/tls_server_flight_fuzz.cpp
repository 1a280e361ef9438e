// Server flight parse of arbitrary bytes (records, server hello, certificate walk): every range
// stays inside the input and within its size limit, and the outcome agrees with the result.
#include <cstdint>
#include <span>
#include <string_view>

#include "driver/filter/tls_parser.h"

namespace {

using wexo::drv::TlsParseStatus;

#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) {   \
            __builtin_trap(); \
        }                     \
    } while (0)

bool Inside(const void* data, size_t length, std::span<const uint8_t> bytes) {
    const auto* begin = static_cast<const uint8_t*>(data);
    return length == 0 || (begin >= bytes.data() && begin + length <= bytes.data() + bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    wexo::drv::TLS_SERVER_FLIGHT flight;
    wexo::drv::TLS_PARSE_OUTCOME outcome = wexo::drv::ParseTlsServerFlight(bytes, flight);
    FUZZ_CHECK(flight.sessionId.size() <= 32);
    FUZZ_CHECK(Inside(flight.sessionId.data(), flight.sessionId.size(), bytes));
    for (std::string_view name : {flight.issuerCommonName, flight.subjectCommonName}) {
        FUZZ_CHECK(name.size() <= 65535 && Inside(name.data(), name.size(), bytes));
    }
    FUZZ_CHECK(!flight.tls13 || flight.serverHello);
    FUZZ_CHECK(flight.sessionId.empty() || flight.serverHello);
    switch (outcome.status) {
        case TlsParseStatus::Complete:
            FUZZ_CHECK(outcome.missing == 0 && flight.recordCount >= 1);
            break;
        case TlsParseStatus::Incomplete:
            FUZZ_CHECK(outcome.missing > 0);
            break;
        case TlsParseStatus::NotRecognised:
            FUZZ_CHECK(outcome.missing == 0 && flight.recordCount == 0 && !flight.serverHello &&
                       flight.subjectCommonName.empty());
            break;
    }
    return 0;
}
