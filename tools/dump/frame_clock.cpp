// Message times for korvel-dump.
#include "frame_clock.h"

#include <chrono>

int64_t FrameClock::Place(uint32_t stamp, int64_t readMicros) {
    if (m_started) m_millis += (uint32_t)(stamp - m_lastStamp);
    m_lastStamp = stamp;
    int64_t offset = readMicros - m_millis * 1000;
    if (!m_started || offset < m_offset) m_offset = offset;
    int64_t time = m_millis * 1000 + m_offset;
    if (m_started && time < m_lastTime) time = m_lastTime;
    m_started = true;
    m_lastTime = time;
    return time;
}

int64_t WallClockMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
