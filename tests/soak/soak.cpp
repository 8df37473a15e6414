// korvel-soak: opens and closes instances from several threads, in polling
// and callback mode, each against a korvel-gateway process that plays one
// fault, and accounts for every frame the gateways send. A watchdog fails
// the run when KORVEL_Initialize or KORVEL_Shutdown does not return; the
// resident memory is sampled at the end of each round. Exit status 0 only
// when every frame is accounted for and every fault showed as documented.
#include "korvel32.h"
#include "tool_process.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const int kWaitMs = 20000;     // every wait for the library ends by then
const int kQuietMs = 2000;     // no new frame for this long: nothing more is coming
const int kWatchdogMs = 60000; // a library call that takes longer hangs
const uint64_t kRssGrowthLimit = 16u << 20;
const unsigned kMaxWorkers = 9; // at most 10 instances may be open
const uint16_t kTxSize = 100;
const uint16_t kRxSizes[] = {50, 1000, 65535};

// Far more messages than a loopback connection whose peer never reads can
// take in (its socket buffers hold a few MiB), in the soak's shortest frames
// ("$CAN;S;D;0x100;0x0;#", 20 bytes).
const uint64_t kMostUnreadMessages = (256u << 20) / 20;

// A malformed frame costs at most what follows it in one parse: the rest of
// a network read of 65535 bytes behind a pending fragment of at most 64 KiB,
// and the frame cut at its end. A generated frame of length 8 has at least
// 50 bytes.
const uint64_t kMostFramesBehindMalformed = (65535 + 65536) / 50 + 2;

// The soak's counters, in frames unless named otherwise ("cut off": still on
// the way when a reset or the shutdown ended the connection).
// clang-format off
enum Count { kConnections, kSent, kRead, kOverrun, kMalformed, kCutOff, kUnaccounted, kCorrupt,
    kWritten, kCounts };
const char *const kCountNames[kCounts] = {"connections", "frames sent", "read intact and in order",
    "lost at an overrun", "behind malformed", "cut off at the end", "unaccounted",
    "corrupt or too many", "messages written"};
// clang-format on

using Totals = std::array<uint64_t, kCounts>;

// Who ends the connection: the application's shutdown, the gateway's
// orderly close or its reset.
enum class End { kStays, kCloses, kResets };
// What the application does first: its usual reads and writes, no reads for its time
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

// What a worker's thread is waiting for in the library, for the watchdog.
struct CallClock {
    std::atomic<int64_t> sinceMs{0}; // 0 while no library call runs
    std::atomic<const char *> name{nullptr};
};

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The number behind `key` in text, 0 when key is missing.
uint64_t NumberAfter(const std::string &text, const std::string &key) {
    size_t at = text.find(key);
    return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

// korvel-gateway on an ephemeral port, numbering its frames; setpriv ends
// it with the soak.
std::vector<std::string> GatewayArgs(const Scenario &sc) {
    std::vector<std::string> args = {"/usr/bin/setpriv", "--pdeathsig", "TERM",
                                     KORVEL_GATEWAY_PROGRAM};
    std::istringstream words(std::string("--port 0 -g -I i -D i ") + sc.options);
    for (std::string word; words >> word;)
        args.push_back(word);
    return args;
}

// Gateways start one at a time (g_spawnLock), so that none inherits the
// write end of another one's output pipe. Each write wakes the service
// thread to send one frame: one session at a time fills its socket
// (g_fillLock), so that it gets the processor it needs.
std::mutex g_spawnLock, g_fillLock;

class Session;
std::atomic<Session *> g_sessions[kMaxWorkers]; // by the callback's user value

// One connection: a gateway that plays one fault, an instance that uses it
// with a buffer size, read batch and time drawn at random, and the books of
// every frame the gateway sent.
class Session {
  public:
    Session(std::mt19937 &rng, bool longRun, unsigned slot, CallClock *clock)
        : m_sc(kScenarios[rng() % (sizeof(kScenarios) / sizeof(kScenarios[0]))]),
          m_callback(rng() % 2 == 1), m_rxSize(kRxSizes[rng() % 3]), m_batch(1 + rng() % 64),
          m_activeMs(100 + (int)(rng() % (longRun ? 3000 : 800))), m_slot(slot), m_clock(clock) {}

    bool FillsTheSocket() const { return m_sc.stress == Stress::kFillSend; }
    std::string Name() const { return std::string(m_sc.name) + (m_callback ? ", callback" : ""); }
    const Totals &Figures() const { return m_totals; }

    // Returns what did not behave as documented, empty when everything did.
    std::string Run() {
        std::unique_lock<std::mutex> spawning(g_spawnLock);
        ToolProcess gateway(GatewayArgs(m_sc));
        spawning.unlock();
        if (!gateway.WaitFor("listening on ")) return "no gateway: " + gateway.Output();
        g_sessions[m_slot] = this;
        if (Open((uint16_t)NumberAfter(gateway.Output(), "127.0.0.1:"))) {
            Active();
            AwaitEnd();
            Shutdown();
            gateway.WaitFor(" ended (");
            gateway.Stop(SIGTERM);
            Settle(gateway.Output());
        }
        g_sessions[m_slot] = nullptr;
        return m_problem;
    }

  private:
    // Frames missing in the numbers read: the index in the read stream of
    // the frame behind the gap, the number of the first frame missing, and how many.
    struct Gap {
        uint64_t readIndex, first, count;
    };

    void Problem(const std::string &text) { m_problem += " " + text + ";"; }

    // Marks the library call the thread is in (null: none) for the watchdog.
    void Calling(const char *name) {
        m_clock->name = name;
        m_clock->sinceMs = name != nullptr ? NowMs() : 0;
    }

    static void KORVEL_CALL Event(int32_t, uint32_t code, uint32_t slot) {
        Session *s = g_sessions[slot]; // set while the instance is open
        if (code < 5) ++s->m_events[code];
        if (code == EVENT_MSG_RECEIVED && !s->m_paused)
            while (s->Read(true) > 0) { // the shutdown ends a flood
            }
    }

    bool Open(uint16_t port) {
        // Size, address, port, protocol, buffer sizes, connect and shutdown time-outs.
        m_params = {sizeof(InitParams), "127.0.0.1", port,   {}, KORVEL_PROTOCOL_TCP, kTxSize,
                    m_rxSize,           kWaitMs,     kWaitMs};
        Calling("KORVEL_Initialize");
        uint32_t r = KORVEL_Initialize(&m_n, &m_params, m_callback ? Event : nullptr, m_slot);
        Calling(nullptr);
        if (r != KORVEL_OK) return Problem("KORVEL_Initialize: " + std::to_string(r)), false;
        if (m_callback && !WaitFor(false, [&] { return m_events[EVENT_CONNECTED] > 0; }))
            Problem("no EVENT_CONNECTED");
        return true;
    }

    // Reads and writes for the time of use. Writes to a peer that ends the
    // connection would fail by design.
    void Active() {
        if (m_sc.stress == Stress::kFillSend) WriteUntilSendFails();
        m_paused = m_sc.stress == Stress::kNoReads;
        int64_t end = NowMs() + m_activeMs;
        for (int64_t nextWrite = 0; NowMs() < end;) {
            if (m_sc.end == End::kStays && NowMs() >= nextWrite) {
                Write(1 + m_writeId % 4);
                nextWrite = NowMs() + 10;
            }
            if (m_callback || m_paused || Read(false) == 0) Pause(2);
        }
        m_paused = false;
        Read(false); // which also re-arms the received event
    }

    // The gateway never reads: its window fills, and the library's send
    // fails. However slow the process, that happens before more was written
    // than the loopback connection can hold; the time bound only catches a
    // library that stopped taking messages.
    void WriteUntilSendFails() {
        uint64_t &written = m_totals[kWritten], last = written;
        const uint64_t bound = written + kMostUnreadMessages;
        for (int64_t lastMs = NowMs(); !Seen(KORVEL_ERR_SEND); Write(1)) {
            if (written != last) last = written, lastMs = NowMs();
            if (written > bound || NowMs() - lastMs > kWaitMs) return Problem("no send error");
        }
    }

    // The fault shows as documented: its error from the calls and as
    // EVENT_ERROR. Then the frames sent before the end are read, where the
    // gateway sends a known number.
    void AwaitEnd() {
        if (m_sc.error != 0) {
            if (!WaitFor(!m_callback, [&] { return State(), Seen(m_sc.error); }))
                Problem("no status " + std::to_string(m_sc.error));
            // It follows in the service cycle after the one that latched the error.
            if (m_callback && !WaitFor(false, [&] { return m_events[EVENT_ERROR] > 0; }))
                Problem("no EVENT_ERROR");
        }
        if (m_sc.frames == 0) return; // the rest is cut off by the shutdown
        m_lastFrameMs = NowMs();
        WaitFor(true, [&] { return m_next >= m_sc.frames || NowMs() - m_lastFrameMs > kQuietMs; });
    }

    // Only the fault's own error may have shown.
    void Shutdown() {
        Calling("KORVEL_Shutdown");
        uint32_t r = KORVEL_Shutdown(m_n);
        Calling(nullptr);
        if (r != KORVEL_OK) Problem("KORVEL_Shutdown returned " + std::to_string(r));
        m_statuses.erase(m_sc.error);
        for (const auto &s : m_statuses)
            Problem(std::to_string(s.second) + " times status " + std::to_string(s.first));
    }

    // One read of up to `batch` messages, then the overrun check. The lock
    // keeps the books in the library's order when the callback reads too.
    uint32_t Read(bool fromCallback) {
        std::lock_guard<std::mutex> lock(m_bookLock);
        CanMsg msgs[64];
        uint32_t count = 0;
        uint32_t r = KORVEL_ReadCanMsg(m_n, msgs, m_batch, &count);
        // The callback may race with the shutdown of its instance.
        const uint32_t gone = fromCallback ? KORVEL_ERR_ILLEGAL_INSTANCE : KORVEL_OK;
        if (r != KORVEL_OK && r != KORVEL_ERR_NO_MESSAGE && r != gone) {
            ++m_statuses[r];
            // A socket error is latched again by every service cycle; the
            // call right behind the one that took it reads.
            KORVEL_ReadCanMsg(m_n, msgs, m_batch, &count);
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
        if (r != KORVEL_OK && r != gone) ++m_statuses[r];
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

    void Write(uint32_t count) {
        CanMsg msgs[4] = {};
        for (uint32_t i = 0; i < count; ++i)
            msgs[i].id = 0x100u + (m_writeId++ & 0xFF); // data frames of length 0
        uint32_t written = 0, r = KORVEL_WriteCanMsg(m_n, msgs, count, &written);
        m_totals[kWritten] += written;
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
    template <typename Done> bool WaitFor(bool read, Done done) {
        for (int64_t end = NowMs() + kWaitMs; !done();) {
            if (NowMs() > end) return false;
            if (!read || Read(false) == 0) Pause(2);
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
        int64_t earliest = (int64_t)gap.readIndex - 1 - (int64_t)m_rxSize;
        uint64_t latest = gap.readIndex + m_batch;
        if (std::any_of(m_overruns.begin(), m_overruns.end(),
                        [&](uint64_t at) { return (int64_t)at >= earliest && at <= latest; }))
            return kOverrun;
        bool cut = m_sc.end == End::kResets || m_sc.frames == 0;
        return last && cut ? kCutOff : kUnaccounted;
    }

    // Closes the books against the gateway's summary line of the connection.
    void Settle(const std::string &gateway) {
        if (gateway.find(" ended (") == std::string::npos)
            return Problem("no summary line from the gateway");
        uint64_t *n = m_totals.data(), sent = NumberAfter(gateway, ", out ");
        n[kConnections] = 1;
        n[kSent] = sent;
        n[kRead] = m_read - m_corrupt;
        n[kCorrupt] = m_corrupt + (m_next > sent);
        if (m_next < sent) m_gaps.push_back({m_read, m_next, sent - m_next});
        for (const Gap &gap : m_gaps) {
            Count c = Explain(gap, gap.readIndex == m_read);
            n[c] += gap.count;
            if (c == kUnaccounted)
                Problem("lost " + std::to_string(gap.count) + " from frame " +
                        std::to_string(gap.first));
        }
        if (n[kCorrupt] > 0) Problem(std::to_string(n[kCorrupt]) + " frames corrupt or too many");
    }

    const Scenario &m_sc;
    const bool m_callback;
    const uint16_t m_rxSize;
    const uint32_t m_batch; // messages per read, at most 64
    const int m_activeMs;
    const unsigned m_slot; // the worker's index, the callback's user value
    CallClock *m_clock;
    Totals m_totals{};
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
    uint64_t m_read = 0, m_corrupt = 0;
    std::vector<Gap> m_gaps;
    std::vector<uint64_t> m_overruns; // read counts at which the bit was seen
};

struct Run {
    unsigned long seconds = 60, round = 10, threads = 4;
    unsigned long seed = (uint32_t)std::chrono::steady_clock::now().time_since_epoch().count();
    int64_t deadlineMs = 0;
    std::atomic<unsigned> running{0}; // workers
    CallClock clocks[kMaxWorkers];
    std::mutex lock; // everything below
    Totals totals{};
    std::map<std::string, uint64_t> sessions; // by fault and mode
    uint64_t problems = 0;
};

void PrintTotals(const Totals &t) {
    for (int i = 0; i < kCounts; ++i)
        std::printf("%s %llu%s", kCountNames[i], (unsigned long long)t[i],
                    i + 1 < kCounts ? ", " : "\n");
}

void Worker(Run &run, unsigned worker) {
    std::mt19937 rng((uint32_t)run.seed * 7919u + worker);
    while (NowMs() < run.deadlineMs) {
        Session session(rng, run.seconds >= 600, worker, &run.clocks[worker]);
        std::unique_lock<std::mutex> filling(g_fillLock, std::defer_lock);
        if (session.FillsTheSocket() && !filling.try_lock()) continue;
        std::string problem = session.Run();
        std::lock_guard<std::mutex> guard(run.lock);
        for (int i = 0; i < kCounts; ++i)
            run.totals[i] += session.Figures()[i];
        ++run.sessions[session.Name()];
        if (problem.empty()) continue;
        ++run.problems;
        std::printf("korvel-soak: problem: %s:%s\n", session.Name().c_str(), problem.c_str());
    }
    --run.running;
}

bool ParseOptions(int argc, char **argv, Run *run) {
    std::map<std::string, unsigned long *> values = {{"--seconds", &run->seconds},
                                                     {"--round", &run->round},
                                                     {"--threads", &run->threads},
                                                     {"--seed", &run->seed}};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (values.count(argv[i]) == 0) return false;
        *values[argv[i]] = std::strtoul(argv[i + 1], nullptr, 10);
    }
    return argc % 2 == 1 && run->seconds > 0 && run->round > 0 && run->threads > 0 &&
           run->threads <= kMaxWorkers;
}

} // namespace

int main(int argc, char **argv) {
    Run run;
    if (!ParseOptions(argc, argv, &run)) {
        std::fputs("usage: korvel-soak [--seconds N] [--round S] [--threads 1..9] [--seed N]\n",
                   stderr);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("korvel-soak: %lu s, %lu threads, seed %lu\n", run.seconds, run.threads, run.seed);
    const int64_t started = NowMs();
    run.deadlineMs = started + (int64_t)run.seconds * 1000;
    run.running = (unsigned)run.threads;
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < run.threads; ++i)
        workers.emplace_back(Worker, std::ref(run), i);
    // The main thread watches until the workers are done: a library call that
    // does not return ends the run; each round ends with a report line and
    // an RSS sample.
    uint64_t rssFirst = 0, rssEnd = 0;
    int64_t roundEnd = started + (int64_t)run.round * 1000;
    for (int round = 1; run.running > 0; Pause(100)) {
        for (unsigned i = 0; i < run.threads; ++i) {
            const int64_t since = run.clocks[i].sinceMs;
            if (since == 0 || NowMs() - since <= kWatchdogMs) continue;
            std::printf("korvel-soak: FAIL: %s has not returned after %d s (thread %u)\n",
                        run.clocks[i].name.load(), kWatchdogMs / 1000, i);
            std::_Exit(3);
        }
        if (NowMs() < roundEnd) continue;
        roundEnd += (int64_t)run.round * 1000;
        std::stringstream status;
        status << std::ifstream("/proc/self/status").rdbuf();
        rssEnd = NumberAfter(status.str(), "VmRSS:") << 10;
        if (round == 1) rssFirst = rssEnd;
        std::lock_guard<std::mutex> guard(run.lock);
        std::printf("korvel-soak: round %d: RSS %llu KiB, ", round++,
                    (unsigned long long)rssEnd >> 10);
        PrintTotals(run.totals);
    }
    for (std::thread &t : workers)
        t.join();

    std::printf("korvel-soak: ran %d s; connections per fault:\n", (int)(NowMs() - started) / 1000);
    for (const auto &s : run.sessions)
        std::printf("  %-30s %llu\n", s.first.c_str(), (unsigned long long)s.second);
    std::printf("korvel-soak: ");
    PrintTotals(run.totals);
    bool rssFlat = rssEnd <= rssFirst + kRssGrowthLimit;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    rssFlat = true; // the sanitizers' own memory makes RSS meaningless
#endif
    std::printf("korvel-soak: RSS after round 1 %llu KiB, at the end %llu KiB\n",
                (unsigned long long)rssFirst >> 10, (unsigned long long)rssEnd >> 10);
    const bool pass = run.problems == 0 && run.totals[kUnaccounted] == 0 &&
                      run.totals[kCorrupt] == 0 && rssFlat && run.totals[kConnections] > 0;
    std::printf("korvel-soak: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
