#include "os/settings.h"

#include <windows.h>

bool OsReadMaxInstances(uint32_t *value) {
    HKEY key;
    if (RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Brandmoor\\KORVEL", &key) != ERROR_SUCCESS)
        return false;
    // The type is not checked: any value of up to 4 bytes counts as a number.
    DWORD raw = 0;
    DWORD size = sizeof(raw);
    LONG r = RegQueryValueExA(key, "MaxInstances", nullptr, nullptr,
                              reinterpret_cast<BYTE *>(&raw), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return false;
    *value = raw;
    return true;
}
