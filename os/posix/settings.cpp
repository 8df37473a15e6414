#include "os/settings.h"

#include <cerrno>
#include <cstdlib>

// The whole text must be a decimal number that fits 32 bits; anything else
// counts as unreadable, like a registry value of the wrong size.
bool OsReadMaxInstances(uint32_t *value) {
    const char *text = std::getenv("KORVEL_MAXINSTANCES");
    if (!text || *text < '0' || *text > '9') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || n > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(n);
    return true;
}
