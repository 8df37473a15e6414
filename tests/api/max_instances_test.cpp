// "MaxInstances" is read once when the library is loaded; every load below
// is a real load of the library with the setting in place.
#include "korvel_library.h"

#include <gtest/gtest.h>

namespace {

struct Limit {
    bool set;
    uint32_t value;
    int32_t expected;
};

class MaxInstancesSetting : public ::testing::TestWithParam<Limit> {
  protected:
    void TearDown() override {
        ShutdownAll(lib);
        lib.Unload();
        SetMaxInstancesSetting(nullptr);
    }
    KorvelLibrary lib;
};

TEST_P(MaxInstancesSetting, LimitsTheNumbersHandedOut) {
    const Limit &limit = GetParam();
    SetMaxInstancesSetting(limit.set ? &limit.value : nullptr);
    std::string error;
    ASSERT_TRUE(lib.Load(KORVEL_TEST_LIBRARY, &error)) << error;
    InitParams params = MakeParams("10.0.0.1");
    int32_t n = 0;
    for (int32_t expected = 1; expected <= limit.expected; ++expected) {
        ASSERT_EQ(0u, lib.Initialize(&n, &params, nullptr, 0));
        ASSERT_EQ(expected, n);
    }
    EXPECT_EQ(KORVEL_ERR_NO_FREE_INSTANCE, lib.Initialize(&n, &params, nullptr, 0));
    EXPECT_EQ(-1, n);
    uint16_t state = 0;
    EXPECT_EQ(3u, lib.GetCanState(limit.expected + 1, &state));
    EXPECT_EQ(0u, lib.GetCanState(limit.expected, &state));
    ShutdownAll(lib);
    lib.Unload();
    EXPECT_FALSE(KorvelLibrary::IsMapped(KORVEL_TEST_LIBRARY)) << "library stayed loaded";
}

INSTANTIATE_TEST_SUITE_P(Values, MaxInstancesSetting,
                         ::testing::Values(Limit{false, 0, 10}, Limit{true, 1, 1},
                                           Limit{true, 254, 254}, Limit{true, 0, 10},
                                           Limit{true, 255, 10}, Limit{true, 1000, 10}));

} // namespace
