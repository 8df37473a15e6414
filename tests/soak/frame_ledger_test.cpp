// The soak's books: a gap is explained only by the rule that can cause it.
#include "frame_ledger.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

CanMsg Frame(uint64_t number) {
    CanMsg msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.id = (uint32_t)(number & 0x7FF);
    msg.length = 8;
    for (int i = 0; i < 8; ++i)
        msg.data[i] = (uint8_t)(number >> (8 * i));
    return msg;
}

void ReadRange(FrameLedger &ledger, uint64_t first, uint64_t end) {
    for (uint64_t n = first; n < end; ++n)
        ledger.Read(Frame(n));
}

LedgerTotals Settle(FrameLedger &ledger, uint64_t sent, TailRule tail, std::string *problem) {
    LedgerTotals totals;
    ledger.Settle(sent, tail, &totals, problem);
    return totals;
}

TEST(FrameLedger, GapsNeedTheirOwnRule) {
    std::string problem;
    FrameLedger plain(10, 4, 0);
    ReadRange(plain, 0, 50);
    ReadRange(plain, 60, 100);
    LedgerTotals t = Settle(plain, 120, TailRule::kShutdown, &problem);
    EXPECT_EQ(10u, t.unaccounted); // a gap in the middle without any cause
    EXPECT_EQ(20u, t.inFlightShutdown);
    EXPECT_EQ(90u, t.read);
    EXPECT_NE(std::string::npos, problem.find("frames 50..59 missing"));

    FrameLedger orderly(10, 4, 0); // an orderly close allows no tail loss
    ReadRange(orderly, 0, 100);
    problem.clear();
    EXPECT_EQ(5u, Settle(orderly, 105, TailRule::kNone, &problem).unaccounted);
}

TEST(FrameLedger, OverrunExplainsOnlyGapsNearTheCheckThatSawIt) {
    std::string problem;
    FrameLedger near(10, 4, 0);
    ReadRange(near, 0, 50); // frame 49 is read index 49; the buffer held 39..49
    near.OverrunSeen();
    ReadRange(near, 70, 80);
    EXPECT_EQ(20u, Settle(near, 80, TailRule::kNone, &problem).overrun);

    FrameLedger stale(10, 4, 0);
    ReadRange(stale, 0, 10);
    stale.OverrunSeen(); // long before the gap
    ReadRange(stale, 10, 50);
    ReadRange(stale, 70, 80);
    LedgerTotals t = Settle(stale, 80, TailRule::kNone, &problem);
    EXPECT_EQ(0u, t.overrun);
    EXPECT_EQ(20u, t.unaccounted);
}

TEST(FrameLedger, MalformedExplainsGapsStartingBehindAMalformedFrame) {
    std::string problem;
    FrameLedger ledger(1000, 4, 7);
    ReadRange(ledger, 0, 14);
    ReadRange(ledger, 20, 30); // 14..19: behind the malformed frame after 13
    ReadRange(ledger, 33, 40); // 30..32: 30 is no multiple of 7
    LedgerTotals t = Settle(ledger, 40, TailRule::kNone, &problem);
    EXPECT_EQ(6u, t.malformed);
    EXPECT_EQ(3u, t.unaccounted);
}

TEST(FrameLedger, WrongContentOrderAndNumbersAreCorrupt) {
    std::string problem;
    FrameLedger ledger(10, 4, 0);
    ReadRange(ledger, 0, 5);
    ledger.Read(Frame(3)); // again
    CanMsg bad = Frame(5);
    bad.id ^= 1;
    ledger.Read(bad);
    ReadRange(ledger, 6, 8);
    LedgerTotals t = Settle(ledger, 7, TailRule::kNone, &problem); // frame 7 was never sent
    EXPECT_EQ(3u, t.corrupt);
    EXPECT_EQ(1u, t.unaccounted); // 5, read only as a wrong frame
}

} // namespace
