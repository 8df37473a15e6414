// The books of one connection: every generated frame that korvel-gateway
// sent is either read by the application or explained by a rule.
#pragma once

#include "korvel32.h"

#include <cstdint>
#include <string>
#include <vector>

// Sums over many connections, in frames unless named otherwise.
struct LedgerTotals {
    uint64_t connections = 0;
    uint64_t sent = 0;
    uint64_t read = 0;
    uint64_t overrun = 0;          // lost while the receive buffer was full
    uint64_t malformed = 0;        // lost behind a malformed frame
    uint64_t inFlightReset = 0;    // still on the way when the gateway reset
    uint64_t inFlightShutdown = 0; // still on the way when the application shut down
    uint64_t unaccounted = 0;
    uint64_t corrupt = 0; // read frames with wrong content, order or number

    void Add(const LedgerTotals &other);
};

// How frames that never arrived behind the last one read are explained.
enum class TailRule { kNone, kReset, kShutdown };

class FrameLedger {
  public:
    // rxSize: the receive buffer size; batch: the most messages one read
    // takes; malformedEvery: the gateway's --malformed value, 0 for none.
    FrameLedger(uint32_t rxSize, uint32_t batch, uint64_t malformedEvery);

    // One message read. Generated frames carry their number in the data
    // (-D i, length 8) and its low 11 bits as identifier (-I i).
    void Read(const CanMsg &msg);
    // The application found the overrun bit set (and cleared it).
    void OverrunSeen() { m_overruns.push_back(m_read); }
    // The number of the frame expected next: one past the last frame read.
    uint64_t NextNumber() const { return m_next; }

    // Closes the books against the gateway's count of frames sent. Adds the
    // figures to *totals; a description of anything wrong goes to *problem.
    void Settle(uint64_t sent, TailRule tail, LedgerTotals *totals, std::string *problem);

  private:
    struct Gap {
        uint64_t readIndex; // index in the read stream of the frame behind the gap
        uint64_t first;     // number of the first frame missing
        uint64_t count;
    };
    bool ByMalformed(const Gap &gap) const;
    bool ByOverrun(const Gap &gap) const;

    uint32_t m_rxSize;
    uint32_t m_batch;
    uint64_t m_malformedEvery;
    uint64_t m_next = 0; // number of the frame expected next
    uint64_t m_read = 0;
    uint64_t m_corrupt = 0;
    std::vector<Gap> m_gaps;
    std::vector<uint64_t> m_overruns; // read counts at which the bit was seen
};
