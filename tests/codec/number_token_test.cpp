// Number tokens: hex with a digit limit, signed decimal, and the 32-bit range.
#include "codec/number_token.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Converts a copy with `convert`; returns the value, or -1 when the
// conversion fails (and checks that the out-parameter was left alone then).
template <typename T> int64_t Convert(int (*convert)(char *, T *), std::string token) {
    T value = static_cast<T>(0xA5A5A5A5);
    if (convert(&token[0], &value)) return value;
    EXPECT_EQ(static_cast<T>(0xA5A5A5A5), value) << token;
    return -1;
}
int64_t U32(const std::string &token) { return Convert(TokenToUInt32, token); }
int64_t Byte(const std::string &token) { return Convert(TokenToByte, token); }

TEST(TokenToUInt32, HexInEitherCaseAndSignedDecimalWithinThirtyTwoBits) {
    // Digits behind the eighth are not read.
    EXPECT_EQ(
        (std::vector<int64_t>{0x7FF, 0x7FF, 0x12345678, 0x12345678, 0xFFFFFFFF, 0xFFFFFFFF,
                              0x80000000, 1}),
        (std::vector<int64_t>{U32("0X7FF"), U32("2047"), U32("0x123456789"), U32("0x12345678 junk"),
                              U32("-1"), U32("4294967295"), U32("-2147483648"),
                              U32("+00000000000000000000000000000000000001")}));
    // A decimal number that no 32-bit value holds fails instead of wrapping.
    for (const char *t : {"4294967296", "-2147483649", "99999999999999999999999", "0x", " 0x7ff",
                          "0x7ff ", "", "x7ff", "0xg", "7a", "+", "-", "+-1", "1.0", "0x 1"})
        EXPECT_EQ(-1, U32(t)) << '"' << t << '"';
    // The token is lower-cased in place.
    char token[] = "0XABcD";
    uint32_t value = 0;
    ASSERT_EQ(1, TokenToUInt32(token, &value));
    EXPECT_STREQ("0xabcd", token);
    EXPECT_EQ(0xABCDu, value);
}

TEST(TokenToByte, HexReadsTwoDigitsDecimalKeepsTheLowEightBits) {
    EXPECT_EQ((std::vector<int64_t>{0x10, 0xAB, 7, 251, 44, 255}),
              (std::vector<int64_t>{Byte("0x100"), Byte("0XaB"), Byte("+7"), Byte("-5"),
                                    Byte("300"), Byte("4294967295")}));
    for (const char *t : {"4294967296", "0xg", "0x", "7a", " 7", "0x+1"})
        EXPECT_EQ(-1, Byte(t)) << t;
}

} // namespace
