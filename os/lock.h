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
// Enters only if no other thread holds the section.
bool OsTryEnterCriticalSection(OsCriticalSection *cs);

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
