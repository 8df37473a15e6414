// Wall-clock times of received messages from their millisecond stamps.
#ifndef KORVEL_TOOLS_FRAME_CLOCK_H
#define KORVEL_TOOLS_FRAME_CLOCK_H

#include <cstdint>

// The library stamps each message with a 32-bit millisecond clock when it
// decodes it; only the differences of that clock mean something here. The
// clock is extended to 64 bits across its wrap and tied to the wall clock by
// the smallest difference seen between a stamp and the wall-clock time the
// message was read at, since a message is always read after it was stamped.
// Times never run backwards.
class FrameClock {
  public:
    // The wall-clock time, in microseconds since 1970, of a message with
    // `stamp` read at `readMicros`. Messages must come in the order received.
    int64_t Place(uint32_t stamp, int64_t readMicros);

  private:
    bool m_started = false;
    uint32_t m_lastStamp = 0;
    int64_t m_millis = 0; // extended stamp of the last message
    int64_t m_offset = 0; // wall-clock microseconds at extended stamp 0
    int64_t m_lastTime = 0;
};

// The wall clock in microseconds since 1970.
int64_t WallClockMicros();

#endif
