// Critical sections: recursive locks that live inside the object that uses
// them, so that initialising one never allocates.
#pragma once

#include <cstdint>

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

// Condition variables, used with a critical section that the waiting thread
// has entered exactly once.
struct OsConditionVariable {
    alignas(8) unsigned char storage[64];
};

void OsInitConditionVariable(OsConditionVariable *cv);
void OsDeleteConditionVariable(OsConditionVariable *cv);
// Leaves `cs`, waits until woken or `timeoutMs` (OS_INFINITE: no limit) has
// passed, and enters `cs` again. Wake-ups may also come without a cause.
void OsSleepConditionVariable(OsConditionVariable *cv, OsCriticalSection *cs, uint32_t timeoutMs);
void OsWakeAllConditionVariable(OsConditionVariable *cv);
