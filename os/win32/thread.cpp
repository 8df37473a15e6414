#include "os/thread.h"

#include <new>
#include <windows.h>

namespace {

// CreateThread wants a WINAPI procedure; the portable one is called through
// this start record, which the new thread frees.
struct StartRecord {
    OsThreadProc proc;
    void *arg;
};

DWORD WINAPI Trampoline(LPVOID p) {
    StartRecord start = *static_cast<StartRecord *>(p);
    delete static_cast<StartRecord *>(p);
    return start.proc(start.arg);
}

} // namespace

OsHandle OsCreateThread(OsThreadProc proc, void *arg, uint32_t *threadId) {
    StartRecord *start = new (std::nothrow) StartRecord{proc, arg};
    if (!start) return nullptr;
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, Trampoline, start, 0, &id);
    if (!h) {
        delete start;
        return nullptr;
    }
    if (threadId) *threadId = id;
    return h;
}

bool OsSetThreadPriority(OsHandle thread, int priority) {
    return SetThreadPriority(thread, priority) != 0;
}

int OsGetThreadPriority(OsHandle thread) { return GetThreadPriority(thread); }

bool OsSuspendThread(OsHandle thread) { return SuspendThread(thread) != static_cast<DWORD>(-1); }

bool OsResumeThread(OsHandle thread) { return ResumeThread(thread) != static_cast<DWORD>(-1); }

bool OsWaitForThread(OsHandle thread) {
    return WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0;
}

bool OsCloseThread(OsHandle thread) { return CloseHandle(thread) != 0; }

uint32_t OsCurrentProcessId() { return GetCurrentProcessId(); }
