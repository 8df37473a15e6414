// Two copies of the library in one process, as when an application and a
// package it uses each bring their own: each copy's service thread serves its
// own instances only, so that closing the last instance of one copy neither
// hangs nor stops the other copy.
#include "eventually.h"
#include "korvel_library.h"
#include "test_gateway.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

constexpr int kRounds = 50;

void KORVEL_CALL IgnoreEvent(int32_t, uint32_t, uint32_t) {}

// Whether one of the gateway's last two clients received `frame`.
bool LastClientsReceived(TestGateway &gateway, size_t clients, const std::string &frame) {
    return gateway.Received(clients - 1).find(frame) != std::string::npos ||
           gateway.Received(clients - 2).find(frame) != std::string::npos;
}

TEST(TwoCopies, OpenAndCloseInterleavedWithoutDisturbingEachOther) {
    KorvelLibrary copies[2];
    std::string error;
    ASSERT_TRUE(copies[0].Load(KORVEL_PRODUCT_LIBRARY, &error)) << error;
    ASSERT_TRUE(copies[1].Load(KORVEL_PRODUCT_COPY, &error)) << error;
    ASSERT_NE(copies[0].Initialize, copies[1].Initialize) << "one copy loaded twice";
    TestGateway gateway;
    InitParams params = MakeParams("127.0.0.1");
    params.port = gateway.Port();
    params.connectTimeout = params.shutdownTimeout = 5000;
    size_t clients = 0;
    for (EventCallback callback : {EventCallback(nullptr), EventCallback(IgnoreEvent)}) {
        for (int round = 0; round < kRounds; ++round) {
            // Alternate which copy closes first.
            KorvelLibrary &first = copies[round % 2];
            KorvelLibrary &second = copies[1 - round % 2];
            int32_t a = 0, b = 0;
            ASSERT_EQ(0u, first.Initialize(&a, &params, callback, 0));
            ASSERT_EQ(0u, second.Initialize(&b, &params, callback, 0));
            clients += 2;
            ASSERT_TRUE(gateway.WaitForClients(clients)) << "round " << round;
            ASSERT_EQ(0u, first.Shutdown(a)) << "round " << round;

            // The second copy still moves data.
            CanMsg msg = Msg(static_cast<uint32_t>(round + 1));
            uint32_t written = 0;
            ASSERT_EQ(0u, second.WriteCanMsg(b, &msg, 1, &written));
            char frame[32];
            std::snprintf(frame, sizeof(frame), "$CAN;S;D;0x%x;0x0;#", msg.id);
            EXPECT_TRUE(Eventually([&] { return LastClientsReceived(gateway, clients, frame); }))
                << "round " << round;
            ASSERT_EQ(0u, second.Shutdown(b)) << "round " << round;
        }
    }
}

} // namespace
