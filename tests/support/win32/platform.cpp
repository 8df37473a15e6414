#include "korvel_library.h"

#include <string>
#include <windows.h>

void *OpenLibrary(const std::string &file, std::string *error) {
    HMODULE h = LoadLibraryA(file.c_str());
    if (!h) *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(h);
}

void *FindSymbol(void *handle, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void CloseLibrary(void *handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

bool KorvelLibrary::IsMapped(const std::string &file) {
    return GetModuleHandleA(file.c_str()) != nullptr;
}

void SetMaxInstancesSetting(const uint32_t *value) {
    HKEY key;
    if (RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Brandmoor\\KORVEL", &key) != ERROR_SUCCESS)
        return;
    if (value) {
        DWORD raw = *value;
        RegSetValueExA(key, "MaxInstances", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&raw),
                       sizeof(raw));
    } else {
        RegDeleteValueA(key, "MaxInstances");
    }
    RegCloseKey(key);
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const int kTimeCriticalLevel = THREAD_PRIORITY_TIME_CRITICAL;
const int kAboveNormalLevel = THREAD_PRIORITY_ABOVE_NORMAL;

int RunningThreadLevel() { return GetThreadPriority(GetCurrentThread()); }

bool MayRaiseThreadLevel() { return true; }
