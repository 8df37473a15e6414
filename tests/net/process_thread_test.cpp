// CProcessThread: worker threads start at their descriptor's priority,
// stop through their stop event, and can be suspended and resumed.
#include "net/process_thread.h"
#include "os/thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

// A worker that answers each ping with a pong until its stop event comes.
struct Pinger {
    OsHandle stop = OsCreateEvent(nullptr);
    OsHandle ping = OsCreateEvent(nullptr);
    OsHandle pong = OsCreateEvent(nullptr);
    std::atomic<bool> ended{false};
    ~Pinger() {
        OsCloseEvent(stop);
        OsCloseEvent(ping);
        OsCloseEvent(pong);
    }
};

uint32_t PingerProc(void *arg) {
    Pinger *p = static_cast<Pinger *>(arg);
    OsHandle events[2] = {p->stop, p->ping};
    while (OsWaitForEvents(2, events, OS_INFINITE) == 1)
        OsSetEvent(p->pong);
    p->ended = true;
    return 0;
}

ThreadDesc Describe(Pinger *p, uint8_t priority) {
    ThreadDesc desc{};
    desc.proc = PingerProc;
    desc.arg = p;
    desc.priority = priority;
    desc.hThread = OS_INVALID_HANDLE;
    desc.stopEvent = p->stop;
    return desc;
}

bool Answers(Pinger &p, uint32_t timeoutMs) {
    OsSetEvent(p.ping);
    return OsWaitForEvents(1, &p.pong, timeoutMs) == 0;
}

TEST(ProcessThread, StartWithoutDescriptorCreatesNothing) {
    CProcessThread thread;
    EXPECT_EQ(0u, thread.Start(nullptr));
}

TEST(ProcessThread, StartRunsTheThreadAndStopEndsItThroughItsStopEvent) {
    Pinger p;
    ThreadDesc desc = Describe(&p, OS_PRIORITY_TIME_CRITICAL);
    CProcessThread thread;
    ASSERT_EQ(1u, thread.Start(&desc));
    EXPECT_NE(OS_INVALID_HANDLE, desc.hThread);
    EXPECT_NE(nullptr, desc.hThread);
    EXPECT_NE(0u, desc.threadId);
    EXPECT_TRUE(Answers(p, 5000));

    // Where the system grants time-critical (asking again tells), the
    // thread reads back at it; elsewhere at what it had.
    if (OsSetThreadPriority(desc.hThread, OS_PRIORITY_TIME_CRITICAL))
        EXPECT_EQ(OS_PRIORITY_TIME_CRITICAL, OsGetThreadPriority(desc.hThread));
    else
        EXPECT_EQ(OS_PRIORITY_NORMAL, OsGetThreadPriority(desc.hThread));

    OsHandle handle = desc.hThread;
    EXPECT_EQ(1u, thread.Stop(&desc));
    EXPECT_TRUE(p.ended);
    EXPECT_EQ(handle, desc.hThread); // keeps the closed value
}

TEST(ProcessThread, TheCallbackThreadDoesNotRunTimeCritical) {
    Pinger p;
    ThreadDesc desc = Describe(&p, OS_PRIORITY_ABOVE_NORMAL);
    CProcessThread thread;
    ASSERT_EQ(1u, thread.Start(&desc));
    EXPECT_NE(OS_PRIORITY_TIME_CRITICAL, OsGetThreadPriority(desc.hThread));
    EXPECT_EQ(1u, thread.Stop(&desc));
}

TEST(ProcessThread, ASuspendedThreadAnswersOnlyAfterItIsResumed) {
    Pinger p;
    ThreadDesc desc = Describe(&p, OS_PRIORITY_NORMAL);
    CProcessThread thread;
    ASSERT_EQ(1u, thread.Start(&desc));
    ASSERT_TRUE(Answers(p, 5000));

    EXPECT_EQ(1u, thread.Suspend(&desc));
    EXPECT_EQ(1u, thread.Suspend(&desc)); // counted
    // A bounded look for an answer that must not come.
    EXPECT_FALSE(Answers(p, 200));
    EXPECT_EQ(1u, thread.Resume(&desc));
    EXPECT_EQ(OS_WAIT_TIMEOUT, OsWaitForEvents(1, &p.pong, 100)); // still once suspended
    EXPECT_EQ(1u, thread.Resume(&desc));
    EXPECT_EQ(0u, OsWaitForEvents(1, &p.pong, 5000)); // the ping sent while suspended
    EXPECT_EQ(1u, thread.Resume(&desc));              // not suspended: succeeds
    EXPECT_TRUE(Answers(p, 5000));
    EXPECT_EQ(1u, thread.Stop(&desc));
}

} // namespace
