// The OS layer's system services: the clock, memory, the one setting, and
// what identifies the process and the library's own module.
#pragma once

#include <cstddef>
#include <cstdint>

// Milliseconds since an arbitrary start; wraps after about 49.7 days, so
// intervals are u32 differences.
uint32_t OsTimeGetTime();
void OsSleep(uint32_t ms);
// Asks for 1 ms scheduling and timer resolution while the library is loaded.
void OsBeginTimerPeriod();
void OsEndTimerPeriod();

// The zero-filling allocator behind MemAlloc and MemFree: a zero-filled
// block, or null when the system has no memory for it. OsFree accepts null.
void *OsZeroAlloc(size_t size);
void OsFree(void *block);

// Reads the raw "MaxInstances" setting: on Windows the 4-byte value under
// HKEY_CURRENT_USER\Software\Brandmoor\KORVEL, elsewhere the environment
// variable KORVEL_MAXINSTANCES (a decimal number). Returns false when it is
// missing or unreadable; the caller applies the range rule.
bool OsReadMaxInstances(uint32_t *value);

// The calling process's identifier.
uint32_t OsCurrentProcessId();

// The address at which the library's own module is loaded: it tells apart
// two copies of the library loaded into one process (on Windows it is the
// module handle).
uintptr_t OsModuleBase();

// The two product version words, most significant first (the first word
// holds parts 1 and 2, the second parts 3 and 4). On Windows they are read
// from the module's version resource at each call; false when that fails.
bool OsReadProductVersion(uint32_t *mostSignificant, uint32_t *leastSignificant);
