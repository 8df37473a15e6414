// CProcessThread: a started thread runs at its descriptor's priority, stops
// through its stop event, and can be suspended and resumed.
#include "korvel_library.h"
#include "net/process_thread.h"
#include "os/thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

// A worker that answers each ping with a pong, noting the level it runs at,
// until its stop event comes.
struct Pinger {
    OsHandle stop = OsCreateEvent(nullptr);
    OsHandle ping = OsCreateEvent(nullptr);
    OsHandle pong = OsCreateEvent(nullptr);
    std::atomic<int> level{99};
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
    while (OsWaitForEvents(2, events, OS_INFINITE) == 1) {
        p->level = RunningThreadLevel();
        OsSetEvent(p->pong);
    }
    p->ended = true;
    return 0;
}

ThreadDesc Describe(Pinger *p, uint8_t priority) {
    return ThreadDesc{PingerProc, p, priority, OS_INVALID_HANDLE, 0, p->stop};
}

bool Answers(Pinger &p, uint32_t timeoutMs) {
    OsSetEvent(p.ping);
    return OsWaitForEvents(1, &p.pong, timeoutMs) == 0;
}

// The level is read by the thread itself, from the system: what Start set,
// not what the library remembers.
TEST(ProcessThread, StartRunsTheThreadAtItsPriorityAndStopEndsIt) {
    CProcessThread thread;
    EXPECT_EQ(0u, thread.Start(nullptr));
    const bool mayRaise = MayRaiseThreadLevel();
    for (uint8_t priority : {OS_PRIORITY_TIME_CRITICAL, OS_PRIORITY_ABOVE_NORMAL}) {
        Pinger p;
        ThreadDesc desc = Describe(&p, priority);
        ASSERT_EQ(1u, thread.Start(&desc));
        EXPECT_NE(OS_INVALID_HANDLE, desc.hThread);
        EXPECT_NE(0u, desc.threadId);
        ASSERT_TRUE(Answers(p, 5000));
        const int expected =
            priority == OS_PRIORITY_TIME_CRITICAL ? kTimeCriticalLevel : kAboveNormalLevel;
        EXPECT_EQ(mayRaise ? expected : kNormalLevel, p.level.load());
        EXPECT_EQ(1u, thread.Stop(&desc));
        EXPECT_TRUE(p.ended);
    }
}

TEST(ProcessThread, ASuspendedThreadAnswersOnlyAfterItIsResumed) {
    Pinger p;
    ThreadDesc desc = Describe(&p, OS_PRIORITY_NORMAL);
    CProcessThread thread;
    ASSERT_EQ(1u, thread.Start(&desc));
    ASSERT_TRUE(Answers(p, 5000));
    EXPECT_EQ(kNormalLevel, p.level.load());

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
