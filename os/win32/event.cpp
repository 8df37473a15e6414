#include "os/event.h"

#include <windows.h>

OsHandle OsCreateEvent(const char *name) { return CreateEventA(nullptr, FALSE, FALSE, name); }

bool OsSetEvent(OsHandle event) { return SetEvent(event) != 0; }

bool OsCloseEvent(OsHandle event) { return CloseHandle(event) != 0; }

uint32_t OsWaitForEvents(uint32_t count, const OsHandle *events, uint32_t timeoutMs) {
    DWORD r = WaitForMultipleObjects(count, events, FALSE, timeoutMs);
    if (r < WAIT_OBJECT_0 + count) return r - WAIT_OBJECT_0;
    return r == WAIT_TIMEOUT ? OS_WAIT_TIMEOUT : OS_WAIT_FAILED;
}
