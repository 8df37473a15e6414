// Parsing and printing of the can-utils text forms; the grammar is in can_text.h.
#include "can_text.h"

#include <cstdio>
#include <cstring>

namespace {

const char kHexUpper[] = "0123456789ABCDEF";
constexpr uint32_t kIdMask = 0x1FFFFFFFu;
constexpr uint32_t kErrorFlag = 0x20000000u; // SocketCAN's CAN_ERR_FLAG

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the identifier up to '#'; *end points behind the '#'.
int ParseIdentifier(const char *text, CanMsg *msg, const char **end) {
    uint32_t id = 0;
    size_t digits = 0;
    for (; HexValue(text[digits]) >= 0; ++digits) {
        if (digits == 8) return CAN_TEXT_ERR_IDENTIFIER;
        id = id * 16 + (uint32_t)HexValue(text[digits]);
    }
    if (digits == 0) return CAN_TEXT_ERR_IDENTIFIER;
    if (text[digits] != '#') return CAN_TEXT_ERR_SEPARATOR;
    bool extended = digits > 3;
    if (extended && (id & ~kIdMask) == kErrorFlag) return CAN_TEXT_ERR_ERROR_FRAME;
    if (id > (extended ? kIdMask : 0x7FFu)) return CAN_TEXT_ERR_RANGE;
    msg->id = id;
    if (extended) msg->flags |= KORVEL_MSGFLAG_EXT;
    *end = text + digits + 1;
    return CAN_TEXT_OK;
}

int ParseRemote(const char *text, CanMsg *msg) {
    msg->flags |= KORVEL_MSGFLAG_RTR;
    if (text[0] == '\0') return CAN_TEXT_OK;
    if (text[0] < '0' || text[0] > '8' || text[1] != '\0') return CAN_TEXT_ERR_REMOTE;
    msg->length = (uint8_t)(text[0] - '0');
    return CAN_TEXT_OK;
}

// Whole bytes of two digits; a '.' may stand only between two bytes.
int ParseData(const char *text, CanMsg *msg) {
    size_t n = 0;
    for (const char *p = text; *p != '\0';) {
        if (*p == '.') {
            if (p == text || p[1] == '\0' || p[1] == '.') return CAN_TEXT_ERR_DATA;
            ++p;
            continue;
        }
        if (HexValue(p[0]) < 0 || HexValue(p[1]) < 0) return CAN_TEXT_ERR_DATA;
        if (n == 8) return CAN_TEXT_ERR_TOO_LONG;
        msg->data[n++] = (uint8_t)(HexValue(p[0]) * 16 + HexValue(p[1]));
        p += 2;
    }
    msg->length = (uint8_t)n;
    return CAN_TEXT_OK;
}

// At least `digits` digits, more if the value needs them: an identifier
// beyond its format's range is shown in full rather than cut.
void AppendHex(std::string &out, uint32_t value, int digits) {
    while (digits < 8 && (value >> (digits * 4)) != 0)
        ++digits;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out += kHexUpper[(value >> shift) & 15];
}

} // namespace

const char *CanTextStatusText(int status) {
    static const char *const kText[] = {
        "no error",
        "empty frame text",
        "identifier must be 1 to 3 (standard) or 4 to 8 (extended) hex digits",
        "identifier out of range (standard at most 7FF, extended at most 1FFFFFFF)",
        "'#' expected behind the identifier",
        "data must be whole bytes of two hex digits, '.' only between bytes",
        "more than 8 data bytes",
        "a remote frame takes one length digit 0 to 8 behind 'R'",
        "CAN FD frames ('##') are not supported",
        "error frames (identifier with bit 20000000) cannot be carried by the gateway",
        "log line must begin with (seconds.microseconds)",
        "log line has no interface name, or one longer than 31 characters",
    };
    if (status < 0 || (size_t)status >= sizeof(kText) / sizeof(kText[0])) return "unknown error";
    return kText[status];
}

int ParseCanSend(const char *text, CanMsg *msg) {
    if (msg == nullptr) return CAN_TEXT_ERR_EMPTY;
    std::memset(msg, 0, sizeof(*msg));
    if (text == nullptr || text[0] == '\0') return CAN_TEXT_ERR_EMPTY;
    const char *rest = nullptr;
    int status = ParseIdentifier(text, msg, &rest);
    if (status != CAN_TEXT_OK) return status;
    if (rest[0] == '#') return CAN_TEXT_ERR_FD;
    if (rest[0] == 'R' || rest[0] == 'r') return ParseRemote(rest + 1, msg);
    return ParseData(rest, msg);
}

std::string FormatCanSend(const CanMsg &msg) {
    std::string out;
    bool extended = (msg.flags & KORVEL_MSGFLAG_EXT) != 0;
    AppendHex(out, msg.id, extended ? 8 : 3);
    out += '#';
    uint8_t length = msg.length > 8 ? 8 : msg.length;
    if (msg.flags & KORVEL_MSGFLAG_RTR) {
        out += 'R';
        if (length > 0) out += (char)('0' + length);
        return out;
    }
    for (uint8_t i = 0; i < length; ++i)
        AppendHex(out, msg.data[i], 2);
    return out;
}

std::string FormatCandumpLine(const CanMsg &msg, const char *interfaceName,
                              const std::string &stamp) {
    std::string out = " " + stamp + " ";
    out += interfaceName;
    out += "  ";
    AppendHex(out, msg.id, (msg.flags & KORVEL_MSGFLAG_EXT) ? 8 : 3);
    uint8_t length = msg.length > 8 ? 8 : msg.length;
    out += "   [";
    out += (char)('0' + length);
    out += ']';
    if (msg.flags & KORVEL_MSGFLAG_RTR) return out + "  remote request";
    if (length > 0) out += ' ';
    for (uint8_t i = 0; i < length; ++i) {
        out += ' ';
        AppendHex(out, msg.data[i], 2);
    }
    return out;
}

std::string FormatCandumpLog(const CanLogRecord &record) {
    char stamp[48];
    std::snprintf(stamp, sizeof(stamp), "(%lld.%06u) ", (long long)record.seconds,
                  (unsigned)record.micros);
    return stamp + std::string(record.interfaceName) + ' ' + FormatCanSend(record.msg);
}

// "(seconds.micros)" with exactly six digits of microseconds, as candump writes it.
static const char *ParseLogStamp(const char *p, CanLogRecord *record) {
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p++ != '(') return nullptr;
    const char *digits = p;
    int64_t seconds = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (p - digits >= 18) return nullptr;
        seconds = seconds * 10 + (*p - '0');
    }
    if (p == digits || *p++ != '.') return nullptr;
    uint32_t micros = 0;
    for (int i = 0; i < 6; ++i, ++p) {
        if (*p < '0' || *p > '9') return nullptr;
        micros = micros * 10 + (uint32_t)(*p - '0');
    }
    if (*p++ != ')') return nullptr;
    record->seconds = seconds;
    record->micros = micros;
    return p;
}

int ParseCandumpLog(const char *line, CanLogRecord *record) {
    if (record == nullptr) return CAN_TEXT_ERR_EMPTY;
    std::memset(record, 0, sizeof(*record));
    if (line == nullptr) return CAN_TEXT_ERR_EMPTY;
    const char *p = ParseLogStamp(line, record);
    if (p == nullptr) return CAN_TEXT_ERR_TIMESTAMP;
    if (*p != ' ' && *p != '\t') return CAN_TEXT_ERR_INTERFACE;
    while (*p == ' ' || *p == '\t')
        ++p;
    size_t nameLength = std::strcspn(p, " \t\r\n");
    if (nameLength == 0 || nameLength >= sizeof(record->interfaceName))
        return CAN_TEXT_ERR_INTERFACE;
    std::memcpy(record->interfaceName, p, nameLength);
    p += nameLength;
    while (*p == ' ' || *p == '\t')
        ++p;
    std::string frame(p, std::strcspn(p, " \t\r\n"));
    return ParseCanSend(frame.c_str(), &record->msg);
}
