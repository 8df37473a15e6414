// The fault table and the life of one soak connection.
#include "session.h"

#include "korvel32.h"
#include "tool_process.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

// clang-format off
const char *const kCountNames[kCounts] = {"connections", "frames sent", "read", "lost at an overrun",
    "behind malformed", "cut off at the end", "unaccounted", "corrupt", "messages written",
    "received by the gateways"};
// clang-format on

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

const int kWaitMs = 20000; // every wait for the library ends by then
const int kQuietMs = 2000; // no new frame for this long: nothing more is coming

// A malformed frame costs at most what follows it in one parse: the rest of
// a network read of 65535 bytes behind a pending fragment of at most 64 KiB,
// and the frame cut at its end. A generated frame of length 8 has at least
// 50 bytes.
const uint64_t kMostFramesBehindMalformed = (65535 + 65536) / 50 + 2;

// Who ends the connection: the application's shutdown, the gateway's
// orderly close or its reset.
enum class End { kStays, kCloses, kResets };
// What the application does first: nothing special, not read for its time
// of use, or write until the send fails.
enum class Stress { kNone, kNoReads, kFillSend };

struct Scenario {
    const char *name;
    const char *options; // korvel-gateway's; the frames get numbered on top
    End end;
    Stress stress;
    uint64_t malformedEvery; // the --malformed value, 0 for none
    uint64_t frames;         // frames the gateway sends in all, 0 for no limit
    uint32_t error;          // the status the fault must raise, 0 for none
};

// clang-format off
const Scenario kScenarios[] = {
    {"stream", "--split --garbage --malformed 11 -r 20000", End::kStays, Stress::kNone, 11, 0, 0},
    {"close", "--split --malformed 7 --close-after 2000 -r max", End::kCloses, Stress::kNone, 7, 2000, 0},
    {"reset-inside-frame", "--garbage --reset-inside 1500 -r 5000", End::kResets, Stress::kNone, 0, 1500, KORVEL_ERR_RECEIVE},
    {"flood-unread", "-r max", End::kStays, Stress::kNoReads, 0, 0, 0},
    {"endless-frame", "--endless frame -n 2000 -r max", End::kStays, Stress::kNone, 0, 2000, 0},
    {"endless-garbage", "--endless garbage -n 2000 -r max", End::kStays, Stress::kNone, 0, 2000, 0},
    {"stops-reading", "--stop-reading 0 -r 500", End::kStays, Stress::kFillSend, 0, 0, KORVEL_ERR_SEND},
};
// clang-format on

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The number behind `key` in text, 0 when key is missing.
uint64_t NumberAfter(const std::string &text, const std::string &key) {
    size_t at = text.find(key);
    return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

// Messages that a loopback connection whose peer never reads can take in:
// both ends' largest socket buffers (the last value of a "min default max"
// line), twice for the kernel's bookkeeping, in the soak's shortest frames
// ("$CAN;S;D;0x100;0x2;0x0;0x0;#", 28 bytes).
uint64_t LoopbackCapacityMessages() {
    uint64_t bytes = 0, min, def, max;
    for (const char *name : {"tcp_wmem", "tcp_rmem"})
        if (std::ifstream(std::string("/proc/sys/net/ipv4/") + name) >> min >> def >> max)
            bytes += max;
    return 2 * bytes / 28;
}

// Gateways start one at a time, so that none inherits the write end of
// another one's output pipe; setpriv ends them with the soak.
std::mutex g_spawnLock;

std::unique_ptr<ToolProcess> StartGateway(const Scenario &sc, uint16_t *port) {
    std::vector<std::string> args = {"/usr/bin/setpriv",
                                     "--pdeathsig",
                                     "TERM",
                                     KORVEL_GATEWAY_PROGRAM,
                                     "--port",
                                     "0",
                                     "-g",
                                     "-I",
                                     "i",
                                     "-D",
                                     "i"};
    std::istringstream words(sc.options);
    for (std::string word; words >> word;)
        args.push_back(word);
    std::unique_ptr<ToolProcess> gateway;
    {
        std::lock_guard<std::mutex> lock(g_spawnLock);
        gateway.reset(new ToolProcess(args));
    }
    bool up = gateway->WaitFor("listening on ");
    *port = up ? (uint16_t)NumberAfter(gateway->Output(), "127.0.0.1:") : 0;
    return gateway;
}

class Session;
std::atomic<Session *> g_sessions[kMaxWorkers];

class Session {
  public:
    Session(const SessionPlan &plan, CallClock *clock, Totals *totals)
        : m_plan(plan), m_sc(kScenarios[plan.scenario]), m_clock(clock), m_totals(totals) {}

    std::string Run() {
        uint16_t port = 0;
        std::unique_ptr<ToolProcess> gateway = StartGateway(m_sc, &port);
        if (port == 0) return "korvel-gateway did not start: " + gateway->Output();
        g_sessions[m_plan.slot] = this;
        if (Open(port)) {
            Active();
            AwaitEnd();
            Shutdown();
            gateway->WaitFor(" ended (");
            gateway->Stop(SIGTERM);
            Settle(gateway->Output());
        }
        g_sessions[m_plan.slot] = nullptr;
        return m_problem;
    }

    void OnEvent(uint32_t code) {
        if (code < 5) ++m_events[code];
        if (code != EVENT_MSG_RECEIVED || m_paused) return;
        while (ReadSome(true) > 0) {
        }
    }

  private:
    struct Gap {
        uint64_t readIndex; // index in the read stream of the frame behind the gap
        uint64_t first;     // number of the first frame missing
        uint64_t count;
    };

    void Problem(const std::string &text) { m_problem += " " + text + ";"; }

    template <typename Call> uint32_t Timed(const char *name, Call call) {
        m_clock->name = name;
        m_clock->sinceMs = NowMs();
        uint32_t r = call();
        m_clock->sinceMs = 0;
        return r;
    }

    bool Open(uint16_t port) {
        m_params.size = sizeof(InitParams);
        std::strcpy(m_params.ipAddress, "127.0.0.1");
        m_params.port = port;
        m_params.protocol = KORVEL_PROTOCOL_TCP;
        m_params.txBufferSize = 100;
        m_params.rxBufferSize = m_plan.rxSize;
        m_params.connectTimeout = kWaitMs;
        m_params.shutdownTimeout = 10000;
        EventCallback callback = m_plan.callback ? Event : nullptr;
        uint32_t r = Timed("KORVEL_Initialize", [&] {
            return KORVEL_Initialize(&m_n, &m_params, callback, m_plan.slot);
        });
        if (r != KORVEL_OK)
            return Problem("KORVEL_Initialize returned " + std::to_string(r)), false;
        if (callback && !WaitFor(false, [&] { return m_events[EVENT_CONNECTED] > 0; }))
            Problem("no EVENT_CONNECTED");
        // A peer that closes at once may have done so already.
        uint32_t state = callback ? KORVEL_CONN_CONNECTED : State();
        if (state != KORVEL_CONN_CONNECTED && !(m_sc.end == End::kCloses && Ended(state)))
            Problem("state " + std::to_string(state) + " after open");
        return true;
    }

    static void KORVEL_CALL Event(int32_t, uint32_t code, uint32_t slot) {
        if (Session *s = slot < kMaxWorkers ? g_sessions[slot].load() : nullptr) s->OnEvent(code);
    }

    static bool Ended(uint32_t state) {
        return state == KORVEL_CONN_CLOSED_BY_PEER || state == KORVEL_CONN_LOST;
    }

    // Reads and writes for the time of use. Writes to a peer that ends the
    // connection would fail by design.
    void Active() {
        if (m_sc.stress == Stress::kFillSend) WriteUntilSendFails();
        m_paused = m_sc.stress == Stress::kNoReads;
        int64_t end = NowMs() + m_plan.activeMs;
        for (int64_t nextWrite = 0; NowMs() < end;) {
            if (m_sc.end == End::kStays && NowMs() >= nextWrite) {
                Write(1 + (int)(m_writeId % 4));
                nextWrite = NowMs() + 10;
            }
            if (m_plan.callback || m_paused || ReadSome(false) == 0) Pause(2);
        }
        m_paused = false;
        while (ReadSome(false) > 0) { // which also re-arms the received event
        }
    }

    // The gateway never reads: its window fills, and the library's send
    // fails. However slow the process, that happens before more was written
    // than the loopback connection can hold; the time bound only catches a
    // library that stopped taking messages.
    void WriteUntilSendFails() {
        uint64_t &written = m_totals->n[kWritten];
        const uint64_t bound = written + LoopbackCapacityMessages() + m_params.txBufferSize;
        uint64_t last = written;
        int64_t lastProgressMs = NowMs();
        for (int i = 0; !Seen(KORVEL_ERR_SEND); ++i) {
            if (written > bound) return Problem("stops-reading: no send error");
            if (written != last) last = written, lastProgressMs = NowMs();
            if (NowMs() - lastProgressMs > kWaitMs)
                return Problem("stops-reading: writes stopped without a send error");
            Write(1);
            if (i % 64 == 0 && !m_plan.callback) ReadSome(false);
        }
    }

    // The fault shows as documented: the end of the stream in the state, the
    // fault's error from the calls and as EVENT_ERROR. Then the frames sent
    // before the end are read.
    void AwaitEnd() {
        bool read = !m_plan.callback;
        if (m_sc.end == End::kCloses && !WaitFor(read, [&] { return Ended(State()); }))
            Problem("close: the state never showed the end of the stream");
        if (m_sc.error != 0) {
            if (!WaitFor(read, [&] { return State(), Seen(m_sc.error); }))
                Problem("no status " + std::to_string(m_sc.error));
            // It follows in the service cycle after the one that latched the error.
            if (m_plan.callback && !WaitFor(false, [&] { return m_events[EVENT_ERROR] > 0; }))
                Problem("no EVENT_ERROR");
        }
        if (m_sc.end == End::kStays && m_sc.frames == 0) return;
        int64_t end = NowMs() + kWaitMs;
        for (m_lastFrameMs = NowMs(); m_next < m_sc.frames || m_sc.frames == 0; Pause(2)) {
            while (ReadSome(false) > 0) {
            }
            if (NowMs() - m_lastFrameMs > kQuietMs || NowMs() > end) return;
        }
    }

    // Only the fault's own error may have shown.
    void Shutdown() {
        uint32_t r = Timed("KORVEL_Shutdown", [&] { return KORVEL_Shutdown(m_n); });
        if (r != KORVEL_OK) Problem("KORVEL_Shutdown returned " + std::to_string(r));
        if (m_plan.callback && m_events[EVENT_CONNECTED] > 1) Problem("EVENT_CONNECTED twice");
        m_statuses.erase(m_sc.error);
        for (const auto &s : m_statuses)
            Problem("status " + std::to_string(s.first) + " seen " + std::to_string(s.second) +
                    " times");
    }

    // One read of up to `batch` messages, then the overrun check. The lock
    // keeps the books in the library's order when the callback reads too.
    uint32_t ReadSome(bool fromCallback) {
        std::lock_guard<std::mutex> lock(m_bookLock);
        CanMsg msgs[64];
        uint32_t count = 0;
        uint32_t r = KORVEL_ReadCanMsg(m_n, msgs, m_plan.batch, &count);
        // The callback may race with the shutdown of its instance.
        bool gone = fromCallback && r == KORVEL_ERR_ILLEGAL_INSTANCE;
        if (r != KORVEL_OK && r != KORVEL_ERR_NO_MESSAGE && !gone) {
            ++m_statuses[r];
            // A socket error is latched again by every service cycle; the
            // call right behind the one that took it reads.
            KORVEL_ReadCanMsg(m_n, msgs, m_plan.batch, &count);
        }
        for (uint32_t i = 0; i < count; ++i)
            Book(msgs[i]);
        if (count > 0) m_lastFrameMs = NowMs();
        uint16_t state = 0;
        r = KORVEL_GetCanState(m_n, &state);
        if (r == KORVEL_OK && (state & KORVEL_CANSTATE_RX_OVERRUN)) {
            m_overruns.push_back(m_read);
            r = KORVEL_ResetCanState(m_n, KORVEL_CANSTATE_RX_OVERRUN);
        }
        if (r != KORVEL_OK && !gone) ++m_statuses[r];
        return count;
    }

    // Generated frames carry their number in the data (-D i, length 8) and
    // its low 11 bits as identifier (-I i).
    void Book(const CanMsg &msg) {
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

    void Write(int count) {
        CanMsg msgs[4] = {};
        for (int i = 0; i < count; ++i) {
            msgs[i].id = 0x100 + (m_writeId++ & 0xFF);
            msgs[i].length = 2;
        }
        uint32_t written = 0;
        uint32_t r = KORVEL_WriteCanMsg(m_n, msgs, (uint32_t)count, &written);
        m_totals->n[kWritten] += written;
        std::lock_guard<std::mutex> lock(m_bookLock);
        if (r != KORVEL_OK && r != KORVEL_ERR_TX_BUFFER_FULL) ++m_statuses[r];
    }

    // The connection state. A lasting socket error is latched anew by every
    // service cycle, so the question is asked until a call falls between two.
    uint32_t State() {
        uint32_t state = 0xFFFF;
        for (int64_t end = NowMs() + kWaitMs;;) {
            uint32_t r = KORVEL_GetConnectionState(m_n, &state);
            if (r == KORVEL_OK || NowMs() > end) return state;
            std::lock_guard<std::mutex> lock(m_bookLock);
            ++m_statuses[r];
        }
    }

    bool Seen(uint32_t status) {
        std::lock_guard<std::mutex> lock(m_bookLock);
        return m_statuses.count(status) > 0;
    }

    // Polls `done` until it holds; with `read` the worker reads meanwhile.
    bool WaitFor(bool read, const std::function<bool()> &done) {
        for (int64_t end = NowMs() + kWaitMs; !done();) {
            if (NowMs() > end) return false;
            if (!read || ReadSome(false) == 0) Pause(2);
        }
        return true;
    }

    // A gap in the numbers is explained where frames may go: behind a
    // malformed frame (within one parse), while the receive buffer was full,
    // and at the end of a connection that a reset or the shutdown cut short.
    // A full buffer drops the frames after the one read just before the gap;
    // it then held that frame and rxSize before it, so the application had
    // read at least (index - 1 - rxSize) frames, and it checks the overrun
    // bit after every read, the one behind the gap included.
    Count Explain(const Gap &gap, bool last) const {
        uint64_t every = m_sc.malformedEvery;
        if (every > 0 && gap.first >= every && gap.first % every == 0 &&
            gap.count <= kMostFramesBehindMalformed)
            return kMalformed;
        int64_t earliest = (int64_t)gap.readIndex - 1 - (int64_t)m_plan.rxSize;
        uint64_t latest = gap.readIndex + m_plan.batch;
        if (std::any_of(m_overruns.begin(), m_overruns.end(),
                        [&](uint64_t at) { return (int64_t)at >= earliest && at <= latest; }))
            return kOverrun;
        bool cut = m_sc.end == End::kResets || (m_sc.end == End::kStays && m_sc.frames == 0);
        return last && cut ? kCutOff : kUnaccounted;
    }

    // Closes the books against the gateway's summary line of the connection.
    void Settle(const std::string &gateway) {
        if (gateway.find(" ended (") == std::string::npos)
            return Problem("no summary line from the gateway");
        uint64_t *n = m_totals->n, sent = NumberAfter(gateway, ", out ");
        n[kConnections] = 1;
        n[kSent] = sent;
        n[kRead] = m_read - m_corrupt;
        n[kCorrupt] = m_corrupt + (m_next > sent);
        n[kGatewayIn] = NumberAfter(gateway, " s: in ");
        if (n[kGatewayIn] > n[kWritten]) Problem("the gateway received more than was written");
        if (m_next < sent) m_gaps.push_back({m_read, m_next, sent - m_next});
        for (const Gap &gap : m_gaps) {
            Count c = Explain(gap, gap.readIndex == m_read);
            n[c] += gap.count;
            if (c == kUnaccounted)
                Problem("frames " + std::to_string(gap.first) + ".." +
                        std::to_string(gap.first + gap.count - 1) + " missing");
        }
        if (n[kCorrupt] > 0) Problem(std::to_string(n[kCorrupt]) + " frames corrupt or too many");
    }

    const SessionPlan &m_plan;
    const Scenario &m_sc;
    CallClock *m_clock;
    Totals *m_totals;
    std::string m_problem;
    InitParams m_params{};
    int32_t m_n = 0;
    std::atomic<bool> m_paused{false}; // the callback does not read
    std::atomic<int> m_events[5] = {};
    uint32_t m_writeId = 0;
    std::mutex m_bookLock;                   // everything below
    std::map<uint32_t, uint64_t> m_statuses; // every status other than success
    std::atomic<uint64_t> m_next{0};         // number of the frame expected next; read unlocked
    std::atomic<int64_t> m_lastFrameMs{0};
    uint64_t m_read = 0;
    uint64_t m_corrupt = 0;
    std::vector<Gap> m_gaps;
    std::vector<uint64_t> m_overruns; // read counts at which the bit was seen
};

} // namespace

size_t ScenarioCount() { return sizeof(kScenarios) / sizeof(kScenarios[0]); }

const char *ScenarioName(size_t index) { return kScenarios[index].name; }

std::string RunSession(const SessionPlan &plan, CallClock *clock, Totals *totals) {
    return Session(plan, clock, totals).Run();
}
