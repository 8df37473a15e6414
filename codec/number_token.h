// Number tokens of the text frames: hexadecimal with a "0x" prefix or
// decimal with an optional sign.
//
// Every function returns 1 on success and 0 on failure and writes its
// out-parameter only on success.
#pragma once

#include <cstdint>

// Converts a token into a 32-bit value (identifier fields). The token is a
// zero-terminated text that is lower-cased in place, so pass a scratch copy.
//   "0x" hex   at most 8 digits are read; the text behind them is ignored
//              ("0x123456789" gives 0x12345678). "0x" alone fails.
//   decimal    an optional "+" or "-" and digits; the sign is applied and the
//              result taken modulo 2^32 ("-1" gives 0xFFFFFFFF). A number
//              outside -2147483648..4294967295 fails.
// Anything else, blanks included, fails.
int TokenToUInt32(char *token, uint32_t *value);

// The same for 8-bit fields (data length and data bytes): at most 2 hex
// digits ("0x100" gives 0x10); a decimal number keeps its low 8 bits
// ("300" gives 44, "-1" gives 255) under the same 32-bit range rule.
int TokenToByte(char *token, uint8_t *value);

// Reads up to 2 * width hexadecimal digits (either case) from text and
// stores them as a 32-bit value. The end of the text stops the reading, but
// at least one digit is needed; any other character fails. Characters behind
// the digit limit are not examined. width is a number of bytes (1 or 4 in
// use); above 4 fails, and 0 reads no digit and gives 0.
int HexTextToValue(const char *text, uint32_t width, uint32_t *value);

// 1 when text is an optional "+" or "-" followed by one or more decimal
// digits and nothing else.
int IsDecimalText(const char *text);
