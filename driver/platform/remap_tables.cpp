#include "driver/platform/remap_tables.h"

namespace wexo::drv {

void FreeRemapTarget(char* target) {
    if (target != nullptr) {
        os::ExFreePoolWithTag(target, kRemapTargetTag);
    }
}

}  // namespace wexo::drv
