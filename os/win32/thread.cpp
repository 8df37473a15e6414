// Windows threads, critical sections, condition variables and events.
#include "os/thread.h"

#include <new>
#include <windows.h>

// ---- Threads ----

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

// OsThreadPriority holds Windows's own levels.
bool OsSetThreadPriority(OsHandle thread, OsThreadPriority priority) {
    return SetThreadPriority(thread, static_cast<int>(priority)) != 0;
}

bool OsSuspendThread(OsHandle thread) { return SuspendThread(thread) != static_cast<DWORD>(-1); }

bool OsResumeThread(OsHandle thread) { return ResumeThread(thread) != static_cast<DWORD>(-1); }

bool OsWaitForThread(OsHandle thread) {
    return WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0;
}

bool OsCloseThread(OsHandle thread) { return CloseHandle(thread) != 0; }

// ---- Critical sections and condition variables ----

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(OsCriticalSection::storage),
              "CRITICAL_SECTION must fit the storage of OsCriticalSection");

static CRITICAL_SECTION *Native(OsCriticalSection *cs) {
    return reinterpret_cast<CRITICAL_SECTION *>(cs->storage);
}

void OsInitCriticalSection(OsCriticalSection *cs) { InitializeCriticalSection(Native(cs)); }
void OsDeleteCriticalSection(OsCriticalSection *cs) { DeleteCriticalSection(Native(cs)); }
void OsEnterCriticalSection(OsCriticalSection *cs) { EnterCriticalSection(Native(cs)); }
void OsLeaveCriticalSection(OsCriticalSection *cs) { LeaveCriticalSection(Native(cs)); }

static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(OsConditionVariable::storage),
              "CONDITION_VARIABLE must fit the storage of OsConditionVariable");

static CONDITION_VARIABLE *Native(OsConditionVariable *cv) {
    return reinterpret_cast<CONDITION_VARIABLE *>(cv->storage);
}

void OsInitConditionVariable(OsConditionVariable *cv) { InitializeConditionVariable(Native(cv)); }
void OsDeleteConditionVariable(OsConditionVariable *) {} // holds no resources on Windows
void OsSleepConditionVariable(OsConditionVariable *cv, OsCriticalSection *cs, uint32_t timeoutMs) {
    SleepConditionVariableCS(Native(cv), Native(cs), timeoutMs);
}
void OsWakeAllConditionVariable(OsConditionVariable *cv) { WakeAllConditionVariable(Native(cv)); }

// ---- Events ----

OsHandle OsCreateEvent(const char *name) { return CreateEventA(nullptr, FALSE, FALSE, name); }

bool OsSetEvent(OsHandle event) { return SetEvent(event) != 0; }

bool OsCloseEvent(OsHandle event) { return CloseHandle(event) != 0; }

OsWaitResult OsWaitForEvents(uint32_t count, const OsHandle *events, uint32_t timeoutMs) {
    const DWORD r = WaitForMultipleObjects(count, events, FALSE, timeoutMs);
    if (r < WAIT_OBJECT_0 + count) return OsWaitResult{OsWaitStatus::Signalled, r - WAIT_OBJECT_0};
    return OsWaitResult{r == WAIT_TIMEOUT ? OsWaitStatus::Timeout : OsWaitStatus::Failed, 0};
}
