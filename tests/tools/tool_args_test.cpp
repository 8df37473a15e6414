// Address arguments and status texts of the tools.
#include "host_port.h"
#include "status_text.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(HostPort, ReadsDottedAddressesWithOrWithoutPort) {
    GatewayAddress address;
    ASSERT_TRUE(ParseHostPort("127.0.0.1:29536", 1, &address));
    EXPECT_STREQ("127.0.0.1", address.ipAddress);
    EXPECT_EQ(29536, address.port);
    ASSERT_TRUE(ParseHostPort("255.255.255.255", 5000, &address));
    EXPECT_STREQ("255.255.255.255", address.ipAddress);
    EXPECT_EQ(5000, address.port);
    ASSERT_TRUE(ParseHostPort("10.0.0.2:65535", 1, &address));
    EXPECT_EQ(65535, address.port);
}

TEST(HostPort, RefusesWhatIsNoIpv4AddressAndPort) {
    const char *bad[] = {
        "",           "localhost:29536", "1.2.3",       "1.2.3.4.5",     "256.0.0.1",
        "1.2.3.0004", "1.2.3.4:",        "1.2.3.4:0",   "1.2.3.4:65536", "1.2.3.4:80x",
        "1..3.4",     " 1.2.3.4",        "1.2.3.4:+80", "1.2.3.4:123456"};
    for (const char *text : bad) {
        GatewayAddress address;
        EXPECT_FALSE(ParseHostPort(text, 1, &address)) << text;
        EXPECT_EQ(0, address.port) << text;
    }
}

TEST(StatusText, EveryPublicStatusHasItsOwnNameAndText) {
    const uint32_t codes[] = {0, 1, 2, 3, 4, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17};
    std::set<std::string> texts;
    for (uint32_t code : codes) {
        EXPECT_STRNE("unknown status", KorvelStatusName(code)) << code;
        texts.insert(KorvelStatusText(code));
    }
    EXPECT_EQ(sizeof(codes) / sizeof(codes[0]), texts.size());
    EXPECT_STREQ("KORVEL_ERR_TX_BUFFER_FULL", KorvelStatusName(KORVEL_ERR_TX_BUFFER_FULL));
    EXPECT_STREQ("unknown status", KorvelStatusText(5));
    EXPECT_STREQ("closed by the gateway", KorvelConnectionStateText(KORVEL_CONN_CLOSED_BY_PEER));
    EXPECT_STREQ("unknown connection state", KorvelConnectionStateText(2));
}

} // namespace
