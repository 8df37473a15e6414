// Identifier, length and data patterns of generated frames, and their pacing.
#include "generator.h"

#include <cstring>

FrameGenerator::FrameGenerator(const GeneratorOptions &options, uint32_t seed)
    : m_options(options), m_random(seed * 2654435761u + 1) {}

// xorshift64: fast, and each client's sequence follows from its seed.
uint32_t FrameGenerator::Random() {
    m_random ^= m_random << 13;
    m_random ^= m_random >> 7;
    m_random ^= m_random << 17;
    return (uint32_t)(m_random >> 16);
}

void FrameGenerator::Next(CanMsg *msg) {
    std::memset(msg, 0, sizeof(*msg));
    const GeneratorOptions &o = m_options;
    uint32_t idLimit = o.extended ? 0x1FFFFFFFu : 0x7FFu;
    uint64_t n = m_produced++;
    if (o.idMode == PatternMode::kFixed) msg->id = o.id & idLimit;
    else if (o.idMode == PatternMode::kIncrement) msg->id = (uint32_t)(n % ((uint64_t)idLimit + 1));
    else msg->id = Random() & idLimit;
    msg->flags = (uint8_t)((o.extended ? KORVEL_MSGFLAG_EXT : 0) | (o.remote ? KORVEL_MSGFLAG_RTR : 0));
    if (o.lengthMode == PatternMode::kFixed) msg->length = o.length;
    else if (o.lengthMode == PatternMode::kIncrement) msg->length = (uint8_t)(n % 9);
    else msg->length = (uint8_t)(Random() % 9);
    if (o.remote) return;
    if (o.dataMode == PatternMode::kFixed) {
        std::memcpy(msg->data, o.data, sizeof(msg->data));
    } else {
        for (int i = 0; i < 8; ++i)
            msg->data[i] = o.dataMode == PatternMode::kIncrement ? (uint8_t)(n >> (8 * i))
                                                                  : (uint8_t)Random();
    }
    for (int i = msg->length; i < 8; ++i) msg->data[i] = 0;
}

uint64_t FrameGenerator::Due(int64_t elapsedNs) const {
    const GeneratorOptions &o = m_options;
    uint64_t limit = o.count > 0 ? o.count : UINT64_MAX;
    if (o.duration > 0 && elapsedNs >= (int64_t)(o.duration * 1e9)) limit = m_produced < limit ? m_produced : limit;
    if (o.rate <= 0) return limit;
    // One frame is due at once, then one every 1/rate seconds.
    uint64_t paced = (uint64_t)((double)elapsedNs * o.rate / 1e9) + 1;
    return paced < limit ? paced : limit;
}

int64_t FrameGenerator::NextDueNs() const {
    const GeneratorOptions &o = m_options;
    if (o.count > 0 && m_produced >= o.count) return -1;
    if (o.rate <= 0) return 0;
    int64_t next = (int64_t)((double)m_produced * 1e9 / o.rate);
    if (o.duration > 0 && next >= (int64_t)(o.duration * 1e9)) return -1;
    return next;
}

bool FrameGenerator::Finished(int64_t elapsedNs) const {
    if (m_options.count > 0 && m_produced >= m_options.count) return true;
    return m_options.duration > 0 && elapsedNs >= (int64_t)(m_options.duration * 1e9);
}
