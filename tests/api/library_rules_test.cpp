// The translations between the code sets: every engine status to its public
// code and every socket result to its engine status.
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

} // namespace
