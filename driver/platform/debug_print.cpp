#include "driver/platform/debug_print.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "os/core/debugger.h"
#include "os/core/utf8.h"
#include "os/kernel/debug_print.h"
#include "os/kernel/system_routines.h"
#include "os/kernel/unicode_string.h"

namespace wexo::drv {
namespace {

using PRINTER = void (*)(const char* format, va_list args);
using VDBGPRINTEX_ROUTINE = void (*)(uint32_t componentId, uint32_t level, const char* format,
                                     va_list args);
using DBGPRINT_ROUTINE = void (*)(const char* format, ...);

std::atomic<VDBGPRINTEX_ROUTINE> gVDbgPrintEx{nullptr};
std::atomic<DBGPRINT_ROUTINE> gDbgPrint{nullptr};

void CallVDbgPrintEx(VDBGPRINTEX_ROUTINE routine, const char* format, ...) {
    va_list args;
    va_start(args, format);
    routine(os::DPFLTR_IHVDRIVER_ID, os::DPFLTR_ERROR_LEVEL, format, args);
    va_end(args);
}

// Whether a format has a "%w" conversion ("%ws", "%-20wZ"), which printf does not know.
bool HasWideConversion(const char* format) {
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        p += std::strspn(p, "-+ #0'*.0123456789");
        if (*p == 'w') {
            return true;
        }
    }
    return false;
}

void KernelPrinter(const char* format, va_list args) {
    VDBGPRINTEX_ROUTINE routine = gVDbgPrintEx.load();
    DBGPRINT_ROUTINE fallback = gDbgPrint.load();
    if (routine == nullptr && fallback == nullptr) {
        routine = &os::vDbgPrintEx;  // not looked up yet
    }
    if (routine != nullptr && !HasWideConversion(format)) {
        routine(os::DPFLTR_IHVDRIVER_ID, os::DPFLTR_ERROR_LEVEL, format, args);
        return;
    }
    std::string text = FormatDriverText(format, args);
    if (routine != nullptr) {
        CallVDbgPrintEx(routine, "%s", text.c_str());
    } else {
        fallback("%s", text.c_str());
    }
}

void SilentPrinter(const char* /*format*/, va_list /*args*/) {}

std::atomic<PRINTER> gActive{&KernelPrinter};

// Appends one conversion formatted by snprintf.
template <typename T>
void AppendFormatted(std::string& out, const std::string& spec, T value) {
    int length = std::snprintf(nullptr, 0, spec.c_str(), value);
    if (length <= 0) {
        return;
    }
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(length) + 1);
    std::snprintf(out.data() + at, static_cast<size_t>(length) + 1, spec.c_str(), value);
    out.resize(at + static_cast<size_t>(length));
}

// Widths and precisions beyond this are taken as this (no line of the driver comes near it).
constexpr int kMaxWidth = 4096;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

using os::AppendUtf8;

// Appends a wide text as UTF-8: at most `precision` UTF-16 units of it (never half of a
// surrogate pair), padded with spaces to `width` characters.
void AppendWide(std::string& out, std::u16string_view text, int width, int precision,
                bool leftJustified) {
    if (precision >= 0 && text.size() > static_cast<size_t>(precision)) {
        size_t keep = static_cast<size_t>(precision);
        if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF &&
            text[keep] >= 0xDC00 && text[keep] <= 0xDFFF) {
            --keep;
        }
        text = text.substr(0, keep);
    }
    const std::string narrow = NarrowText(text);
    size_t characters = 0;
    for (char c : narrow) {
        characters += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
    }
    const size_t wanted = static_cast<size_t>(std::clamp(width, 0, kMaxWidth));
    const size_t padding = wanted > characters ? wanted - characters : 0;
    if (!leftJustified) {
        out.append(padding, ' ');
    }
    out += narrow;
    if (leftJustified) {
        out.append(padding, ' ');
    }
}

}  // namespace

void DriverPrintV(const char* format, va_list args) {
    gActive.load(std::memory_order_acquire)(format, args);
}

void DriverPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    DriverPrintV(format, args);
    va_end(args);
}

void DriverPrintWide(const char* format, ...) {
    va_list args;
    va_start(args, format);
    DriverPrintV(format, args);
    va_end(args);
}

void SelectKernelPrinter() {
    auto routine =
        reinterpret_cast<VDBGPRINTEX_ROUTINE>(os::MmGetSystemRoutineAddress("vDbgPrintEx"));
    auto fallback = reinterpret_cast<DBGPRINT_ROUTINE>(os::MmGetSystemRoutineAddress("DbgPrint"));
    if (routine == nullptr && fallback == nullptr) {
        // Every kernel has DbgPrint; one that hides both still gets its lines.
        fallback = &os::DbgPrint;
    }
    gDbgPrint.store(fallback);
    gVDbgPrintEx.store(routine);
}

void SetDebuggerOutput(bool on) {
    gActive.store(on ? &KernelPrinter : &SilentPrinter, std::memory_order_release);
}

bool DebuggerOutput() {
    return gActive.load() == &KernelPrinter;
}

std::string FormatDriverText(const char* format, va_list args) {
    std::string out;
    va_list ap;
    va_copy(ap, args);
    if (!HasWideConversion(format)) {
        va_list sizing;
        va_copy(sizing, ap);
        int length = std::vsnprintf(nullptr, 0, format, sizing);
        va_end(sizing);
        if (length > 0) {
            out.resize(static_cast<size_t>(length) + 1);
            std::vsnprintf(out.data(), out.size(), format, ap);
            out.resize(static_cast<size_t>(length));
        }
        va_end(ap);
        return out;
    }
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        std::string spec = "%";
        std::string flags;
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
            flags.push_back(*p++);
        }
        spec += flags;
        int width = -1;
        if (*p == '*') {
            width = va_arg(ap, int);
            if (width < 0) {
                flags.push_back('-');  // a negative width left-justifies
                spec.push_back('-');
                width = width == INT_MIN ? INT_MAX : -width;
            }
            spec += std::to_string(width);
            ++p;
        } else if (IsDigit(*p)) {
            width = 0;
            while (IsDigit(*p)) {
                width = std::min(width * 10 + (*p - '0'), kMaxWidth);
                spec.push_back(*p++);
            }
        }
        int precision = -1;
        if (*p == '.') {
            spec.push_back(*p++);
            precision = 0;
            if (*p == '*') {
                precision = va_arg(ap, int);
                if (precision < 0) {
                    spec.pop_back();  // a negative precision is as if none was given
                    precision = -1;
                } else {
                    spec += std::to_string(precision);
                }
                ++p;
            } else {
                while (IsDigit(*p)) {
                    precision = std::min(precision * 10 + (*p - '0'), kMaxWidth);
                    spec.push_back(*p++);
                }
            }
        }
        std::string length;
        while (*p != '\0' && std::strchr("hljztLw", *p) != nullptr) {
            length.push_back(*p++);
        }
        const char conversion = *p;
        if (conversion == '\0') {
            out.append(start);
            break;
        }
        ++p;
        if (length == "w") {
            const bool leftJustified = flags.find('-') != std::string::npos;
            if (conversion == 's') {
                const char16_t* wide = va_arg(ap, const char16_t*);
                std::u16string_view text = u"(null)";
                if (wide != nullptr) {
                    // With a precision no more than that many units are read: the text need
                    // not be terminated within them.
                    size_t units = 0;
                    while ((precision < 0 || units < static_cast<size_t>(precision)) &&
                           wide[units] != u'\0') {
                        ++units;
                    }
                    // A pair the precision cuts is left out whole, without reading past it.
                    if (units > 0 && units == static_cast<size_t>(precision) &&
                        wide[units - 1] >= 0xD800 && wide[units - 1] <= 0xDBFF) {
                        --units;
                    }
                    text = std::u16string_view(wide, units);
                }
                AppendWide(out, text, width, precision, leftJustified);
            } else if (conversion == 'Z') {
                const auto* counted = va_arg(ap, const os::UNICODE_STRING*);
                AppendWide(out, counted != nullptr ? counted->View() : u"(null)", width, precision,
                           leftJustified);
            } else {
                out.append(start, p);
            }
            continue;
        }
        const std::string full = spec + length + conversion;
        switch (conversion) {
            case 'd':
            case 'i':
                if (length == "l") {
                    AppendFormatted(out, full, va_arg(ap, long));
                } else if (length == "ll") {
                    AppendFormatted(out, full, va_arg(ap, long long));
                } else if (length == "j") {
                    AppendFormatted(out, full, va_arg(ap, intmax_t));
                } else if (length == "z" || length == "t") {
                    AppendFormatted(out, full, va_arg(ap, ptrdiff_t));
                } else {
                    AppendFormatted(out, full, va_arg(ap, int));
                }
                break;
            case 'u':
            case 'o':
            case 'x':
            case 'X':
                if (length == "l") {
                    AppendFormatted(out, full, va_arg(ap, unsigned long));
                } else if (length == "ll") {
                    AppendFormatted(out, full, va_arg(ap, unsigned long long));
                } else if (length == "j") {
                    AppendFormatted(out, full, va_arg(ap, uintmax_t));
                } else if (length == "z" || length == "t") {
                    AppendFormatted(out, full, va_arg(ap, size_t));
                } else {
                    AppendFormatted(out, full, va_arg(ap, unsigned int));
                }
                break;
            case 'c':
                if (length == "l") {
                    AppendFormatted(out, full, va_arg(ap, wint_t));
                } else {
                    AppendFormatted(out, full, va_arg(ap, int));
                }
                break;
            case 's':
                if (length == "l") {
                    AppendFormatted(out, full, va_arg(ap, const wchar_t*));
                } else {
                    AppendFormatted(out, full, va_arg(ap, const char*));
                }
                break;
            case 'p':
                AppendFormatted(out, full, va_arg(ap, void*));
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (length == "L") {
                    AppendFormatted(out, full, va_arg(ap, long double));
                } else {
                    AppendFormatted(out, full, va_arg(ap, double));
                }
                break;
            case 'n':
                (void)va_arg(ap, void*);  // never written through
                break;
            default:
                out.append(start, p);
                break;
        }
    }
    va_end(ap);
    return out;
}

std::string NarrowText(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string WidenText(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t extra = lead < 0x80             ? 0
                       : (lead & 0xE0) == 0xC0 ? 1
                       : (lead & 0xF0) == 0xE0 ? 2
                       : (lead & 0xF8) == 0xF0 ? 3
                                               : 4;
        char32_t c = extra == 0   ? lead
                     : extra == 1 ? lead & 0x1F
                     : extra == 2 ? lead & 0x0F
                                  : lead & 0x07;
        bool valid = extra < 4;
        for (size_t k = 1; valid && k <= extra; ++k) {
            if (i + k >= text.size() || (static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) {
                valid = false;
            } else {
                c = (c << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
            }
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (valid && (c < kLeast[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) {
            valid = false;
        }
        if (!valid) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += extra + 1;
    }
    return out;
}

}  // namespace wexo::drv
