// The POSIX system services that are more than a call: the pool behind the
// zero-filling allocator, and "MaxInstances" read from the environment.
#include "os/system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Blocks are zero-filled, also when they reuse memory that was written and
// freed: small blocks come back from the pool, large ones from the system.
TEST(OsHeap, BlocksAreZeroFilledAlsoWhenReused) {
    for (size_t size : {size_t{0}, size_t{20}, size_t{33}, size_t{4096}}) {
        std::vector<unsigned char *> blocks(1000);
        for (int round = 0; round < 2; ++round) {
            for (unsigned char *&block : blocks) {
                block = static_cast<unsigned char *>(OsZeroAlloc(size));
                ASSERT_NE(nullptr, block);
                ASSERT_EQ(size, size_t(std::count(block, block + size, 0))) << size;
                std::memset(block, 0xA5, size);
            }
            for (unsigned char *block : blocks)
                OsFree(block);
        }
    }
    OsFree(nullptr);
}

// Only a whole decimal number that fits 32 bits counts.
TEST(OsReadMaxInstances, AcceptsOnlyAWholeDecimalNumber) {
    uint32_t value = 0;
    unsetenv("KORVEL_MAXINSTANCES");
    EXPECT_FALSE(OsReadMaxInstances(&value));
    for (const char *text : {"", " 5", "-1", "5x", "0x10", "4294967296"}) {
        setenv("KORVEL_MAXINSTANCES", text, 1);
        EXPECT_FALSE(OsReadMaxInstances(&value)) << '"' << text << '"';
    }
    for (auto valid : {std::make_pair("4294967295", 0xFFFFFFFFu), std::make_pair("007", 7u)}) {
        setenv("KORVEL_MAXINSTANCES", valid.first, 1);
        EXPECT_TRUE(OsReadMaxInstances(&value) && value == valid.second) << valid.first;
    }
    unsetenv("KORVEL_MAXINSTANCES");
}

} // namespace
