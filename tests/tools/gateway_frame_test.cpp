// The gateway's text frames as the tools write and read them.
#include "gateway_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

CanMsg Msg(uint32_t id, uint8_t flags, uint8_t length, const char *data = "") {
    CanMsg msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.id = id;
    msg.flags = flags;
    msg.length = length;
    std::memcpy(msg.data, data, std::strlen(data));
    return msg;
}

std::string Frame(const CanMsg &msg) {
    std::string out;
    AppendGatewayFrame(msg, out);
    return out;
}

bool Parse(const std::string &text, CanMsg *msg) {
    return ParseGatewayFrame(text.data(), text.size(), msg);
}

// A remote frame carries placeholder tokens, so that its length survives a
// reader that reads `length` tokens whatever the kind; a length above 8 is
// written as 8.
TEST(GatewayFrameText, WritesLowerCaseHexWithoutLeadingZeros) {
    EXPECT_EQ("$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#", Frame(Msg(0x123, 0, 3, "\x01\xab")));
    EXPECT_EQ("$CAN;S;D;0x80000000;0x0;#", Frame(Msg(0x80000000, 0xFC, 0)));
    EXPECT_EQ("$CAN;E;R;0x18daf110;0x2;0x0;0x0;#", Frame(Msg(0x18DAF110, 3, 2, "\x11\x22")));
    std::string eight;
    for (int i = 0; i < 8; ++i)
        eight += "0xff;";
    EXPECT_EQ("$CAN;S;D;0x1;0x8;" + eight + "#",
              Frame(Msg(1, 0, 9, "\xff\xff\xff\xff\xff\xff\xff\xff")));
    EXPECT_EQ(kGatewayFrameMax,
              Frame(Msg(0xFFFFFFFF, 0, 8, "\xff\xff\xff\xff\xff\xff\xff\xff")).size());
}

TEST(GatewayFrameText, ReadsWhatTheWritersProduceAndRefusesTheRest) {
    CanMsg msg;
    CanMsg expected = Msg(0x123, 0, 3, "\x01\xab");
    ASSERT_TRUE(Parse("$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#", &msg));
    EXPECT_EQ(0, std::memcmp(&expected, &msg, sizeof(msg)));
    ASSERT_TRUE(Parse("$CAN;E;R;0x18daf110;0x8;#", &msg)); // remote frame without tokens
    EXPECT_EQ(3, msg.flags);
    EXPECT_EQ(8, msg.length);
    ASSERT_TRUE(Parse("$CAN;S;D;0X7FF;1;255;#", &msg));
    EXPECT_EQ(0x7FFu, msg.id);
    EXPECT_EQ(255, msg.data[0]);
    for (const char *text :
         {"$CAN;s;D;0x1;0x0;#", "$CAN;SS;D;0x1;0x0;#", "$CAN;S;D;0xzz;0x0;#",
          "$CAN;S;D;0x123456789;0x0;#", "$CAN;S;D;0x1;0x9;#", "$CAN;S;D;0x1;0x2;0x1;#",
          "$CAN;S;D;0x1;0x1;0x1;0x2;#", "$CAN;S;D;0x1;0x1;0x100;#", "$CAN;S;D;0x1;0x0#",
          "$CAN,S;D;0x1;0x0;#", "$CAN;S;D; 0x1;0x0;#"})
        EXPECT_FALSE(Parse(text, &msg)) << text;
}

TEST(GatewayFrameStream, SkipsGarbageAndMalformedFramesAndFindsTheNextFrame) {
    std::string stream = "xyz\r\n$CAN;S;D;0x1;0x0;#$CAN;S;d;0x2;0x0;#;;$CAN;S;D;0x3;0x0;"
                         "$CAN;S;D;0x4;0x0;#\n";
    GatewayFrameReader reader;
    CanMsg msg;
    std::vector<int> seen; // frame identifiers, -1 for a malformed frame
    // Fed a byte at a time, as the network may deliver it.
    for (char c : stream) {
        reader.Feed(&c, 1);
        for (GatewayFrameReader::Result r;
             (r = reader.Next(&msg)) != GatewayFrameReader::kNeedMore;)
            seen.push_back(r == GatewayFrameReader::kFrame ? static_cast<int>(msg.id) : -1);
    }
    // A lower-case kind, and a frame cut off by the next start.
    EXPECT_EQ((std::vector<int>{1, -1, -1, 4}), seen);
    // The last line feed is held back: it might be the beginning of a start token.
    EXPECT_EQ(5u + 2u, reader.GarbageBytes());
}

TEST(GatewayFrameStream, GivesUpOnAStartTokenThatNeverEnds) {
    GatewayFrameReader reader;
    std::string open =
        "$CAN;S;D;0x1;0x1;" + std::string(GatewayFrameReader::kGatewayFrameLimit, '1');
    reader.Feed(open.data(), open.size());
    CanMsg msg;
    EXPECT_EQ(GatewayFrameReader::kMalformed, reader.Next(&msg));
    std::string next = "$CAN;S;D;0x2;0x0;#";
    reader.Feed(next.data(), next.size());
    ASSERT_EQ(GatewayFrameReader::kFrame, reader.Next(&msg));
    EXPECT_EQ(2u, msg.id);
}

} // namespace
