#include "api/version_query.h"

#include "api/library.h"
#include "os/module_version.h"

void VersionFromProductWords(uint32_t ms, uint32_t ls, VersionInfo *version) {
    version->major = static_cast<uint8_t>(ms >> 16);
    version->minor = static_cast<uint8_t>(ms & 0xFFFFu);
    version->release = static_cast<uint8_t>(ls >> 16);
    version->build = static_cast<uint16_t>(ls & 0xFFFFu);
}

extern "C" uint32_t KORVEL_CALL KORVEL_GetVersion(VersionInfo *version) {
    ApiLock lock;
    if (!lock.Held()) return KORVEL_ERR_ILLEGAL_INSTANCE;
    if (!version) return KORVEL_ERR_NULL_POINTER;
    uint32_t ms = 0;
    uint32_t ls = 0;
    if (!OsReadProductVersion(&ms, &ls)) return KORVEL_ERR_RESOURCE;
    VersionFromProductWords(ms, ls, version);
    return KORVEL_OK;
}
