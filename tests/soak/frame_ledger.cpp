// Gap finding and the loss rules of the receive path.
#include "frame_ledger.h"

#include <algorithm>

namespace {

// A malformed frame costs at most what follows it in one parse: the rest of
// a network read of 65535 bytes behind a pending fragment of at most 64 KiB,
// and the frame cut at its end. A generated frame of length 8 has at least
// 50 bytes.
const uint64_t kMostFramesBehindMalformed = (65535 + 65536) / 50 + 2;

} // namespace

void LedgerTotals::Add(const LedgerTotals &o) {
    connections += o.connections;
    sent += o.sent;
    read += o.read;
    overrun += o.overrun;
    malformed += o.malformed;
    inFlightReset += o.inFlightReset;
    inFlightShutdown += o.inFlightShutdown;
    unaccounted += o.unaccounted;
    corrupt += o.corrupt;
}

FrameLedger::FrameLedger(uint32_t rxSize, uint32_t batch, uint64_t malformedEvery)
    : m_rxSize(rxSize), m_batch(batch), m_malformedEvery(malformedEvery) {}

void FrameLedger::Read(const CanMsg &msg) {
    uint64_t number = 0;
    for (int i = 7; i >= 0; --i)
        number = number << 8 | msg.data[i];
    ++m_read;
    if (msg.length != 8 || msg.flags != 0 || msg.id != (number & 0x7FF) || number < m_next) {
        ++m_corrupt;
        return;
    }
    if (number > m_next) m_gaps.push_back({m_read - 1, m_next, number - m_next});
    m_next = number + 1;
}

// The frame after a malformed one begins a loss that ends within one read.
bool FrameLedger::ByMalformed(const Gap &gap) const {
    return m_malformedEvery > 0 && gap.first >= m_malformedEvery &&
           gap.first % m_malformedEvery == 0 && gap.count <= kMostFramesBehindMalformed;
}

// A full buffer drops frames after the one read just before the gap was
// stored. At that moment the buffer held that frame and the rxSize before
// it, so the application had read at least (index - 1 - rxSize) frames, and
// it checks the bit after every read, the read behind the gap included.
bool FrameLedger::ByOverrun(const Gap &gap) const {
    int64_t earliest = (int64_t)gap.readIndex - 1 - (int64_t)m_rxSize;
    uint64_t latest = gap.readIndex + m_batch;
    return std::any_of(m_overruns.begin(), m_overruns.end(),
                       [&](uint64_t at) { return (int64_t)at >= earliest && at <= latest; });
}

void FrameLedger::Settle(uint64_t sent, TailRule tail, LedgerTotals *totals, std::string *problem) {
    LedgerTotals t;
    t.connections = 1;
    t.sent = sent;
    t.read = m_read - m_corrupt;
    t.corrupt = m_corrupt;
    if (m_next > sent) {
        t.corrupt += 1;
        *problem += " read frame " + std::to_string(m_next - 1) + " of " + std::to_string(sent);
    } else if (m_next < sent) {
        m_gaps.push_back({m_read, m_next, sent - m_next});
    }
    for (size_t i = 0; i < m_gaps.size(); ++i) {
        const Gap &gap = m_gaps[i];
        bool last = gap.readIndex == m_read;
        if (ByMalformed(gap))
            t.malformed += gap.count;
        else if (ByOverrun(gap))
            t.overrun += gap.count;
        else if (last && tail == TailRule::kReset)
            t.inFlightReset += gap.count;
        else if (last && tail == TailRule::kShutdown)
            t.inFlightShutdown += gap.count;
        else {
            t.unaccounted += gap.count;
            *problem += " frames " + std::to_string(gap.first) + ".." +
                        std::to_string(gap.first + gap.count - 1) + " missing";
        }
    }
    if (m_corrupt > 0) *problem += " " + std::to_string(m_corrupt) + " corrupt or out of order";
    totals->Add(t);
}
