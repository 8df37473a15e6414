// The life of one soak connection.
#include "session.h"

#include "korvel32.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

int64_t SoakNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

const int kWaitMs = 20000; // every wait for the library or the gateway ends by then
const int kQuietMs = 2000; // no new frame for this long: nothing more is coming

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The largest value of a "min default max" line of /proc/sys/net/ipv4.
uint64_t TcpBufferMax(const char *name) {
    std::ifstream file(std::string("/proc/sys/net/ipv4/") + name);
    uint64_t min = 0, def = 0, max = 0;
    file >> min >> def >> max;
    return max;
}

// Messages that a loopback connection whose peer never reads can take in:
// both ends' largest socket buffers, twice for the kernel's bookkeeping, in
// the soak's shortest frames ("$CAN;S;D;0x100;0x2;0x0;0x0;#").
uint64_t LoopbackCapacityMessages() {
    const uint64_t kShortestFrameBytes = 28;
    return 2 * (TcpBufferMax("tcp_wmem") + TcpBufferMax("tcp_rmem")) / kShortestFrameBytes;
}

class Session {
  public:
    Session(const SessionPlan &plan, CallClock *clock, SessionResult *result)
        : m_plan(plan), m_sc(*plan.scenario), m_clock(clock), m_result(result),
          m_ledger(plan.rxSize, plan.batch, plan.scenario->malformedEvery) {}

    void Run();
    void OnEvent(uint32_t code);

  private:
    template <typename Call> uint32_t Timed(const char *name, Call call);
    bool Open();
    void RunRefused();
    void Active();
    void Flood();
    void WriteUntilSendFails();
    void End();
    void Shutdown();
    void Settle();
    uint32_t ReadSome(bool fromCallback);
    void Write(int count);
    uint32_t State();
    bool WaitFor(int timeoutMs, bool read, const std::function<bool()> &done);
    void Drain();
    void Note(uint32_t status);
    void Problem(const std::string &text) { m_result->problem += " " + text + ";"; }
    void CheckStatuses();

    const SessionPlan &m_plan;
    const Scenario &m_sc;
    CallClock *m_clock;
    SessionResult *m_result;
    InitParams m_params{};
    int32_t m_n = 0;
    std::mutex m_bookLock; // the ledger, the statuses; held across each read
    FrameLedger m_ledger;
    std::map<uint32_t, uint64_t> m_statuses; // pending errors and other unusual results
    int64_t m_lastFrameMs = 0;
    std::atomic<bool> m_paused{false};
    std::atomic<int> m_events[5] = {};
    uint32_t m_writeId = 0;
};

std::atomic<Session *> g_sessions[kMaxWorkers];

void KORVEL_CALL SessionEvent(int32_t, uint32_t code, uint32_t slot) {
    if (slot >= kMaxWorkers) return;
    if (Session *s = g_sessions[slot].load()) s->OnEvent(code);
}

template <typename Call> uint32_t Session::Timed(const char *name, Call call) {
    m_clock->name = name;
    m_clock->sinceMs = SoakNowMs();
    uint32_t r = call();
    m_clock->sinceMs = 0;
    return r;
}

void Session::OnEvent(uint32_t code) {
    if (code < 5) ++m_events[code];
    if (code != EVENT_MSG_RECEIVED || m_paused) return;
    while (ReadSome(true) > 0) {
    }
}

// Callers hold the book lock.
void Session::Note(uint32_t status) { ++m_statuses[status]; }

// One read of up to `batch` messages, then the overrun check. The book lock
// keeps the callback's and the worker's reads in the order of the library.
uint32_t Session::ReadSome(bool fromCallback) {
    std::lock_guard<std::mutex> lock(m_bookLock);
    CanMsg msgs[64];
    uint32_t count = 0;
    uint32_t r = KORVEL_ReadCanMsg(m_n, msgs, m_plan.batch, &count);
    // 3: the callback raced with the shutdown of its instance.
    if (r != KORVEL_OK && r != KORVEL_ERR_NO_MESSAGE && !(fromCallback && r == 3)) {
        Note(r);
        // A socket error is latched again by every service cycle; the call
        // right behind the one that took it reads.
        r = KORVEL_ReadCanMsg(m_n, msgs, m_plan.batch, &count);
    }
    for (uint32_t i = 0; i < count; ++i)
        m_ledger.Read(msgs[i]);
    if (count > 0) m_lastFrameMs = SoakNowMs();
    uint16_t state = 0;
    r = KORVEL_GetCanState(m_n, &state);
    if (r == KORVEL_OK && (state & KORVEL_CANSTATE_RX_OVERRUN)) {
        m_ledger.OverrunSeen();
        r = KORVEL_ResetCanState(m_n, KORVEL_CANSTATE_RX_OVERRUN);
    }
    if (r != KORVEL_OK && !(fromCallback && r == 3)) Note(r);
    return count;
}

void Session::Write(int count) {
    CanMsg msgs[4] = {};
    for (int i = 0; i < count; ++i) {
        msgs[i].id = 0x100 + (m_writeId++ & 0xFF);
        msgs[i].length = 2;
        msgs[i].data[0] = (uint8_t)m_writeId;
    }
    uint32_t written = 0;
    uint32_t r = KORVEL_WriteCanMsg(m_n, msgs, (uint32_t)count, &written);
    if (r == KORVEL_OK || r == KORVEL_ERR_TX_BUFFER_FULL) {
        m_result->written += written;
    } else {
        std::lock_guard<std::mutex> lock(m_bookLock);
        Note(r);
    }
}

// The connection state; a pending error is noted and asked again. A lasting
// socket error is latched anew by every service cycle, so the question is
// asked until a call falls between two cycles, however slow the process.
uint32_t Session::State() {
    uint32_t state = 0xFFFF;
    int64_t end = SoakNowMs() + kWaitMs;
    for (;;) {
        uint32_t r = KORVEL_GetConnectionState(m_n, &state);
        if (r == KORVEL_OK || SoakNowMs() > end) return state;
        std::lock_guard<std::mutex> lock(m_bookLock);
        Note(r);
    }
}

// Polls `done` until it holds; in polling mode the worker reads meanwhile.
bool Session::WaitFor(int timeoutMs, bool read, const std::function<bool()> &done) {
    int64_t end = SoakNowMs() + timeoutMs;
    while (!done()) {
        if (SoakNowMs() > end) return false;
        if (!read || ReadSome(false) == 0) Pause(2);
    }
    return true;
}

void Session::Run() {
    g_sessions[m_plan.slot] = this;
    if (m_sc.end == PeerEnd::kRefused) {
        RunRefused();
    } else if (Open()) {
        Active();
        End();
        Shutdown();
        Settle();
    }
    g_sessions[m_plan.slot] = nullptr;
}

bool Session::Open() {
    m_params.size = sizeof(InitParams);
    std::strcpy(m_params.ipAddress, "127.0.0.1");
    m_params.port = m_plan.port;
    m_params.protocol = KORVEL_PROTOCOL_TCP;
    m_params.txBufferSize = 100;
    m_params.rxBufferSize = m_plan.rxSize;
    m_params.connectTimeout = kWaitMs;
    m_params.shutdownTimeout = 10000;
    uint32_t r = Timed("KORVEL_Initialize", [&] {
        return KORVEL_Initialize(&m_n, &m_params, m_plan.callback ? SessionEvent : nullptr,
                                 m_plan.slot);
    });
    if (r != KORVEL_OK) {
        Problem("KORVEL_Initialize returned " + std::to_string(r));
        m_result->gatewayLost = true; // a connection may or may not have come about
        return false;
    }
    if (m_plan.callback && !WaitFor(kWaitMs, false, [&] { return m_events[EVENT_CONNECTED] > 0; }))
        Problem("no EVENT_CONNECTED");
    // A peer that closes at once may have done so already.
    uint32_t state = m_plan.callback ? KORVEL_CONN_CONNECTED : State();
    if (state != KORVEL_CONN_CONNECTED &&
        !(m_sc.end == PeerEnd::kCloses &&
          (state == KORVEL_CONN_CLOSED_BY_PEER || state == KORVEL_CONN_LOST)))
        Problem("state " + std::to_string(state) + " after open");
    if (!m_plan.gateway->WaitConnected(m_plan.client, kWaitMs)) {
        Problem("the gateway saw no connection");
        m_result->gatewayLost = true;
    }
    return true;
}

// Nothing listens: polling mode fails with 7 after the connect time-out;
// callback mode opens, reports the failed connect as an error event, and
// the state stays 3.
void Session::RunRefused() {
    m_params.size = sizeof(InitParams);
    std::strcpy(m_params.ipAddress, "127.0.0.1");
    m_params.port = m_plan.port;
    m_params.protocol = KORVEL_PROTOCOL_TCP;
    m_params.connectTimeout = 200;
    m_params.shutdownTimeout = 2000;
    uint32_t r = Timed("KORVEL_Initialize", [&] {
        return KORVEL_Initialize(&m_n, &m_params, m_plan.callback ? SessionEvent : nullptr,
                                 m_plan.slot);
    });
    if (!m_plan.callback) {
        if (r != KORVEL_ERR_CONNECTION)
            Problem("refused: KORVEL_Initialize returned " + std::to_string(r));
        if (r == KORVEL_OK) Shutdown();
        return;
    }
    if (r != KORVEL_OK) return Problem("refused: KORVEL_Initialize returned " + std::to_string(r));
    if (!WaitFor(kWaitMs, false, [&] { return m_events[EVENT_ERROR] > 0; }))
        Problem("refused: no EVENT_ERROR");
    if (State() != KORVEL_CONN_CONNECTING) Problem("refused: state left 3");
    if (m_events[EVENT_CONNECTED] > 0) Problem("refused: EVENT_CONNECTED");
    Shutdown();
    {
        std::lock_guard<std::mutex> lock(m_bookLock);
        m_statuses.erase(KORVEL_ERR_UNKNOWN); // the failed connect, as the pending error
    }
    CheckStatuses();
}

void Session::Active() {
    if (m_sc.flood) Flood();
    if (m_sc.deaf) WriteUntilSendFails();
    int64_t end = SoakNowMs() + m_plan.activeMs;
    int64_t nextWrite = 0;
    while (SoakNowMs() < end) {
        if (m_sc.writes && SoakNowMs() >= nextWrite) {
            Write(1 + (int)(m_writeId % 4));
            nextWrite = SoakNowMs() + 10;
        }
        if (m_plan.callback || ReadSome(false) == 0) Pause(2);
    }
}

// The gateway floods while nobody reads: the buffer fills to its bound and
// the overrun bit tells of the frames dropped.
void Session::Flood() {
    m_paused = true;
    if (!WaitFor(kWaitMs, false, [&] {
            uint16_t state = 0;
            return KORVEL_GetCanState(m_n, &state) == KORVEL_OK &&
                   (state & KORVEL_CANSTATE_RX_OVERRUN);
        }))
        Problem("flood: no overrun bit");
    {
        std::lock_guard<std::mutex> lock(m_bookLock);
        uint16_t state = 0;
        BufferInfo info{};
        uint32_t r1 = KORVEL_GetCanState(m_n, &state);
        uint32_t r2 = KORVEL_GetCanBufferInfo(m_n, &info);
        if (r1 != KORVEL_OK || !(state & KORVEL_CANSTATE_RX_OVERRUN))
            Problem("flood: no overrun bit");
        if (r2 != KORVEL_OK || info.rxCount != m_plan.rxSize + 1u)
            Problem("flood: " + std::to_string(info.rxCount) + " messages buffered");
        m_ledger.OverrunSeen();
        KORVEL_ResetCanState(m_n, KORVEL_CANSTATE_RX_OVERRUN);
    }
    m_paused = false;
    while (ReadSome(false) > 0) {
    }
}

// The gateway never reads: its window fills, and the library's send fails
// and becomes the pending error 16. However slow the process, that happens
// before more was written than the loopback connection can hold; the time
// bound only catches a library that stopped taking messages.
void Session::WriteUntilSendFails() {
    const uint64_t bound = m_result->written + LoopbackCapacityMessages() + m_params.txBufferSize;
    uint64_t lastWritten = m_result->written;
    int64_t lastProgressMs = SoakNowMs();
    for (int i = 0;; ++i) {
        {
            std::lock_guard<std::mutex> lock(m_bookLock);
            if (m_statuses.count(KORVEL_ERR_SEND)) break;
        }
        if (m_result->written > bound) return Problem("stops-reading: no send error");
        if (m_result->written != lastWritten) {
            lastWritten = m_result->written;
            lastProgressMs = SoakNowMs();
        } else if (SoakNowMs() - lastProgressMs > kWaitMs) {
            return Problem("stops-reading: writes stopped without a send error");
        }
        Write(1);
        if (i % 64 == 0 && !m_plan.callback) ReadSome(false);
    }
    if (m_plan.callback && !WaitFor(kWaitMs, false, [&] { return m_events[EVENT_ERROR] > 0; }))
        Problem("stops-reading: no EVENT_ERROR");
}

// Reads until no frame came for a while.
void Session::Drain() {
    int64_t end = SoakNowMs() + kWaitMs;
    {
        std::lock_guard<std::mutex> lock(m_bookLock);
        m_lastFrameMs = SoakNowMs();
    }
    for (;;) {
        if (ReadSome(false) > 0) continue;
        std::lock_guard<std::mutex> lock(m_bookLock);
        // A gateway with a frame count is done once its last frame is read.
        if (m_sc.frames > 0 && m_ledger.NextNumber() >= m_sc.frames) return;
        if (SoakNowMs() - m_lastFrameMs > kQuietMs || SoakNowMs() > end) return;
        Pause(2);
    }
}

void Session::End() {
    if (m_sc.end == PeerEnd::kCloses) {
        if (!WaitFor(kWaitMs, !m_plan.callback, [&] {
                uint32_t s = State();
                return s == KORVEL_CONN_CLOSED_BY_PEER || s == KORVEL_CONN_LOST;
            }))
            Problem("close: the state never showed the end of the stream");
        Drain();
    } else if (m_sc.end == PeerEnd::kResets) {
        if (!WaitFor(kWaitMs, !m_plan.callback, [&] {
                State(); // takes the pending error, as any call does
                std::lock_guard<std::mutex> lock(m_bookLock);
                return m_statuses.count(KORVEL_ERR_RECEIVE) > 0;
            }))
            Problem("reset: no receive error");
        // The error event follows in the service cycle after the one that
        // latched the error.
        if (m_plan.callback && !WaitFor(kWaitMs, false, [&] { return m_events[EVENT_ERROR] > 0; }))
            Problem("reset: no EVENT_ERROR");
        Drain();
    } else if (m_sc.frames > 0) {
        Drain();
    }
    if (m_sc.options.empty()) { // never answers: nothing to read, and the empty bit says so
        CanMsg msg;
        uint32_t count = 99;
        uint16_t state = 0;
        uint32_t r = KORVEL_ReadCanMsg(m_n, &msg, 1, &count);
        if (r != KORVEL_ERR_NO_MESSAGE || count != 0)
            Problem("silent peer: read " + std::to_string(r));
        if (KORVEL_GetCanState(m_n, &state) != KORVEL_OK || !(state & KORVEL_CANSTATE_RX_EMPTY))
            Problem("silent peer: no empty bit");
        if (State() != KORVEL_CONN_CONNECTED) Problem("silent peer: not connected");
    }
}

void Session::Shutdown() {
    uint32_t r = Timed("KORVEL_Shutdown", [&] { return KORVEL_Shutdown(m_n); });
    if (r != KORVEL_OK) Problem("KORVEL_Shutdown returned " + std::to_string(r));
    if (m_plan.callback && m_events[EVENT_CONNECTED] > 1) Problem("EVENT_CONNECTED twice");
}

// Only the fault's own error may have shown.
void Session::CheckStatuses() {
    std::lock_guard<std::mutex> lock(m_bookLock);
    if (m_sc.end == PeerEnd::kResets) m_statuses.erase(KORVEL_ERR_RECEIVE);
    if (m_sc.deaf) m_statuses.erase(KORVEL_ERR_SEND);
    for (const auto &s : m_statuses)
        Problem("status " + std::to_string(s.first) + " seen " + std::to_string(s.second) +
                " times");
}

void Session::Settle() {
    CheckStatuses();
    ClientSummary summary;
    if (!m_plan.gateway->WaitSummary(m_plan.client, kWaitMs, &summary)) {
        m_result->gatewayLost = true;
        return Problem("no summary line from the gateway");
    }
    m_result->gatewayIn = summary.in;
    m_result->malformedSent = summary.malformedOut;
    if (summary.in > m_result->written) Problem("the gateway received more than was written");
    TailRule tail = m_sc.end == PeerEnd::kResets                      ? TailRule::kReset
                    : m_sc.end == PeerEnd::kStays && m_sc.frames == 0 ? TailRule::kShutdown
                                                                      : TailRule::kNone;
    std::string books;
    m_ledger.Settle(summary.out, tail, &m_result->totals, &books);
    if (!books.empty()) Problem("books:" + books);
}

} // namespace

void RunSession(const SessionPlan &plan, CallClock *clock, SessionResult *result) {
    Session session(plan, clock, result);
    session.Run();
}
