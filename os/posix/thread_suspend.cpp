// Suspending a thread from outside. POSIX threads have no such call, so a
// signal does it: its handler blocks the target thread in sigsuspend until
// its suspend count is back to 0. The handler is installed at the first
// suspension, so a process that never suspends a thread keeps the signal
// free for its own use.
#include "os/posix/thread_record.h"

#include <cerrno>
#include <csignal>

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
