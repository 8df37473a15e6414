// Worker threads.
#pragma once

#include "os/handle.h"

typedef uint32_t (*OsThreadProc)(void *arg);

// Windows thread priorities, used as the portable scale.
constexpr int OS_PRIORITY_NORMAL = 0;
constexpr int OS_PRIORITY_ABOVE_NORMAL = 1;
constexpr int OS_PRIORITY_TIME_CRITICAL = 15;

// Starts `proc(arg)` at once. Returns null on failure; `*threadId` receives
// an identifier unique within the process.
OsHandle OsCreateThread(OsThreadProc proc, void *arg, uint32_t *threadId);
// Best effort: where the system refuses a priority the thread keeps its own.
bool OsSetThreadPriority(OsHandle thread, int priority);
int OsGetThreadPriority(OsHandle thread);
// Suspensions are counted: the thread runs again once each has been
// resumed. Resuming a running thread succeeds and changes nothing. A thread
// must be resumed before its handle is closed.
bool OsSuspendThread(OsHandle thread);
bool OsResumeThread(OsHandle thread);
// Blocks until the thread has ended.
bool OsWaitForThread(OsHandle thread);
// Releases the handle; a thread still running carries on.
bool OsCloseThread(OsHandle thread);

// The calling process's identifier.
uint32_t OsCurrentProcessId();
