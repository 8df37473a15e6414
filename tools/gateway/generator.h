// The frames of the generator and when they are due.
#ifndef KORVEL_GATEWAY_GENERATOR_H
#define KORVEL_GATEWAY_GENERATOR_H

#include "xorshift.h"

#include "options.h"

#include "korvel32.h"

#include <cstdint>

class FrameGenerator {
  public:
    FrameGenerator(const GeneratorOptions &options, uint32_t seed);

    // Writes frame number Produced() into *msg and counts it.
    void Next(CanMsg *msg);
    uint64_t Produced() const { return m_produced; }

    // Total frames due elapsedNs after the start: the rate's share, limited
    // by count and duration. UINT64_MAX when unpaced and unlimited.
    uint64_t Due(int64_t elapsedNs) const;
    // Time after the start at which the next frame is due; -1 when no frame
    // will ever be due again, 0 when unpaced.
    int64_t NextDueNs(int64_t elapsedNs) const;

  private:
    uint64_t Limit() const;
    bool DurationOver(int64_t elapsedNs) const;
    uint32_t Random() { return m_random.Next(); }

    const GeneratorOptions &m_options;
    uint64_t m_produced = 0;
    Xorshift m_random;
};

#endif
