// The millisecond clock and sleeping.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start; wraps after about 49.7 days, so
// intervals are u32 differences.
uint32_t OsTimeGetTime();
void OsSleep(uint32_t ms);
// Asks for 1 ms scheduling and timer resolution while the library is loaded.
void OsBeginTimerPeriod();
void OsEndTimerPeriod();
