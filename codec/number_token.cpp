#include "codec/number_token.h"

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void LowerCase(char *text) {
    for (; *text != '\0'; ++text)
        if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
}

// The value of text that has passed IsDecimalText. Numbers that neither a
// signed nor an unsigned 32-bit value can hold fail rather than wrap, so
// that an out-of-range field never turns into some other identifier.
int DecimalTextToValue(const char *text, uint32_t *value) {
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    const uint64_t limit = negative ? 0x80000000u : 0xFFFFFFFFu;
    uint64_t magnitude = 0;
    for (; *text != '\0'; ++text) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*text - '0');
        if (magnitude > limit) return 0;
    }
    const uint32_t low = static_cast<uint32_t>(magnitude);
    *value = negative ? 0u - low : low;
    return 1;
}

// Token already lower-cased; width in bytes of the field.
int NumberTokenToValue(const char *token, uint32_t width, uint32_t *value) {
    if (token[0] == '0' && token[1] == 'x') return HexTextToValue(token + 2, width, value);
    if (!IsDecimalText(token)) return 0;
    return DecimalTextToValue(token, value);
}

} // namespace

int HexTextToValue(const char *text, uint32_t width, uint32_t *value) {
    if (text == nullptr || value == nullptr || width > 4) return 0;
    const uint32_t limit = 2 * width;
    uint32_t result = 0;
    for (uint32_t digits = 0; digits < limit; ++digits) {
        if (text[digits] == '\0') {
            if (digits == 0) return 0;
            break;
        }
        const int digit = HexDigitValue(text[digits]);
        if (digit < 0) return 0;
        result = result * 16 + static_cast<uint32_t>(digit);
    }
    *value = result;
    return 1;
}

int IsDecimalText(const char *text) {
    if (text == nullptr) return 0;
    if (*text == '+' || *text == '-') ++text;
    if (*text == '\0') return 0;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9') return 0;
    return 1;
}

int TokenToUInt32(char *token, uint32_t *value) {
    if (token == nullptr || value == nullptr) return 0;
    LowerCase(token);
    uint32_t result = 0;
    if (!NumberTokenToValue(token, 4, &result)) return 0;
    *value = result;
    return 1;
}

int TokenToByte(char *token, uint8_t *value) {
    if (token == nullptr || value == nullptr) return 0;
    LowerCase(token);
    uint32_t result = 0;
    if (!NumberTokenToValue(token, 1, &result)) return 0;
    *value = static_cast<uint8_t>(result);
    return 1;
}
