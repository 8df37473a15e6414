// Writer, decoder and stream reader of the gateway's text frames.
#include "gateway_frame.h"

#include <cstring>

namespace {

const char kHexLower[] = "0123456789abcdef";
const char kStart[] = "$CAN";

char *PutNumber(char *p, uint32_t value) {
    *p++ = '0';
    *p++ = 'x';
    int shift = 28;
    while (shift > 0 && ((value >> shift) & 15) == 0)
        shift -= 4;
    for (; shift >= 0; shift -= 4)
        *p++ = kHexLower[(value >> shift) & 15];
    *p++ = ';';
    return p;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One number token [p, end): "0x" with 1 to maxDigits hex digits, or decimal.
bool ParseNumber(const char *p, const char *end, int maxDigits, uint32_t limit, uint32_t *value) {
    uint64_t result = 0;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        if (end - p - 2 > maxDigits) return false;
        for (p += 2; p < end; ++p) {
            if (HexValue(*p) < 0) return false;
            result = result * 16 + (uint64_t)HexValue(*p);
        }
    } else {
        if (p == end || end - p > 10) return false;
        for (; p < end; ++p) {
            if (*p < '0' || *p > '9') return false;
            result = result * 10 + (uint64_t)(*p - '0');
        }
    }
    if (result > limit) return false;
    *value = (uint32_t)result;
    return true;
}

// Splits "$CAN;f1;f2;...;#" into fields; returns the number found or -1.
int SplitFields(const char *text, size_t size, const char *fields[], const char *ends[],
                int maxFields) {
    if (size < 6 || std::memcmp(text, "$CAN;", 5) != 0 || text[size - 1] != '#') return -1;
    const char *p = text + 5;
    const char *last = text + size - 1;
    int n = 0;
    while (p < last) {
        const char *semi = static_cast<const char *>(std::memchr(p, ';', (size_t)(last - p)));
        if (semi == nullptr || n == maxFields) return -1;
        fields[n] = p;
        ends[n++] = semi;
        p = semi + 1;
    }
    return n;
}

} // namespace

size_t FormatGatewayFrame(const CanMsg &msg, char *buf) {
    char *p = buf;
    std::memcpy(p, "$CAN;S;D;", 9);
    if (msg.flags & KORVEL_MSGFLAG_EXT) p[5] = 'E';
    if (msg.flags & KORVEL_MSGFLAG_RTR) p[7] = 'R';
    p = PutNumber(p + 9, msg.id);
    uint8_t length = msg.length > 8 ? 8 : msg.length;
    p = PutNumber(p, length);
    bool remote = (msg.flags & KORVEL_MSGFLAG_RTR) != 0;
    for (uint8_t i = 0; i < length; ++i)
        p = PutNumber(p, remote ? 0 : msg.data[i]);
    *p++ = '#';
    return (size_t)(p - buf);
}

void AppendGatewayFrame(const CanMsg &msg, std::string &out) {
    char buf[kGatewayFrameMax];
    out.append(buf, FormatGatewayFrame(msg, buf));
}

bool ParseGatewayFrame(const char *text, size_t size, CanMsg *msg) {
    std::memset(msg, 0, sizeof(*msg));
    const char *fields[12];
    const char *ends[12];
    int n = SplitFields(text, size, fields, ends, 12);
    if (n < 4 || ends[0] - fields[0] != 1 || ends[1] - fields[1] != 1) return false;
    if (*fields[0] == 'E')
        msg->flags |= KORVEL_MSGFLAG_EXT;
    else if (*fields[0] != 'S')
        return false;
    if (*fields[1] == 'R')
        msg->flags |= KORVEL_MSGFLAG_RTR;
    else if (*fields[1] != 'D')
        return false;
    uint32_t length = 0;
    if (!ParseNumber(fields[2], ends[2], 8, 0xFFFFFFFFu, &msg->id) ||
        !ParseNumber(fields[3], ends[3], 2, 8, &length))
        return false;
    msg->length = (uint8_t)length;
    int tokens = n - 4;
    bool remote = (msg->flags & KORVEL_MSGFLAG_RTR) != 0;
    if (tokens != (int)length && !(remote && tokens == 0)) return false;
    for (int i = 0; i < tokens; ++i) {
        uint32_t byte = 0;
        if (!ParseNumber(fields[4 + i], ends[4 + i], 2, 0xFF, &byte)) return false;
        if (!remote) msg->data[i] = (uint8_t)byte;
    }
    return true;
}

void GatewayFrameReader::Feed(const char *data, size_t size) {
    Compact();
    m_buffer.append(data, size);
}

void GatewayFrameReader::Compact() {
    if (m_pos == 0) return;
    m_buffer.erase(0, m_pos);
    m_pos = 0;
}

GatewayFrameReader::Result GatewayFrameReader::Next(CanMsg *msg) {
    const char *base = m_buffer.data();
    size_t size = m_buffer.size();
    size_t start = m_buffer.find(kStart, m_pos, 4);
    if (start == std::string::npos) {
        // Keep a tail that may be the beginning of a start token.
        size_t keep = size - m_pos < 3 ? size - m_pos : 3;
        m_garbage += size - m_pos - keep;
        m_pos = size - keep;
        return kNeedMore;
    }
    m_garbage += start - m_pos;
    m_pos = start;
    size_t hash = m_buffer.find('#', start);
    size_t next = m_buffer.find(kStart, start + 4, 4);
    if (next != std::string::npos && (hash == std::string::npos || next < hash)) {
        m_pos = next; // a start token without its end: the frame was cut off
        return kMalformed;
    }
    if (hash == std::string::npos) {
        if (size - start <= kGatewayFrameLimit) return kNeedMore;
        m_pos = start + 4;
        return kMalformed;
    }
    m_pos = hash + 1;
    return ParseGatewayFrame(base + start, hash + 1 - start, msg) ? kFrame : kMalformed;
}
