// CProcessThread starts and stops one worker thread. It keeps nothing of its
// own: everything about the thread lives in the owner's ThreadDesc.
#pragma once

#include "net/thread_desc.h"

#include <cstdint>

class CProcessThread {
  public:
    virtual ~CProcessThread() = default; // neither stops the thread nor closes a handle

    // Runs desc->proc(desc->arg) at once at desc->priority; fills hThread and
    // threadId. 1 when the thread runs; 0 for a null descriptor or when the
    // thread could not be created (hThread is then null).
    uint32_t Start(ThreadDesc *desc);
    // Signals stopEvent, waits without a time-out until the thread has
    // ended, and closes its handle: 1, or 0 if closing failed. hThread keeps
    // the closed value.
    uint32_t Stop(ThreadDesc *desc);
    // 1 on success, 0 on failure. Suspensions are counted: the thread runs
    // again once each has been resumed. Resuming a running thread succeeds.
    uint32_t Suspend(ThreadDesc *desc);
    uint32_t Resume(ThreadDesc *desc);
};
