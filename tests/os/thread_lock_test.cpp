// Threads, critical sections, the clock and the zero-filling allocator.
#include "os/clock.h"
#include "os/heap.h"
#include "os/lock.h"
#include "os/thread.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Counter {
    OsCriticalSection cs;
    uint32_t value = 0;
};

uint32_t AddManyTimes(void *arg) {
    Counter *c = static_cast<Counter *>(arg);
    for (int i = 0; i < 20000; ++i) {
        OsLockGuard outer(&c->cs);
        OsLockGuard inner(&c->cs); // the owner may enter again
        ++c->value;
    }
    return 0;
}

TEST(OsThread, ThreadsRunAndEndAndTheLockIsRecursiveAndExclusive) {
    Counter c;
    OsInitCriticalSection(&c.cs);
    uint32_t ids[2] = {0, 0};
    OsHandle t[2] = {OsCreateThread(AddManyTimes, &c, &ids[0]),
                     OsCreateThread(AddManyTimes, &c, &ids[1])};
    ASSERT_TRUE(t[0] && t[1]);
    EXPECT_NE(ids[0], ids[1]);
    // The priority may be refused without privileges; the thread runs either way.
    OsSetThreadPriority(t[0], OS_PRIORITY_TIME_CRITICAL);
    for (OsHandle h : t) {
        EXPECT_TRUE(OsWaitForThread(h));
        EXPECT_TRUE(OsCloseThread(h));
    }
    EXPECT_EQ(40000u, c.value);
    OsDeleteCriticalSection(&c.cs);
}

TEST(OsClock, SleepAdvancesTheMillisecondClock) {
    uint32_t t0 = OsTimeGetTime();
    OsSleep(15);
    uint32_t elapsed = OsTimeGetTime() - t0;
    EXPECT_GE(elapsed, 14u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(OsHeap, BlocksAreZeroFilled) {
    unsigned char *block = static_cast<unsigned char *>(OsZeroAlloc(4096));
    ASSERT_NE(nullptr, block);
    unsigned char zeros[4096] = {};
    EXPECT_EQ(0, std::memcmp(block, zeros, sizeof(zeros)));
    OsFree(block);
    OsFree(nullptr);
}

} // namespace
