#include "os/thread.h"

#include "os/posix/thread_record.h"

#include <atomic>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

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
// any level. The priority read back is always the one in effect.
bool OsSetThreadPriority(OsHandle thread, int priority) {
    PosixThread *t = static_cast<PosixThread *>(thread);
    if (!t) return false;
    int nice = 0;
    if (priority == OS_PRIORITY_TIME_CRITICAL)
        nice = -2;
    else if (priority == OS_PRIORITY_ABOVE_NORMAL)
        nice = -1;
    else if (priority != OS_PRIORITY_NORMAL)
        return false;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(t->tid.load()), nice) != 0) return false;
    t->priority = priority;
    return true;
}

int OsGetThreadPriority(OsHandle thread) {
    return thread ? static_cast<PosixThread *>(thread)->priority : OS_PRIORITY_NORMAL;
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

uint32_t OsCurrentProcessId() { return static_cast<uint32_t>(getpid()); }
