#include "net/process_thread.h"

#include "os/thread.h"

// The priority comes from the descriptor: the owners ask for time-critical
// for the service thread and above normal for the thread that runs the
// application's callback. Where the system refuses a priority the thread
// runs at its own; the result is not needed to go on.
uint32_t CProcessThread::Start(ThreadDesc *desc) {
    if (!desc) return 0;
    desc->hThread = OsCreateThread(desc->proc, desc->arg, &desc->threadId);
    if (!desc->hThread) return 0;
    OsSetThreadPriority(desc->hThread, desc->priority);
    return 1;
}

uint32_t CProcessThread::Stop(ThreadDesc *desc) {
    if (!desc) return 0;
    OsSetEvent(desc->stopEvent);
    OsWaitForThread(desc->hThread);
    return OsCloseThread(desc->hThread) ? 1 : 0;
}

uint32_t CProcessThread::Suspend(ThreadDesc *desc) {
    if (!desc) return 0;
    return OsSuspendThread(desc->hThread) ? 1 : 0;
}

uint32_t CProcessThread::Resume(ThreadDesc *desc) {
    if (!desc) return 0;
    return OsResumeThread(desc->hThread) ? 1 : 0;
}
