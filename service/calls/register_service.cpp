#include "service/calls/register_service.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/control_codes.h"
#include "common/records.h"
#include "os/core/event_log.h"
#include "os/core/status.h"
#include "os/win32/environment.h"
#include "os/win32/handles.h"
#include "service/support/debug_log.h"
#include "service/support/event_log.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

constexpr uint32_t E_FAIL = 0x80004005;
// The record keeps folder lengths in 16 bits.
constexpr size_t kMaxFolderBytes = 0xFFFE;

// Windows paths here are UTF-8; the record wants UTF-16. Bytes that are not UTF-8 become U+FFFD.
std::u16string Utf16(std::string_view text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        uint32_t code = 0xFFFD;
        size_t length = 1;
        if (c < 0x80) {
            code = c;
        } else if ((c & 0xE0) == 0xC0) {
            length = 2;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
        }
        if (length > 1) {
            if (i + length > text.size()) {
                code = 0xFFFD;
                length = 1;
            } else {
                code = c & (0x7F >> length);
                for (size_t k = 1; k < length; ++k) {
                    auto next = static_cast<unsigned char>(text[i + k]);
                    if ((next & 0xC0) != 0x80) {
                        code = 0xFFFD;
                        length = k;
                        break;
                    }
                    code = (code << 6) | (next & 0x3F);
                }
            }
        }
        i += length;
        if (code >= 0x10000 && code <= 0x10FFFF) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code > 0x10FFFF ? 0xFFFD : code));
        }
    }
    return out;
}

}  // namespace

os::HANDLE OpenControlDevice() {
    os::HANDLE device = os::CreateFileA(kDeviceOpenPath, os::GENERIC_READ | os::GENERIC_WRITE, 0,
                                        os::OPEN_EXISTING, os::FILE_ATTRIBUTE_NORMAL);
    if (device == os::INVALID_HANDLE_VALUE) {
        uint32_t error = os::GetLastError();
        ReportServiceErrorEvent(EVENT_OPEN_DEVICE_FAILED, error, {kDeviceOpenPath});
        os::SetLastError(error);
    }
    return device;
}

std::u16string RegistrationProgramFolder() {
    std::string modulePath;
    std::string folder;
    if (os::GetModuleFileName(modulePath)) {
        size_t cut = modulePath.rfind('\\');
        folder = cut == std::string::npos ? std::string() : modulePath.substr(0, cut);
    } else {
        ReportServiceErrorEvent(EVENT_MODULE_PATH_FAILED, os::GetLastError());
    }
    std::u16string text = Utf16(FormatText("\\%s\\%s", "??", folder.c_str()));
    if (text.size() * 2 > kMaxFolderBytes) {
        return u"\\??\\";
    }
    return text;
}

std::optional<std::u16string> RegistrationDataFolder() {
    std::string common = os::GetCommonAppDataFolder();
    if (common.empty()) {
        DebugPrint("SHGetFolderPath failed. %s. Error code = %#lx.",
                   os::SystemMessageText(E_FAIL).c_str(), static_cast<unsigned long>(E_FAIL));
        return std::nullopt;
    }
    std::u16string text = Utf16(FormatText("\\%s\\%s\\%s", "??", common.c_str(), "Corvane"));
    if (text.size() * 2 > kMaxFolderBytes) {
        return std::nullopt;
    }
    return text;
}

bool RegisterService(os::HANDLE device, os::HANDLE inputEvent, DRIVER_VERSION* version) {
    const std::u16string program = RegistrationProgramFolder();
    const std::optional<std::u16string> data = RegistrationDataFolder();
    QRN_REGISTER_REQUEST request{};
    request.inputEvent = inputEvent;
    request.programFolder = reinterpret_cast<uint64_t>(program.data());
    request.programFolderLength = static_cast<uint16_t>(program.size() * 2);
    if (data) {
        request.dataFolder = reinterpret_cast<uint64_t>(data->data());
        request.dataFolderLength = static_cast<uint16_t>(data->size() * 2);
    }
    QRN_REGISTER_REPLY reply{};
    uint32_t returned = 0;
    if (!os::DeviceIoControl(device, QRN_REGISTER, &request, sizeof request, &reply, sizeof reply,
                             &returned)) {
        uint32_t error = os::GetLastError();
        ReportServiceEvent(EventTypeOf(EVENT_DEVICE_IO_CONTROL_FAILED),
                           EVENT_DEVICE_IO_CONTROL_FAILED,
                           {"QRN_REGISTER", os::SystemMessageText(error), std::to_string(error)});
        return false;
    }
    if (version != nullptr) {
        *version = DRIVER_VERSION{reply.major, reply.minor, reply.build, reply.interfaceVersion};
    }
    if (reply.interfaceVersion == kInterfaceVersion) {
        DebugWrite(LINE_NO_LINE_END, "RegisterService: Driver v%u.%u.%u interface v%u\r\n",
                   unsigned{reply.major}, unsigned{reply.minor}, unsigned{reply.build},
                   unsigned{reply.interfaceVersion});
        DebugPrint("Service registered");
        return true;
    }
    DebugWrite(LINE_NO_LINE_END, "RegisterService: Driver v%u.%u.%u, interface v%u,",
               unsigned{reply.major}, unsigned{reply.minor}, unsigned{reply.build},
               unsigned{reply.interfaceVersion});
    DebugWrite(LINE_RAW | LINE_NO_LINE_END, "required interface v%u\r\n",
               unsigned{kInterfaceVersion});
    ReportServiceEvent(EventTypeOf(EVENT_DRIVER_INTERFACE_MISMATCH),
                       EVENT_DRIVER_INTERFACE_MISMATCH,
                       {std::to_string(kInterfaceVersion), std::to_string(reply.interfaceVersion)});
    return false;
}

}  // namespace wexo::svc
