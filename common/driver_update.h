// QRN_UPDATE_DRIVER's input. The first 8 bytes are a handle, valid in the caller, to the new
// image opened for reading. A caller that cannot hand over a handle (a process on the other side
// of the device bridge) passes 0 and names the file instead; the driver then opens it itself.
// The size, when not 0, is what the caller read: a file that is shorter or longer by the time
// the driver copies it is refused.
#pragma once

#include <cstdint>

namespace wexo {

struct QRN_UPDATE_DRIVER_REQUEST {
    uint64_t handle;
    uint64_t size;
    // The native name of the new image ("\??\C:\tmp\wexowfp"), NUL-terminated or up to the end
    // of the input; only read when the handle is 0.
    char16_t path[1];
};
constexpr uint32_t kUpdateDriverHeaderSize = 16;
constexpr uint32_t kUpdateDriverMaxPath = 4096;

}  // namespace wexo
