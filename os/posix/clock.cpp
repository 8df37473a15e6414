#include "os/clock.h"

#include <cerrno>
#include <ctime>

uint32_t OsTimeGetTime() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000u +
                                 static_cast<uint64_t>(t.tv_nsec) / 1000000u);
}

void OsSleep(uint32_t ms) {
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) == -1 && errno == EINTR) {
    }
}

// Linux timers and sleeps already have sub-millisecond resolution.
void OsBeginTimerPeriod() {}
void OsEndTimerPeriod() {}
