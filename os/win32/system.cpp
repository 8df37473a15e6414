// The Windows system services: the multimedia timer, the global heap, the
// registry setting, and the process and module.
#include "os/system.h"

#include <cstring>
#include <windows.h>
// After windows.h, which it builds on.
#include <mmsystem.h>

// ---- Clock ----

uint32_t OsTimeGetTime() { return timeGetTime(); }
void OsSleep(uint32_t ms) { Sleep(ms); }
void OsBeginTimerPeriod() { timeBeginPeriod(1); }
void OsEndTimerPeriod() { timeEndPeriod(1); }

// ---- Memory ----

// Fixed global memory: the handle is the block's address. GlobalLock and
// GlobalUnlock keep the pairing that movable blocks would need.
void *OsZeroAlloc(size_t size) {
    HGLOBAL block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size);
    if (block) GlobalLock(block);
    return block;
}

void OsFree(void *block) {
    if (!block) return;
    GlobalUnlock(block);
    GlobalFree(block);
}

// ---- Setting ----

bool OsReadMaxInstances(uint32_t *value) {
    HKEY key;
    if (RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Brandmoor\\KORVEL", &key) != ERROR_SUCCESS)
        return false;
    // The type is not checked: any value of up to 4 bytes counts as a number.
    DWORD raw = 0;
    DWORD size = sizeof(raw);
    LONG r = RegQueryValueExA(key, "MaxInstances", nullptr, nullptr, reinterpret_cast<BYTE *>(&raw),
                              &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return false;
    *value = raw;
    return true;
}

// ---- Process and module ----

uint32_t OsCurrentProcessId() { return GetCurrentProcessId(); }

// The library's own module, as the loader gave it to the DLL entry
// (library_entry.cpp).
static HMODULE g_module = nullptr;

void Win32SetModule(HMODULE module) { g_module = module; }
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
