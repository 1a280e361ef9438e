// Routines a face offers by name to drivers that look them up at run time. The kernel face's
// MmGetSystemRoutineAddress answers its own routines and then these, so a face the kernel face
// does not stand on (the registry's callback registration) can still be found by name, as the
// kernel's export table would find it.
#pragma once

#include <string_view>

namespace os {

using EXPORTED_ROUTINE = void (*)();

// A later export of the same name replaces the earlier one.
void ExportRoutine(std::string_view name, EXPORTED_ROUTINE routine);
// Null when nothing exported that name.
EXPORTED_ROUTINE FindExportedRoutine(std::string_view name);

}  // namespace os
