// The frame writer: exact bytes, argument checks and the length limit.
#include "base/process_status.h"
#include "codec/frame_format.h"
#include "korvel_library.h"

#include <gtest/gtest.h>

namespace {

CanMsg Flagged(uint32_t id, uint8_t flags, uint8_t length, uint8_t first = 0) {
    CanMsg m = Msg(id, length, first);
    m.flags = flags;
    return m;
}

std::string Format(const CanMsg &m) {
    std::string out;
    uint16_t length = 0;
    EXPECT_EQ(PROCESS_OK, FormatCanFrame(&m, 1, &out, &length));
    EXPECT_EQ(out.size(), length);
    return out;
}

// Lower-case hex without leading zeros; only flag bits 0 and 1 travel, a
// remote frame carries no data tokens, and the time stamp never travels.
TEST(FormatCanFrame, WritesTheFrameByteForByte) {
    EXPECT_EQ("$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#", Format([] {
                  CanMsg m = Msg(0x123, 3, 1);
                  m.data[1] = 0xAB;
                  m.data[2] = 0;
                  return m;
              }()));
    EXPECT_EQ("$CAN;E;R;0x18daf110;0x8;#", Format(Flagged(0x18DAF110, 3, 8, 1)));
    EXPECT_EQ("$CAN;S;R;0x5;0x2;#", Format(Flagged(5, 1, 2)));
    EXPECT_EQ("$CAN;S;D;0x0;0x0;#", Format(Msg(0)));
    CanMsg m = Flagged(0x7FF, 0xFC, 1, 0x42);
    m.timestamp = 0xDEADBEEF;
    EXPECT_EQ("$CAN;S;D;0x7ff;0x1;0x42;#", Format(m));
    const std::string longest = Format(Flagged(0xFFFFFFFF, 2, 8, 0xF0));
    EXPECT_EQ("$CAN;E;D;0xffffffff;0x8;0xf0;0xf1;0xf2;0xf3;0xf4;0xf5;0xf6;0xf7;#", longest);
    EXPECT_EQ(65u, longest.size());
}

TEST(FormatCanFrame, AppendsTheFirstRecordAndReportsTheLow16BitsOfTheLength) {
    const CanMsg pair[2] = {Msg(1), Msg(2)};
    std::string out = "abc";
    uint16_t length = 0;
    ASSERT_EQ(PROCESS_OK, FormatCanFrame(pair, 2, &out, &length));
    EXPECT_EQ("abc$CAN;S;D;0x1;0x0;#", out);
    EXPECT_EQ(21, length);
    out.assign(65530, 'x');
    ASSERT_EQ(PROCESS_OK, FormatCanFrame(pair, 1, &out, &length));
    EXPECT_EQ(65548u, out.size());
    EXPECT_EQ(65548 - 65536, length);
}

// A length above 8 would read past the record's data: refused whatever the
// record's kind, and nothing is written.
TEST(FormatCanFrame, LengthsAboveEightChangeNothing) {
    std::string out = "keep";
    uint16_t length = 77;
    for (uint8_t flags : {0, 1, 2, 3}) {
        for (uint8_t len : {9, 255}) {
            const CanMsg longer = Flagged(0x123, flags, len);
            EXPECT_EQ(PROCESS_ERR_PROTOCOL, FormatCanFrame(&longer, 1, &out, &length));
        }
    }
    EXPECT_EQ("keep", out);
    EXPECT_EQ(77, length);
}

} // namespace
