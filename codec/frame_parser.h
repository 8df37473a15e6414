// The receive stream parser: cuts the bytes that the gateway sends into CAN
// messages (frame grammar in codec/frame_format.h).
//
// The engine owns two byte strings: the chunk of one socket read, and the
// pending fragment that carries an unfinished frame from one chunk to the
// next. The unconsumed content of a chunk is chunk->substr(*cursor); each
// call consumes from the front by moving the cursor, so one chunk is parsed
// in linear time. A receive pass handles one chunk:
//
//   size_t cursor = 0;
//   for (;;) {
//       CanMsg record = {};
//       if (ParseCanFrame(chunk, &cursor, &m_pendingFragment, &record, now) != PROCESS_OK)
//           break;                    // the rest of the chunk is discarded
//       store record;
//   }
//
// Recovery, in short:
//   - Bytes in front of "$CAN" are dropped.
//   - Data without any "#", a frame cut short, and a data token that does
//     not convert: the rest of the content is kept in the pending fragment
//     and parsed in front of the next chunk (so a whole frame kept there
//     is decoded when the next chunk arrives, not before).
//   - A format letter other than "E"/"S", a kind letter other than "R"/"D",
//     an identifier or length that does not convert, and a length above 8:
//     the frame is malformed, nothing is kept, and the caller discards the
//     rest of the chunk.
//   - A single line feed left behind a frame is consumed with it.
#pragma once

#include "base/process_status.h"
#include "korvel32.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The pending fragment never holds more than this many bytes. When more is
// left over, the oldest bytes are dropped and the newest kept, so that the
// beginning of a frame that is still arriving survives a flood of bytes that
// never form a frame.
constexpr size_t CODEC_MAX_PENDING_FRAGMENT = 65536;

// The unconsumed rest of earlier chunks, which the next chunk continues.
// Only the parser changes it. It also remembers how far the rest has been
// searched for a start token and for an end mark, so that a peer that
// trickles bytes which never form a frame costs time for the new bytes only,
// not for the whole rest again. The bytes never hold a zero byte.
struct PendingFragment {
    std::string bytes;
    size_t searched = 0; // no start token begins in bytes[0, searched)
    size_t hashless = 0; // no "#" in bytes[0, hashless)
};

// Takes at most one frame off the front of the chunk's content and decodes
// it into *record, which the caller fills with zeros. First the pending
// fragment is put in front of the content and emptied. The caller reads the
// clock: a caller that decodes a burst of frames stamps them all from one
// reading.
// Returns
//   PROCESS_OK                one frame decoded into the identifier, flag
//                             bits 0 and 1, length, data[0..length-1] and
//                             timestamp (the given one) of *record; what
//                             followed the frame is still in the chunk;
//   PROCESS_ERR_NO_FRAME      no frame decoded: no data, an incomplete or a
//                             malformed frame; *record is to be discarded;
//   PROCESS_ERR_NULL_POINTER  an argument is null; nothing was changed.
// A cursor beyond the end of the chunk counts as an empty content. The
// chunk's bytes before the cursor may be overwritten.
ProcessStatus ParseCanFrame(std::string *chunk, size_t *cursor, PendingFragment *pending,
                            CanMsg *record, uint32_t timestamp);
