// What the POSIX thread layer keeps per thread; an OsHandle points to it.
#pragma once

#include "os/thread.h"

#include <atomic>
#include <pthread.h>
#include <sys/types.h>

struct PosixThread {
    pthread_t thread;
    std::atomic<pid_t> tid{0}; // the kernel's id, published by the thread
    OsThreadProc proc;
    void *arg;
    bool joined = false;
    int priority = OS_PRIORITY_NORMAL;
    std::atomic<bool> ended{false};
    // Set when the handle is closed while the thread still runs: the thread
    // then frees this record itself when it ends.
    std::atomic<bool> released{false};
    std::atomic<int> suspendCount{0};
};
