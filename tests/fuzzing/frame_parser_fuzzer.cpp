// Fuzz target for the receive stream parser.
//
// The input is read twice:
//  1. As a byte stream cut into chunks at every 0xFF byte (which is dropped).
//     Each chunk gets a receive pass as the engine runs it. Whatever the
//     bytes, no record may get more than 8 data bytes or any field that the
//     parser must not write. A plain parser that removes each field from the
//     front of the chunk runs alongside: every call must give the same
//     result, chunk rest and pending fragment (which the plain parser keeps
//     within its bound and free of zero bytes), and the same record when it
//     decodes a frame. An input that begins with "!" has each chunk repeated
//     to at least 20000 bytes, so that the pending fragment reaches its bound.
//  2. As CAN messages (14 bytes each: identifier, flags, length, 8 data
//     bytes) that are written as frames into one well-formed stream. That
//     stream must decode into exactly those messages, both as one chunk and
//     cut into the chunk sizes that the input's bytes give, with the plain
//     parser alongside again.
// Out-of-bounds accesses are left to the sanitizers.
#include "base/process_status.h"
#include "codec/frame_format.h"
#include "codec/frame_parser.h"
#include "literal_parser.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Both parsers' fragments pending between the chunks of one stream.
struct Pending {
    PendingFragment parser;
    std::string literal;
};

// One receive pass over a chunk, compared call by call with the plain
// parser; appends the decoded records to frames.
void ReceivePass(const std::string &bytes, Pending *pending, std::vector<CanMsg> *frames) {
    std::string chunk = bytes, literalChunk = bytes;
    size_t cursor = 0;
    for (;;) {
        CanMsg record = {}, literal = {};
        const ProcessStatus status = ParseCanFrame(&chunk, &cursor, &pending->parser, &record, 0);
        Check(LiteralParseCanFrame(&literalChunk, &pending->literal, &literal) == status,
              "result differs from the plain parser");
        // The parser leaves these bytes as the caller gave them (zeros).
        Check(record.length <= CODEC_MAX_DATA_LENGTH, "more than 8 data bytes");
        for (size_t i = record.length; i < sizeof record.data; ++i)
            Check(record.data[i] == 0, "data byte written behind the length");
        Check(record.reserved[0] == 0 && record.reserved[1] == 0, "reserved bytes written");
        Check((record.flags & ~3u) == 0, "flag bits other than 0 and 1 written");
        Check(chunk.compare(cursor, std::string::npos, literalChunk) == 0, "chunk rest differs");
        Check(pending->parser.bytes == pending->literal, "pending fragment differs");
        // Without a frame the record is discarded, whatever it holds.
        if (status != PROCESS_OK) return;
        Check(std::memcmp(&record, &literal, sizeof record) == 0, "record differs");
        frames->push_back(record);
    }
}

void ParseArbitraryChunks(const uint8_t *data, size_t size) {
    const bool flood = size > 0 && data[0] == '!';
    Pending pending;
    std::vector<CanMsg> frames;
    for (size_t i = 0, begin = 0; i <= size; ++i) {
        if (i < size && data[i] != 0xFF) continue;
        std::string chunk(data + begin, data + i);
        while (flood && !chunk.empty() && chunk.size() < 20000)
            chunk += chunk;
        if (!chunk.empty()) ReceivePass(chunk, &pending, &frames);
        begin = i + 1;
    }
}

// Messages that survive a round trip: the reader expects length data tokens
// even in a remote frame, which the writer sends without any. The parser
// stamps them with the time 0 that ReceivePass gives it.
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

bool Same(const std::vector<CanMsg> &a, const std::vector<CanMsg> &b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const CanMsg &x, const CanMsg &y) {
        return std::memcmp(&x, &y, sizeof x) == 0;
    });
}

void RoundTripWellFormedStream(const uint8_t *data, size_t size) {
    const std::vector<CanMsg> messages = MessagesFrom(data, size);
    std::string stream;
    uint16_t length = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        Check(FormatCanFrame(&messages[i], 1, &stream, &length) == PROCESS_OK, "format failed");
        if (data[i * 14 + 4] & 0x80) stream += '\n'; // the line feed some gateways add
    }
    Pending whole, cut;
    std::vector<CanMsg> fromWhole, fromCut;
    ReceivePass(stream, &whole, &fromWhole);
    Check(Same(messages, fromWhole), "stream in one chunk decoded differently");
    for (size_t at = 0, i = 0; at < stream.size(); ++i) {
        const size_t n = size == 0 ? stream.size() : 1 + data[i % size] % 61;
        ReceivePass(stream.substr(at, n), &cut, &fromCut);
        at += n;
    }
    Check(Same(messages, fromCut), "stream cut into chunks decoded differently");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ParseArbitraryChunks(data, size);
    RoundTripWellFormedStream(data, size);
    return 0;
}
