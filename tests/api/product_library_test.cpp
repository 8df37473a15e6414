// The shipped library itself: it loads, resolves every export by name,
// reports its version and unloads.
#include "korvel_library.h"

#include <gtest/gtest.h>

namespace {

TEST(ProductLibrary, LoadsReportsItsVersionAndUnloads) {
    std::string error;
    {
        KorvelLibrary lib;
        ASSERT_TRUE(lib.Load(KORVEL_PRODUCT_LIBRARY, &error)) << error;
        VersionInfo v = {0, 0, 0, 0x77, 0};
        ASSERT_EQ(0u, lib.GetVersion(&v));
        EXPECT_EQ(2, v.major);
        EXPECT_EQ(0, v.minor);
        EXPECT_EQ(9, v.release);
        EXPECT_EQ(1, v.build);
        EXPECT_EQ(0x77, v.reserved);
        uint16_t state = 0;
        EXPECT_EQ(3u, lib.GetCanState(1, &state));
    }
    EXPECT_FALSE(KorvelLibrary::IsMapped(KORVEL_PRODUCT_LIBRARY));
}

} // namespace
