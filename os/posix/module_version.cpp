#include "os/module_version.h"

#include "korvel_version.h"

// The version words come from the same project version that the Windows
// build writes into its version resource.
bool OsReadProductVersion(uint32_t *ms, uint32_t *ls) {
    *ms = (KORVEL_VERSION_MAJOR << 16) | KORVEL_VERSION_MINOR;
    *ls = (KORVEL_VERSION_PATCH << 16) | KORVEL_VERSION_TWEAK;
    return true;
}
