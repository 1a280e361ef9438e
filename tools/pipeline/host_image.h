// The driver's image on Linux: the driver host's own program file (the "wexowfp" the unit starts),
// which the driver holds while it runs and its self-update replaces for the next start.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace wexo::pipeline {

// The host program's path: WEXO_DRIVER_IMAGE when set (a staged install), else the file this
// process runs (/proc/self/exe resolved); empty when neither can be told.
std::string HostImagePath();

// The native name of an absolute Linux path on the system volume ("\??\C:\usr\lib\wexo\wexowfp");
// empty for a relative path.
std::u16string NativeNameOf(const std::string& linuxPath);

// Whether a file, by its first bytes and its size, is a whole ELF executable for this machine:
// the magic, this machine's class, byte order and architecture, an executable or position-
// independent type, and program and section header tables that lie within the file (a file cut
// short loses the section table at its end).
bool IsWholeElfImage(std::span<const uint8_t> head, uint64_t size);

}  // namespace wexo::pipeline
