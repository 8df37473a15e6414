#include "os/module_version.h"

#include "korvel_version.h"

#include <dlfcn.h>

uintptr_t OsModuleBase() {
    static const char kInside = 0;
    Dl_info info{};
    if (dladdr(&kInside, &info) == 0) return reinterpret_cast<uintptr_t>(&kInside);
    return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

// The version words come from the same project version that the Windows
// build writes into its version resource.
bool OsReadProductVersion(uint32_t *ms, uint32_t *ls) {
    *ms = (KORVEL_VERSION_MAJOR << 16) | KORVEL_VERSION_MINOR;
    *ls = (KORVEL_VERSION_PATCH << 16) | KORVEL_VERSION_TWEAK;
    return true;
}
