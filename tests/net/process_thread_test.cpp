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

bool Signalled(uint32_t count, const OsHandle *events, uint32_t index, uint32_t timeoutMs) {
    const OsWaitResult r = OsWaitForEvents(count, events, timeoutMs);
    return r.status == OsWaitStatus::Signalled && r.index == index;
}

uint32_t PingerProc(void *arg) {
    Pinger *p = static_cast<Pinger *>(arg);
    OsHandle events[2] = {p->stop, p->ping};
    while (Signalled(2, events, 1, OS_INFINITE)) {
        p->level = RunningThreadLevel();
        OsSetEvent(p->pong);
    }
    p->ended = true;
    return 0;
}

ThreadDesc Describe(Pinger *p, OsThreadPriority priority) {
    return ThreadDesc{PingerProc, p, priority, OS_INVALID_HANDLE, 0, p->stop};
}

bool Answers(Pinger &p, uint32_t timeoutMs) {
    OsSetEvent(p.ping);
    return Signalled(1, &p.pong, 0, timeoutMs);
}

// The level is read by the thread itself, from the system: what Start set,
// not what the library remembers.
TEST(ProcessThread, StartRunsTheThreadAtItsPriorityAndStopEndsIt) {
    CProcessThread thread;
    EXPECT_EQ(PROCESS_THREAD_FAILED, thread.Start(nullptr));
    const bool mayRaise = MayRaiseThreadLevel();
    for (OsThreadPriority priority :
         {OsThreadPriority::TimeCritical, OsThreadPriority::AboveNormal}) {
        Pinger p;
        ThreadDesc desc = Describe(&p, priority);
        ASSERT_EQ(PROCESS_THREAD_OK, thread.Start(&desc));
        EXPECT_NE(OS_INVALID_HANDLE, desc.hThread);
        EXPECT_NE(0u, desc.threadId);
        ASSERT_TRUE(Answers(p, 5000));
        const int expected =
            priority == OsThreadPriority::TimeCritical ? kTimeCriticalLevel : kAboveNormalLevel;
        EXPECT_EQ(mayRaise ? expected : kNormalLevel, p.level.load());
        EXPECT_EQ(PROCESS_THREAD_OK, thread.Stop(&desc));
        EXPECT_TRUE(p.ended);
    }
}

TEST(ProcessThread, ASuspendedThreadAnswersOnlyAfterItIsResumed) {
    Pinger p;
    ThreadDesc desc = Describe(&p, OsThreadPriority::Normal);
    CProcessThread thread;
    ASSERT_EQ(PROCESS_THREAD_OK, thread.Start(&desc));
    ASSERT_TRUE(Answers(p, 5000));
    EXPECT_EQ(kNormalLevel, p.level.load());

    EXPECT_EQ(PROCESS_THREAD_OK, thread.Suspend(&desc));
    EXPECT_EQ(PROCESS_THREAD_OK, thread.Suspend(&desc)); // counted
    // A bounded look for an answer that must not come.
    EXPECT_FALSE(Answers(p, 200));
    EXPECT_EQ(PROCESS_THREAD_OK, thread.Resume(&desc));
    EXPECT_FALSE(Signalled(1, &p.pong, 0, 100)); // still once suspended
    EXPECT_EQ(PROCESS_THREAD_OK, thread.Resume(&desc));
    EXPECT_TRUE(Signalled(1, &p.pong, 0, 5000));        // the ping sent while suspended
    EXPECT_EQ(PROCESS_THREAD_OK, thread.Resume(&desc)); // not suspended: succeeds
    EXPECT_TRUE(Answers(p, 5000));
    EXPECT_EQ(PROCESS_THREAD_OK, thread.Stop(&desc));
}

} // namespace
