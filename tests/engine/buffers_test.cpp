// The engine's transmit buffer and state word, on an engine that is built
// but not connected, so that no service cycle moves anything meanwhile.
#include "base/process_status.h"
#include "engine/process_data.h"
#include "korvel_library.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

InitParams Params(uint16_t txSize) {
    InitParams p = MakeParams("127.0.0.1");
    p.txBufferSize = txSize;
    return p;
}

uint16_t State(CProcessData &e) {
    uint16_t s = 0;
    e.GetCanState(&s);
    return s;
}

uint32_t TxCount(CProcessData &e) {
    uint32_t count = 0;
    e.GetTxBufferCount(&count);
    return count;
}

TEST(EngineBuffers, TransmitBufferHoldsSizePlusOneThenRefusesAndFlagsOverrun) {
    for (uint16_t size : {0, 1, 5, 0xFFFF}) {
        InitParams p = Params(size);
        CProcessData engine(&p);
        CanMsg m = Msg(1);
        for (uint32_t i = 0; i <= size; ++i)
            ASSERT_EQ(PROCESS_OK, engine.WriteCanMsg(&m)) << size;
        EXPECT_EQ(PROCESS_ERR_TX_BUFFER_FULL, engine.WriteCanMsg(&m));
        EXPECT_EQ(KORVEL_CANSTATE_TX_OVERRUN, State(engine));
        EXPECT_EQ(size + 1u, TxCount(engine));
        // Emptying the buffer makes room at once; the overrun bit stays.
        engine.ResetCan(KORVEL_RESET_TX_BUFFER);
        EXPECT_EQ(PROCESS_OK, engine.WriteCanMsg(&m));
        EXPECT_EQ(KORVEL_CANSTATE_TX_OVERRUN, State(engine));
    }
}

TEST(EngineBuffers, EmptyReadSetsRxEmptyAndResetsClearWhatTheyName) {
    InitParams p = Params(3);
    CProcessData engine(&p);
    CanMsg out;
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, engine.ReadCanMsg(nullptr));
    EXPECT_EQ(PROCESS_ERR_EMPTY, engine.ReadCanMsg(&out));
    EXPECT_EQ(KORVEL_CANSTATE_RX_EMPTY, State(engine));
    CanMsg m = Msg(2);
    for (int i = 0; i < 5; ++i)
        engine.WriteCanMsg(&m); // the fifth sets TX_OVERRUN
    EXPECT_EQ(KORVEL_CANSTATE_RX_EMPTY | KORVEL_CANSTATE_TX_OVERRUN, State(engine));

    EXPECT_EQ(PROCESS_OK, engine.ResetCanState(0xFFFF0000u | KORVEL_CANSTATE_RX_EMPTY));
    EXPECT_EQ(KORVEL_CANSTATE_TX_OVERRUN, State(engine));
    // Flags above 0x10 do nothing; 0x01 clears the word, 0x02 the buffer.
    engine.ResetCan(0xE0);
    EXPECT_EQ(4u, TxCount(engine));
    engine.ResetCan(KORVEL_RESET_CANSTATE | KORVEL_RESET_TX_BUFFER);
    EXPECT_EQ(0u, TxCount(engine));
    EXPECT_EQ(0, State(engine));
}

} // namespace
