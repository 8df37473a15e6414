#include "codec/frame_parser.h"

#include "codec/frame_format.h"
#include "codec/number_token.h"

#include <cstring>

namespace {

// How a step of reading a frame ends.
enum Step {
    STEP_OK,        // field read and consumed
    STEP_SAVE,      // frame incomplete: keep the rest for the next chunk
    STEP_MALFORMED, // frame broken, or nothing to read: keep nothing
};

// A token is converted from a copy of at most this many bytes (with its
// terminating zero); see CopyToken for longer tokens.
constexpr size_t TOKEN_SCRATCH_SIZE = 32;

// A decimal token too long for the scratch copy converts only when its
// leading zeros are dropped: more significant digits would not fit into 32
// bits anyway. Keeps the sign and at least one digit.
bool CopyLongDecimal(const char *token, size_t length, char (&scratch)[TOKEN_SCRATCH_SIZE]) {
    const size_t sign = (token[0] == '+' || token[0] == '-') ? 1 : 0;
    size_t first = sign;
    while (first + 1 < length && token[first] == '0')
        ++first;
    // A sign behind the zeros is no sign but a bad character.
    if (first > sign && (token[first] == '+' || token[first] == '-')) return false;
    const size_t digits = length - first;
    if (sign + digits >= TOKEN_SCRATCH_SIZE) return false;
    std::memcpy(scratch, token, sign);
    std::memcpy(scratch + sign, token + first, digits);
    scratch[sign + digits] = '\0';
    return true;
}

// Copies a token into scratch so that converting the copy gives the same
// result as converting the whole token; false when the token cannot convert
// at all. A zero byte ends the token, as it ends the text a converter reads.
// Of a long hex token only the prefix and the first 8 digits are ever read.
bool CopyToken(const char *token, size_t length, char (&scratch)[TOKEN_SCRATCH_SIZE]) {
    const void *zero = std::memchr(token, '\0', length);
    if (zero != nullptr) length = static_cast<size_t>(static_cast<const char *>(zero) - token);
    if (length >= TOKEN_SCRATCH_SIZE) {
        if (token[0] != '0' || (token[1] != 'x' && token[1] != 'X'))
            return CopyLongDecimal(token, length, scratch);
        length = 10;
    }
    std::memcpy(scratch, token, length);
    scratch[length] = '\0';
    return true;
}

// Values of the hex digits of either case; 0xFF for every other byte.
struct HexTable {
    uint8_t value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; ++c)
            value[c] = c >= '0' && c <= '9'   ? static_cast<uint8_t>(c - '0')
                       : c >= 'a' && c <= 'f' ? static_cast<uint8_t>(c - 'a' + 10)
                       : c >= 'A' && c <= 'F' ? static_cast<uint8_t>(c - 'A' + 10)
                                              : 0xFF;
    }
};
constexpr HexTable HEX_DIGITS;

// Converts a token of a 4- or 1-byte field through a scratch copy; false
// when it does not convert.
bool ConvertToken(const char *token, size_t length, uint32_t width, uint32_t *value) {
    char scratch[TOKEN_SCRATCH_SIZE];
    if (!CopyToken(token, length, scratch)) return false;
    if (width == 4) return TokenToUInt32(scratch, value) != 0;
    uint8_t byte = 0;
    if (!TokenToByte(scratch, &byte)) return false;
    *value = byte;
    return true;
}

// What is known of the content's first bytes when a pending fragment begins
// it: no start token begins, and no "#" and no zero byte is, before these.
struct Known {
    size_t noStartBefore = 0;
    size_t noHashBefore = 0;
    size_t noZeroBefore = 0;
};

// One receive call: reads the unconsumed bytes [m_pos, m_end) of a chunk.
// Every search runs from m_pos; each byte is looked at a bounded number of
// times, so the calls on one chunk take time linear in its size.
class FrameReader {
  public:
    FrameReader(std::string *chunk, size_t cursor, const Known &known, PendingFragment *pending)
        : m_chunk(chunk), m_pending(pending), m_text(chunk->data()), m_pos(cursor),
          m_end(chunk->size()), m_noStartBefore(known.noStartBefore),
          m_noHashBefore(known.noHashBefore > cursor ? known.noHashBefore : cursor),
          m_noZeroBefore(known.noZeroBefore) {}

    Step ReadFrame(CanMsg *record);
    // Keeps the unconsumed bytes in the pending fragment and empties the chunk.
    void SaveRest();
    size_t Position() const { return m_pos; }

  private:
    bool FindField(size_t *separator) const;
    size_t FindHash(size_t from);
    Step ReadLetter(char set, char clear, uint8_t flag, CanMsg *record);
    Step ReadToken(uint32_t width, uint32_t largest, uint32_t *value);
    bool ReadPlainHexToken(uint32_t width, uint32_t largest, uint32_t *value);
    bool ReadPlainHexByte(uint32_t largest, uint32_t *value);
    Step ReadOtherToken(uint32_t width, uint32_t largest, uint32_t *value);
    bool SkipToStartToken();
    Step ReadHeader(CanMsg *record);
    Step ReadDataAndEnd(CanMsg *record);

    std::string *m_chunk;
    PendingFragment *m_pending;
    const char *m_text;
    size_t m_pos;
    size_t m_end;
    size_t m_noStartBefore; // no start token begins in [m_pos, this)
    size_t m_noHashBefore;  // no "#" in [the first m_pos, this)
    size_t m_noZeroBefore;  // no zero byte in [0, this)
};

// Length of the start token "$CAN", and how many of its bytes the end of
// one chunk may hold for the next one to complete.
constexpr size_t START_TOKEN_LENGTH = 4;
constexpr size_t START_TOKEN_TAIL = START_TOKEN_LENGTH - 1;

// Finds the ";" that closes the field at m_pos; false when there is none or
// the field is empty. Fields are short, so a plain loop beats memchr.
bool FrameReader::FindField(size_t *separator) const {
    size_t at = m_pos;
    while (at < m_end && m_text[at] != ';')
        ++at;
    *separator = at;
    return at < m_end && at != m_pos;
}

// The first "#" at or behind `from`, or m_end. Notes when there is none
// from where the known part ends.
size_t FrameReader::FindHash(size_t from) {
    const bool extends = from <= m_noHashBefore;
    const size_t start = extends ? m_noHashBefore : from;
    const void *hash = std::memchr(m_text + start, '#', m_end - start);
    if (hash == nullptr && extends) m_noHashBefore = m_end;
    return hash == nullptr ? m_end : static_cast<size_t>(static_cast<const char *>(hash) - m_text);
}

// A format or kind field: only its last character counts.
Step FrameReader::ReadLetter(char set, char clear, uint8_t flag, CanMsg *record) {
    size_t separator = m_pos + 1; // the usual field of one letter
    const bool oneLetter = separator < m_end && m_text[separator] == ';' && m_text[m_pos] != ';';
    if (!oneLetter && !FindField(&separator)) return STEP_SAVE;
    const char letter = m_text[separator - 1];
    if (letter == set)
        record->flags = static_cast<uint8_t>(record->flags | flag);
    else if (letter == clear)
        record->flags = static_cast<uint8_t>(record->flags & ~flag);
    else
        return STEP_MALFORMED;
    m_pos = separator + 1;
    return STEP_OK;
}

// A number field of width 4 or 1 bytes. A token that does not convert, or
// whose value is above largest, stays unconsumed; the caller decides what
// that means for the frame.
Step FrameReader::ReadToken(uint32_t width, uint32_t largest, uint32_t *value) {
    const bool plain =
        width == 1 ? ReadPlainHexByte(largest, value) : ReadPlainHexToken(width, largest, value);
    return plain ? STEP_OK : ReadOtherToken(width, largest, value);
}

// Any token, through the general converters.
Step FrameReader::ReadOtherToken(uint32_t width, uint32_t largest, uint32_t *value) {
    size_t separator = 0;
    if (!FindField(&separator)) return STEP_SAVE;
    uint32_t result = 0;
    if (!ConvertToken(m_text + m_pos, separator - m_pos, width, &result) || result > largest)
        return STEP_MALFORMED;
    *value = result;
    m_pos = separator + 1;
    return STEP_OK;
}

// The usual token, "0x" and 1 to 2 * width hex digits up to the ";", read
// and consumed in one pass. False, with nothing consumed, for anything else,
// which then takes the general way.
bool FrameReader::ReadPlainHexToken(uint32_t width, uint32_t largest, uint32_t *value) {
    const size_t digits = m_pos + 2;
    if (digits >= m_end || m_text[m_pos] != '0' || (m_text[m_pos + 1] | 0x20) != 'x') return false;
    const size_t last = digits + 2 * width < m_end ? digits + 2 * width : m_end;
    uint32_t result = 0;
    size_t at = digits;
    for (; at < last; ++at) {
        const uint8_t digit = HEX_DIGITS.value[static_cast<uint8_t>(m_text[at])];
        if (digit == 0xFF) break;
        result = result * 16 + digit;
    }
    if (at == digits || at == m_end || m_text[at] != ';' || result > largest) return false;
    *value = result;
    m_pos = at + 1;
    return true;
}

// The same for the most frequent token, a byte "0xH;" or "0xHH;", without a
// loop: whether it has one digit or two is picked, not branched on.
bool FrameReader::ReadPlainHexByte(uint32_t largest, uint32_t *value) {
    if (m_end - m_pos < 5) return ReadPlainHexToken(1, largest, value);
    const unsigned char *token = reinterpret_cast<const unsigned char *>(m_text + m_pos);
    if (token[0] != '0' || (token[1] | 0x20) != 'x') return false;
    const uint32_t high = HEX_DIGITS.value[token[2]];
    const uint32_t low = HEX_DIGITS.value[token[3]];
    const bool twoDigits = low != 0xFF;
    const uint32_t result = twoDigits ? high * 16 + low : high;
    const size_t separator = twoDigits ? 4 : 3;
    if (high == 0xFF || token[separator] != ';' || result > largest) return false;
    *value = result;
    m_pos += separator + 1;
    return true;
}

// Drops everything before "$CAN", the token and the one character behind it.
// The search starts where an earlier one stopped, and notes where it stops:
// at the token, or in front of the last bytes that a following chunk could
// still complete to one.
bool FrameReader::SkipToStartToken() {
    size_t at = m_noStartBefore > m_pos ? m_noStartBefore : m_pos;
    for (; at + START_TOKEN_LENGTH <= m_end; ++at) {
        if (m_text[at] != '$') {
            const void *dollar = std::memchr(m_text + at, '$', m_end - at - START_TOKEN_TAIL);
            if (dollar == nullptr) {
                at = m_end - START_TOKEN_TAIL;
                break;
            }
            at = static_cast<size_t>(static_cast<const char *>(dollar) - m_text);
        }
        if (std::memcmp(m_text + at, "$CAN", START_TOKEN_LENGTH) == 0) {
            m_noStartBefore = at;
            m_pos = at + 5 < m_end ? at + 5 : m_end;
            return true;
        }
    }
    m_noStartBefore = at;
    return false;
}

// Start token, format, kind, identifier and length.
Step FrameReader::ReadHeader(CanMsg *record) {
    if (!SkipToStartToken()) return STEP_SAVE;
    Step step = ReadLetter('E', 'S', KORVEL_MSGFLAG_EXT, record);
    if (step == STEP_OK) step = ReadLetter('R', 'D', KORVEL_MSGFLAG_RTR, record);
    if (step == STEP_OK) step = ReadToken(4, 0xFFFFFFFF, &record->id);
    // More data bytes than a record holds make the frame malformed: the
    // application gets no shortened message.
    uint32_t length = 0;
    if (step == STEP_OK) step = ReadToken(1, CODEC_MAX_DATA_LENGTH, &length);
    if (step == STEP_OK) record->length = static_cast<uint8_t>(length);
    return step;
}

// length data tokens, whatever the kind, then everything up to the "#".
Step FrameReader::ReadDataAndEnd(CanMsg *record) {
    for (uint8_t i = 0; i < record->length; ++i) {
        uint32_t byte = 0;
        // A data token that does not convert keeps the rest, token included.
        if (ReadToken(1, 0xFF, &byte) != STEP_OK) return STEP_SAVE;
        record->data[i] = static_cast<uint8_t>(byte);
    }
    const size_t hash = m_pos < m_end && m_text[m_pos] == '#' ? m_pos : FindHash(m_pos);
    if (hash == m_end) return STEP_SAVE;
    m_pos = hash + 1;
    if (m_end - m_pos == 1 && m_text[m_pos] == '\n') m_pos = m_end;
    return STEP_OK;
}

// Decoding starts at once; only when it fails does it matter whether the
// content holds a "#" anywhere, even in front of the start token: without
// one, the whole content is kept. A decoded frame has found its "#".
Step FrameReader::ReadFrame(CanMsg *record) {
    if (m_pos == m_end) return STEP_MALFORMED; // nothing to read, nothing to keep
    const size_t begin = m_pos;
    Step step = ReadHeader(record);
    if (step == STEP_OK) step = ReadDataAndEnd(record);
    if (step == STEP_OK) return STEP_OK;
    if (FindHash(begin) == m_end) {
        m_pos = begin;
        return STEP_SAVE;
    }
    return step;
}

// Below this many bytes the rest is copied into the fragment; above it the
// chunk's buffer becomes the fragment's, so that a large rest is not copied.
constexpr size_t SMALL_REST = 4096;

// How much of a rest that begins at `from` and is `length` long a marker
// `before` covers, as a count from the rest's beginning.
size_t KnownPart(size_t before, size_t from, size_t length) {
    const size_t known = before > from ? before - from : 0;
    return known < length ? known : length;
}

// What is known to hold no start token or "#" stays known, less what is
// dropped in front and, for the start token, the last bytes, which new ones
// may complete to one.
void FrameReader::SaveRest() {
    size_t from = m_pos;
    size_t length = m_end - m_pos;
    const size_t unknown = m_noZeroBefore > from ? m_noZeroBefore : from;
    const void *zero = std::memchr(m_text + unknown, '\0', m_end - unknown);
    if (zero != nullptr)
        length = static_cast<size_t>(static_cast<const char *>(zero) - m_text) - from;
    if (length > CODEC_MAX_PENDING_FRAGMENT) {
        from += length - CODEC_MAX_PENDING_FRAGMENT;
        length = CODEC_MAX_PENDING_FRAGMENT;
    }
    const size_t mostSearched = length > START_TOKEN_TAIL ? length - START_TOKEN_TAIL : 0;
    const size_t searched = KnownPart(m_noStartBefore, from, length);
    m_pending->searched = searched < mostSearched ? searched : mostSearched;
    m_pending->hashless = KnownPart(m_noHashBefore, from, length);
    if (length < SMALL_REST) {
        m_pending->bytes.assign(m_text + from, length);
    } else {
        m_chunk->resize(from + length);
        m_chunk->erase(0, from);
        m_chunk->swap(m_pending->bytes);
    }
    m_chunk->clear();
    m_text = m_chunk->data();
    m_pos = m_end = 0;
}

// Puts the pending fragment in front of the chunk's content, by moving the
// shorter of the two: at most once per chunk, since the fragment is only
// filled by a call that ends the pass. Returns what the fragment knew of its
// bytes, which now begin the content.
Known JoinPendingFragment(std::string *chunk, size_t *cursor, PendingFragment *pending) {
    if (*cursor > chunk->size()) *cursor = chunk->size();
    if (pending->bytes.empty()) return Known();
    const Known known = {pending->searched, pending->hashless, pending->bytes.size()};
    if (pending->bytes.size() <= chunk->size() - *cursor) {
        chunk->replace(0, *cursor, pending->bytes);
    } else {
        pending->bytes.append(*chunk, *cursor, std::string::npos);
        chunk->swap(pending->bytes);
    }
    *cursor = 0;
    pending->bytes.clear();
    pending->searched = 0;
    pending->hashless = 0;
    return known;
}

} // namespace

ProcessStatus ParseCanFrame(std::string *chunk, size_t *cursor, PendingFragment *pending,
                            CanMsg *record, uint32_t timestamp) {
    if (chunk == nullptr || cursor == nullptr || pending == nullptr || record == nullptr)
        return PROCESS_ERR_NULL_POINTER;
    const Known known = JoinPendingFragment(chunk, cursor, pending);
    FrameReader reader(chunk, *cursor, known, pending);
    const Step step = reader.ReadFrame(record);
    if (step == STEP_SAVE) reader.SaveRest();
    *cursor = reader.Position();
    if (step != STEP_OK) return PROCESS_ERR_NO_FRAME;
    record->timestamp = timestamp;
    return PROCESS_OK;
}
