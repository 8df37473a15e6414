// The one configuration value of the library, read at load.
#pragma once

#include <cstdint>

// Reads the raw "MaxInstances" setting: on Windows the 4-byte value under
// HKEY_CURRENT_USER\Software\Brandmoor\KORVEL, elsewhere the environment
// variable KORVEL_MAXINSTANCES (a decimal number). Returns false when it is
// missing or unreadable; the caller applies the range rule.
bool OsReadMaxInstances(uint32_t *value);
