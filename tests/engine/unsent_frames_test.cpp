// Writes while the socket cannot send: the library's memory stays bounded by
// the transmit buffer, and the application hears that the buffer is full.
// The test build of the library counts its own allocations, so the bound is
// checked without looking at the clock or the process's size.
#include "faults_test.h"

namespace {

constexpr uint16_t kTxBufferSize = 100;
constexpr uint32_t kWrites = 100000;
// Wine takes every write's wake-up of the service thread through its server,
// so there a tenth of the writes; the buffer is full after the first hundred
// either way.
constexpr uint32_t kWritesUnderWine = kWrites / 10;
constexpr uint32_t kWritesPerWait = 1000;
constexpr int64_t kMostGrowthBytes = 1 << 20;

class UnsentFrames : public FaultsTest {
  protected:
    int32_t OpenInCallbackMode(uint16_t port) {
        params.port = port;
        params.txBufferSize = kTxBufferSize;
        return Open(CountEvent);
    }

    // Many single writes with service cycles in between: the socket keeps
    // the one frame it cannot send, the buffer takes its size + 1 messages,
    // and every further write is refused as a full buffer.
    void ExpectWritesHeldInTheBuffer(int32_t n) {
        const int64_t before = Stats().liveBytes;
        CanMsg msg = Msg(0x123, 8);
        uint32_t accepted = 0, refused = 0;
        const uint32_t writes = RunningUnderWine() ? kWritesUnderWine : kWrites;
        for (uint32_t i = 0; i < writes; ++i) {
            uint32_t written = 0;
            const uint32_t r = lib.WriteCanMsg(n, &msg, 1, &written);
            accepted += r == KORVEL_OK;
            refused += r == KORVEL_ERR_TX_BUFFER_FULL;
            // Otherwise the socket's error, pending again after each cycle.
            ASSERT_TRUE(r == KORVEL_OK || r == KORVEL_ERR_TX_BUFFER_FULL || r == KORVEL_ERR_UNKNOWN)
                << r;
            // Every service cycle leaves the socket's error as the pending
            // error anew, so seeing it twice after taking it proves that at
            // least one whole cycle, transmit step included, has run.
            for (int seen = 0; i % kWritesPerWait == 0 && seen < 2; ++seen) {
                lib.RegisterCanMsg(n, 0, 0);
                ASSERT_TRUE(
                    Eventually([&] { return lib.RegisterCanMsg(n, 0, 0) == KORVEL_ERR_UNKNOWN; }));
            }
        }
        EXPECT_EQ(kTxBufferSize + 2u, accepted);
        EXPECT_GT(refused, writes / 2);
        BufferInfo info{};
        ASSERT_TRUE(Eventually([&] { return lib.GetCanBufferInfo(n, &info) == KORVEL_OK; }));
        EXPECT_EQ(kTxBufferSize + 1u, info.txCount);
        EXPECT_LT(Stats().liveBytes - before, kMostGrowthBytes);
        EXPECT_EQ(KORVEL_OK, lib.Shutdown(n));
    }
};

// The failed attempt is an error event and the pending error 4
// (WSOCK_ERR_EXCEPTION); the instance stays connecting.
TEST_F(UnsentFrames, RefusedConnectionKeepsWritesInTheTransmitBuffer) {
    int32_t n = OpenInCallbackMode(UnusedLoopbackPort());
    ASSERT_TRUE(Eventually([] { return g_events[EVENT_ERROR] > 0; }));
    uint32_t state = 0;
    EXPECT_EQ(KORVEL_ERR_UNKNOWN, lib.GetConnectionState(n, &state));
    EXPECT_TRUE(Reaches(n, KORVEL_CONN_CONNECTING));
    EXPECT_EQ(1, g_events[EVENT_STATE_CHANGED].load());
    EXPECT_EQ(0, g_events[EVENT_CONNECTED].load());
    ExpectWritesHeldInTheBuffer(n);
}

// Urgent data leaves a connected socket in the exception condition for good.
TEST_F(UnsentFrames, UrgentDataFromTheGatewayKeepsWritesInTheTransmitBuffer) {
    int32_t n = OpenInCallbackMode(gateway.Port());
    ASSERT_TRUE(gateway.WaitForClients(1));
    ASSERT_TRUE(Reaches(n, KORVEL_CONN_CONNECTED));
    ASSERT_TRUE(gateway.SendUrgent(0, '!'));
    ASSERT_TRUE(Eventually([] { return g_events[EVENT_ERROR] > 0; }));
    ExpectWritesHeldInTheBuffer(n);
}

} // namespace
