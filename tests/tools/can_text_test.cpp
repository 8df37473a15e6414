// The can-utils text forms: cansend arguments, candump screen and log lines,
// candump's receive filters.
#include "can_filter.h"
#include "can_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

CanMsg Msg(uint32_t id, uint8_t flags, std::vector<uint8_t> data, uint8_t length = 0xFF) {
    CanMsg msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.id = id;
    msg.flags = flags;
    msg.length = length == 0xFF ? (uint8_t)data.size() : length;
    std::copy(data.begin(), data.end(), msg.data);
    return msg;
}

void ExpectSame(const CanMsg &expected, const CanMsg &actual, const char *text) {
    EXPECT_EQ(0, std::memcmp(&expected, &actual, sizeof(CanMsg))) << text;
}

TEST(CanSendSyntax, ParsesTheFormsCanEngineersType) {
    struct Case {
        const char *text;
        CanMsg msg;
        const char *canonical;
    } cases[] = {
        {"123#DEADBEEF", Msg(0x123, 0, {0xDE, 0xAD, 0xBE, 0xEF}), "123#DEADBEEF"},
        {"5A1#11.2233.44556677.88", Msg(0x5A1, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}),
         "5A1#1122334455667788"},
        {"12345678#", Msg(0x12345678, KORVEL_MSGFLAG_EXT, {}), "12345678#"},
        {"123#R", Msg(0x123, KORVEL_MSGFLAG_RTR, {}), "123#R"},
        {"123#R7", Msg(0x123, KORVEL_MSGFLAG_RTR, {}, 7), "123#R7"},
        {"7ff#aa", Msg(0x7FF, 0, {0xAA}), "7FF#AA"},
        {"1#", Msg(1, 0, {}), "001#"},
        {"0005#00", Msg(5, KORVEL_MSGFLAG_EXT, {0}), "00000005#00"},
        {"1FFFFFFF#R0", Msg(0x1FFFFFFF, KORVEL_MSGFLAG_EXT | KORVEL_MSGFLAG_RTR, {}), "1FFFFFFF#R"},
    };
    for (const Case &c : cases) {
        CanMsg msg;
        std::memset(&msg, 0xAA, sizeof(msg)); // no stale byte may survive
        ASSERT_EQ(CAN_TEXT_OK, ParseCanSend(c.text, &msg)) << c.text;
        ExpectSame(c.msg, msg, c.text);
        EXPECT_EQ(c.canonical, FormatCanSend(msg)) << c.text;
    }
}

TEST(CanSendSyntax, RejectsMalformedArgumentsWithTheirReason) {
    struct Case {
        const char *text;
        int status;
    } cases[] = {
        {"", CAN_TEXT_ERR_EMPTY},
        {"#11", CAN_TEXT_ERR_IDENTIFIER},
        {"xyz#", CAN_TEXT_ERR_IDENTIFIER},
        {"123456789#", CAN_TEXT_ERR_IDENTIFIER},
        {"123", CAN_TEXT_ERR_SEPARATOR},
        {"123 #11", CAN_TEXT_ERR_SEPARATOR},
        {"800#", CAN_TEXT_ERR_RANGE},
        {"40000000#", CAN_TEXT_ERR_RANGE},
        {"20000080#00", CAN_TEXT_ERR_ERROR_FRAME},
        {"123#1", CAN_TEXT_ERR_DATA},
        {"123#123", CAN_TEXT_ERR_DATA},
        {"123#.11", CAN_TEXT_ERR_DATA},
        {"123#11.", CAN_TEXT_ERR_DATA},
        {"123#11..22", CAN_TEXT_ERR_DATA},
        {"123#GG", CAN_TEXT_ERR_DATA},
        {"123#11 ", CAN_TEXT_ERR_DATA},
        {"123#112233445566778899", CAN_TEXT_ERR_TOO_LONG},
        {"123#R9", CAN_TEXT_ERR_REMOTE},
        {"123#R12", CAN_TEXT_ERR_REMOTE},
        {"123#Rx", CAN_TEXT_ERR_REMOTE},
        {"123##1", CAN_TEXT_ERR_FD},
    };
    for (const Case &c : cases) {
        CanMsg msg;
        EXPECT_EQ(c.status, ParseCanSend(c.text, &msg)) << c.text;
        EXPECT_STRNE("unknown error", CanTextStatusText(c.status));
    }
    CanMsg msg;
    EXPECT_EQ(CAN_TEXT_ERR_EMPTY, ParseCanSend(nullptr, &msg));
    EXPECT_EQ(CAN_TEXT_ERR_EMPTY, ParseCanSend("123#", nullptr));
}

TEST(CandumpScreen, PrintsCandumpLines) {
    EXPECT_EQ("  korvel0  123   [4]  DE AD BE EF",
              FormatCandumpLine(Msg(0x123, 0, {0xDE, 0xAD, 0xBE, 0xEF}), "korvel0"));
    EXPECT_EQ("  korvel0  12345678   [2]  remote request",
              FormatCandumpLine(Msg(0x12345678, KORVEL_MSGFLAG_EXT | KORVEL_MSGFLAG_RTR, {}, 2),
                                "korvel0"));
    EXPECT_EQ("  can1  00000005   [1]  0F",
              FormatCandumpLine(Msg(5, KORVEL_MSGFLAG_EXT, {15}), "can1"));
    EXPECT_EQ("  korvel0  7FF   [0]", FormatCandumpLine(Msg(0x7FF, 0, {}), "korvel0"));
    // candump: one blank, the stamp with its own trailing blank, one blank, the name.
    EXPECT_EQ(" (1796595664.029477)  korvel0  7FF   [0]",
              FormatCandumpLine(Msg(0x7FF, 0, {}), "korvel0", "(1796595664.029477) "));
    // The library sends identifiers unmasked; none is cut short in print.
    EXPECT_EQ("  korvel0  1234   [0]", FormatCandumpLine(Msg(0x1234, 0, {}), "korvel0"));
    EXPECT_EQ("FFFFFFFF#R", FormatCanSend(Msg(0xFFFFFFFF, KORVEL_MSGFLAG_RTR, {})));
}

TEST(CandumpLog, RoundTripsLogLines) {
    const char *lines[] = {
        "(1436509052.249713) can0 123#DEADBEEF",
        "(5.000042) korvel0 12345678#R3",
        "(0.000000) vcan12 7FF#",
    };
    for (const char *line : lines) {
        CanLogRecord record;
        ASSERT_EQ(CAN_TEXT_OK, ParseCandumpLog(line, &record)) << line;
        EXPECT_EQ(line, FormatCandumpLog(record));
    }
    CanLogRecord record;
    ASSERT_EQ(CAN_TEXT_OK, ParseCandumpLog("(1436509052.249713)  can0\t5A1#11.22\r\n", &record));
    EXPECT_EQ(1436509052, record.seconds);
    EXPECT_EQ(249713u, record.micros);
    EXPECT_STREQ("can0", record.interfaceName);
    ExpectSame(Msg(0x5A1, 0, {0x11, 0x22}), record.msg, "5A1#11.22");
}

TEST(CandumpLog, RejectsLinesThatAreNoLogLines) {
    struct Case {
        const char *line;
        int status;
    } cases[] = {
        {"1436509052.249713 can0 123#DE", CAN_TEXT_ERR_TIMESTAMP},
        {"(1436509052.2497) can0 123#", CAN_TEXT_ERR_TIMESTAMP},
        {"(1436509052) can0 123#", CAN_TEXT_ERR_TIMESTAMP},
        {"(-1.000000) can0 123#", CAN_TEXT_ERR_TIMESTAMP},
        {"(1.000000)can0 123#", CAN_TEXT_ERR_INTERFACE},
        {"(1.000000) ", CAN_TEXT_ERR_INTERFACE},
        {"(1.000000) can0 123#GG", CAN_TEXT_ERR_DATA},
        {"(1.000000) can0", CAN_TEXT_ERR_EMPTY},
    };
    for (const Case &c : cases) {
        CanLogRecord record;
        EXPECT_EQ(c.status, ParseCandumpLog(c.line, &record)) << c.line;
    }
}

// Which of a standard, an extended and a remote frame, all with the low
// bits 123, pass the filters.
std::string Passing(const std::vector<const char *> &filters) {
    CanFilterSet set;
    for (const char *filter : filters)
        EXPECT_EQ(CAN_FILTER_OK, set.Add(filter)) << filter;
    std::string passed;
    if (set.Matches(Msg(0x123, 0, {}))) passed += 'S';
    if (set.Matches(Msg(0x1ABCD123, KORVEL_MSGFLAG_EXT, {}))) passed += 'E';
    if (set.Matches(Msg(0x123, KORVEL_MSGFLAG_RTR, {}))) passed += 'R';
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
}

TEST(CandumpFilter, RefusesWhatIsNoFilter) {
    for (const char *text :
         {"", "123", "123:", ":7FF", "12x:7FF", "123456789:7FF", "~123~7FF", "123:7FF:1"}) {
        CanFilterSet set;
        EXPECT_EQ(CAN_FILTER_ERR_SYNTAX, set.Add(text)) << text;
        EXPECT_TRUE(set.Empty()) << text;
    }
    CanFilterSet set;
    EXPECT_EQ(CAN_FILTER_ERR_ERROR_FRAME, set.Add("#FFFFFFFF"));
}

} // namespace
