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
bool OsTryEnterCriticalSection(OsCriticalSection *cs) { return TryEnterCriticalSection(Native(cs)) != 0; }
