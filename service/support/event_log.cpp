#include "service/support/event_log.h"

#include <array>
#include <limits>
#include <vector>

#include "os/core/status.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

constexpr size_t kMessageWidth = 80;

constexpr std::array<EVENT_MESSAGE, 30> kServiceMessages = {{
    {EVENT_SERVICE_STARTED, "Corvane Ostrel service version %1 started.%n\r\n"},
    {EVENT_RESTART_FOR_UPDATE, "Computer restart to complete software update.%n\r\n"},
    {EVENT_CREATE_PROCESS_FAILED,
     "Unable to create the process for command [%1].\r\n%n%2. Error code = %3.%n\r\n"},
    {EVENT_MODULE_PATH_FAILED, "Unable get the module's path.%n\r\n%1. Error code = %2.%n\r\n"},
    {EVENT_DEVICE_IO_CONTROL_FAILED,
     "Device I/O control %1 failed.\r\n%n%2. Error code = %3.%n\r\n"},
    {EVENT_SERVER_VERIFICATION_OFF,
     "Server certificates are not verified: the registry value \"%1\" is set. The check-in, the "
     "DNS remap list and software update downloads accept any server.%n\r\n"},
    {EVENT_UPDATE_NOT_VERIFIED, "Software update \"%1\" refused: %2.%n\r\n"},
    {EVENT_ENUM_NETWORK_EVENTS_FAILED,
     "Unable to enumerate network events for a Windows socket.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_READ_EVENT_ERROR, "A read event error occured.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_WRITE_EVENT_ERROR, "A write event error occured.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_INVALID_START_PARAMETER, "Invalid service start parameter = \"%1\".%n\r\n"},
    {EVENT_REGISTER_CONTROL_HANDLER_FAILED,
     "Unable to register a service control handler.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_SET_SERVICE_STATUS_FAILED,
     "Unable to set the service status.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_START_DISPATCHER_FAILED,
     "Unable to start the service control dispatcher.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_CREATE_REGISTRY_KEY_FAILED,
     "Unable to create registry key \"%3\".\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_OPEN_REGISTRY_KEY_FAILED,
     "Unable to open registry key \"%3\".\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_CREATE_EVENT_FAILED, "Unable to create the %3 event.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_OPEN_DEVICE_FAILED, "Unable to open device \"%3\".\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_DRIVER_INTERFACE_MISMATCH,
     "v%1 of the driver interface is required, but v%2 is installed.%n\r\n"},
    {EVENT_SET_WAITABLE_TIMER_FAILED,
     "Unable to set a waitable timer.  %1. Error code = %2.%n\r\n"},
    {EVENT_SET_REGISTRY_VALUE_FAILED,
     "Unable to set registry value \"%3\" in key \"%4\".\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_CREATE_THREAD_FAILED, "Unable to create the %3 thread.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_WINSOCK_STARTUP_FAILED,
     "Unable to startup the Windows Sockets subsystem.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_WINSOCK_VERSION_MISMATCH,
     "Windows Sockets version %1.%2 required, but version %3.%4 is installed.%n\r\n"},
    {EVENT_CREATE_SOCKET_FAILED,
     "Unable to create a Windows Socket.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_BIND_SOCKET_FAILED, "Unable to bind to socket.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_CREATE_SOCKET_EVENT_FAILED,
     "Unable to create Windows Sockets event.\r\n%n%1. Error code = %2%n.\r\n"},
    {EVENT_SEND_DATAGRAM_FAILED, "Unable to send UDP datagram.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_SELECT_SOCKET_EVENT_FAILED,
     "Unable to associate an event with a Windows socket.\r\n%n%1. Error code = %2.%n\r\n"},
    {EVENT_RECEIVE_DATAGRAM_FAILED,
     "Unable to receive a UDP datagram.\r\n%n%1. Error code = %2.%n\r\n"},
}};

struct RESOURCE_STRING {
    uint32_t id;
    const char* text;
};

constexpr RESOURCE_STRING kResourceStrings[] = {
    {IDS_WARNING_CAPTION, "Corvane Ostrel Warning"},
    {IDS_INVALID_ARGUMENT, "Invalid command line argument: \"%s\""},
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool StartsCodePoint(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

// Wraps one line (no line breaks inside) at blanks to the message width.
void WrapLine(std::string_view line, std::string& out) {
    for (;;) {
        // Byte offset of each code point up to one past the width.
        std::vector<size_t> starts;
        for (size_t i = 0; i < line.size() && starts.size() <= kMessageWidth; ++i) {
            if (StartsCodePoint(line[i])) {
                starts.push_back(i);
            }
        }
        if (starts.size() <= kMessageWidth) {
            out.append(line);
            return;
        }
        // starts[kMessageWidth] is the first character that does not fit.
        size_t limit = starts[kMessageWidth];
        size_t cut = std::string_view::npos;
        for (size_t i = limit + 1; i-- > 0;) {
            if (IsBlank(line[i])) {
                cut = i;
                break;
            }
        }
        size_t end = cut;
        if (cut == std::string_view::npos || cut == 0) {
            end = limit;  // a word longer than a line is cut where the line ends
            cut = limit;
        }
        while (end > 0 && IsBlank(line[end - 1])) {
            --end;
        }
        out.append(line.substr(0, end));
        out.push_back('\n');
        size_t next = cut;
        while (next < line.size() && IsBlank(line[next])) {
            ++next;
        }
        line.remove_prefix(next);
    }
}

}  // namespace

std::span<const EVENT_MESSAGE> ServiceMessageTable() {
    return kServiceMessages;
}

const char* FindEventMessage(std::span<const EVENT_MESSAGE> table, uint32_t id) {
    for (const EVENT_MESSAGE& message : table) {
        if (message.id == id) {
            return message.text;
        }
    }
    return nullptr;
}

const char* LoadResourceString(uint32_t id) {
    for (const RESOURCE_STRING& entry : kResourceStrings) {
        if (entry.id == id) {
            return entry.text;
        }
    }
    return nullptr;
}

std::string FormatEventMessage(std::string_view text, std::span<const std::string> strings) {
    // First the sequences, with "\n" for each line break the message asks for.
    std::string expanded;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            continue;  // the message's own line breaks count as nothing
        }
        if (c != '%' || i + 1 == text.size()) {
            expanded.push_back(c);
            continue;
        }
        size_t begin = i;  // the percent sign
        char next = text[++i];
        if (next >= '1' && next <= '9') {
            size_t number = static_cast<size_t>(next - '0');
            if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') {
                number = number * 10 + static_cast<size_t>(text[++i] - '0');
            }
            // A printf-style "!format!" after the number: the strings are inserted as they are.
            if (i + 1 < text.size() && text[i + 1] == '!') {
                size_t close = text.find('!', i + 2);
                if (close != std::string_view::npos) {
                    i = close;
                }
            }
            if (number <= strings.size()) {
                expanded.append(strings[number - 1]);
            } else {
                expanded.append(text.substr(begin, i - begin + 1));
            }
            continue;
        }
        switch (next) {
            case '0':
                i = text.size();
                break;
            case 'n':
                expanded.push_back('\n');
                break;
            case 'r':
                expanded.push_back('\r');
                break;
            case 't':
                expanded.push_back('\t');
                break;
            case 'b':
                expanded.push_back(' ');
                break;
            default:  // %%, %., %!, "% " and anything else: the character itself
                expanded.push_back(next);
                break;
        }
    }
    // Then the wrapping, line by line.
    std::string out;
    size_t start = 0;
    for (;;) {
        size_t end = expanded.find('\n', start);
        std::string_view line = std::string_view(expanded).substr(
            start, end == std::string::npos ? std::string::npos : end - start);
        WrapLine(line, out);
        if (end == std::string::npos) {
            break;
        }
        out.push_back('\n');
        start = end + 1;
    }
    while (!out.empty() && (IsBlank(out.back()) || out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

EVENT_LOG::~EVENT_LOG() {
    Stop();
}

bool EVENT_LOG::Start(std::string_view sourceName) {
    std::unique_lock guard(setupLock_);
    if (source_.IsValid()) {
        return true;
    }
    source_ = os::RegisterEventSource(sourceName);
    if (!source_.IsValid()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> count(lock_);
        count_ = 0;
    }
    stop_ = std::make_unique<os::Event>(os::EventType::Notification);
    thread_ = os::Thread::Start([this] { ThrottleThread(); }, "Event log throttle");
    return true;
}

void EVENT_LOG::Stop() {
    std::unique_lock guard(setupLock_);
    if (thread_) {
        stop_->Set();
        os::WaitForSingleObject(*thread_, os::INFINITE);
        thread_.reset();
        stop_.reset();
    }
    if (source_.IsValid()) {
        os::DeregisterEventSource(source_);
    }
    std::lock_guard<std::mutex> count(lock_);
    count_ = 0;
}

void EVENT_LOG::SetMessageTable(std::span<const EVENT_MESSAGE> table) {
    std::unique_lock guard(setupLock_);
    table_ = table;
}

uint32_t EVENT_LOG::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return count_;
}

void EVENT_LOG::ThrottleThread() {
    // A fixed window: whatever happened in it, the count starts again every 60 seconds.
    while (os::WaitForSingleObject(*stop_, kWindowMs) == os::WAIT_TIMEOUT) {
        std::lock_guard<std::mutex> guard(lock_);
        count_ = 0;
    }
}

bool EVENT_LOG::Report(uint16_t type, uint32_t eventId, std::span<const std::string> strings) {
    bool reported = false;
    const char* text = nullptr;
    {
        std::shared_lock guard(setupLock_);
        text = FindEventMessage(table_, eventId);
        if (source_.IsValid()) {
            bool withinLimit;
            {
                std::lock_guard<std::mutex> count(lock_);
                if (count_ < std::numeric_limits<uint32_t>::max()) {
                    ++count_;
                }
                withinLimit = count_ <= kLimit;
            }
            if (withinLimit) {
                reported = os::ReportEvent(source_, type, 0, eventId, strings);
                if (!reported) {
                    uint32_t error = os::GetLastError();
                    DebugWrite(LINE_ALWAYS_DEBUGGER | LINE_ALWAYS_LOG,
                               "Unable to report event ID = %lu. %s. Error code = %lu.",
                               static_cast<unsigned long>(eventId & 0xFFFF),
                               os::SystemMessageText(error).c_str(),
                               static_cast<unsigned long>(error));
                }
            }
        }
    }
    Mirror(text, strings);
    return reported;
}

bool EVENT_LOG::Report(uint16_t type, uint32_t eventId,
                       std::initializer_list<std::string_view> strings) {
    std::vector<std::string> copies(strings.begin(), strings.end());
    return Report(type, eventId, copies);
}

void EVENT_LOG::Mirror(const char* text, std::span<const std::string> strings) {
    if (text == nullptr || !DebugAnyOutput()) {
        return;
    }
    DebugWriteText(0, FormatEventMessage(text, strings));
}

EVENT_LOG& ServiceEventLog() {
    // Never destroyed: reports may come from threads that outlive static destruction.
    static EVENT_LOG* log = new EVENT_LOG;
    return *log;
}

bool ReportServiceEvent(uint16_t type, uint32_t eventId,
                        std::initializer_list<std::string_view> strings) {
    return ServiceEventLog().Report(type, eventId, strings);
}

bool ReportServiceErrorEvent(uint32_t eventId, uint32_t error,
                             std::initializer_list<std::string_view> names) {
    std::vector<std::string> strings;
    strings.push_back(os::SystemMessageText(error));
    strings.push_back(std::to_string(error));
    strings.insert(strings.end(), names.begin(), names.end());
    return ServiceEventLog().Report(EventTypeOf(eventId), eventId, strings);
}

}  // namespace wexo::svc
