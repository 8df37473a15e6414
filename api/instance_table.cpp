#include "api/instance_table.h"

#include "api/korvel.h"
#include "api/library.h"
#include "os/lock.h"

namespace {

// Plain arrays sized for the highest limit: they need no construction before
// the load-time initialisation runs and no allocation that could fail.
uint8_t g_numberTable[kMaxInstanceLimit + 1];
uint8_t g_registeredCount = 0;
CKorvel *g_instanceList[kMaxInstanceLimit];
uint32_t g_instanceListLength = 0;
OsCriticalSection g_instanceListLock;

} // namespace

void InstanceTableLoad() {
    for (uint8_t &entry : g_numberTable) entry = 0;
    g_registeredCount = 0;
    g_instanceListLength = 0;
}

void InstanceTableUnload() { InstanceTableLoad(); }

bool AllocateInstanceNumber(int32_t *number) {
    if (g_registeredCount <= MaxInstances()) {
        for (int32_t n = 1; n <= MaxInstances(); ++n) {
            if (g_numberTable[n] == 0) {
                *number = n;
                return true;
            }
        }
    }
    *number = -1;
    return false;
}

CKorvel *FindInstance(int32_t number) {
    if (number < 1 || number > MaxInstances() || g_instanceListLength == 0) return nullptr;
    OsLockGuard guard(&g_instanceListLock);
    for (uint32_t i = 0; i < g_instanceListLength; ++i)
        if (g_instanceList[i]->InstanceNumber() == number) return g_instanceList[i];
    return nullptr;
}

void RegisterInstance(CKorvel *instance) {
    OsLockGuard guard(&g_instanceListLock);
    // The number table admits at most MaxInstances registered instances.
    if (g_instanceListLength < kMaxInstanceLimit) g_instanceList[g_instanceListLength++] = instance;
    g_numberTable[instance->InstanceNumber()] = 1;
    ++g_registeredCount;
}

void RemoveInstance(CKorvel *instance) {
    OsLockGuard guard(&g_instanceListLock);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < g_instanceListLength; ++i)
        if (g_instanceList[i] != instance) g_instanceList[kept++] = g_instanceList[i];
    g_instanceListLength = kept;
    g_numberTable[instance->InstanceNumber()] = 0;
    --g_registeredCount;
}

uint8_t RegisteredCount() { return g_registeredCount; }

void InstanceListLockInit() { OsInitCriticalSection(&g_instanceListLock); }
void InstanceListLockDelete() { OsDeleteCriticalSection(&g_instanceListLock); }
