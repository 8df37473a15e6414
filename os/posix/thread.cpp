#include "os/thread.h"

#include <atomic>
#include <new>
#include <pthread.h>
#include <sched.h>

namespace {

struct PosixThread {
    pthread_t thread;
    OsThreadProc proc;
    void *arg;
    bool joined = false;
    int priority = OS_PRIORITY_NORMAL;
};

std::atomic<uint32_t> g_nextThreadId{1};

void *Trampoline(void *p) {
    PosixThread *t = static_cast<PosixThread *>(p);
    t->proc(t->arg);
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

// Time-critical maps to the highest round-robin real-time priority. Without
// the privilege for it (the usual case) the system refuses and the thread
// keeps normal scheduling; the library's threads always wait between two
// pieces of work, so they need no priority to make progress.
bool OsSetThreadPriority(OsHandle thread, int priority) {
    PosixThread *t = static_cast<PosixThread *>(thread);
    if (!t) return false;
    t->priority = priority;
    if (priority != OS_PRIORITY_TIME_CRITICAL) return true;
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_RR);
    return pthread_setschedparam(t->thread, SCHED_RR, &param) == 0;
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
    if (!t->joined) pthread_detach(t->thread);
    delete t;
    return true;
}
