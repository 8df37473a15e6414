// The library against korvel-gateway's socket faults: each fault shows as
// its documented status, CAN state bit, connection state or event, and the
// instance can always be shut down.
#include "eventually.h"
#include "gateway_harness.h"
#include "korvel_library.h"
#include "test_gateway.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

// The frame number that the gateway's -D i puts into the data.
uint64_t Number(const CanMsg &msg) {
    uint64_t n = 0;
    for (int i = 7; i >= 0; --i)
        n = n << 8 | msg.data[i];
    return n;
}

uint64_t RssBytes() {
    long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr || std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    if (f != nullptr) std::fclose(f);
    return (uint64_t)resident * (uint64_t)sysconf(_SC_PAGESIZE);
}

std::atomic<int> g_events[5];

void KORVEL_CALL CountEvent(int32_t, uint32_t code, uint32_t) {
    if (code < 5) ++g_events[code];
}

class SocketFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(lib.Load(KORVEL_PRODUCT_LIBRARY, &error)) << error;
        params = MakeParams("127.0.0.1");
        params.connectTimeout = 5000;
        params.shutdownTimeout = 5000;
        for (auto &e : g_events)
            e = 0;
    }

    int32_t Open(uint16_t port, EventCallback callback = nullptr) {
        params.port = port;
        int32_t n = 0;
        EXPECT_EQ(KORVEL_OK, lib.Initialize(&n, &params, callback, 0));
        return n;
    }

    // Reads until `count` messages arrived or the wait ended.
    std::vector<CanMsg> Read(int32_t n, size_t count) {
        std::vector<CanMsg> got;
        Eventually([&] {
            CanMsg msgs[16];
            uint32_t read = 0;
            // A latched socket error is taken by the first call and latched
            // again by every service cycle: the call right behind it reads.
            uint32_t r = lib.ReadCanMsg(n, msgs, 16, &read);
            if (r != KORVEL_OK && r != KORVEL_ERR_NO_MESSAGE) lib.ReadCanMsg(n, msgs, 16, &read);
            got.insert(got.end(), msgs, msgs + read);
            return got.size() >= count;
        });
        return got;
    }

    uint32_t State(int32_t n) {
        uint32_t state = 99;
        return lib.GetConnectionState(n, &state) == KORVEL_OK ? state : 99;
    }

    KorvelLibrary lib;
    InitParams params;
};

TEST_F(SocketFaults, ResetInsideAFrameKeepsEveryFrameBeforeItAndLatchesTheReceiveError) {
    GatewayProcess gateway({"-g", "-r", "max", "-I", "i", "-D", "i", "--reset-inside", "20"});
    params.rxBufferSize = 100;
    int32_t n = Open(gateway.Port(), CountEvent);
    ASSERT_TRUE(gateway.WaitForLines("(gateway reset)"));
    uint16_t canState = 0;
    ASSERT_TRUE(Eventually([&] { return lib.GetCanState(n, &canState) == KORVEL_ERR_RECEIVE; }));
    std::vector<CanMsg> got = Read(n, 20);
    ASSERT_EQ(20u, got.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(i, Number(got[i]));
    CanMsg more;
    uint32_t read = 0;
    lib.ReadCanMsg(n, &more, 1, &read);
    lib.ReadCanMsg(n, &more, 1, &read);
    EXPECT_EQ(0u, read); // the cut frame never becomes a message
    EXPECT_EQ(1, g_events[EVENT_CONNECTED].load());
    EXPECT_TRUE(Eventually([] { return g_events[EVENT_ERROR] > 0; }));
    EXPECT_EQ(KORVEL_OK, lib.Shutdown(n));
    EXPECT_EQ(20u, gateway.Summary(1, "out"));
}

TEST_F(SocketFaults, PeerThatStopsReadingTurnsFurtherWritesIntoASendError) {
    GatewayProcess gateway({"--stop-reading", "0"});
    int32_t n = Open(gateway.Port(), CountEvent);
    CanMsg msg = TestMsg(0x123, 8, 1);
    uint32_t r = KORVEL_OK;
    // One message per call: each write wakes the service thread to send one.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while ((r == KORVEL_OK || r == KORVEL_ERR_TX_BUFFER_FULL) &&
           std::chrono::steady_clock::now() < end) {
        uint32_t written = 0;
        r = lib.WriteCanMsg(n, &msg, 1, &written);
    }
    EXPECT_EQ(KORVEL_ERR_SEND, r);
    EXPECT_TRUE(Eventually([] { return g_events[EVENT_ERROR] > 0; }));
    // Every service cycle latches the error again; the call right behind
    // the one that takes it does its work.
    BufferInfo info{};
    ASSERT_TRUE(Eventually([&] {
        return lib.GetCanBufferInfo(n, &info) == KORVEL_OK ||
               lib.GetCanBufferInfo(n, &info) == KORVEL_OK;
    }));
    EXPECT_LE(info.txCount, params.txBufferSize + 1u);
    EXPECT_EQ(KORVEL_OK, lib.Shutdown(n));
}

TEST_F(SocketFaults, PeerThatNeverAnswersLeavesTheInstanceConnectedAndEmpty) {
    GatewayProcess gateway({});
    int32_t n = Open(gateway.Port());
    for (uint32_t i = 0; i < 10; ++i) {
        CanMsg msg = TestMsg(i, 1);
        uint32_t written = 0;
        ASSERT_EQ(KORVEL_OK, lib.WriteCanMsg(n, &msg, 1, &written));
    }
    uint16_t canState = 0;
    EXPECT_TRUE(Eventually([&] {
        return lib.GetCanState(n, &canState) == KORVEL_OK && (canState & KORVEL_CANSTATE_TX_EMPTY);
    }));
    CanMsg in;
    uint32_t read = 99;
    EXPECT_EQ(KORVEL_ERR_NO_MESSAGE, lib.ReadCanMsg(n, &in, 1, &read));
    EXPECT_EQ(0u, read);
    EXPECT_EQ(KORVEL_OK, lib.GetCanState(n, &canState));
    EXPECT_EQ(KORVEL_CANSTATE_RX_EMPTY | KORVEL_CANSTATE_TX_EMPTY, canState);
    EXPECT_EQ(KORVEL_CONN_CONNECTED, State(n));
    EXPECT_EQ(KORVEL_OK, lib.Shutdown(n));
    ASSERT_TRUE(gateway.WaitForLines("(peer closed)"));
    EXPECT_EQ(10u, gateway.Summary(1, "in"));
}

// A peer that never ends its frame, or never starts one, costs at most the
// pending fragment's 64 KiB, however much it sends.
TEST_F(SocketFaults, EndlessFrameOrGarbageKeepsMemoryBoundedAndLosesNoEarlierFrame) {
    for (const char *kind : {"frame", "garbage"}) {
        GatewayProcess gateway(
            {"-g", "-r", "max", "-n", "100", "-I", "i", "-D", "i", "--endless", kind});
        params.rxBufferSize = 200;
        int32_t n = Open(gateway.Port());
        std::vector<CanMsg> got = Read(n, 100);
        ASSERT_EQ(100u, got.size()) << kind;
        uint64_t before = RssBytes();
        // A few hundred megabytes pass meanwhile.
        std::this_thread::sleep_for(std::chrono::seconds(2));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        EXPECT_LT(RssBytes(), before + (4u << 20)) << kind; // sanitizers keep freed memory
#else
        (void)before;
#endif
        CanMsg msg;
        uint32_t read = 0;
        EXPECT_EQ(KORVEL_ERR_NO_MESSAGE, lib.ReadCanMsg(n, &msg, 1, &read)) << kind;
        EXPECT_EQ(KORVEL_CONN_CONNECTED, State(n)) << kind;
        EXPECT_EQ(KORVEL_OK, lib.Shutdown(n)) << kind;
    }
}

} // namespace
