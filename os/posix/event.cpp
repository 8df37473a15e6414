#include "os/event.h"

#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>

// All events of the process share one mutex and one condition variable, so a
// thread can wait for any of several events: a signal wakes every waiter and
// each looks again at the events it waits for. The library has a handful of
// waiting threads, so the extra wake-ups cost nothing measurable.
namespace {

struct PosixEvent {
    bool signalled = false;
};

pthread_mutex_t g_eventMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_eventCond;
pthread_once_t g_condOnce = PTHREAD_ONCE_INIT;

void InitCond() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_eventCond, &attr);
    pthread_condattr_destroy(&attr);
}

timespec Deadline(uint32_t timeoutMs) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += timeoutMs / 1000;
    t.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// Takes the lowest signalled event; returns its index or `count` if none.
uint32_t TakeSignal(uint32_t count, const OsHandle *events) {
    for (uint32_t i = 0; i < count; ++i) {
        PosixEvent *e = static_cast<PosixEvent *>(events[i]);
        if (e->signalled) {
            e->signalled = false;
            return i;
        }
    }
    return count;
}

} // namespace

OsHandle OsCreateEvent(const char *) {
    pthread_once(&g_condOnce, InitCond);
    return new (std::nothrow) PosixEvent;
}

bool OsSetEvent(OsHandle event) {
    if (!event) return false;
    pthread_mutex_lock(&g_eventMutex);
    static_cast<PosixEvent *>(event)->signalled = true;
    pthread_cond_broadcast(&g_eventCond);
    pthread_mutex_unlock(&g_eventMutex);
    return true;
}

bool OsCloseEvent(OsHandle event) {
    if (!event) return false;
    delete static_cast<PosixEvent *>(event);
    return true;
}

uint32_t OsWaitForEvents(uint32_t count, const OsHandle *events, uint32_t timeoutMs) {
    if (count == 0 || !events) return OS_WAIT_FAILED;
    for (uint32_t i = 0; i < count; ++i)
        if (!events[i] || events[i] == OS_INVALID_HANDLE) return OS_WAIT_FAILED;
    pthread_once(&g_condOnce, InitCond);
    timespec deadline = Deadline(timeoutMs == OS_INFINITE ? 0 : timeoutMs);
    pthread_mutex_lock(&g_eventMutex);
    uint32_t result = TakeSignal(count, events);
    while (result == count) {
        int r = timeoutMs == OS_INFINITE
                    ? pthread_cond_wait(&g_eventCond, &g_eventMutex)
                    : pthread_cond_timedwait(&g_eventCond, &g_eventMutex, &deadline);
        result = TakeSignal(count, events);
        if (result == count && r == ETIMEDOUT) result = OS_WAIT_TIMEOUT;
        else if (result == count && r != 0) result = OS_WAIT_FAILED;
    }
    pthread_mutex_unlock(&g_eventMutex);
    return result;
}
