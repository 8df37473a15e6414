// The receive stream parser: decoding, frames split over chunks, recovery
// from broken input and the bound on the pending fragment.
#include "base/process_status.h"
#include "codec/frame_format.h"
#include "codec/frame_parser.h"
#include "os/system.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

// A decoded record as "id flags data..." in hex: what a test compares.
std::string Text(const CanMsg &m) {
    std::ostringstream text;
    text << std::hex << m.id << ' ' << int(m.flags);
    for (int i = 0; i < m.length && i < 8; ++i)
        text << ' ' << int(m.data[i]);
    return text.str();
}

// One engine's parser state, driven the way the receive step drives it.
struct Parser {
    PendingFragment pending;
    std::string chunk;
    size_t cursor = 0;
    std::vector<std::string> frames; // what Pass decoded

    void Deliver(const std::string &bytes) {
        chunk = bytes;
        cursor = 0;
    }
    ProcessStatus Next(CanMsg *record) {
        return ParseCanFrame(&chunk, &cursor, &pending, record, OsTimeGetTime());
    }
    std::string Left() const { return chunk.substr(cursor); }

    // A whole receive pass: every frame decoded until the first other
    // result; returns the frames of every pass so far.
    const std::vector<std::string> &Pass(const std::string &bytes) {
        Deliver(bytes);
        for (CanMsg record = {}; Next(&record) == PROCESS_OK; record = CanMsg{}) {
            EXPECT_LE(record.length, 8);
            frames.push_back(Text(record));
        }
        return frames;
    }
};

// Chunks passed in order through one parser, the frames they give and the
// pending fragment left.
struct Case {
    std::vector<std::string> chunks;
    std::vector<std::string> frames;
    std::string pending;
};

const std::string kZeros(60, '0');
const std::string kJunk(60, 'z');

const Case kCases[] = {
    {{"$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#"}, {"123 0 1 ab 0"}, ""},
    // The reader takes length data tokens whatever the kind.
    {{"$CAN;S;R;0x5;0x2;0x11;0x22;#"}, {"5 1 11 22"}, ""},
    {{"$CAN;S;D;2047;2;+7;-1;#"}, {"7ff 0 7 ff"}, ""},
    // Only the last letter of format and kind counts, and case matters.
    {{"$CAN;xE;yyR;0x1;0x0;#"}, {"1 3"}, ""},
    {{"$CAN;e;D;0x1;0x0;#", "$CAN;E ;D;0x1;0x0;#"}, {}, ""},
    // Bytes in front of the start token and surplus tokens are skipped.
    {{"xyz$$CA$CAN;S;D;0x1;0x1;0x2;0x3;#"}, {"1 0 2"}, ""},
    {{"$CAN;S;D;0x12", "3;0x1;0x55;#"}, {"123 0 55"}, ""},
    // A malformed header loses the rest of its chunk.
    {{"$CAN;S;D;0xg;0x0;#$CAN;S;D;0x2;0x0;#", "$CAN;S;D;0x1;zz;#$CAN;S;D;0x2;0x0;#"}, {}, ""},
    // A data token that does not convert keeps the rest for the next chunk.
    {{"$CAN;S;D;0x1;0x2;0x1;zz;#$CAN;S;D;0x2;0x0;#", "$CAN;S;D;0x3;0x0;#"}, {"2 0", "3 0"}, ""},
    // Incomplete frames are kept from the first missing field.
    {{"$CAN;E;R;0x18daf110;0x8;#"}, {}, "#"},
    // Without any "#" nothing is judged yet: even a broken frame is kept whole.
    {{"xy$CAN;S;d;0x1;0x0;"}, {}, "xy$CAN;S;d;0x1;0x0;"},
    // A zero byte ends the pending fragment.
    {{std::string("$CAN;S;D;0x1\0tail", 17)}, {}, "$CAN;S;D;0x1"},
    // Long tokens convert as a whole.
    {{"$CAN;S;D;0x12345678" + kJunk + ";+" + kZeros + "1;0XAB" + kJunk + ";#",
      "$CAN;S;D;+" + kZeros + "7;" + kZeros + ";#"},
     {"12345678 0 ab", "7 0"},
     ""},
    // More than 8 data bytes make the frame malformed: no shortened message.
    {{"$CAN;S;D;0x1;0x9;0x1;0x2;0x3;0x4;0x5;0x6;0x7;0x8;0x9;#", "$CAN;S;R;0x1;0xff;#",
      "$CAN;S;D;0x3;0x8;0x1;0x2;0x3;0x4;0x5;0x6;0x7;0x8;#"},
     {"3 0 1 2 3 4 5 6 7 8"},
     ""},
};

TEST(ParseCanFrame, DecodesAndRecoversChunkByChunk) {
    for (const Case &c : kCases) {
        Parser p;
        for (const std::string &chunk : c.chunks)
            p.Pass(chunk);
        EXPECT_EQ(c.frames, p.frames) << c.chunks[0];
        EXPECT_EQ(c.pending, p.pending.bytes) << c.chunks[0];
    }
}

TEST(ParseCanFrame, ChangesOnlyFlagBitsZeroAndOneStampsTheTimeAndConsumesAsItGoes) {
    Parser p;
    p.Deliver("$CAN;E;R;0x1;0x0;#$CAN;S;D;0x2;0x0;#\n");
    CanMsg record = {0, 0xF0, 0, {}, {}, 0};
    const uint32_t before = OsTimeGetTime();
    ASSERT_EQ(PROCESS_OK, p.Next(&record));
    EXPECT_EQ(0xF3, record.flags);
    EXPECT_LE(record.timestamp - before, OsTimeGetTime() - before);
    EXPECT_EQ("$CAN;S;D;0x2;0x0;#\n", p.Left());
    record.flags = 0xFF;
    ASSERT_EQ(PROCESS_OK, p.Next(&record));
    EXPECT_EQ(0xFC, record.flags);
    EXPECT_EQ("", p.Left()); // a line feed behind the last frame is consumed
    EXPECT_EQ(PROCESS_ERR_NO_FRAME, p.Next(&record));

    // A carriage return is not, and a malformed header leaves the rest.
    p.Deliver("$CAN;S;D;0x7;0x0;#\r\n");
    ASSERT_EQ(PROCESS_OK, p.Next(&record));
    EXPECT_EQ("\r\n", p.Left());
    p.Deliver("$CAN;S;d;0x1;0x0;#$CAN;S;D;0x2;0x0;#");
    EXPECT_EQ(PROCESS_ERR_NO_FRAME, p.Next(&record));
    EXPECT_EQ("d;0x1;0x0;#$CAN;S;D;0x2;0x0;#", p.Left());
}

// A peer that never sends "#", or never a start token, cannot grow the
// pending fragment beyond its bound; the newest bytes are the ones kept.
TEST(ParseCanFrame, PendingFragmentKeepsOnlyItsNewestBytes) {
    for (char filler : {'x', '#'}) {
        Parser p;
        std::string sent;
        for (int i = 0; i < 40; ++i) {
            const std::string chunk = std::string(4000, filler) + std::to_string(i);
            EXPECT_TRUE(p.Pass(chunk).empty());
            sent += chunk;
        }
        EXPECT_EQ(sent.substr(sent.size() - CODEC_MAX_PENDING_FRAGMENT), p.pending.bytes);
    }
    // The beginning of a frame at the very end of a flood survives it.
    Parser p;
    EXPECT_TRUE(p.Pass(std::string(70000, 'x')).empty());
    EXPECT_TRUE(p.Pass(std::string(60000, 'x') + "$CAN;S;D;0x12").empty());
    EXPECT_EQ(CODEC_MAX_PENDING_FRAGMENT, p.pending.bytes.size());
    EXPECT_EQ((std::vector<std::string>{"123 0"}), p.Pass("3;0x0;#"));
    EXPECT_EQ("", p.pending.bytes);
}

} // namespace
