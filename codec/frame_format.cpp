#include "codec/frame_format.h"

#include <cstring>

namespace {

// Writes "0x", value in lower-case hex without leading zeros, and ";".
char *PutHexToken(char *p, uint32_t value) {
    static const char digits[] = "0123456789abcdef";
    *p++ = '0';
    *p++ = 'x';
    int shift = 28;
    while (shift > 0 && (value >> shift) == 0)
        shift -= 4;
    for (; shift >= 0; shift -= 4)
        *p++ = digits[(value >> shift) & 0xF];
    *p++ = ';';
    return p;
}

} // namespace

ProcessStatus FormatCanFrame(const CanMsg *record, uint16_t count, std::string *out,
                             uint16_t *outLength) {
    if (record == nullptr || out == nullptr || outLength == nullptr || count == 0)
        return PROCESS_ERR_NULL_POINTER;
    // A CanMsg holds 8 data bytes; a longer length would read past them.
    if (record->length > CODEC_MAX_DATA_LENGTH) return PROCESS_ERR_PROTOCOL;

    // 65 bytes at most; built on the stack and appended at once.
    char frame[72];
    char *p = frame;
    std::memcpy(p, "$CAN;S;D;", 9);
    if (record->flags & KORVEL_MSGFLAG_EXT) p[5] = 'E';
    if (record->flags & KORVEL_MSGFLAG_RTR) p[7] = 'R';
    p += 9;
    p = PutHexToken(p, record->id);
    p = PutHexToken(p, record->length);
    if (!(record->flags & KORVEL_MSGFLAG_RTR))
        for (uint8_t i = 0; i < record->length; ++i)
            p = PutHexToken(p, record->data[i]);
    *p++ = '#';

    out->append(frame, static_cast<size_t>(p - frame));
    *outLength = static_cast<uint16_t>(out->size());
    return PROCESS_OK;
}
