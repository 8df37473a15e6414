// POSIX threads, critical sections, condition variables and events.
#include "os/thread.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// What the thread layer keeps per thread; an OsHandle points to it.
struct PosixThread {
    pthread_t thread;
    std::atomic<pid_t> tid{0}; // the kernel's id, published by the thread
    OsThreadProc proc;
    void *arg;
    bool joined = false;
    std::atomic<bool> ended{false};
    // Set when the handle is closed while the thread still runs: the thread
    // then frees this record itself when it ends.
    std::atomic<bool> released{false};
    std::atomic<int> suspendCount{0};
};

// Timed waits run on the monotonic clock, so that a change of the wall clock
// does not stretch them.
void InitMonotonicCond(pthread_cond_t *cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

// The monotonic time `timeoutMs` from now.
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

} // namespace

// ---- Threads ----

namespace {

std::atomic<uint32_t> g_nextThreadId{1};

void *Trampoline(void *p) {
    PosixThread *t = static_cast<PosixThread *>(p);
    t->tid = static_cast<pid_t>(syscall(SYS_gettid));
    // The library's threads pace themselves with 1 ms waits; the default
    // timer slack of 50 us would make each of them end that much later.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    t->proc(t->arg);
    // Whoever comes second of the thread's end and the handle's close frees
    // the record.
    t->ended = true;
    if (t->released.exchange(true)) delete t;
    return nullptr;
}

} // namespace

OsHandle OsCreateThread(OsThreadProc proc, void *arg, uint32_t *threadId) {
    PosixThread *t = new (std::nothrow) PosixThread;
    if (!t) return nullptr;
    t->proc = proc;
    t->arg = arg;
    if (pthread_create(&t->thread, nullptr, Trampoline, t) != 0) {
        delete t;
        return nullptr;
    }
    // The priority is set through the kernel's id: wait until it is known.
    while (t->tid == 0)
        sched_yield();
    if (threadId) *threadId = g_nextThreadId++;
    return t;
}

// The levels stay within the ordinary scheduler, as they stay below the
// real-time class on Windows: time-critical is nice -2, above normal nice
// -1. A real-time policy would put the service thread above every other
// thread of the machine, and a high weight lets a service thread that is busy
// with many instances take a whole core from the application. Raising a
// thread needs the privilege for it (or a matching RLIMIT_NICE); without it
// the request is refused and the thread keeps what it had. The library's
// threads always wait between two pieces of work, so they make progress at
// any level.
namespace {

// Values outside the set, which only a cast makes, are refused.
bool NiceValueOf(OsThreadPriority priority, int *nice) {
    switch (priority) {
    case OsThreadPriority::Normal:
        *nice = 0;
        return true;
    case OsThreadPriority::AboveNormal:
        *nice = -1;
        return true;
    case OsThreadPriority::TimeCritical:
        *nice = -2;
        return true;
    }
    return false;
}

} // namespace

bool OsSetThreadPriority(OsHandle thread, OsThreadPriority priority) {
    PosixThread *t = static_cast<PosixThread *>(thread);
    int nice = 0;
    return t && NiceValueOf(priority, &nice) &&
           setpriority(PRIO_PROCESS, static_cast<id_t>(t->tid.load()), nice) == 0;
}

bool OsWaitForThread(OsHandle thread) {
    PosixThread *t = static_cast<PosixThread *>(thread);
    if (!t || t->joined) return false;
    t->joined = pthread_join(t->thread, nullptr) == 0;
    return t->joined;
}

bool OsCloseThread(OsHandle thread) {
    PosixThread *t = static_cast<PosixThread *>(thread);
    if (!t) return false;
    if (t->joined) {
        delete t;
        return true;
    }
    pthread_detach(t->thread);
    if (t->released.exchange(true)) delete t;
    return true;
}

// ---- Suspending a thread ----

// Suspending a thread from outside. POSIX threads have no such call, so a
// signal does it: its handler blocks the target thread in sigsuspend until
// its suspend count is back to 0. The handler is installed at the first
// suspension, so a process that never suspends a thread keeps the signal
// free for its own use.

namespace {

// The largest suspend count, as on Windows.
constexpr int kMaxSuspendCount = 127;

int SuspendSignal() { return SIGRTMIN + 4; }

// Runs on the suspended thread. Every other signal stays blocked while it
// waits, so the thread runs no code at all until it is resumed. The resume
// signal is blocked between the test and sigsuspend, so it is never lost.
void SuspendHandler(int, siginfo_t *info, void *) {
    PosixThread *t = static_cast<PosixThread *>(info->si_value.sival_ptr);
    if (!t) return;
    int savedErrno = errno;
    sigset_t waitMask;
    sigfillset(&waitMask);
    sigdelset(&waitMask, SuspendSignal());
    while (t->suspendCount.load() > 0)
        sigsuspend(&waitMask);
    errno = savedErrno;
}

pthread_once_t g_handlerOnce = PTHREAD_ONCE_INIT;
bool g_handlerInstalled = false;

void InstallHandler() {
    struct sigaction action {};
    action.sa_sigaction = SuspendHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    g_handlerInstalled = sigaction(SuspendSignal(), &action, nullptr) == 0;
}

// Real-time signals queue, so each request reaches the thread; one that
// arrives when the count is already 0 again returns at once.
bool Kick(PosixThread *t) {
    sigval value;
    value.sival_ptr = t;
    return pthread_sigqueue(t->thread, SuspendSignal(), value) == 0;
}

} // namespace

// Like SuspendThread, the request is asynchronous: the thread stops as soon
// as the signal reaches it, at the latest when it next leaves the kernel.
bool OsSuspendThread(OsHandle thread) {
    PosixThread *t = static_cast<PosixThread *>(thread);
    if (!t || t->ended.load()) return false;
    pthread_once(&g_handlerOnce, InstallHandler);
    if (!g_handlerInstalled) return false;
    int previous = t->suspendCount.load();
    do {
        if (previous >= kMaxSuspendCount) return false;
    } while (!t->suspendCount.compare_exchange_weak(previous, previous + 1));
    if (previous == 0 && !Kick(t)) {
        t->suspendCount.fetch_sub(1);
        return false;
    }
    return true;
}

bool OsResumeThread(OsHandle thread) {
    PosixThread *t = static_cast<PosixThread *>(thread);
    if (!t) return false;
    int previous = t->suspendCount.load();
    do {
        if (previous == 0) return true;
    } while (!t->suspendCount.compare_exchange_weak(previous, previous - 1));
    if (previous == 1) Kick(t);
    return true;
}

// ---- Critical sections and condition variables ----

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

void OsInitConditionVariable(OsConditionVariable *cv) { InitMonotonicCond(Native(cv)); }

void OsDeleteConditionVariable(OsConditionVariable *cv) { pthread_cond_destroy(Native(cv)); }

void OsSleepConditionVariable(OsConditionVariable *cv, OsCriticalSection *cs, uint32_t timeoutMs) {
    if (timeoutMs == OS_INFINITE) {
        pthread_cond_wait(Native(cv), Native(cs));
        return;
    }
    const timespec deadline = Deadline(timeoutMs);
    pthread_cond_timedwait(Native(cv), Native(cs), &deadline);
}

void OsWakeAllConditionVariable(OsConditionVariable *cv) { pthread_cond_broadcast(Native(cv)); }

// ---- Events ----

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

void InitCond() { InitMonotonicCond(&g_eventCond); }

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

OsWaitResult OsWaitForEvents(uint32_t count, const OsHandle *events, uint32_t timeoutMs) {
    const OsWaitResult failed{OsWaitStatus::Failed, 0};
    if (count == 0 || !events) return failed;
    for (uint32_t i = 0; i < count; ++i)
        if (!events[i] || events[i] == OS_INVALID_HANDLE) return failed;
    pthread_once(&g_condOnce, InitCond);
    timespec deadline = Deadline(timeoutMs == OS_INFINITE ? 0 : timeoutMs);
    pthread_mutex_lock(&g_eventMutex);
    OsWaitResult result{OsWaitStatus::Signalled, TakeSignal(count, events)};
    while (result.index == count) {
        int r = timeoutMs == OS_INFINITE
                    ? pthread_cond_wait(&g_eventCond, &g_eventMutex)
                    : pthread_cond_timedwait(&g_eventCond, &g_eventMutex, &deadline);
        result.index = TakeSignal(count, events);
        if (result.index == count && r != 0) {
            result = OsWaitResult{r == ETIMEDOUT ? OsWaitStatus::Timeout : OsWaitStatus::Failed, 0};
            break;
        }
    }
    pthread_mutex_unlock(&g_eventMutex);
    return result;
}
