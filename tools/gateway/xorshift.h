// xorshift64: fast pseudo-random numbers whose sequence follows from a seed,
// so that a client's generated frames and faults can be repeated.
#pragma once

#include <cstdint>

class Xorshift {
  public:
    explicit Xorshift(uint64_t seed) : m_state(seed) {}
    uint32_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return (uint32_t)(m_state >> 16);
    }

  private:
    uint64_t m_state;
};
