// The engine's transmit buffer bound, on an engine that is built but not
// connected, so that no service cycle moves anything meanwhile.
#include "base/process_status.h"
#include "engine/process_data.h"
#include "korvel_library.h"

#include <gtest/gtest.h>

namespace {

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
