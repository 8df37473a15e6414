// The tools' text forms: cansend arguments, candump log lines, candump's
// filters, the gateway's frame stream and gateway addresses. (The gateway's
// frames against the library's own reader and writer: the programs' tests.)
#include "can_filter.h"
#include "can_text.h"
#include "gateway_frame.h"
#include "host_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

bool Same(const CanMsg &a, const CanMsg &b) { return std::memcmp(&a, &b, sizeof(CanMsg)) == 0; }

constexpr uint8_t kExt = KORVEL_MSGFLAG_EXT, kRtr = KORVEL_MSGFLAG_RTR;

TEST(CanSendSyntax, ParsesTheFormsCanEngineersTypeWritesThemBackAndRefusesOthers) {
    const struct {
        const char *text;
        CanMsg msg;
        const char *canonical;
    } cases[] = {
        {"123#DEADBEEF", {0x123, 0, 4, {0xDE, 0xAD, 0xBE, 0xEF}, {}, 0}, "123#DEADBEEF"},
        {"5A1#11.2233.44556677.88",
         {0x5A1, 0, 8, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, {}, 0},
         "5A1#1122334455667788"},
        {"12345678#", {0x12345678, kExt, 0, {}, {}, 0}, "12345678#"},
        {"123#R7", {0x123, kRtr, 7, {}, {}, 0}, "123#R7"},
        {"7ff#aa", {0x7FF, 0, 1, {0xAA}, {}, 0}, "7FF#AA"},
        {"1#", {1, 0, 0, {}, {}, 0}, "001#"},
        {"0005#00", {5, kExt, 1, {0}, {}, 0}, "00000005#00"},
        {"1FFFFFFF#R0", {0x1FFFFFFF, kExt | kRtr, 0, {}, {}, 0}, "1FFFFFFF#R"},
    };
    for (const auto &c : cases) {
        CanMsg msg;
        std::memset(&msg, 0xAA, sizeof(msg)); // no stale byte may survive
        ASSERT_EQ(CAN_TEXT_OK, ParseCanSend(c.text, &msg)) << c.text;
        EXPECT_TRUE(Same(c.msg, msg)) << c.text;
        EXPECT_EQ(c.canonical, FormatCanSend(msg)) << c.text;
    }
    // The library sends identifiers unmasked; none is cut short in print.
    EXPECT_EQ("FFFFFFFF#R", FormatCanSend(CanMsg{0xFFFFFFFF, kRtr, 0, {}, {}, 0}));
    // Malformed arguments are refused with their reason.
    const std::vector<std::pair<int, std::vector<const char *>>> refused = {
        {CAN_TEXT_ERR_EMPTY, {"", nullptr}},
        {CAN_TEXT_ERR_IDENTIFIER, {"xyz#", "123456789#"}},
        {CAN_TEXT_ERR_SEPARATOR, {"123 #11"}},
        {CAN_TEXT_ERR_RANGE, {"800#", "40000000#"}},
        {CAN_TEXT_ERR_ERROR_FRAME, {"20000080#00"}},
        {CAN_TEXT_ERR_DATA, {"123#1", "123#11.", "123#11..22"}},
        {CAN_TEXT_ERR_TOO_LONG, {"123#112233445566778899"}},
        {CAN_TEXT_ERR_REMOTE, {"123#R9"}},
        {CAN_TEXT_ERR_FD, {"123##1"}}};
    CanMsg msg;
    for (const auto &r : refused)
        for (const char *text : r.second)
            EXPECT_EQ(r.first, ParseCanSend(text, &msg)) << (text ? text : "null");
}

// The log lines the tools write are read by can-utils and python-can in the
// tests of the programs and of the Python binding.
TEST(Candump, LogLinesMayHaveMoreBlanksAndALineEndAndOthersAreRefused) {
    CanLogRecord record;
    ASSERT_EQ(CAN_TEXT_OK, ParseCandumpLog("(1436509052.249713)  can0\t5A1#11.22\r\n", &record));
    EXPECT_EQ(1436509052, record.seconds);
    EXPECT_EQ(249713u, record.micros);
    EXPECT_STREQ("can0", record.interfaceName);
    EXPECT_TRUE(Same(CanMsg{0x5A1, 0, 2, {0x11, 0x22}, {}, 0}, record.msg));
    const std::vector<std::pair<const char *, int>> bad = {
        {"1436509052.249713 can0 123#DE", CAN_TEXT_ERR_TIMESTAMP},
        {"(1436509052.2497) can0 123#", CAN_TEXT_ERR_TIMESTAMP},
        {"(-1.000000) can0 123#", CAN_TEXT_ERR_TIMESTAMP},
        {"(1.000000)can0 123#", CAN_TEXT_ERR_INTERFACE},
        {"(1.000000) can0 123#GG", CAN_TEXT_ERR_DATA},
        {"(1.000000) can0", CAN_TEXT_ERR_EMPTY}};
    for (const auto &c : bad)
        EXPECT_EQ(c.second, ParseCandumpLog(c.first, &record)) << c.first;
}

// Which of a standard, an extended and a remote frame, all with the low
// bits 123, pass the filters.
std::string Passing(const std::vector<const char *> &filters) {
    CanFilterSet set;
    for (const char *filter : filters)
        EXPECT_EQ(CAN_FILTER_OK, set.Add(filter)) << filter;
    std::string passed;
    if (set.Matches(CanMsg{0x123, 0, 0, {}, {}, 0})) passed += 'S';
    if (set.Matches(CanMsg{0x1ABCD123, kExt, 0, {}, {}, 0})) passed += 'E';
    if (set.Matches(CanMsg{0x123, kRtr, 0, {}, {}, 0})) passed += 'R';
    return passed;
}

TEST(CandumpFilter, MatchesIdentifierAndFlagBitsAsSocketCanDoes) {
    EXPECT_EQ("SER", Passing({}));
    EXPECT_EQ("SER", Passing({"123:7FF"}));
    EXPECT_EQ("S", Passing({"123:C00007FF"}));
    EXPECT_EQ("E", Passing({"1ABCD123:DFFFFFFF"})); // 8 digits: extended
    EXPECT_EQ("", Passing({"00000123:9FFFFFFF"}));  // the extended frame 123 only
    EXPECT_EQ("", Passing({"123~7FF"}));
    EXPECT_EQ("", Passing({"~123:7FF"}));
    EXPECT_EQ("", Passing({"123:C00007FF", "~123:80000000", "j"})); // S passes one, E the other
    EXPECT_EQ("SE", Passing({"123:C00007FF", "1ABCD123:FFFFFFFF"}));
    EXPECT_EQ("R", Passing({"j", "123:7FF", "40000000:40000000"}));
    for (const char *text : {"", "123", ":7FF", "12x:7FF", "123456789:7FF", "~123~7FF"}) {
        CanFilterSet set;
        EXPECT_EQ(CAN_FILTER_ERR_SYNTAX, set.Add(text)) << text;
        EXPECT_TRUE(set.Empty()) << text;
    }
    CanFilterSet set;
    EXPECT_EQ(CAN_FILTER_ERR_ERROR_FRAME, set.Add("#FFFFFFFF"));
}

TEST(GatewayFrame, TheReaderSkipsGarbageAndMalformedFramesAndFindsTheNextFrame) {
    GatewayFrameReader reader;
    std::vector<int> seen; // frame identifiers, -1 for a malformed frame
    auto feed = [&](const std::string &bytes) {
        CanMsg msg;
        for (char c : bytes) { // a byte at a time, as the network may deliver it
            reader.Feed(&c, 1);
            for (GatewayFrameReader::Result r;
                 (r = reader.Next(&msg)) != GatewayFrameReader::kNeedMore;)
                seen.push_back(r == GatewayFrameReader::kFrame ? static_cast<int>(msg.id) : -1);
        }
    };
    // Malformed: a lower-case kind, a bad identifier, a data token too many
    // or too few, a byte above 0xff, a frame cut off by the next start.
    feed("xyz\r\n$CAN;S;D;0x1;0x0;#$CAN;S;d;0x2;0x0;#;;$CAN;S;D;0xzz;0x0;#$CAN;S;D;0x1;0x2;0x1;#"
         "$CAN;S;D;0x1;0x1;0x1;0x2;#$CAN;S;D;0x1;0x1;0x100;#$CAN;S;D;0x3;0x0;$CAN;S;D;0x4;0x0;#\n");
    // The last line feed is held back: it might be the beginning of a start token.
    EXPECT_EQ(5u + 2u, reader.GarbageBytes());
    // A start token that never ends.
    feed("$CAN;S;D;0x1;0x1;" + std::string(GatewayFrameReader::kGatewayFrameLimit, '1') +
         "$CAN;S;D;0x5;0x0;#");
    EXPECT_EQ((std::vector<int>{1, -1, -1, -1, -1, -1, -1, 4, -1, 5}), seen);
}

TEST(HostPort, ReadsDottedAddressesWithOrWithoutPortAndRefusesTheRest) {
    GatewayAddress address;
    ASSERT_TRUE(ParseHostPort("10.0.0.2:65535", 1, &address));
    EXPECT_STREQ("10.0.0.2", address.ipAddress);
    EXPECT_EQ(65535, address.port);
    ASSERT_TRUE(ParseHostPort("255.255.255.255", 5000, &address));
    EXPECT_EQ(5000, address.port);
    for (const char *text : {"", "localhost:29536", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1.2.3.0004",
                             "1.2.3.4:", "1.2.3.4:0", "1.2.3.4:65536", "1.2.3.4:80x", "1..3.4",
                             " 1.2.3.4", "1.2.3.4:+80"}) {
        EXPECT_FALSE(ParseHostPort(text, 1, &address)) << text;
        EXPECT_EQ(0, address.port) << text;
    }
}

} // namespace
