// The frame writer: exact bytes, argument checks and the length limit.
#include "base/process_status.h"
#include "codec/frame_format.h"
#include "korvel_library.h"

#include <gtest/gtest.h>

namespace {

// Lower-case hex without leading zeros; only flag bits 0 and 1 travel, a
// remote frame carries no data tokens, and the time stamp never travels.
TEST(FormatCanFrame, WritesTheFrameByteForByte) {
    const struct {
        CanMsg msg;
        const char *frame;
    } cases[] = {
        {{0x123, 0, 3, {1, 0xAB, 0}, {}, 0}, "$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#"},
        {{0x18DAF110, 3, 8, {1}, {}, 0}, "$CAN;E;R;0x18daf110;0x8;#"},
        {{5, 1, 2, {}, {}, 0}, "$CAN;S;R;0x5;0x2;#"},
        {{0, 0, 0, {}, {}, 0}, "$CAN;S;D;0x0;0x0;#"},
        {{0x7FF, 0xFC, 1, {0x42}, {}, 0xDEADBEEF}, "$CAN;S;D;0x7ff;0x1;0x42;#"},
        {{0xFFFFFFFF, 2, 8, {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7}, {}, 0},
         "$CAN;E;D;0xffffffff;0x8;0xf0;0xf1;0xf2;0xf3;0xf4;0xf5;0xf6;0xf7;#"}, // the longest
    };
    for (const auto &c : cases) {
        std::string out;
        uint16_t length = 0;
        EXPECT_EQ(PROCESS_OK, FormatCanFrame(&c.msg, 1, &out, &length));
        EXPECT_EQ(c.frame, out);
        EXPECT_EQ(out.size(), length);
    }
}

// A length above 8 would read past the record's data: refused whatever the
// record's kind, and nothing is written.
TEST(FormatCanFrame, AppendsTheFirstRecordReportsTheLow16BitsOfTheLengthRefusesLongOnes) {
    const CanMsg pair[2] = {Msg(1), Msg(2)};
    std::string out = "abc";
    uint16_t length = 0;
    ASSERT_EQ(PROCESS_OK, FormatCanFrame(pair, 2, &out, &length));
    EXPECT_EQ("abc$CAN;S;D;0x1;0x0;#", out);
    EXPECT_EQ(21, length);
    out.assign(65530, 'x');
    ASSERT_EQ(PROCESS_OK, FormatCanFrame(pair, 1, &out, &length));
    for (uint8_t flags : {0, 1, 2, 3}) {
        for (uint8_t len : {9, 255}) {
            const CanMsg longer = {0x123, flags, len, {}, {}, 0};
            EXPECT_EQ(PROCESS_ERR_PROTOCOL, FormatCanFrame(&longer, 1, &out, &length));
        }
    }
    EXPECT_EQ(65548u, out.size());
    EXPECT_EQ(65548 - 65536, length);
}

} // namespace
