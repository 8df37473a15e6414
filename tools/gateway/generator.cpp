// Identifier, length and data patterns of generated frames, and their pacing.
#include "generator.h"

#include <cmath>
#include <cstring>

FrameGenerator::FrameGenerator(const GeneratorOptions &options, uint32_t seed)
    : m_options(options), m_random(seed * 2654435761u + 1) {}

void FrameGenerator::Next(CanMsg *msg) {
    std::memset(msg, 0, sizeof(*msg));
    const GeneratorOptions &o = m_options;
    uint32_t idLimit = o.extended ? 0x1FFFFFFFu : 0x7FFu;
    uint64_t n = m_produced++;
    if (o.idMode == PatternMode::kFixed)
        msg->id = o.id & idLimit;
    else if (o.idMode == PatternMode::kIncrement)
        msg->id = (uint32_t)(n % ((uint64_t)idLimit + 1));
    else
        msg->id = Random() & idLimit;
    msg->flags =
        (uint8_t)((o.extended ? KORVEL_MSGFLAG_EXT : 0) | (o.remote ? KORVEL_MSGFLAG_RTR : 0));
    if (o.lengthMode == PatternMode::kFixed)
        msg->length = o.length;
    else if (o.lengthMode == PatternMode::kIncrement)
        msg->length = (uint8_t)(n % 9);
    else
        msg->length = (uint8_t)(Random() % 9);
    if (o.remote) return;
    if (o.dataMode == PatternMode::kFixed) {
        std::memcpy(msg->data, o.data, sizeof(msg->data));
    } else {
        for (int i = 0; i < 8; ++i)
            msg->data[i] =
                o.dataMode == PatternMode::kIncrement ? (uint8_t)(n >> (8 * i)) : (uint8_t)Random();
    }
    for (int i = msg->length; i < 8; ++i)
        msg->data[i] = 0;
}

// Frames of the whole run: the count, and when paced, the frames whose time
// falls inside the duration. A paced generator that fell behind still sends
// all of them; an unpaced one simply stops when the duration is over.
uint64_t FrameGenerator::Limit() const {
    const GeneratorOptions &o = m_options;
    uint64_t limit = o.count > 0 ? o.count : UINT64_MAX;
    if (o.duration > 0 && o.rate > 0) {
        uint64_t inDuration = (uint64_t)std::ceil(o.duration * o.rate - 1e-6);
        if (inDuration < limit) limit = inDuration;
    }
    return limit;
}

bool FrameGenerator::DurationOver(int64_t elapsedNs) const {
    return m_options.duration > 0 && (double)elapsedNs >= m_options.duration * 1e9;
}

uint64_t FrameGenerator::Due(int64_t elapsedNs) const {
    uint64_t limit = Limit();
    if (m_options.rate <= 0) return DurationOver(elapsedNs) ? m_produced : limit;
    // One frame is due at once, then one every 1/rate seconds.
    uint64_t paced = (uint64_t)((double)elapsedNs * m_options.rate / 1e9) + 1;
    return paced < limit ? paced : limit;
}

int64_t FrameGenerator::NextDueNs(int64_t elapsedNs) const {
    if (m_produced >= Limit()) return -1;
    if (m_options.rate > 0) return (int64_t)((double)m_produced * 1e9 / m_options.rate);
    return DurationOver(elapsedNs) ? -1 : 0;
}
