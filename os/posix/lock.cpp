#include "os/lock.h"

#include "os/handle.h"

#include <ctime>
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

static_assert(sizeof(pthread_cond_t) <= sizeof(OsConditionVariable::storage),
              "pthread_cond_t must fit the storage of OsConditionVariable");

static pthread_cond_t *Native(OsConditionVariable *cv) {
    return reinterpret_cast<pthread_cond_t *>(cv->storage);
}

// On the monotonic clock, so that a change of the wall clock does not
// stretch a wait.
void OsInitConditionVariable(OsConditionVariable *cv) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(Native(cv), &attr);
    pthread_condattr_destroy(&attr);
}

void OsDeleteConditionVariable(OsConditionVariable *cv) { pthread_cond_destroy(Native(cv)); }

void OsSleepConditionVariable(OsConditionVariable *cv, OsCriticalSection *cs, uint32_t timeoutMs) {
    if (timeoutMs == OS_INFINITE) {
        pthread_cond_wait(Native(cv), Native(cs));
        return;
    }
    constexpr long kNsPerSecond = 1000000000L;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= kNsPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNsPerSecond;
    }
    pthread_cond_timedwait(Native(cv), Native(cs), &deadline);
}

void OsWakeAllConditionVariable(OsConditionVariable *cv) { pthread_cond_broadcast(Native(cv)); }
