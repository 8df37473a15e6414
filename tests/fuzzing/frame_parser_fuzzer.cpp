// Fuzz target for the receive stream parser.
//
// The input is read twice:
//  1. As a byte stream cut into chunks at every 0xFF byte (which is dropped).
//     Each chunk gets a receive pass as the engine runs it. Whatever the
//     bytes, no record may get more than 8 data bytes or any field that the
//     parser must not write, and the pending fragment must stay within its
//     bound and hold no zero byte. A plain parser that removes each field
//     from the front of the chunk runs alongside: every call must give the
//     same result, chunk rest and pending fragment, and the same record when
//     it decodes a frame. An input that
//     begins with "!" has each chunk repeated to at least 20000 bytes, so
//     that the pending fragment reaches its bound.
//  2. As CAN messages (14 bytes each: identifier, flags, length, 8 data
//     bytes) that are written as frames into one well-formed stream. That
//     stream must decode into exactly those messages, both as one chunk and
//     cut into the chunk sizes that the input's bytes give.
// Out-of-bounds accesses are left to the sanitizers.
#include "base/process_status.h"
#include "codec/frame_format.h"
#include "codec/frame_parser.h"
#include "literal_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Check(bool condition, const char *what) {
    if (condition) return;
    std::fprintf(stderr, "frame parser invariant broken: %s\n", what);
    std::abort();
}

// Bytes that the parser must leave as the caller gave them (zeros).
void CheckUntouched(const CanMsg &record) {
    Check(record.length <= CODEC_MAX_DATA_LENGTH, "more than 8 data bytes");
    for (size_t i = record.length; i < sizeof record.data; ++i)
        Check(record.data[i] == 0, "data byte written behind the length");
    Check(record.reserved[0] == 0 && record.reserved[1] == 0, "reserved bytes written");
    Check((record.flags & ~3u) == 0, "flag bits other than 0 and 1 written");
}

void CheckCall(ProcessStatus status, const CanMsg &record, const std::string *pending) {
    CheckUntouched(record);
    Check(pending->size() <= CODEC_MAX_PENDING_FRAGMENT, "pending fragment above its bound");
    Check(pending->find('\0') == std::string::npos, "zero byte in the pending fragment");
    Check(status == PROCESS_OK || status == PROCESS_ERR_NO_FRAME, "unexpected status");
}

// One receive pass over a chunk; appends the decoded records to frames.
void ReceivePass(std::string chunk, PendingFragment *pending, std::vector<CanMsg> *frames) {
    size_t cursor = 0;
    for (;;) {
        CanMsg record = {};
        const ProcessStatus status = ParseCanFrame(&chunk, &cursor, pending, &record, 0);
        CheckCall(status, record, &pending->bytes);
        if (status != PROCESS_OK) return;
        frames->push_back(record);
    }
}

// The same pass with the plain parser alongside, compared call by call.
void ComparedReceivePass(const std::string &bytes, PendingFragment *pending,
                         std::string *literalPending) {
    std::string chunk = bytes, literalChunk = bytes;
    size_t cursor = 0;
    for (;;) {
        CanMsg record = {}, literal = {};
        const ProcessStatus status = ParseCanFrame(&chunk, &cursor, pending, &record, 0);
        const ProcessStatus literalStatus =
            LiteralParseCanFrame(&literalChunk, literalPending, &literal);
        CheckCall(status, record, &pending->bytes);
        record.timestamp = 0;
        Check(status == literalStatus, "result differs from the plain parser");
        // Without a frame the record is discarded, whatever it holds.
        Check(status != PROCESS_OK || std::memcmp(&record, &literal, sizeof record) == 0,
              "record differs from the plain parser");
        Check(chunk.compare(cursor, std::string::npos, literalChunk) == 0, "chunk rest differs");
        Check(pending->bytes == *literalPending, "pending fragment differs from the plain parser");
        if (status != PROCESS_OK) return;
    }
}

void ParseArbitraryChunks(const uint8_t *data, size_t size) {
    const bool flood = size > 0 && data[0] == '!';
    PendingFragment pending;
    std::string literalPending;
    size_t begin = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0xFF) continue;
        std::string chunk(data + begin, data + i);
        while (flood && !chunk.empty() && chunk.size() < 20000)
            chunk += chunk;
        if (!chunk.empty()) ComparedReceivePass(chunk, &pending, &literalPending);
        begin = i + 1;
    }
}

// Messages that survive a round trip: the reader expects length data tokens
// even in a remote frame, which the writer sends without any.
std::vector<CanMsg> MessagesFrom(const uint8_t *data, size_t size) {
    std::vector<CanMsg> messages;
    for (; size >= 14; data += 14, size -= 14) {
        CanMsg m = {};
        std::memcpy(&m.id, data, 4);
        m.flags = data[4] & 3;
        m.length = (m.flags & KORVEL_MSGFLAG_RTR) ? 0 : data[5] % 9;
        std::memcpy(m.data, data + 6, m.length);
        messages.push_back(m);
    }
    return messages;
}

bool SameMessages(const std::vector<CanMsg> &a, const std::vector<CanMsg> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].id != b[i].id || a[i].flags != b[i].flags || a[i].length != b[i].length ||
            std::memcmp(a[i].data, b[i].data, sizeof a[i].data) != 0)
            return false;
    return true;
}

void RoundTripWellFormedStream(const uint8_t *data, size_t size) {
    const std::vector<CanMsg> messages = MessagesFrom(data, size);
    std::string stream;
    uint16_t length = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        Check(FormatCanFrame(&messages[i], 1, &stream, &length) == PROCESS_OK, "format failed");
        if (data[i * 14 + 4] & 0x80) stream += '\n'; // the line feed some gateways add
    }
    PendingFragment pending;
    std::vector<CanMsg> whole, cut;
    ReceivePass(stream, &pending, &whole);
    Check(SameMessages(messages, whole), "stream in one chunk decoded differently");

    pending = PendingFragment();
    for (size_t at = 0, i = 0; at < stream.size(); ++i) {
        const size_t n = size == 0 ? stream.size() : 1 + data[i % size] % 61;
        ReceivePass(stream.substr(at, n), &pending, &cut);
        at += n;
    }
    Check(SameMessages(messages, cut), "stream cut into chunks decoded differently");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ParseArbitraryChunks(data, size);
    RoundTripWellFormedStream(data, size);
    return 0;
}
