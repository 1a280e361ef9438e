#include "driver/platform/debug_print.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "os/core/debugger.h"
#include "os/kernel/debug_print.h"
#include "os/kernel/system_routines.h"

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

bool HasWideConversion(const char* format) {
    return std::strstr(format, "%w") != nullptr;
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

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
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
        while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
            spec.push_back(*p++);
        }
        if (*p == '*') {
            spec += std::to_string(va_arg(ap, int));
            ++p;
        } else {
            while (IsDigit(*p)) {
                spec.push_back(*p++);
            }
        }
        if (*p == '.') {
            spec.push_back(*p++);
            if (*p == '*') {
                spec += std::to_string(va_arg(ap, int));
                ++p;
            } else {
                while (IsDigit(*p)) {
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
            if (conversion == 's') {
                const char16_t* wide = va_arg(ap, const char16_t*);
                std::string text = wide != nullptr ? NarrowText(wide) : "(null)";
                AppendFormatted(out, spec + "s", text.c_str());
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
