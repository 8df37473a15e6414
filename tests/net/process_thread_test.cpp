// CProcessThread: a started thread runs at its descriptor's priority, can be
// suspended and resumed, and stops through its stop event.
#include "korvel_library.h"
#include "net/process_thread.h"
#include "os/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <utility>

namespace {

enum PingerEvent { STOP, PING, PONG };

// A worker that answers each ping with a pong, noting the level it runs at,
// until its stop event comes.
struct Pinger {
    OsHandle events[3] = {OsCreateEvent(nullptr), OsCreateEvent(nullptr), OsCreateEvent(nullptr)};
    std::atomic<int> level{99};
    std::atomic<bool> ended{false};
    ThreadDesc desc;
    explicit Pinger(OsThreadPriority priority)
        : desc{Run, this, priority, OS_INVALID_HANDLE, 0, events[STOP]} {}
    ~Pinger() {
        for (OsHandle e : events)
            OsCloseEvent(e);
    }
    bool Pong(uint32_t timeoutMs) {
        return OsWaitForEvents(1, &events[PONG], timeoutMs).status == OsWaitStatus::Signalled;
    }
    bool Answers(uint32_t timeoutMs) { return OsSetEvent(events[PING]) && Pong(timeoutMs); }
    static uint32_t Run(void *arg) {
        Pinger *p = static_cast<Pinger *>(arg);
        for (OsWaitResult r = OsWaitForEvents(2, p->events, OS_INFINITE);
             r.status == OsWaitStatus::Signalled && r.index == PING;
             r = OsWaitForEvents(2, p->events, OS_INFINITE)) {
            p->level = RunningThreadLevel();
            OsSetEvent(p->events[PONG]);
        }
        p->ended = true;
        return 0;
    }
};

// The level is read by the thread itself, from the system: what Start set,
// not what the library remembers. Suspensions are counted; the looks for an
// answer that must not come are bounded.
TEST(ProcessThread, RunsAtItsPriorityUntilSuspendedOrStopped) {
    CProcessThread thread;
    EXPECT_EQ(PROCESS_THREAD_FAILED, thread.Start(nullptr));
    const bool mayRaise = MayRaiseThreadLevel();
    for (auto level : {std::make_pair(OsThreadPriority::TimeCritical, kTimeCriticalLevel),
                       std::make_pair(OsThreadPriority::AboveNormal, kAboveNormalLevel)}) {
        Pinger p(level.first);
        ASSERT_EQ(PROCESS_THREAD_OK, thread.Start(&p.desc));
        ASSERT_TRUE(p.Answers(5000));
        EXPECT_EQ(mayRaise ? level.second : kNormalLevel, p.level.load());
        EXPECT_EQ(PROCESS_THREAD_OK, thread.Suspend(&p.desc));
        EXPECT_EQ(PROCESS_THREAD_OK, thread.Suspend(&p.desc));
        EXPECT_FALSE(p.Answers(200));
        EXPECT_EQ(PROCESS_THREAD_OK, thread.Resume(&p.desc));
        EXPECT_FALSE(p.Pong(100));
        EXPECT_EQ(PROCESS_THREAD_OK, thread.Resume(&p.desc));
        EXPECT_TRUE(p.Pong(5000)); // the ping sent while suspended
        EXPECT_EQ(PROCESS_THREAD_OK, thread.Stop(&p.desc));
        EXPECT_TRUE(p.ended);
    }
}

} // namespace
