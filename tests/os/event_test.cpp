// Events behave as Windows auto-reset events on every platform.
#include "os/system.h"
#include "os/thread.h"

#include <gtest/gtest.h>

namespace {

// A second signal before the wait is one signal; a wait on several returns
// the lowest signalled one and takes only it; a time-out waits its time.
// (Only a signalled wait gives an index other than 0.)
TEST(OsEvent, SignalIsKeptUntilOneWaitTakesIt) {
    OsHandle h[3] = {OsCreateEvent(nullptr), OsCreateEvent(nullptr), OsCreateEvent(nullptr)};
    ASSERT_TRUE(h[0] && h[1] && h[2]);
    const uint32_t t0 = OsTimeGetTime();
    EXPECT_EQ(OsWaitStatus::Timeout, OsWaitForEvents(3, h, 30).status);
    EXPECT_GE(OsTimeGetTime() - t0, 25u);
    ASSERT_TRUE(OsSetEvent(h[2]) && OsSetEvent(h[1]) && OsSetEvent(h[1]));
    EXPECT_EQ(1u, OsWaitForEvents(3, h, 0).index);
    EXPECT_EQ(2u, OsWaitForEvents(3, h, OS_INFINITE).index);
    EXPECT_EQ(OsWaitStatus::Timeout, OsWaitForEvents(3, h, 0).status);
    OsHandle withNull[2] = {h[0], nullptr};
    EXPECT_EQ(OsWaitStatus::Failed, OsWaitForEvents(2, withNull, 0).status);
    for (OsHandle e : h)
        EXPECT_TRUE(OsCloseEvent(e));
}

} // namespace
