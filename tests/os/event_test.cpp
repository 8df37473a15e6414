// Events behave as Windows auto-reset events on every platform.
#include "os/system.h"
#include "os/thread.h"

#include <gtest/gtest.h>

namespace {

constexpr int kTimedOut = -1;
constexpr int kFailed = -2;

// The index of the event that ended the wait, or how it ended otherwise.
int Signalled(uint32_t count, const OsHandle *events, uint32_t timeoutMs) {
    const OsWaitResult r = OsWaitForEvents(count, events, timeoutMs);
    if (r.status == OsWaitStatus::Signalled) return static_cast<int>(r.index);
    return r.status == OsWaitStatus::Timeout ? kTimedOut : kFailed;
}

struct Events {
    OsHandle h[3] = {OsCreateEvent(nullptr), OsCreateEvent(nullptr), OsCreateEvent(nullptr)};
    ~Events() {
        for (OsHandle e : h)
            OsCloseEvent(e);
    }
};

// A second signal before the wait is one signal; a wait on several returns
// the lowest signalled one and takes only it.
TEST(OsEvent, SignalIsKeptUntilOneWaitTakesIt) {
    Events ev;
    ASSERT_TRUE(ev.h[0] && ev.h[1] && ev.h[2]);
    EXPECT_EQ(kTimedOut, Signalled(3, ev.h, 0));
    ASSERT_TRUE(OsSetEvent(ev.h[2]));
    ASSERT_TRUE(OsSetEvent(ev.h[1]));
    ASSERT_TRUE(OsSetEvent(ev.h[1]));
    EXPECT_EQ(1, Signalled(3, ev.h, 0));
    EXPECT_EQ(2, Signalled(3, ev.h, 0));
    EXPECT_EQ(kTimedOut, Signalled(3, ev.h, 0));
    OsHandle withNull[2] = {ev.h[0], nullptr};
    EXPECT_EQ(kFailed, Signalled(2, withNull, 0));
}

TEST(OsEvent, TimeoutWaitsAtLeastTheGivenTime) {
    Events ev;
    const uint32_t t0 = OsTimeGetTime();
    EXPECT_EQ(kTimedOut, Signalled(2, ev.h, 30));
    EXPECT_GE(OsTimeGetTime() - t0, 25u);
}

uint32_t SignalAfterDelay(void *arg) {
    OsSleep(20);
    OsSetEvent(static_cast<OsHandle>(arg));
    return 0;
}

TEST(OsEvent, SignalFromAnotherThreadEndsAnInfiniteWait) {
    Events ev;
    uint32_t id = 0;
    OsHandle t = OsCreateThread(SignalAfterDelay, ev.h[1], &id);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(1, Signalled(2, ev.h, OS_INFINITE));
    EXPECT_TRUE(OsWaitForThread(t));
    EXPECT_TRUE(OsCloseThread(t));
}

} // namespace
