// Two copies of the library in one process, as when an application and a
// package it uses each bring their own: each copy's service thread serves its
// own instances only, so that closing the last instance of one copy neither
// hangs nor stops the other copy.
#include "library_test.h"

namespace {

class TwoCopies : public LibraryTest {
  protected:
    void TearDown() override {
        ShutdownAll(copy);
        LibraryTest::TearDown();
    }
    KorvelLibrary copy;
};

TEST_F(TwoCopies, OpenAndCloseInterleavedWithoutDisturbingEachOther) {
    std::string error;
    ASSERT_TRUE(copy.Load(KORVEL_PRODUCT_COPY, &error)) << error;
    ASSERT_NE(lib.Initialize, copy.Initialize) << "one copy loaded twice";
    KorvelLibrary *copies[2] = {&lib, &copy};
    size_t clients = 0;
    for (EventCallback callback : {EventCallback(nullptr), EventCallback(CountEvent)}) {
        for (int round = 0; round < 50; ++round) {
            SCOPED_TRACE(round);
            // Alternate which copy closes first.
            KorvelLibrary &first = *copies[round % 2];
            KorvelLibrary &second = *copies[1 - round % 2];
            int32_t a = 0, b = 0;
            ASSERT_EQ(KORVEL_OK, first.Initialize(&a, &params, callback, 0));
            ASSERT_EQ(KORVEL_OK, second.Initialize(&b, &params, callback, 0));
            clients += 2;
            ASSERT_TRUE(gateway.WaitForClients(clients));
            ASSERT_EQ(KORVEL_OK, first.Shutdown(a));

            // The second copy still moves data, on one of the last two clients.
            const CanMsg msg = Msg(1);
            uint32_t written = 0;
            ASSERT_EQ(KORVEL_OK, second.WriteCanMsg(b, &msg, 1, &written));
            EXPECT_TRUE(Eventually([&] {
                return Frames(gateway.Received(clients - 1) + gateway.Received(clients - 2)) == 1;
            }));
            ASSERT_EQ(KORVEL_OK, second.Shutdown(b));
        }
    }
}

} // namespace
