// The engine's buffers and state word, on an engine that is built but not
// connected, so that no service cycle moves anything meanwhile.
#include "engine/process_data.h"
#include "base/process_status.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class EngineBuffers : public ::testing::Test {
protected:
    InitParams Params(uint16_t txSize, uint16_t rxSize) {
        InitParams p;
        std::memset(&p, 0, sizeof(p));
        p.size = sizeof(p);
        p.protocol = KORVEL_PROTOCOL_TCP;
        p.txBufferSize = txSize;
        p.rxBufferSize = rxSize;
        return p;
    }
    static CanMsg Msg(uint32_t id) {
        CanMsg m;
        std::memset(&m, 0, sizeof(m));
        m.id = id;
        m.timestamp = 0xDEADBEEF;
        return m;
    }
    uint16_t State(CProcessData &e) {
        uint16_t s = 0;
        e.GetCanState(&s);
        return s;
    }
};

TEST_F(EngineBuffers, TransmitBufferHoldsSizePlusOneThenRefusesAndFlagsOverrun) {
    for (uint16_t size : {0, 1, 5, 0xFFFF}) {
        InitParams p = Params(size, 4);
        CProcessData engine(&p);
        CanMsg m = Msg(1);
        for (uint32_t i = 0; i <= size; ++i) ASSERT_EQ(PROCESS_OK, engine.WriteCanMsg(&m)) << size;
        EXPECT_EQ(PROCESS_ERR_TX_BUFFER_FULL, engine.WriteCanMsg(&m));
        EXPECT_EQ(KORVEL_CANSTATE_TX_OVERRUN, State(engine));
        uint32_t count = 0;
        engine.GetTxBufferCount(&count);
        EXPECT_EQ(size + 1u, count);
        // Emptying the buffer makes room at once; the overrun bit stays.
        engine.ResetCan(KORVEL_RESET_TX_BUFFER);
        EXPECT_EQ(PROCESS_OK, engine.WriteCanMsg(&m));
        EXPECT_EQ(KORVEL_CANSTATE_TX_OVERRUN, State(engine));
    }
}

TEST_F(EngineBuffers, NullArgumentsAreRefusedWithoutChanges) {
    InitParams p = Params(1, 1);
    CProcessData engine(&p);
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, engine.WriteCanMsg(nullptr));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, engine.ReadCanMsg(nullptr));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, engine.GetCanState(nullptr));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, engine.GetRxBufferCount(nullptr));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, engine.GetConnectionState(nullptr));
    EXPECT_EQ(0, State(engine));
}

TEST_F(EngineBuffers, EmptyReadSetsRxEmptyAndResetsClearWhatTheyName) {
    InitParams p = Params(3, 3);
    CProcessData engine(&p);
    CanMsg out;
    EXPECT_EQ(PROCESS_ERR_EMPTY, engine.ReadCanMsg(&out));
    EXPECT_EQ(KORVEL_CANSTATE_RX_EMPTY, State(engine));
    CanMsg m = Msg(2);
    engine.WriteCanMsg(&m);
    engine.WriteCanMsg(&m);
    engine.WriteCanMsg(&m);
    engine.WriteCanMsg(&m);
    engine.WriteCanMsg(&m); // refused: sets TX_OVERRUN
    EXPECT_EQ(KORVEL_CANSTATE_RX_EMPTY | KORVEL_CANSTATE_TX_OVERRUN, State(engine));

    EXPECT_EQ(PROCESS_OK, engine.ResetCanState(0xFFFF0000u | KORVEL_CANSTATE_RX_EMPTY));
    EXPECT_EQ(KORVEL_CANSTATE_TX_OVERRUN, State(engine));
    // Flags above 0x10 do nothing; 0x01 clears the word, 0x02 the buffer.
    engine.ResetCan(0xE0);
    uint32_t count = 0;
    engine.GetTxBufferCount(&count);
    EXPECT_EQ(4u, count);
    engine.ResetCan(KORVEL_RESET_CANSTATE | KORVEL_RESET_TX_BUFFER);
    engine.GetTxBufferCount(&count);
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0, State(engine));
}

} // namespace
