#include "os/lock.h"

#include <pthread.h>

static_assert(sizeof(pthread_mutex_t) <= sizeof(OsCriticalSection::storage),
              "pthread_mutex_t must fit the storage of OsCriticalSection");

static pthread_mutex_t *Native(OsCriticalSection *cs) {
    return reinterpret_cast<pthread_mutex_t *>(cs->storage);
}

// Recursive, like a Windows critical section: the owning thread may enter again.
void OsInitCriticalSection(OsCriticalSection *cs) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(Native(cs), &attr);
    pthread_mutexattr_destroy(&attr);
}

void OsDeleteCriticalSection(OsCriticalSection *cs) { pthread_mutex_destroy(Native(cs)); }
void OsEnterCriticalSection(OsCriticalSection *cs) { pthread_mutex_lock(Native(cs)); }
void OsLeaveCriticalSection(OsCriticalSection *cs) { pthread_mutex_unlock(Native(cs)); }
bool OsTryEnterCriticalSection(OsCriticalSection *cs) { return pthread_mutex_trylock(Native(cs)) == 0; }
