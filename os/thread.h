// The OS layer's threads and what they synchronise with: critical sections,
// condition variables and events. Events and threads are opaque handles, as
// on Windows.
#pragma once

#include <cstdint>

typedef void *OsHandle;

// The value a thread descriptor holds before its thread is started.
#define OS_INVALID_HANDLE (reinterpret_cast<OsHandle>(static_cast<intptr_t>(-1)))

// Time-out value that never expires.
constexpr uint32_t OS_INFINITE = 0xFFFFFFFFu;

// ---- Threads ----

typedef uint32_t (*OsThreadProc)(void *arg);

// The levels a thread can be asked to run at, numbered as Windows numbers them.
enum class OsThreadPriority : uint8_t {
    Normal = 0,
    AboveNormal = 1,
    TimeCritical = 15,
};

// Starts `proc(arg)` at once. Returns null on failure; `*threadId` receives
// an identifier unique within the process.
OsHandle OsCreateThread(OsThreadProc proc, void *arg, uint32_t *threadId);
// Best effort: where the system refuses a priority the thread keeps its own.
bool OsSetThreadPriority(OsHandle thread, OsThreadPriority priority);
// Suspensions are counted: the thread runs again once each has been
// resumed. Resuming a running thread succeeds and changes nothing. A thread
// must be resumed before its handle is closed.
bool OsSuspendThread(OsHandle thread);
bool OsResumeThread(OsHandle thread);
// Blocks until the thread has ended.
bool OsWaitForThread(OsHandle thread);
// Releases the handle; a thread still running carries on.
bool OsCloseThread(OsHandle thread);

// ---- Critical sections ----

// Recursive locks that live inside the object that uses them, so that
// initialising one never allocates.
struct OsCriticalSection {
    alignas(8) unsigned char storage[64];
};

void OsInitCriticalSection(OsCriticalSection *cs);
void OsDeleteCriticalSection(OsCriticalSection *cs);
void OsEnterCriticalSection(OsCriticalSection *cs);
void OsLeaveCriticalSection(OsCriticalSection *cs);

// Holds a critical section for the lifetime of the guard.
class OsLockGuard {
  public:
    explicit OsLockGuard(OsCriticalSection *cs) : m_cs(cs) { OsEnterCriticalSection(m_cs); }
    ~OsLockGuard() { OsLeaveCriticalSection(m_cs); }
    OsLockGuard(const OsLockGuard &) = delete;
    OsLockGuard &operator=(const OsLockGuard &) = delete;

  private:
    OsCriticalSection *m_cs;
};

// ---- Condition variables ----

// Used with a critical section that the waiting thread has entered exactly
// once.
struct OsConditionVariable {
    alignas(8) unsigned char storage[64];
};

void OsInitConditionVariable(OsConditionVariable *cv);
void OsDeleteConditionVariable(OsConditionVariable *cv);
// Leaves `cs`, waits until woken or `timeoutMs` (OS_INFINITE: no limit) has
// passed, and enters `cs` again. Wake-ups may also come without a cause.
void OsSleepConditionVariable(OsConditionVariable *cv, OsCriticalSection *cs, uint32_t timeoutMs);
void OsWakeAllConditionVariable(OsConditionVariable *cv);

// ---- Events ----

// Auto-reset events: a successful wait takes the signal, so each signal
// releases exactly one wait. A signal given while nobody waits is kept.

// How a wait for events ended.
enum class OsWaitStatus : uint8_t { Signalled, Timeout, Failed };

struct OsWaitResult {
    OsWaitStatus status;
    uint32_t index; // of the signalled event; 0 for the other ends
};

// Creates an event, not signalled. `name` may be null. Windows names live in
// the session's kernel namespace; elsewhere names are not shared between
// processes. Returns null on failure.
OsHandle OsCreateEvent(const char *name);
bool OsSetEvent(OsHandle event);
bool OsCloseEvent(OsHandle event);

// Waits until one of `count` events is signalled or `timeoutMs` passes.
// Signalled gives the lowest index among the signalled events (and takes
// only that signal); Failed stands for an invalid handle.
OsWaitResult OsWaitForEvents(uint32_t count, const OsHandle *events, uint32_t timeoutMs);
