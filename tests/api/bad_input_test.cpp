// What an application may pass in by mistake or do at an awkward moment:
// addresses that are none, time-outs and buffer sizes at their extremes,
// many threads at once, shutdowns racing with other calls, and callbacks
// that call the library. Every case must give its status and neither
// crash, hang nor leak.
#include "library_test.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using BadInput = LibraryTest;

// Nothing past the 20 characters of the address field is read, even
// without a terminator ("127.0.0.1.127.0.0.1."); the short forms that the
// address conversion accepts ("127.1") are addresses.
TEST_F(BadInput, AddressesAndPortsThatReachNoGatewayFailToConnect) {
    using namespace std::string_literals;
    InitParams p = params;
    p.connectTimeout = 200;
    auto openAt = [&](const std::string &address) {
        std::memset(p.ipAddress, 0, sizeof(p.ipAddress));
        address.copy(p.ipAddress, sizeof(p.ipAddress));
        int32_t n = 0;
        const uint32_t status = lib.Initialize(&n, &p, nullptr, 0);
        EXPECT_TRUE(status != KORVEL_OK || lib.Shutdown(n) == KORVEL_OK);
        EXPECT_EQ(1, Open()) << "the number stayed taken";
        EXPECT_EQ(KORVEL_OK, lib.Shutdown(1));
        return status;
    };
    for (const char *address : {"", "localhost", "256.0.0.1", "1.2.3.4.5", "::1", "127.0.0.1/8",
                                "\x7f\x01\xff", "127.0.0.1.127.0.0.1."})
        EXPECT_EQ(KORVEL_ERR_CONNECTION, openAt(address)) << address;
    p.port = 0;
    EXPECT_EQ(KORVEL_ERR_CONNECTION, openAt("127.0.0.1"));
    p = params; // the bound only against a hang: the machine may be slow
    EXPECT_EQ(KORVEL_OK, openAt("127.1\0garbage!!!!!!!"s));
}

// A time-out of 0 opens only when nothing is left to wait for; the largest
// is never reached against a gateway that answers.
TEST_F(BadInput, TimeOutsAtZeroAndAtTheirLargest) {
    for (uint32_t timeout : {0u, 0xFFFFFFFFu}) {
        params.connectTimeout = params.shutdownTimeout = timeout;
        int32_t n = 0;
        const uint32_t opened = lib.Initialize(&n, &params, nullptr, 0);
        const uint32_t closed = opened == KORVEL_OK ? lib.Shutdown(n) : KORVEL_OK;
        EXPECT_TRUE(opened == KORVEL_OK || (timeout == 0 && opened == KORVEL_ERR_CONNECTION));
        EXPECT_TRUE(closed == KORVEL_OK || (timeout == 0 && closed == KORVEL_ERR_DISCONNECT));
    }
}

TEST_F(BadInput, LargestReceiveBufferHoldsExactly65536Messages) {
    params.rxBufferSize = 0xFFFF;
    int32_t n = Open();
    ASSERT_TRUE(gateway.WaitForClients(1));
    std::string frames;
    for (int i = 0; i < 65537; ++i)
        frames += "$CAN;S;D;0x1;0x0;#";
    ASSERT_TRUE(gateway.Send(0, frames));
    uint16_t state = 0;
    ASSERT_TRUE(Eventually(
        [&] {
            return lib.GetCanState(n, &state) == KORVEL_OK && (state & KORVEL_CANSTATE_RX_OVERRUN);
        },
        120000));
    BufferInfo info;
    EXPECT_EQ(KORVEL_OK, lib.GetCanBufferInfo(n, &info));
    EXPECT_EQ(65536u, info.rxCount);
}

// Calls every instance function on numbers 1 to 3, which stay open, on 4
// and 5, which other threads open and shut down meanwhile, and on 0, -1 and
// 11, which cannot be open, and checks each status; returns the records
// accepted by the instances that stay open.
uint64_t HammerInstances(int seed, int rounds) {
    uint64_t accepted = 0;
    uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 1;
    const int32_t numbers[] = {1, 2, 3, 4, 5, 1, 2, 3, 4, 5, 0, -1, 11};
    for (int i = 0; i < rounds; ++i) {
        x = x * 1103515245u + 12345u;
        const int32_t n = numbers[(x >> 8) % 13];
        const bool staysOpen = n >= 1 && n <= 3, mayBeOpen = n >= 1 && n <= 5;
        auto expect = [&](uint32_t status, uint32_t alsoAllowed = KORVEL_OK) {
            EXPECT_TRUE((mayBeOpen && (status == KORVEL_OK || status == alsoAllowed)) ||
                        (!staysOpen && status == KORVEL_ERR_ILLEGAL_INSTANCE))
                << "instance " << n << " status " << status;
            return status;
        };
        CanMsg m = Msg(0x100 + static_cast<uint32_t>(n), 1), two[2];
        uint32_t count = 0, conn = 0;
        uint16_t state = 0;
        BufferInfo info;
        if (expect(g_lib->WriteCanMsg(n, &m, 1, &count), KORVEL_ERR_TX_BUFFER_FULL) == KORVEL_OK)
            accepted += staysOpen ? count : 0;
        expect(g_lib->ReadCanMsg(n, two, 2, &count), KORVEL_ERR_NO_MESSAGE);
        expect(g_lib->GetCanBufferInfo(n, &info));
        expect(g_lib->GetCanState(n, &state));
        expect(g_lib->GetConnectionState(n, &conn));
        EXPECT_TRUE(!staysOpen || conn == KORVEL_CONN_CONNECTED) << conn;
        expect(g_lib->ResetCanState(n, x));
        expect(g_lib->ResetCan(n, x & 0x0D)); // flags that keep what is on its way out
        expect(g_lib->RegisterCanMsg(n, x, ~x));
    }
    return accepted;
}

TEST_F(BadInput, ManyThreadsOnTheSameAndOnDifferentInstancesWhileOthersShutDown) {
    params.txBufferSize = 64;
    for (int32_t expected = 1; expected <= 3; ++expected) {
        ASSERT_EQ(expected, Open());
        ASSERT_TRUE(gateway.WaitForClients(static_cast<size_t>(expected)));
    }
    std::atomic<uint64_t> accepted{0};
    std::atomic<bool> hammering{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] { accepted += HammerInstances(t, 250); });
    // Meanwhile two threads open and shut down instances 4 and 5, in both
    // modes, while the others call them.
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; hammering; ++round)
                EXPECT_EQ(KORVEL_OK, lib.Shutdown(Open(round % 2 ? CountEvent : nullptr)));
        });
    }
    for (int t = 0; t < 6; ++t)
        threads[static_cast<size_t>(t)].join();
    hammering = false;
    for (size_t t = 6; t < threads.size(); ++t)
        threads[t].join();
    // Every record accepted by the three instances reaches the gateway, on
    // the instance's own connection.
    auto sent = [&] {
        return Frames(gateway.Received(0) + gateway.Received(1) + gateway.Received(2));
    };
    EXPECT_TRUE(Eventually([&] { return sent() == accepted; })) << sent() << " of " << accepted;
    for (size_t c = 0; c < 3; ++c)
        for (size_t other = 1; other <= 5; ++other)
            EXPECT_TRUE(other == c + 1 ||
                        gateway.Received(c).find("D;0x10" + std::to_string(other) + ";") ==
                            std::string::npos)
                << "client " << c << " got frames of instance " << other;
}

// A callback that calls every export once, opening and closing a polling
// instance, and then either shuts its own instance down or keeps calling
// the library until the main thread has shut it down.
struct CallbackCalls {
    std::atomic<bool> done{false};
    bool shutsItselfDown = false;
    std::atomic<int> loops{0};
    std::vector<uint32_t> status;
    int32_t opened = 0;
    uint32_t conn = 0;
    const InitParams *params = nullptr;
} g_calls;

void KORVEL_CALL CallEveryExport(int32_t instance, uint32_t code, uint32_t) {
    if (code != EVENT_CONNECTED) return;
    KorvelLibrary &lib = *g_lib;
    CanMsg m = Msg(0x9);
    uint32_t count = 0;
    uint16_t state = 0;
    BufferInfo info;
    VersionInfo version;
    g_calls.status.assign(
        {lib.ResetCan(instance, 0x1F), lib.GetCanBufferInfo(instance, &info),
         lib.GetCanState(instance, &state), lib.GetConnectionState(instance, &g_calls.conn),
         lib.GetVersion(&version), lib.Initialize(&g_calls.opened, g_calls.params, nullptr, 0),
         lib.ReadCanMsg(instance, &m, 1, &count), lib.RegisterCanMsg(instance, 1, 2),
         lib.ResetCanState(instance, 0xFFFF), lib.WriteCanMsg(instance, &m, 1, &count),
         lib.Shutdown(g_calls.opened),
         g_calls.shutsItselfDown ? lib.Shutdown(instance) : KORVEL_OK});
    while (!g_calls.shutsItselfDown &&
           lib.GetCanState(instance, &state) != KORVEL_ERR_ILLEGAL_INSTANCE) {
        ++g_calls.loops;
        lib.WriteCanMsg(instance, &m, 1, &count);
        lib.ReadCanMsg(instance, &m, 1, &count);
    }
    g_calls.done = true;
}

TEST_F(BadInput, CallbackCallsEveryExportAndItsInstanceShutsDownFromEitherSide) {
    g_calls.params = &params;
    for (int round = 0; round < 20; ++round) {
        g_calls.done = false;
        g_calls.loops = 0;
        g_calls.shutsItselfDown = round % 2 == 0;
        int32_t n = Open(CallEveryExport);
        if (g_calls.shutsItselfDown) {
            ASSERT_TRUE(Eventually([] { return g_calls.done.load(); }));
        } else {
            ASSERT_TRUE(Eventually([] { return g_calls.loops > 10; }));
            EXPECT_EQ(KORVEL_OK, lib.Shutdown(n));
            ASSERT_TRUE(g_calls.done) << "the shutdown did not wait for its callback";
        }
        std::vector<uint32_t> expected(12, KORVEL_OK);
        expected[6] = KORVEL_ERR_NO_MESSAGE;
        EXPECT_EQ(expected, g_calls.status);
        EXPECT_EQ(KORVEL_CONN_CONNECTED, g_calls.conn);
        EXPECT_EQ(n + 1, g_calls.opened);
        EXPECT_EQ(KORVEL_ERR_ILLEGAL_INSTANCE, lib.Shutdown(n));
    }
    EXPECT_EQ(1, Open()) << "a number stayed taken";
}

} // namespace
