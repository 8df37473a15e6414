#include "net/process_thread.h"

#include "os/thread.h"

// The priority comes from the descriptor: the owners ask for time-critical
// for the service thread and above normal for the thread that runs the
// application's callback. Where the system refuses a priority the thread
// runs at its own; the result is not needed to go on.
uint32_t CProcessThread::Start(ThreadDesc *desc) {
    if (!desc) return PROCESS_THREAD_FAILED;
    desc->hThread = OsCreateThread(desc->proc, desc->arg, &desc->threadId);
    if (!desc->hThread) return PROCESS_THREAD_FAILED;
    OsSetThreadPriority(desc->hThread, desc->priority);
    return PROCESS_THREAD_OK;
}

uint32_t CProcessThread::Stop(ThreadDesc *desc) {
    if (!desc) return PROCESS_THREAD_FAILED;
    OsSetEvent(desc->stopEvent);
    OsWaitForThread(desc->hThread);
    return OsCloseThread(desc->hThread) ? PROCESS_THREAD_OK : PROCESS_THREAD_FAILED;
}

uint32_t CProcessThread::Suspend(ThreadDesc *desc) {
    if (!desc) return PROCESS_THREAD_FAILED;
    return OsSuspendThread(desc->hThread) ? PROCESS_THREAD_OK : PROCESS_THREAD_FAILED;
}

uint32_t CProcessThread::Resume(ThreadDesc *desc) {
    if (!desc) return PROCESS_THREAD_FAILED;
    return OsResumeThread(desc->hThread) ? PROCESS_THREAD_OK : PROCESS_THREAD_FAILED;
}
