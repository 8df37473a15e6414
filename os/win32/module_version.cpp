#include "os/module_version.h"

#include "os/win32/module.h"

#include <cstring>
#include <windows.h>

static HMODULE g_module = nullptr;

void Win32SetModule(HMODULE module) { g_module = module; }
HMODULE Win32GetModule() { return g_module; }
uintptr_t OsModuleBase() { return reinterpret_cast<uintptr_t>(g_module); }

// Reads the fixed part of the version resource from a private copy, because
// VerQueryValue expects a block it may write to.
static bool QueryCopy(void *copy, uint32_t *ms, uint32_t *ls) {
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(copy, "\\", reinterpret_cast<void **>(&fixed), &length) || length == 0)
        return false;
    *ms = fixed->dwProductVersionMS;
    *ls = fixed->dwProductVersionLS;
    return true;
}

bool OsReadProductVersion(uint32_t *ms, uint32_t *ls) {
    HRSRC info = FindResourceA(g_module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
    if (!info) return false;
    DWORD size = SizeofResource(g_module, info);
    HGLOBAL loaded = LoadResource(g_module, info);
    void *bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) return false;
    HLOCAL copy = LocalAlloc(LMEM_FIXED, size);
    if (copy) std::memcpy(copy, bytes, size);
    FreeResource(loaded);
    if (!copy) return false;
    bool ok = QueryCopy(copy, ms, ls);
    LocalFree(copy);
    return ok;
}
