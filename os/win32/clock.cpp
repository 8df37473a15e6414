#include "os/clock.h"

#include <windows.h>
#include <mmsystem.h>

uint32_t OsTimeGetTime() { return timeGetTime(); }
void OsSleep(uint32_t ms) { Sleep(ms); }
void OsBeginTimerPeriod() { timeBeginPeriod(1); }
void OsEndTimerPeriod() { timeEndPeriod(1); }
