#include "os/thread.h"

#include "os/posix/thread_record.h"

#include <atomic>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace {

std::atomic<uint32_t> g_nextThreadId{1};

void *Trampoline(void *p) {
    PosixThread *t = static_cast<PosixThread *>(p);
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
    if (threadId) *threadId = g_nextThreadId++;
    return t;
}

// Time-critical maps to the highest round-robin real-time priority, normal
// to the fair scheduler. Without the privilege for real-time scheduling (the
// usual case) time-critical is refused and the thread keeps what it had; the
// library's threads always wait between two pieces of work, so they need no
// priority to make progress. The fair scheduler has no level above normal
// that a thread may take without privilege, so that request is refused too.
// The priority read back is always the one in effect.
bool OsSetThreadPriority(OsHandle thread, int priority) {
    PosixThread *t = static_cast<PosixThread *>(thread);
    if (!t) return false;
    if (priority != OS_PRIORITY_TIME_CRITICAL && priority != OS_PRIORITY_NORMAL) return false;
    sched_param param{};
    int policy = priority == OS_PRIORITY_TIME_CRITICAL ? SCHED_RR : SCHED_OTHER;
    param.sched_priority = sched_get_priority_max(policy);
    if (pthread_setschedparam(t->thread, policy, &param) != 0) return false;
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
