// The pure rules behind the exports: status mapping, the instance limit and
// the version words.
#include "api/library.h"
#include "engine/process_data.h"

#include <gtest/gtest.h>

namespace {

TEST(MapProcessStatus, EveryEngineStatusHasItsPublicCode) {
    const uint32_t expected[] = {0, 7, 8, 11, 1, 2, 12, 13, 14, 15, 16, 17, 14, 4};
    for (uint32_t s = 0; s < sizeof(expected) / sizeof(expected[0]); ++s)
        EXPECT_EQ(expected[s], MapProcessStatus(static_cast<ProcessStatus>(s)))
            << "engine status " << s;
    for (uint32_t s : {14u, 100u, 0x80000000u, 0xFFFFFFFFu})
        EXPECT_EQ(4u, MapProcessStatus(static_cast<ProcessStatus>(s)));
}

TEST(MapTransportStatus, SocketResultsBecomeEngineStatus) {
    const uint32_t expected[] = {0, 8, 0, 0, 13, 4, 13, 1, 1, 2, 10, 11, 13, 1, 1, 13, 13, 13};
    for (uint32_t r = 0; r < sizeof(expected) / sizeof(expected[0]); ++r)
        EXPECT_EQ(expected[r],
                  static_cast<uint32_t>(MapTransportStatus(static_cast<WSockResult>(r))))
            << "socket result " << r;
    EXPECT_EQ(13u,
              static_cast<uint32_t>(MapTransportStatus(static_cast<WSockResult>(0xFFFFFFFFu))));
}

TEST(MaxInstancesFromSetting, OneTo254IsTheLimitAnythingElseTen) {
    EXPECT_EQ(10, MaxInstancesFromSetting(false, 5));
    EXPECT_EQ(1, MaxInstancesFromSetting(true, 1));
    EXPECT_EQ(254, MaxInstancesFromSetting(true, 254));
    for (uint32_t v : {0u, 255u, 256u + 5u, 1000u, 0xFFFFFFFFu})
        EXPECT_EQ(10, MaxInstancesFromSetting(true, v)) << v;
}

TEST(VersionFromProductWords, FirstThreePartsKeepTheirLowEightBits) {
    VersionInfo v = {0, 0, 0, 0x33, 0};
    VersionFromProductWords((2u << 16) | 0, (9u << 16) | 1, &v);
    EXPECT_EQ(2, v.major);
    EXPECT_EQ(0, v.minor);
    EXPECT_EQ(9, v.release);
    EXPECT_EQ(1, v.build);
    VersionFromProductWords((0x1FFu << 16) | 0x102u, (260u << 16) | 0xFFFFu, &v);
    EXPECT_EQ(0xFF, v.major);
    EXPECT_EQ(0x02, v.minor);
    EXPECT_EQ(4, v.release);
    EXPECT_EQ(0xFFFF, v.build);
    EXPECT_EQ(0x33, v.reserved);
}

} // namespace
