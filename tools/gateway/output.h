// The bytes waiting to go out to one client, with the faults that are put
// into them on the way.
#ifndef KORVEL_GATEWAY_OUTPUT_H
#define KORVEL_GATEWAY_OUTPUT_H

#include "xorshift.h"

#include "options.h"

#include "korvel32.h"

#include <cstdint>
#include <deque>
#include <string>

class FrameOutput {
  public:
    enum SendResult { kSent, kBlocked, kFailed };

    FrameOutput(const FaultOptions &faults, uint32_t seed);

    // Queues the frame of msg, with garbage in front, a malformed frame behind
    // and a cut inside as the faults ask.
    void Put(const CanMsg &msg);
    size_t Pending() const { return m_buffer.size() - m_pos; }
    // Queues the first 1 to length - 1 bytes of msg's frame; it counts as no frame.
    void PutPart(const CanMsg &msg);
    // Queues `bytes` of the endless stream of the given kind (not kOff).
    void PutEndless(EndlessMode mode, size_t bytes);

    // Sends what is queued until the socket takes no more. Each piece between
    // two cuts goes out in its own send call. kFailed leaves errno set.
    SendResult Send(int fd);

    uint64_t Frames() const { return m_frames; }
    uint64_t MalformedFrames() const { return m_malformed; }
    uint64_t Bytes() const { return m_sentBytes; }

  private:
    uint32_t Random() { return m_random.Next(); }
    void PutGarbage();
    void PutMalformed();
    void Compact();

    const FaultOptions &m_faults;
    Xorshift m_random;
    std::string m_buffer;
    size_t m_pos = 0;
    uint64_t m_base = 0;         // stream offset of m_buffer[0]
    std::deque<uint64_t> m_cuts; // stream offsets where a send call must end
    uint64_t m_frames = 0;
    uint64_t m_malformed = 0;
    uint64_t m_sentBytes = 0;
    bool m_endlessStarted = false;
};

#endif
