// The receive stream parser: decoding, frames split over chunks, recovery
// from broken input and the bound on the pending fragment.
#include "base/process_status.h"
#include "codec/frame_format.h"
#include "codec/frame_parser.h"
#include "os/system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
    uint32_t id;
    uint8_t flags;
    Bytes data;
    bool operator==(const Decoded &o) const {
        return id == o.id && flags == o.flags && data == o.data;
    }
};

std::ostream &operator<<(std::ostream &os, const Decoded &d) {
    os << "{id " << std::hex << d.id << " flags " << int(d.flags) << " data";
    for (uint8_t b : d.data)
        os << ' ' << int(b);
    return os << '}';
}

Decoded FromRecord(const CanMsg &m) {
    return {m.id, m.flags, Bytes(m.data, m.data + (m.length <= 8 ? m.length : 8))};
}

// One engine's parser state, driven the way the receive step drives it.
class Parser {
  public:
    PendingFragment pending;
    std::string chunk;
    size_t cursor = 0;

    void Deliver(const std::string &bytes) {
        chunk = bytes;
        cursor = 0;
    }
    ProcessStatus Next(CanMsg *record) {
        return ParseCanFrame(&chunk, &cursor, &pending, record, OsTimeGetTime());
    }
    std::string Left() const { return chunk.substr(cursor); }

    // A whole receive pass: every frame decoded until the first other result.
    std::vector<Decoded> Pass(const std::string &bytes) {
        Deliver(bytes);
        std::vector<Decoded> frames;
        for (;;) {
            CanMsg record = {};
            if (Next(&record) != PROCESS_OK) return frames;
            EXPECT_LE(record.length, 8);
            frames.push_back(FromRecord(record));
        }
    }
};

TEST(ParseCanFrame, DecodesTheWrittenFramesBack) {
    Parser p;
    EXPECT_EQ((std::vector<Decoded>{{0x123, 0, {0x01, 0xAB, 0x00}}}),
              p.Pass("$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#"));
    EXPECT_EQ((std::vector<Decoded>{{0x18DAF110, 3, {}}}), p.Pass("$CAN;E;R;0x18daf110;0x0;#"));
    // The reader takes length data tokens whatever the kind.
    EXPECT_EQ((std::vector<Decoded>{{5, 1, {0x11, 0x22}}}), p.Pass("$CAN;S;R;0x5;0x2;0x11;0x22;#"));
    EXPECT_EQ((std::vector<Decoded>{{0x7FF, 0, {7, 0xFF}}}), p.Pass("$CAN;S;D;2047;2;+7;-1;#"));
    EXPECT_EQ("", p.pending.bytes);
}

TEST(ParseCanFrame, OnlyTheLastLetterOfFormatAndKindCounts) {
    Parser p;
    EXPECT_EQ((std::vector<Decoded>{{1, 3, {}}}), p.Pass("$CAN;xE;yyR;0x1;0x0;#"));
    for (const char *bad : {"$CAN;e;D;0x1;0x0;#", "$CAN;S;d;0x1;0x0;#", "$CAN;E ;D;0x1;0x0;#"}) {
        EXPECT_TRUE(p.Pass(bad).empty()) << bad;
        EXPECT_EQ("", p.pending.bytes) << bad;
    }
}

TEST(ParseCanFrame, ChangesOnlyFlagBitsZeroAndOneAndStampsTheTime) {
    Parser p;
    p.Deliver("$CAN;E;R;0x1;0x0;#$CAN;S;D;0x2;0x0;#");
    CanMsg record = {};
    record.flags = 0xF0;
    const uint32_t before = OsTimeGetTime();
    ASSERT_EQ(PROCESS_OK, p.Next(&record));
    EXPECT_EQ(0xF3, record.flags);
    EXPECT_LE(record.timestamp - before, OsTimeGetTime() - before);
    record.flags = 0xFF;
    ASSERT_EQ(PROCESS_OK, p.Next(&record));
    EXPECT_EQ(0xFC, record.flags);
}

TEST(ParseCanFrame, TwoFramesInOneChunkThenNoFrameWithNothingLeft) {
    Parser p;
    p.Deliver("$CAN;S;D;0x1;0x1;0x11;#$CAN;S;D;0x2;0x0;#");
    CanMsg a = {}, b = {}, c = {};
    ASSERT_EQ(PROCESS_OK, p.Next(&a));
    EXPECT_EQ((Decoded{1, 0, {0x11}}), FromRecord(a));
    EXPECT_EQ("$CAN;S;D;0x2;0x0;#", p.Left());
    ASSERT_EQ(PROCESS_OK, p.Next(&b));
    EXPECT_EQ((Decoded{2, 0, {}}), FromRecord(b));
    EXPECT_EQ(PROCESS_ERR_NO_FRAME, p.Next(&c));
    EXPECT_EQ("", p.Left());
    EXPECT_EQ("", p.pending.bytes);
}

TEST(ParseCanFrame, FrameSplitOverTwoChunksIsDecodedWithTheSecond) {
    Parser p;
    EXPECT_TRUE(p.Pass("$CAN;S;D;0x12").empty());
    EXPECT_EQ("$CAN;S;D;0x12", p.pending.bytes);
    EXPECT_EQ("", p.Left());
    EXPECT_EQ((std::vector<Decoded>{{0x123, 0, {0x55}}}), p.Pass("3;0x1;0x55;#"));
    EXPECT_EQ("", p.pending.bytes);
}

// A well-formed stream gives the same frames however the reads cut it.
TEST(ParseCanFrame, StreamSplitAtEveryPositionGivesTheSameFrames) {
    const std::string stream = "$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#\n$CAN;E;R;0x18daf110;0x0;#"
                               "$CAN;S;R;0x5;0x2;0x11;0x22;#$CAN;E;D;0xffffffff;0x8;0x0;"
                               "0x1;0x2;0x3;0x4;0x5;0x6;0xff;#\n";
    const std::vector<Decoded> expected = {{0x123, 0, {0x01, 0xAB, 0x00}},
                                           {0x18DAF110, 3, {}},
                                           {5, 1, {0x11, 0x22}},
                                           {0xFFFFFFFF, 2, {0, 1, 2, 3, 4, 5, 6, 0xFF}}};
    for (size_t i = 1; i < stream.size(); ++i) {
        for (size_t j = i; j < stream.size(); j += 7) { // a second cut behind the first
            Parser p;
            std::vector<Decoded> got = p.Pass(stream.substr(0, i));
            for (const std::string &part : {stream.substr(i, j - i), stream.substr(j)}) {
                if (part.empty()) continue;
                for (const Decoded &d : p.Pass(part))
                    got.push_back(d);
            }
            ASSERT_EQ(expected, got) << "cut at " << i << " and " << j;
        }
    }
}

// Each search resumes where the last one stopped: a start token that the
// next read completes, or that arrives a byte at a time, is still found.
TEST(ParseCanFrame, StartTokenBehindTrickledGarbageIsFound) {
    const std::vector<Decoded> expected = {{5, 0, {7}}};
    Parser p;
    std::vector<Decoded> got;
    for (char c : std::string("#$C$$CA$$CA"))
        EXPECT_TRUE(p.Pass(std::string(1, c)).empty());
    EXPECT_EQ(expected, p.Pass("N;S;D;0x5;0x1;0x7;#"));
    for (char c : std::string("$$C$CA$CAN;S;D;0x5;0x1;0x7;#"))
        for (const Decoded &d : p.Pass(std::string(1, c)))
            got.push_back(d);
    EXPECT_EQ(expected, got);
}

TEST(ParseCanFrame, LineFeedBehindAFrameIsConsumedCarriageReturnIsNot) {
    Parser p;
    CanMsg record = {};
    p.Deliver("$CAN;S;D;0x7;0x0;#\n");
    ASSERT_EQ(PROCESS_OK, p.Next(&record));
    EXPECT_EQ("", p.Left());

    p.Deliver("$CAN;S;D;0x7;0x0;#\r\n");
    ASSERT_EQ(PROCESS_OK, p.Next(&record));
    EXPECT_EQ("\r\n", p.Left());
    EXPECT_EQ(PROCESS_ERR_NO_FRAME, p.Next(&record));
    EXPECT_EQ("\r\n", p.pending.bytes);
    EXPECT_EQ((std::vector<Decoded>{{8, 0, {}}}), p.Pass("$CAN;S;D;0x8;0x0;#"));
    EXPECT_EQ("", p.pending.bytes);
}

TEST(ParseCanFrame, BytesInFrontOfTheStartTokenAndSurplusTokensAreSkipped) {
    Parser p;
    EXPECT_EQ((std::vector<Decoded>{{1, 0, {2}}}), p.Pass("xyz$CAN;S;D;0x1;0x1;0x2;#"));
    EXPECT_EQ((std::vector<Decoded>{{1, 0, {2}}}), p.Pass("$CAN;S;D;0x1;0x1;0x2;0x3;#"));
    EXPECT_EQ((std::vector<Decoded>{{1, 0, {2}}}), p.Pass("$$CA$CAN;S;D;0x1;0x1;0x2;#"));
}

TEST(ParseCanFrame, MalformedHeaderLosesTheRestOfTheChunk) {
    Parser p;
    p.Deliver("$CAN;S;d;0x1;0x0;#$CAN;S;D;0x2;0x0;#");
    CanMsg record = {};
    EXPECT_EQ(PROCESS_ERR_NO_FRAME, p.Next(&record));
    EXPECT_EQ("d;0x1;0x0;#$CAN;S;D;0x2;0x0;#", p.Left());
    EXPECT_EQ("", p.pending.bytes);

    for (const char *bad : {"$CAN;S;D;0xg;0x0;#", "$CAN;S;D;0x1;zz;#", "$CAN;S;D;0x;0x0;#"}) {
        EXPECT_TRUE(p.Pass(std::string(bad) + "$CAN;S;D;0x2;0x0;#").empty()) << bad;
        EXPECT_EQ("", p.pending.bytes) << bad;
    }
}

TEST(ParseCanFrame, BadDataTokenKeepsTheRestForTheNextChunk) {
    Parser p;
    EXPECT_TRUE(p.Pass("$CAN;S;D;0x1;0x2;0x1;zz;#$CAN;S;D;0x2;0x0;#").empty());
    EXPECT_EQ("zz;#$CAN;S;D;0x2;0x0;#", p.pending.bytes);
    EXPECT_EQ((std::vector<Decoded>{{2, 0, {}}, {3, 0, {}}}), p.Pass("$CAN;S;D;0x3;0x0;#"));
}

TEST(ParseCanFrame, IncompleteFramesAreKeptFromTheFirstMissingField) {
    Parser p;
    // No separator behind the length: the rest "#" is kept and later dropped.
    EXPECT_TRUE(p.Pass("$CAN;E;R;0x18daf110;0x8;#").empty());
    EXPECT_EQ("#", p.pending.bytes);
    // A separator as the first character of a field.
    EXPECT_TRUE(p.Pass("$CAN;;D;0x1;0x0;#").empty());
    EXPECT_EQ(";D;0x1;0x0;#", p.pending.bytes);
    EXPECT_EQ((std::vector<Decoded>{{9, 0, {}}}), p.Pass("$CAN;S;D;0x9;0x0;#"));
    // A stray "#" lets decoding start on a frame whose end is still missing.
    EXPECT_TRUE(p.Pass("#$CAN;S;D;0x12").empty());
    EXPECT_EQ("0x12", p.pending.bytes);
    // No "#" behind the data tokens.
    EXPECT_TRUE(p.Pass("$CAN;S;D;0x1;0x1;0x2;").empty());
    EXPECT_EQ("0x12$CAN;S;D;0x1;0x1;0x2;", p.pending.bytes);
}

// Without any "#" nothing is judged yet: even a broken frame is kept whole.
TEST(ParseCanFrame, WithoutAnyHashTheWholeContentIsKept) {
    for (const char *chunk : {"xy$CAN;S;d;0x1;0x0;", "$CAN;S;D;0xg;0x0;", "$CAN;S;D;0x1;0x9;",
                              "$CAN;S;D;0x1;0x1;zz;"}) {
        Parser p;
        EXPECT_TRUE(p.Pass(chunk).empty()) << chunk;
        EXPECT_EQ(chunk, p.pending.bytes);
    }
}

TEST(ParseCanFrame, ZeroByteEndsThePendingFragmentButNotAToken) {
    Parser p;
    EXPECT_TRUE(p.Pass(std::string("$CAN;S;D;0x1\0tail", 17)).empty());
    EXPECT_EQ("$CAN;S;D;0x1", p.pending.bytes);
    // Inside a token a zero byte ends the text that is converted.
    EXPECT_EQ((std::vector<Decoded>{{1, 0, {0xAB}}}),
              p.Pass(std::string("$CAN;S;D;0x1\0zz;0x1;0xab\0;#", 28).substr(12)));
}

TEST(ParseCanFrame, LongTokensConvertAsAWhole) {
    Parser p;
    const std::string zeros(60, '0');
    const std::string junk(60, 'z');
    EXPECT_EQ((std::vector<Decoded>{{0x12345678, 0, {0xAB}}}),
              p.Pass("$CAN;S;D;0x12345678" + junk + ";+" + zeros + "1;0XAB" + junk + ";#"));
    EXPECT_EQ((std::vector<Decoded>{{7, 0, {}}}),
              p.Pass("$CAN;S;D;+" + zeros + "7;" + zeros + ";#"));
    EXPECT_TRUE(p.Pass("$CAN;S;D;" + zeros + "4294967296;0x0;#").empty());
    EXPECT_TRUE(p.Pass("$CAN;S;D;" + zeros + junk + ";0x0;#").empty());
    EXPECT_TRUE(p.Pass("$CAN;S;D;" + zeros + "-7;0x0;#").empty());
}

TEST(ParseCanFrame, EmptyInputAndMissingArgumentsChangeNothing) {
    Parser p;
    CanMsg record = {};
    p.Deliver("");
    EXPECT_EQ(PROCESS_ERR_NO_FRAME, p.Next(&record));
    EXPECT_EQ("", p.pending.bytes);

    p.pending.bytes = "$CAN;S";
    p.Deliver(";D;0x1;0x0;#");
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, ParseCanFrame(nullptr, &p.cursor, &p.pending, &record, 0));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, ParseCanFrame(&p.chunk, &p.cursor, &p.pending, nullptr, 0));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, ParseCanFrame(&p.chunk, nullptr, &p.pending, &record, 0));
    EXPECT_EQ(PROCESS_ERR_NULL_POINTER, ParseCanFrame(&p.chunk, &p.cursor, nullptr, &record, 0));
    EXPECT_EQ("$CAN;S", p.pending.bytes);
    EXPECT_EQ(";D;0x1;0x0;#", p.Left());
    EXPECT_EQ(0u, record.id);
    ASSERT_EQ(PROCESS_OK, p.Next(&record));
    EXPECT_EQ(1u, record.id);
}

// More than 8 data bytes: the frame is refused like a bad length token, so
// the application never sees a shortened message.
TEST(ParseCanFrame, LengthAboveEightMakesTheFrameMalformed) {
    Parser p;
    const std::string nine = "$CAN;S;D;0x1;0x9;0x1;0x2;0x3;0x4;0x5;0x6;0x7;0x8;0x9;#";
    p.Deliver(nine + "$CAN;S;D;0x2;0x0;#");
    CanMsg record = {};
    EXPECT_EQ(PROCESS_ERR_NO_FRAME, p.Next(&record));
    EXPECT_EQ(0, record.length);
    EXPECT_EQ(std::string(8, '\0'), std::string(reinterpret_cast<char *>(record.data), 8));
    EXPECT_EQ(nine.substr(13) + "$CAN;S;D;0x2;0x0;#", p.Left());
    EXPECT_EQ("", p.pending.bytes);
    EXPECT_TRUE(p.Pass("$CAN;S;R;0x1;0xff;#").empty());
    EXPECT_EQ((std::vector<Decoded>{{3, 0, {1, 2, 3, 4, 5, 6, 7, 8}}}),
              p.Pass("$CAN;S;D;0x3;0x8;0x1;0x2;0x3;0x4;0x5;0x6;0x7;0x8;#"));
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
            ASSERT_LE(p.pending.bytes.size(), CODEC_MAX_PENDING_FRAGMENT);
        }
        EXPECT_EQ(sent.substr(sent.size() - CODEC_MAX_PENDING_FRAGMENT), p.pending.bytes);
    }
    // The beginning of a frame at the very end of a flood survives it.
    Parser p;
    EXPECT_TRUE(p.Pass(std::string(70000, 'x')).empty());
    EXPECT_TRUE(p.Pass(std::string(60000, 'x') + "$CAN;S;D;0x12").empty());
    EXPECT_EQ(CODEC_MAX_PENDING_FRAGMENT, p.pending.bytes.size());
    EXPECT_EQ((std::vector<Decoded>{{0x123, 0, {}}}), p.Pass("3;0x0;#"));
    EXPECT_EQ("", p.pending.bytes);
}

} // namespace
