#include "os/core/status.h"

#include <cerrno>
#include <cstdio>

namespace os {
namespace {

struct StatusMapping {
    NTSTATUS status;
    uint32_t error;
};

constexpr StatusMapping kStatusMap[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_TIMEOUT, ERROR_TIMEOUT},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_INSUFFICIENT_RESOURCES, 1450},  // ERROR_NO_SYSTEM_RESOURCES
    {STATUS_DEVICE_NOT_READY, 21},          // ERROR_NOT_READY
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
    {STATUS_INTERNAL_ERROR, 1359},  // ERROR_INTERNAL_ERROR
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED},
    {STATUS_REGISTRY_CORRUPT, ERROR_REGISTRY_CORRUPT},
    {STATUS_REGISTRY_IO_FAILED, ERROR_REGISTRY_IO_FAILED},
    {STATUS_KEY_DELETED, ERROR_KEY_DELETED},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
};

struct MessageText {
    uint32_t error;
    const char* text;
};

// The texts Windows gives for these numbers, without their final period.
constexpr MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully"},
    {ERROR_INVALID_FUNCTION, "Incorrect function"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified"},
    {ERROR_ACCESS_DENIED, "Access is denied"},
    {ERROR_INVALID_HANDLE, "The handle is invalid"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation"},
    {21, "The device is not ready"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process"},
    {ERROR_NOT_SUPPORTED, "The request is not supported"},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available"},
    {ERROR_FILE_EXISTS, "The file exists"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect"},
    {ERROR_DISK_FULL, "There is not enough space on the disk"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists"},
    {ERROR_MORE_DATA, "More data is available"},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered"},
    {ERROR_NO_MORE_ITEMS, "No more data is available"},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress"},
    {ERROR_NOACCESS, "Invalid access to memory location"},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened"},
    {ERROR_CANTREAD, "The configuration registry key could not be read"},
    {ERROR_CANTWRITE, "The configuration registry key could not be written"},
    {ERROR_REGISTRY_CORRUPT,
     "The registry is corrupted. The structure of one of the files containing registry data is "
     "corrupted, or the system's memory image of the file is corrupted, or the file could not be "
     "recovered because the alternate copy or log was absent or corrupted"},
    {ERROR_REGISTRY_IO_FAILED,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not read "
     "in, or write out, or flush, one of the files that contain the system's image of the "
     "registry"},
    {ERROR_KEY_DELETED,
     "Illegal operation attempted on a registry key that has been marked for deletion"},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running"},
    {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started"},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
     "The service process could not connect to the service controller"},
    {ERROR_NOT_FOUND, "Element not found"},
    {ERROR_CANCELLED, "The operation was canceled by the user"},
    {1359, "An internal error occurred"},
    {1450, "Insufficient system resources exist to complete the requested service"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired"},
    {ERROR_INVALID_DATATYPE, "The specified datatype is invalid"},
    {WSAETIMEDOUT,
     "A connection attempt failed because the connected party did not properly respond after a "
     "period of time, or established connection failed because connected host has failed to "
     "respond"},
    {WSAECONNREFUSED, "No connection could be made because the target machine actively refused it"},
    {WSAHOST_NOT_FOUND, "No such host is known"},
    {WSATRY_AGAIN,
     "This is usually a temporary error during hostname resolution and means that the local "
     "server did not receive a response from an authoritative server"},
    {WSANO_RECOVERY, "A non-recoverable error occurred during a database lookup"},
    {WSANO_DATA, "The requested name is valid, but no data of the requested type was found"},
};

thread_local uint32_t tLastError = ERROR_SUCCESS;

}  // namespace

uint32_t NtStatusToWin32Error(NTSTATUS status) {
    for (const auto& m : kStatusMap) {
        if (m.status == status) {
            return m.error;
        }
    }
    // Windows maps unknown failure codes to ERROR_MR_MID_NOT_FOUND.
    return 317;
}

std::string SystemMessageText(uint32_t error) {
    for (const auto& m : kMessages) {
        if (m.error == error) {
            return m.text;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "Unknown error %lu", static_cast<unsigned long>(error));
    return text;
}

uint32_t GetLastError() {
    return tLastError;
}

void SetLastError(uint32_t error) {
    tLastError = error;
}

uint32_t Win32ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_INVALID_NAME;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case ECANCELED:
            return ERROR_OPERATION_ABORTED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace os
