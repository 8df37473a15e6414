// Threads, critical sections, the clock and the zero-filling allocator.
#include "os/system.h"
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
    for (OsHandle h : t) {
        EXPECT_TRUE(OsWaitForThread(h));
        EXPECT_TRUE(OsCloseThread(h));
    }
    EXPECT_EQ(40000u, c.value);
    OsDeleteCriticalSection(&c.cs);
}

TEST(OsClock, SleepAdvancesTheMillisecondClock) {
    const uint32_t t0 = OsTimeGetTime();
    OsSleep(15);
    const uint32_t elapsed = OsTimeGetTime() - t0;
    EXPECT_GE(elapsed, 14u);
    EXPECT_LT(elapsed, 60000u); // milliseconds, not a finer unit
}

// Blocks are zero-filled, also when they reuse memory that another thread
// wrote and freed, as the service thread and a reading application do.
uint32_t FreeAll(void *arg) {
    for (unsigned char *&block : *static_cast<unsigned char *(*)[1000]>(arg))
        OsFree(block);
    return 0;
}

TEST(OsHeap, BlocksAreZeroFilledAlsoWhenReused) {
    for (size_t size : {size_t{0}, size_t{20}, size_t{33}, size_t{4096}}) {
        static unsigned char *freed[1000], *kept[1000];
        for (unsigned char *(*blocks)[1000] : {&freed, &kept})
            for (unsigned char *&block : *blocks) {
                block = static_cast<unsigned char *>(OsZeroAlloc(size));
                ASSERT_NE(nullptr, block);
                std::memset(block, 0xA5, size);
            }
        uint32_t id = 0;
        OsHandle thread = OsCreateThread(FreeAll, &freed, &id);
        ASSERT_TRUE(thread);
        for (unsigned char *&block : kept) {
            OsFree(block);
            block = static_cast<unsigned char *>(OsZeroAlloc(size));
            ASSERT_NE(nullptr, block);
            for (size_t i = 0; i < size; ++i)
                ASSERT_EQ(0, block[i]) << size;
            std::memset(block, 0x5A, size);
        }
        EXPECT_TRUE(OsWaitForThread(thread));
        EXPECT_TRUE(OsCloseThread(thread));
        FreeAll(&kept);
    }
    OsFree(nullptr);
}

} // namespace
