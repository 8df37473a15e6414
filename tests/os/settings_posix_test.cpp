// Linux reads "MaxInstances" from the environment: only a whole decimal
// number that fits 32 bits counts; anything else is unreadable.
#include "os/system.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(OsReadMaxInstances, AcceptsOnlyAWholeDecimalNumber) {
    uint32_t value = 0;
    unsetenv("KORVEL_MAXINSTANCES");
    EXPECT_FALSE(OsReadMaxInstances(&value));
    const char *refused[] = {"", " 5", "-1", "5x", "0x10", "4294967296"};
    for (const char *text : refused) {
        setenv("KORVEL_MAXINSTANCES", text, 1);
        EXPECT_FALSE(OsReadMaxInstances(&value)) << '"' << text << '"';
    }
    setenv("KORVEL_MAXINSTANCES", "4294967295", 1);
    EXPECT_TRUE(OsReadMaxInstances(&value));
    EXPECT_EQ(0xFFFFFFFFu, value);
    setenv("KORVEL_MAXINSTANCES", "007", 1);
    EXPECT_TRUE(OsReadMaxInstances(&value));
    EXPECT_EQ(7u, value);
    unsetenv("KORVEL_MAXINSTANCES");
}

} // namespace
