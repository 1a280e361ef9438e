// Windows status vocabulary: NTSTATUS values the driver returns, Win32 and Winsock error numbers
// the service sees, the mapping between them, and the system message texts that log lines quote.
#pragma once

#include <cstdint>
#include <string>

namespace os {

using NTSTATUS = int32_t;

constexpr NTSTATUS MakeStatus(uint32_t value) {
    return static_cast<NTSTATUS>(value);
}

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_WAIT_0 = 0;
constexpr NTSTATUS STATUS_ALERTED = 0x101;
constexpr NTSTATUS STATUS_TIMEOUT = 0x102;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = MakeStatus(0x80000005);
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = MakeStatus(0x8000001A);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = MakeStatus(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = MakeStatus(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_HANDLE = MakeStatus(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = MakeStatus(0xC000000D);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = MakeStatus(0xC0000010);
constexpr NTSTATUS STATUS_NO_MEMORY = MakeStatus(0xC0000017);
constexpr NTSTATUS STATUS_ACCESS_DENIED = MakeStatus(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = MakeStatus(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = MakeStatus(0xC0000024);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = MakeStatus(0xC0000033);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = MakeStatus(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = MakeStatus(0xC0000035);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = MakeStatus(0xC000003A);
constexpr NTSTATUS STATUS_NAME_TOO_LONG = MakeStatus(0xC0000106);
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = MakeStatus(0xC0000184);
constexpr NTSTATUS STATUS_DEVICE_DOES_NOT_EXIST = MakeStatus(0xC00000C0);
constexpr NTSTATUS STATUS_SHARING_VIOLATION = MakeStatus(0xC0000043);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = MakeStatus(0xC000009A);
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = MakeStatus(0xC00000A3);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = MakeStatus(0xC00000BB);
constexpr NTSTATUS STATUS_INTERNAL_ERROR = MakeStatus(0xC00000E5);
constexpr NTSTATUS STATUS_CANCELLED = MakeStatus(0xC0000120);
constexpr NTSTATUS STATUS_CANNOT_DELETE = MakeStatus(0xC0000121);
constexpr NTSTATUS STATUS_REGISTRY_CORRUPT = MakeStatus(0xC000014C);
constexpr NTSTATUS STATUS_REGISTRY_IO_FAILED = MakeStatus(0xC000014D);
constexpr NTSTATUS STATUS_KEY_DELETED = MakeStatus(0xC000017C);
constexpr NTSTATUS STATUS_FLT_INSTANCE_ALTITUDE_COLLISION = MakeStatus(0xC01C0011);
constexpr NTSTATUS STATUS_NOT_FOUND = MakeStatus(0xC0000225);

constexpr bool NT_SUCCESS(NTSTATUS status) {
    return status >= 0;
}

// Win32 error numbers (GetLastError) and Winsock error numbers used by the product.
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_OUTOFMEMORY = 14;
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t ERROR_DEV_NOT_EXIST = 55;
constexpr uint32_t ERROR_FILE_EXISTS = 80;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_DISK_FULL = 112;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_INVALID_NAME = 123;
constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
constexpr uint32_t ERROR_MORE_DATA = 234;
constexpr uint32_t ERROR_ENVVAR_NOT_FOUND = 203;
constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
constexpr uint32_t ERROR_INVALID_ADDRESS = 487;
constexpr uint32_t ERROR_OPERATION_ABORTED = 995;
constexpr uint32_t ERROR_IO_PENDING = 997;
constexpr uint32_t ERROR_NOACCESS = 998;
constexpr uint32_t ERROR_CANTOPEN = 1011;
constexpr uint32_t ERROR_CANTREAD = 1012;
constexpr uint32_t ERROR_CANTWRITE = 1013;
constexpr uint32_t ERROR_REGISTRY_CORRUPT = 1015;
constexpr uint32_t ERROR_REGISTRY_IO_FAILED = 1016;
constexpr uint32_t ERROR_KEY_DELETED = 1018;
constexpr uint32_t ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr uint32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr uint32_t ERROR_NOT_FOUND = 1168;
constexpr uint32_t ERROR_CANCELLED = 1223;
constexpr uint32_t ERROR_TIMEOUT = 1460;
constexpr uint32_t ERROR_INVALID_DATATYPE = 1804;
constexpr uint32_t WSAETIMEDOUT = 10060;
constexpr uint32_t WSAECONNREFUSED = 10061;
constexpr uint32_t WSAHOST_NOT_FOUND = 11001;
constexpr uint32_t WSATRY_AGAIN = 11002;
constexpr uint32_t WSANO_RECOVERY = 11003;
constexpr uint32_t WSANO_DATA = 11004;

// The Win32 error that a device call reports for a failing NTSTATUS (RtlNtStatusToDosError).
uint32_t NtStatusToWin32Error(NTSTATUS status);

// The system message text of a Win32 or Winsock error, without the final period and line end,
// so that it fits "%s. Error code = %lu.". Unknown numbers give a generic text, never an empty one.
std::string SystemMessageText(uint32_t error);

// The calling thread's last error (GetLastError / SetLastError).
uint32_t GetLastError();
void SetLastError(uint32_t error);

// Maps an errno value from a Linux call to the nearest Win32 error.
uint32_t Win32ErrorFromErrno(int err);

}  // namespace os
