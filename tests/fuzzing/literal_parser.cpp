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

// Position of the ";" closing the first field, or npos for none or empty.
size_t FieldEnd(const std::string &chunk) {
    const size_t semi = chunk.find(';');
    return semi == 0 ? std::string::npos : semi;
}

// The token before the ";" as a C string: a zero byte ends it.
std::string TakeToken(const std::string &chunk, size_t semi) { return chunk.substr(0, semi); }

// 0 read, 1 save the rest, 2 malformed.
int ReadLetter(std::string *chunk, char set, char clear, uint8_t bit, CanMsg *record) {
    const size_t semi = FieldEnd(*chunk);
    if (semi == std::string::npos) return 1;
    const char c = (*chunk)[semi - 1];
    if (c == set)
        record->flags = static_cast<uint8_t>(record->flags | bit);
    else if (c == clear)
        record->flags = static_cast<uint8_t>(record->flags & ~bit);
    else
        return 2;
    chunk->erase(0, semi + 1);
    return 0;
}

int ReadHeader(std::string *chunk, CanMsg *record) {
    int r = ReadLetter(chunk, 'E', 'S', KORVEL_MSGFLAG_EXT, record);
    if (r == 0) r = ReadLetter(chunk, 'R', 'D', KORVEL_MSGFLAG_RTR, record);
    if (r != 0) return r;
    size_t semi = FieldEnd(*chunk);
    if (semi == std::string::npos) return 1;
    std::string token = TakeToken(*chunk, semi);
    if (!TokenToUInt32(&token[0], &record->id)) return 2;
    chunk->erase(0, semi + 1);
    semi = FieldEnd(*chunk);
    if (semi == std::string::npos) return 1;
    token = TakeToken(*chunk, semi);
    uint8_t length = 0;
    if (!TokenToByte(&token[0], &length) || length > 8) return 2;
    record->length = length;
    chunk->erase(0, semi + 1);
    return 0;
}

} // namespace

ProcessStatus LiteralParseCanFrame(std::string *chunk, std::string *pending, CanMsg *record) {
    chunk->insert(0, *pending);
    pending->clear();
    if (chunk->empty()) return PROCESS_ERR_NO_FRAME;
    if (chunk->find('#') == std::string::npos) return SaveRest(chunk, pending);
    const size_t start = chunk->find("$CAN");
    if (start == std::string::npos) return SaveRest(chunk, pending);
    chunk->erase(0, start + 5);
    const int header = ReadHeader(chunk, record);
    if (header != 0) return header == 1 ? SaveRest(chunk, pending) : PROCESS_ERR_NO_FRAME;
    for (uint8_t i = 0; i < record->length; ++i) {
        const size_t semi = FieldEnd(*chunk);
        if (semi == std::string::npos) return SaveRest(chunk, pending);
        std::string token = TakeToken(*chunk, semi);
        if (!TokenToByte(&token[0], &record->data[i])) return SaveRest(chunk, pending);
        chunk->erase(0, semi + 1);
    }
    const size_t hash = chunk->find('#');
    if (hash == std::string::npos) return SaveRest(chunk, pending);
    chunk->erase(0, hash + 1);
    if (*chunk == "\n") chunk->clear();
    return PROCESS_OK;
}
