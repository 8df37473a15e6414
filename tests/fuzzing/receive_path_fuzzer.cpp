// Fuzz target for the engine's receive path: the socket's receive queue, the
// receive step, the receive buffer, the CAN state word and the resets.
//
// One engine per input, with a socket that is never opened: chunks are put
// straight into its receive queue, as Poll would after a network read. The
// input is
//   byte 0      receive buffer size (0 to 15)
//   then        operations, each an opcode byte and its operands:
//     0 n b*n      queue a chunk of n bytes
//     1 n b*n k    queue the n bytes repeated, cut to (k % 80 + 1) KiB: a flood
//                  that drives the pending fragment to its bound
//     2            one receive step
//     3            one service cycle (transmit step, receive step, Poll)
//     4 n          n % 10 + 1 reads
//     5 lo hi      ResetCan with those 16 flag bits
//     6 b b b b    ResetCanState with that 32-bit mask
// A model runs beside the engine: a queue of chunks, the plain parser of
// literal_parser.cpp with its own pending fragment, a buffer that refuses a
// message when it holds more than its size, and the state bits. After every
// operation the engine must agree with it: the same step result, buffer
// count, state word and pending fragment (within its bound, without zero
// bytes); every message read must be the model's next one, with a time stamp
// taken during the step that stored it. Out-of-bounds accesses, undefined
// behaviour and leaks are left to the sanitizers.
#include "base/process_status.h"
#include "engine/process_data.h"
#include "engine/service_list.h"
#include "literal_parser.h"
#include "os/system.h"
#include "tests/support/process_data_probe.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

namespace {

using Probe = CProcessDataProbe;

// Together the chunks of one input stay below this, so that floods stay fast;
// it still lets the pending fragment reach its bound many times over.
constexpr size_t kMaxQueuedBytes = 1u << 20;

struct Input {
    const uint8_t *data;
    size_t size, pos = 0;
    bool AtEnd() const { return pos >= size; }
    uint8_t Byte() { return AtEnd() ? 0 : data[pos++]; }
    std::string Bytes(size_t n) {
        n = std::min(n, size - pos);
        pos += n;
        return std::string(reinterpret_cast<const char *>(data + pos - n), n);
    }
};

// A decoded message and the clock readings around the step that stored it.
struct Stored {
    CanMsg msg;
    uint32_t before, after;
};

// What the engine should hold, built from the plain parser and the buffer rules.
struct Model {
    uint16_t size = 0;
    std::deque<std::string> chunks;
    std::deque<Stored> rx;
    std::string pending; // within its bound and free of zero bytes, as the plain parser keeps it
    uint16_t state = 0;

    ProcessStatus ReceiveStep(uint32_t before, uint32_t after) {
        if (chunks.empty()) return PROCESS_ERR_EMPTY;
        std::string chunk = std::move(chunks.front());
        chunks.pop_front();
        for (CanMsg msg = {}; LiteralParseCanFrame(&chunk, &pending, &msg) == PROCESS_OK;
             msg = {}) {
            // A full buffer drops this message and the rest of the chunk.
            if (rx.size() > size) {
                state |= KORVEL_CANSTATE_RX_OVERRUN;
                return PROCESS_OK;
            }
            rx.push_back({msg, before, after});
            state &= static_cast<uint16_t>(~KORVEL_CANSTATE_RX_EMPTY);
        }
        return PROCESS_ERR_NO_FRAME;
    }
};

InitParams Params(uint16_t rxBufferSize) {
    InitParams p = {};
    p.size = sizeof p;
    p.protocol = KORVEL_PROTOCOL_TCP;
    p.rxBufferSize = rxBufferSize;
    return p;
}

// The process-wide service thread runs while an engine is served, and the
// destructor of an engine stops it when none is. One served engine, whose
// queues stay empty, keeps it running, so that an input costs no thread.
// At exit it leaves, before the service list itself is destroyed.
InitParams g_keeperParams = Params(0);
CProcessData *g_keeper = nullptr;

void KeepServiceThreadRunning() {
    if (g_keeper) return;
    g_keeper = new CProcessData(&g_keeperParams);
    Probe::AttachSocket(*g_keeper);
    JoinServiceList(g_keeper);
    std::atexit([] {
        LeaveServiceList(g_keeper);
        g_keeper->ReleaseSocket();
        delete g_keeper;
    });
}

class Run {
  public:
    explicit Run(uint16_t size) : m_params(Params(size)), m_engine(&m_params) {
        m_model.size = size;
        Probe::AttachSocket(m_engine);
    }
    ~Run() { m_engine.ReleaseSocket(); }

    void Step(Input &in) {
        const uint8_t op = in.Byte() % 7;
        if (op == 0) Queue(in.Bytes(in.Byte()));
        if (op == 1) Flood(in);
        if (op == 2 || op == 3) Receive(op == 3);
        if (op == 4) Read(in.Byte() % 10 + 1u);
        if (op == 5) {
            const uint8_t low = in.Byte();
            const uint16_t flags = static_cast<uint16_t>(low | in.Byte() << 8);
            Check(m_engine.ResetCan(flags) == PROCESS_OK, "ResetCan failed");
            if (flags & KORVEL_RESET_CANSTATE) m_model.state = 0;
            if (flags & KORVEL_RESET_RX_BUFFER) m_model.rx.clear();
            if (flags & KORVEL_RESET_SOCKET_RX) m_model.chunks.clear();
        }
        if (op == 6) {
            uint32_t mask = 0;
            for (int i = 0; i < 4; ++i)
                mask = mask << 8 | in.Byte();
            Check(m_engine.ResetCanState(mask) == PROCESS_OK, "ResetCanState failed");
            m_model.state &= static_cast<uint16_t>(~mask);
        }
        CheckAgreement();
    }

  private:
    void Queue(const std::string &bytes) {
        if (m_queuedBytes + bytes.size() > kMaxQueuedBytes) return;
        m_queuedBytes += bytes.size();
        Probe::QueueChunk(m_engine, bytes);
        m_model.chunks.push_back(bytes);
    }

    void Flood(Input &in) {
        std::string bytes = in.Bytes(in.Byte());
        const size_t target = (in.Byte() % 80 + 1u) * 1024;
        while (!bytes.empty() && bytes.size() < target)
            bytes += bytes;
        Queue(bytes.substr(0, target));
    }

    // A service cycle first finds the empty transmit buffer, and its Poll
    // reports the socket that was never opened as the pending error.
    void Receive(bool wholeCycle) {
        const uint32_t before = OsTimeGetTime();
        ProcessStatus result = PROCESS_OK;
        if (wholeCycle)
            m_engine.Service();
        else
            result = Probe::ReceiveStep(m_engine);
        const ProcessStatus expected = m_model.ReceiveStep(before, OsTimeGetTime());
        if (!wholeCycle) return Check(result == expected, "receive step result differs");
        m_model.state |= KORVEL_CANSTATE_TX_EMPTY;
        Check(m_engine.TakeLastError() == PROCESS_ERR_CONNECTION, "service cycle error");
    }

    void Read(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            CanMsg out;
            std::memset(&out, 0xA5, sizeof out);
            const ProcessStatus result = m_engine.ReadCanMsg(&out);
            if (m_model.rx.empty()) {
                Check(result == PROCESS_ERR_EMPTY, "read from an empty buffer succeeded");
                m_model.state |= KORVEL_CANSTATE_RX_EMPTY;
                continue;
            }
            Check(result == PROCESS_OK, "read failed on a filled buffer");
            const Stored expected = m_model.rx.front();
            m_model.rx.pop_front();
            // Clock readings are u32 and wrap: compare distances from `before`.
            Check(out.timestamp - expected.before <= expected.after - expected.before,
                  "time stamp outside its receive step");
            out.timestamp = 0;
            Check(std::memcmp(&out, &expected.msg, sizeof out) == 0,
                  "message read differs from the frame received");
        }
    }

    void CheckAgreement() {
        uint16_t state = 0;
        uint32_t count = 0;
        m_engine.GetCanState(&state);
        m_engine.GetRxBufferCount(&count);
        Check(state == m_model.state, "CAN state word differs from the model");
        Check(count == m_model.rx.size(), "receive buffer count differs from the model");
        Check(Probe::Pending(m_engine) == m_model.pending, "pending fragment differs");
    }

    InitParams m_params;
    CProcessData m_engine;
    Model m_model;
    size_t m_queuedBytes = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    KeepServiceThreadRunning();
    Input in{data, size};
    Run run(in.Byte() % 16);
    while (!in.AtEnd())
        run.Step(in);
    return 0;
}
