// The translations between the code sets (every engine status to its public
// code, every socket result to its engine status), and the transmit buffer's
// bound on an engine that is built but not connected, so that no service
// cycle moves anything meanwhile.
#include "api/library.h"
#include "engine/process_data.h"
#include "korvel_library.h"

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

TEST(EngineBuffers, TransmitBufferHoldsSizePlusOneThenRefusesAndFlagsOverrun) {
    for (uint16_t size : {0, 1, 5, 0xFFFF}) {
        InitParams p = MakeParams("127.0.0.1");
        p.txBufferSize = size;
        CProcessData engine(&p);
        const CanMsg m = Msg(1);
        for (uint32_t i = 0; i <= size; ++i)
            ASSERT_EQ(PROCESS_OK, engine.WriteCanMsg(&m)) << size;
        EXPECT_EQ(PROCESS_ERR_TX_BUFFER_FULL, engine.WriteCanMsg(&m));
        uint16_t state = 0;
        uint32_t count = 0;
        engine.GetTxBufferCount(&count);
        EXPECT_EQ(size + 1u, count);
        // Emptying the buffer makes room at once; the overrun bit stays.
        engine.ResetCan(KORVEL_RESET_TX_BUFFER);
        EXPECT_EQ(PROCESS_OK, engine.WriteCanMsg(&m));
        engine.GetCanState(&state);
        EXPECT_EQ(KORVEL_CANSTATE_TX_OVERRUN, state);
    }
}

} // namespace
