// CProcessThread starts and stops one worker thread. It keeps nothing of its
// own: everything about the thread lives in the owner's ThreadDesc.
#pragma once

#include "os/thread.h"

#include <cstdint>

// The record that describes one worker thread; it belongs to the thread's owner.
struct ThreadDesc {
    OsThreadProc proc;         // set by the owner
    void *arg;                 // handed to proc
    OsThreadPriority priority; // set by the owner
    OsHandle hThread;          // OS_INVALID_HANDLE before Start; the thread's handle after
    uint32_t threadId;         // written by Start
    OsHandle stopEvent;        // created by the owner; Stop signals it
};

// The results of CProcessThread's operations.
constexpr uint32_t PROCESS_THREAD_OK = 1;
constexpr uint32_t PROCESS_THREAD_FAILED = 0;

class CProcessThread {
  public:
    virtual ~CProcessThread() = default; // neither stops the thread nor closes a handle

    // Runs desc->proc(desc->arg) at once at desc->priority; fills hThread and
    // threadId. PROCESS_THREAD_OK when the thread runs; PROCESS_THREAD_FAILED
    // for a null descriptor or when the thread could not be created (hThread
    // is then null).
    uint32_t Start(ThreadDesc *desc);
    // Signals stopEvent, waits without a time-out until the thread has
    // ended, and closes its handle: PROCESS_THREAD_OK, or
    // PROCESS_THREAD_FAILED if closing failed. hThread keeps the closed value.
    uint32_t Stop(ThreadDesc *desc);
    // PROCESS_THREAD_OK or PROCESS_THREAD_FAILED. Suspensions are counted:
    // the thread runs again once each has been resumed. Resuming a running
    // thread succeeds.
    uint32_t Suspend(ThreadDesc *desc);
    uint32_t Resume(ThreadDesc *desc);
};
