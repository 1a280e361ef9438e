// The running processes as /proc shows them, in the shape of the Windows calls the service uses to
// list them: a snapshot (CreateToolhelp32Snapshot with Process32First/Next), a process's session
// (ProcessIdToSessionId) and its image path (QueryFullProcessImageName).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/win32/device_facts.h"

namespace os {

struct PROCESSENTRY32 {
    uint32_t processId = 0;
    // "comm" (the kernel keeps its first 15 bytes), else the basename of the "exe" link.
    std::string exeFile;
};

// The processes in the order of their IDs. ERROR_SUCCESS, or the mapped errno when the proc
// folder cannot be listed (the list is then empty). A process that ends while it is read is left
// out.
uint32_t CreateProcessSnapshot(std::vector<PROCESSENTRY32>* processes,
                               const std::string& procRoot = kDefaultProcRoot);

// The login session of a process ("sessionid", the audit session logind's sessions are made of).
// A process outside every login session (4294967295: started by the system, as services are) is
// in session 0, where Windows keeps the system's processes and its services. ERROR_SUCCESS;
// ERROR_INVALID_PARAMETER when the process has ended (no such folder); otherwise the mapped errno
// of reading the file (13, invalid data, for a text that is not a number).
uint32_t ProcessIdToSessionId(uint32_t processId, uint32_t* sessionId,
                              const std::string& procRoot = kDefaultProcRoot);

// The full path of the process's executable (the "exe" link). ERROR_SUCCESS;
// ERROR_ACCESS_DENIED when the link may not be read (another user's process, as OpenProcess is
// refused on Windows); ERROR_INVALID_PARAMETER when the process has ended or has no executable
// (kernel threads); otherwise the mapped errno.
uint32_t QueryFullProcessImageName(uint32_t processId, std::string* path,
                                   const std::string& procRoot = kDefaultProcRoot);

}  // namespace os
