#include "literal_parser.h"

#include "base/process_status.h"
#include "codec/frame_parser.h"
#include "codec/number_token.h"

namespace {

ProcessStatus SaveRest(std::string *chunk, std::string *pending) {
    *pending = chunk->substr(0, chunk->find('\0'));
    if (pending->size() > CODEC_MAX_PENDING_FRAGMENT)
        pending->erase(0, pending->size() - CODEC_MAX_PENDING_FRAGMENT);
    chunk->clear();
    return PROCESS_ERR_NO_FRAME;
}

enum Field { kRead, kIncomplete, kMalformed };

// Hands the first field's token (up to its ";"; as a C string a zero byte
// ends it) to `read`, and removes the field when read takes it. A chunk
// without a ";" or with an empty field is incomplete.
template <typename Read> Field TakeField(std::string *chunk, Read read) {
    const size_t semi = chunk->find(';');
    if (semi == 0 || semi == std::string::npos) return kIncomplete;
    std::string token = chunk->substr(0, semi);
    if (!read(&token[0], token.back())) return kMalformed;
    chunk->erase(0, semi + 1);
    return kRead;
}

// A letter field: its last character sets or clears one flag bit.
auto Letter(CanMsg *record, char set, char clear, uint8_t bit) {
    return [=](char *, char last) {
        if (last != set && last != clear) return false;
        record->flags =
            static_cast<uint8_t>(last == set ? record->flags | bit : record->flags & ~bit);
        return true;
    };
}

} // namespace

ProcessStatus LiteralParseCanFrame(std::string *chunk, std::string *pending, CanMsg *record) {
    chunk->insert(0, *pending);
    pending->clear();
    if (chunk->empty()) return PROCESS_ERR_NO_FRAME;
    const size_t start = chunk->find("$CAN");
    if (chunk->find('#') == std::string::npos || start == std::string::npos)
        return SaveRest(chunk, pending);
    chunk->erase(0, start + 5);
    Field header = TakeField(chunk, Letter(record, 'E', 'S', KORVEL_MSGFLAG_EXT));
    if (header == kRead) header = TakeField(chunk, Letter(record, 'R', 'D', KORVEL_MSGFLAG_RTR));
    if (header == kRead)
        header = TakeField(chunk, [&](char *t, char) { return TokenToUInt32(t, &record->id); });
    if (header == kRead)
        header = TakeField(chunk, [&](char *t, char) {
            return TokenToByte(t, &record->length) && record->length <= 8;
        });
    if (header != kRead)
        return header == kIncomplete ? SaveRest(chunk, pending) : PROCESS_ERR_NO_FRAME;
    for (uint8_t i = 0; i < record->length; ++i)
        if (TakeField(chunk, [&](char *t, char) { return TokenToByte(t, &record->data[i]); }) !=
            kRead)
            return SaveRest(chunk, pending);
    const size_t hash = chunk->find('#');
    if (hash == std::string::npos) return SaveRest(chunk, pending);
    chunk->erase(0, hash + 1);
    if (*chunk == "\n") chunk->clear();
    return PROCESS_OK;
}
