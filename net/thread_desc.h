// The record that describes one worker thread; it belongs to the thread's owner.
#pragma once

#include "os/handle.h"
#include "os/thread.h"

struct ThreadDesc {
    OsThreadProc proc;   // set by the owner
    void *arg;           // handed to proc
    uint8_t priority;    // OS_PRIORITY_* the thread should run at
    OsHandle hThread;    // OS_INVALID_HANDLE before Start; the thread's handle after
    uint32_t threadId;   // written by Start
    OsHandle stopEvent;  // created by the owner; Stop signals it
};
