#include "os/lock.h"

#include <windows.h>

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
