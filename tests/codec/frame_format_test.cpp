// The frame writer: exact bytes, argument checks and the length limit.
#include "codec/frame_format.h"
#include "base/process_status.h"

#include <gtest/gtest.h>

#include <string>

namespace {

CanMsg Msg(uint32_t id, uint8_t flags, uint8_t length, std::initializer_list<uint8_t> data = {}) {
    CanMsg m = {};
    m.id = id;
    m.flags = flags;
    m.length = length;
    uint8_t i = 0;
    for (uint8_t b : data)
        m.data[i++] = b;
    return m;
}

std::string Format(const CanMsg &m) {
    std::string out;
    uint16_t length = 0;
    EXPECT_EQ(PROCESS_OK, FormatCanFrame(&m, 1, &out, &length));
    EXPECT_EQ(out.size(), length);
    return out;
}

TEST(FormatCanFrame, StandardDataFrameByteForByte) {
    const unsigned char expected[] = {0x24, 0x43, 0x41, 0x4E, 0x3B, 0x53, 0x3B, 0x44, 0x3B,
                                      0x30, 0x78, 0x31, 0x32, 0x33, 0x3B, 0x30, 0x78, 0x33,
                                      0x3B, 0x30, 0x78, 0x31, 0x3B, 0x30, 0x78, 0x61, 0x62,
                                      0x3B, 0x30, 0x78, 0x30, 0x3B, 0x23};
    const std::string frame = Format(Msg(0x123, 0, 3, {0x01, 0xAB, 0x00}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(expected), sizeof expected), frame);
    EXPECT_EQ("$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#", frame);
}

TEST(FormatCanFrame, RemoteFrameCarriesNoDataTokensWhateverItsLength) {
    const unsigned char expected[] = {0x24, 0x43, 0x41, 0x4E, 0x3B, 0x45, 0x3B, 0x52, 0x3B,
                                      0x30, 0x78, 0x31, 0x38, 0x64, 0x61, 0x66, 0x31, 0x31,
                                      0x30, 0x3B, 0x30, 0x78, 0x38, 0x3B, 0x23};
    const std::string frame = Format(Msg(0x18DAF110, 3, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(expected), sizeof expected), frame);
    EXPECT_EQ("$CAN;S;R;0x5;0x2;#", Format(Msg(5, 1, 2, {0x11, 0x22})));
}

TEST(FormatCanFrame, NumbersAreLowerCaseHexWithoutLeadingZeros) {
    EXPECT_EQ("$CAN;S;D;0x0;0x0;#", Format(Msg(0, 0, 0)));
    EXPECT_EQ("$CAN;E;D;0x80000000;0x2;0xa;0xff;#", Format(Msg(0x80000000, 2, 2, {10, 255})));
    const std::string longest =
        Format(Msg(0xFFFFFFFF, 2, 8, {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7}));
    EXPECT_EQ("$CAN;E;D;0xffffffff;0x8;0xf0;0xf1;0xf2;0xf3;0xf4;0xf5;0xf6;0xf7;#", longest);
    EXPECT_EQ(65u, longest.size());
}

TEST(FormatCanFrame, OnlyFlagBitsZeroAndOneAndNoTimestampTravel) {
    CanMsg m = Msg(0x7FF, 0xFC, 1, {0x42});
    m.timestamp = 0xDEADBEEF;
    EXPECT_EQ("$CAN;S;D;0x7ff;0x1;0x42;#", Format(m));
}

TEST(FormatCanFrame, AppendsToWhatOutHoldsAndReportsTheLow16BitsOfItsLength) {
    const CanMsg m = Msg(1, 0, 0);
    std::string out = "abc";
    uint16_t length = 0;
    ASSERT_EQ(PROCESS_OK, FormatCanFrame(&m, 1, &out, &length));
    EXPECT_EQ("abc$CAN;S;D;0x1;0x0;#", out);
    EXPECT_EQ(21, length);

    out.assign(65530, 'x');
    ASSERT_EQ(PROCESS_OK, FormatCanFrame(&m, 1, &out, &length));
    EXPECT_EQ(65548u, out.size());
    EXPECT_EQ(65548 - 65536, length);
}

TEST(FormatCanFrame, WritesOnlyTheFirstOfSeveralRecords) {
    const CanMsg pair[2] = {Msg(1, 0, 0), Msg(2, 0, 0)};
    std::string out;
    uint16_t length = 0;
    ASSERT_EQ(PROCESS_OK, FormatCanFrame(pair, 2, &out, &length));
    EXPECT_EQ("$CAN;S;D;0x1;0x0;#", out);
}

TEST(FormatCanFrame, MissingArgumentOrZeroCountChangesNothing) {
    const CanMsg m = Msg(1, 0, 0);
    std::string out = "keep";
    uint16_t length = 77;
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, FormatCanFrame(nullptr, 1, &out, &length));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, FormatCanFrame(&m, 0, &out, &length));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, FormatCanFrame(&m, 1, nullptr, &length));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, FormatCanFrame(&m, 1, &out, nullptr));
    EXPECT_EQ("keep", out);
    EXPECT_EQ(77, length);
}

// A length above 8 would read past the record's data; the record is refused
// whatever its kind.
TEST(FormatCanFrame, LengthAboveEightIsRefusedAndNothingIsWritten) {
    for (uint8_t flags : {0, 1, 2, 3}) {
        for (uint8_t len : {9, 15, 255}) {
            CanMsg m = Msg(0x123, flags, len);
            std::string out = "keep";
            uint16_t length = 77;
            EXPECT_EQ(PROCESS_ERR_PROTOCOL, FormatCanFrame(&m, 1, &out, &length));
            EXPECT_EQ("keep", out);
            EXPECT_EQ(77, length);
        }
    }
}

} // namespace
