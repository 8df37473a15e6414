// The gateway's text frames, "$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#", for the
// tools that play the gateway's part. Written independently of the library's
// codec so that each can be checked against the other.
#ifndef KORVEL_TOOLS_GATEWAY_FRAME_H
#define KORVEL_TOOLS_GATEWAY_FRAME_H

#include "korvel32.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Longest frame FormatGatewayFrame writes: 8-digit identifier, 8 data tokens.
constexpr size_t kGatewayFrameMax = 65;

// Writes the frame of msg to buf (at least kGatewayFrameMax bytes, no NUL
// added) and returns its length. Numbers are "0x" and lower-case hex without
// leading zeros. A length above 8 is written as 8. A remote frame carries one
// "0x0" token per length unit, because readers take exactly `length` tokens
// behind the length field whatever the kind of the frame.
size_t FormatGatewayFrame(const CanMsg &msg, char *buf);

// Appends the frame of msg to out.
void AppendGatewayFrame(const CanMsg &msg, std::string &out);

// Decodes the text of one frame, from "$CAN" up to and including '#'.
// Accepts "0x"/"0X" hex or plain decimal numbers, format "S"/"E", kind
// "D"/"R". A data frame must carry exactly `length` data tokens, a remote
// frame `length` tokens or none; length at most 8. Zeroes *msg first.
bool ParseGatewayFrame(const char *text, size_t size, CanMsg *msg);

// Cuts a TCP byte stream into frames. Bytes outside frames are skipped and
// counted; a frame that cannot be decoded, or a start token that is followed
// by another one or by more than kGatewayFrameLimit bytes without '#', is
// reported as malformed and skipped.
class GatewayFrameReader {
  public:
    static constexpr size_t kGatewayFrameLimit = 128;
    enum Result { kFrame, kMalformed, kNeedMore };

    // Appends received bytes.
    void Feed(const char *data, size_t size);
    // Takes the next frame off the buffered bytes into *msg.
    Result Next(CanMsg *msg);

    uint64_t GarbageBytes() const { return m_garbage; }

  private:
    void Compact();

    std::string m_buffer;
    size_t m_pos = 0;
    uint64_t m_garbage = 0;
};

#endif
