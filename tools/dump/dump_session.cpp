// The reading loop of korvel-dump. The library calls OnEvent on its own
// thread; OnEvent only wakes the main thread, which does all the reading,
// printing and state checks between waits of at most kWaitMs.
#include "dump_session.h"

#include "can_text.h"
#include "status_text.h"
#include "tool_args.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

namespace {

constexpr int kWaitMs = 50;
constexpr uint32_t kBatch = 256;
// Reconnection back-off: the first retry soon, then doubling up to the cap.
constexpr std::chrono::milliseconds kFirstRetry(100);
constexpr std::chrono::milliseconds kRetryCap(5000);

std::mutex g_eventLock;
std::condition_variable g_eventSignal;
uint32_t g_events = 0; // bit (1 << code) for each event code delivered

volatile std::sig_atomic_t g_stop = 0;

void KORVEL_CALL OnEvent(int32_t, uint32_t code, uint32_t) {
    {
        std::lock_guard<std::mutex> guard(g_eventLock);
        g_events |= 1u << (code & 31);
    }
    g_eventSignal.notify_one();
}

// The wait of the main loop notices the flag within kWaitMs.
void OnSignal(int) { g_stop = 1; }

// Waits for an event of the library, kWaitMs at most.
void WaitForEvents() {
    std::unique_lock<std::mutex> guard(g_eventLock);
    g_eventSignal.wait_for(guard, std::chrono::milliseconds(kWaitMs), [] { return g_events != 0; });
    g_events = 0;
}

// "(1436509052.249713) ", "(2015-07-10 08:17:32.249713) " or "(000.001234) ".
std::string FormatStamp(char type, int64_t micros) {
    char text[64];
    long long seconds = micros / 1000000;
    unsigned fraction = (unsigned)(micros % 1000000);
    if (type == 'A') {
        std::time_t t = (std::time_t)seconds;
        char date[32];
        std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", std::localtime(&t));
        std::snprintf(text, sizeof(text), "(%s.%06u) ", date, fraction);
    } else if (type == 'a') {
        std::snprintf(text, sizeof(text), "(%010lld.%06u) ", seconds, fraction);
    } else {
        std::snprintf(text, sizeof(text), "(%03lld.%06u) ", seconds, fraction);
    }
    return text;
}

void Report(const char *what, uint32_t status) {
    std::fprintf(stderr, "korvel-dump: %s: status %u %s (%s)\n", what, status,
                 KorvelStatusName(status), KorvelStatusText(status));
}

} // namespace

int DumpSession::Run() {
    if (!m_options.logPath.empty()) {
        m_log = std::fopen(m_options.logPath.c_str(), "w");
        if (m_log == nullptr) {
            std::fprintf(stderr, "korvel-dump: cannot write '%s': %s\n", m_options.logPath.c_str(),
                         std::strerror(errno));
            return kDumpExitNoConnection;
        }
        std::fprintf(stderr, "korvel-dump: logging to '%s'\n", m_options.logPath.c_str());
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    m_start = std::chrono::steady_clock::now();
    int exitCode = m_options.reconnect ? RunReconnecting() : RunOnce();
    if (m_log != nullptr && (std::ferror(m_log) | std::fclose(m_log)) != 0) {
        std::fprintf(stderr, "korvel-dump: cannot write '%s': %s\n", m_options.logPath.c_str(),
                     std::strerror(errno));
        exitCode = kDumpExitNoConnection;
    }
    std::fprintf(stderr, "korvel-dump: %llu frames, %llu overruns\n", (unsigned long long)m_frames,
                 (unsigned long long)m_overruns);
    return exitCode;
}

int DumpSession::RunOnce() {
    ConnectResult result = Open();
    if (result == kConnectStopped) return kDumpExitOk;
    if (result != kConnectDone) {
        ReportConnectFailure(stderr, "korvel-dump", m_params, result, m_options.connectTimeoutMs,
                             m_status);
        return kDumpExitNoConnection;
    }
    int exitCode = Loop();
    Close();
    m_inGap = false; // without --reconnect the end of the connection ends the dump
    return exitCode;
}

// Opens one instance after another until an end condition. A gap begins
// when a connection is lost and ends with the next connection or the dump.
int DumpSession::RunReconnecting() {
    auto delay = kFirstRetry;
    bool reported = false; // the reason of the gap's first failed attempt
    for (;;) {
        ConnectResult result = Open();
        if (result == kConnectDone) {
            int exitCode = Loop();
            Close();
            if (exitCode != kDumpExitEnded) return exitCode;
            delay = kFirstRetry;
            reported = false;
        } else if (result == kConnectStopped) {
            break;
        } else if (!reported) {
            reported = true;
            ReportConnectFailure(stderr, "korvel-dump", m_params, result,
                                 m_options.connectTimeoutMs, m_status);
            std::fprintf(stderr, "korvel-dump: retrying, at most every %lld s\n",
                         (long long)(kRetryCap.count() / 1000));
        }
        if (!Backoff(delay)) break;
        delay = std::min(delay * 2, kRetryCap);
    }
    ReportGap();
    return kDumpExitOk;
}

// Opens the instance and waits for its connection. On failure no instance
// is left open and m_status holds the library's answer.
ConnectResult DumpSession::Open() {
    m_params = MakeToolParams(m_options.address, m_options.bufferSize, m_options.connectTimeoutMs);
    m_status = KORVEL_Initialize(&m_instance, &m_params, OnEvent, 0);
    if (m_status != KORVEL_OK) return kConnectFailed;
    ConnectResult result =
        WaitForConnection(m_instance, m_options.connectTimeoutMs, &g_stop, &m_status);
    if (result != kConnectDone) {
        Close();
        return result;
    }
    ReportGap();
    std::fprintf(stderr, "korvel-dump: %s:%u connected\n", m_params.ipAddress, m_params.port);
    m_state = KORVEL_CONN_CONNECTED;
    return result;
}

void DumpSession::Close() {
    uint32_t status = KORVEL_Shutdown(m_instance);
    if (status != KORVEL_OK) Report("shutting the instance down", status);
}

// Waits before the next attempt; false when the dump is to end instead.
bool DumpSession::Backoff(std::chrono::milliseconds delay) {
    auto until = std::chrono::steady_clock::now() + delay;
    while (std::chrono::steady_clock::now() < until) {
        if (g_stop || Done()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !g_stop && !Done();
}

void DumpSession::ReportGap() {
    if (!m_inGap) return;
    m_inGap = false;
    double gap =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_gapStart).count();
    std::fprintf(stderr, "korvel-dump: gap of %.3f s without connection to %s:%u\n", gap,
                 m_params.ipAddress, m_params.port);
}

int DumpSession::Loop() {
    for (;;) {
        WaitForEvents();
        if (g_stop) return kDumpExitOk;
        int exitCode = Step();
        if (exitCode >= 0) return exitCode;
        if (Done()) return kDumpExitOk;
    }
}

bool DumpSession::Done() const {
    return (m_options.count > 0 && m_frames >= m_options.count) ||
           (m_options.duration > 0 && Elapsed() >= m_options.duration);
}

// One pass after a wake-up: messages, connection state, overruns. Returns
// an exit status when the dump has to end, else -1.
int DumpSession::Step() {
    uint32_t status = ReadAll();
    if (status != KORVEL_OK) return Failed("reading messages", status);
    int exitCode = WatchConnection();
    if (exitCode >= 0) return exitCode;
    WatchOverruns();
    return -1;
}

// Reads in batches until the receive buffer is empty; the last, empty read
// also re-arms the library's received notice.
uint32_t DumpSession::ReadAll() {
    CanMsg msgs[kBatch];
    for (;;) {
        uint32_t read = 0;
        uint32_t status = KORVEL_ReadCanMsg(m_instance, msgs, kBatch, &read);
        // "No message" only means that the first attempt found none: the
        // later attempts may have taken messages that arrived meanwhile.
        if (read > 0) Print(msgs, read);
        if (status == KORVEL_ERR_NO_MESSAGE && read == 0) return KORVEL_OK;
        if (status != KORVEL_OK && status != KORVEL_ERR_NO_MESSAGE) return status;
    }
}

void DumpSession::Print(const CanMsg *msgs, uint32_t count) {
    std::string screen, log;
    int64_t readTime = WallClockMicros();
    for (uint32_t i = 0; i < count; ++i) {
        if (m_options.count > 0 && m_frames >= m_options.count) break;
        if (!m_options.filters.Matches(msgs[i])) continue;
        ++m_frames;
        int64_t time = m_clock.Place(msgs[i].timestamp, readTime);
        CanLogRecord record = {};
        record.seconds = time / 1000000;
        record.micros = (uint32_t)(time % 1000000);
        std::memcpy(record.interfaceName, m_options.interfaceName.c_str(),
                    m_options.interfaceName.size() + 1);
        record.msg = msgs[i];
        if (m_log != nullptr || m_options.logStdout) log += FormatCandumpLog(record) + '\n';
        if (!m_options.silent && !m_options.logStdout) AppendScreenLine(msgs[i], time, screen);
    }
    if (m_log != nullptr) std::fputs(log.c_str(), m_log);
    if (!m_options.silent) std::fputs((m_options.logStdout ? log : screen).c_str(), stdout);
    std::fflush(stdout);
}

void DumpSession::AppendScreenLine(const CanMsg &msg, int64_t time, std::string &out) {
    if (m_firstTime < 0) m_firstTime = m_lastTime = time;
    std::string stamp;
    if (m_options.timestamps == 'a' || m_options.timestamps == 'A')
        stamp = FormatStamp(m_options.timestamps, time);
    else if (m_options.timestamps == 'd')
        stamp = FormatStamp('d', time - m_lastTime);
    else if (m_options.timestamps == 'z')
        stamp = FormatStamp('z', time - m_firstTime);
    m_lastTime = time;
    out += FormatCandumpLine(msg, m_options.interfaceName.c_str(), stamp) + '\n';
}

// Reports the end of the connection. The library sends no event when the
// gateway ends the stream, so the state is read after every wait.
int DumpSession::WatchConnection() {
    uint32_t state = 0;
    uint32_t status = KORVEL_GetConnectionState(m_instance, &state);
    if (status != KORVEL_OK) return Failed("reading the connection state", status);
    if (state == m_state) return -1;
    // An established stream that ended goes from 5 to 7 at the next read of
    // the socket; both mean that the gateway closed it.
    if (state == KORVEL_CONN_LOST) state = KORVEL_CONN_CLOSED_BY_PEER;
    m_state = state;
    std::fprintf(stderr, "korvel-dump: %s:%u %s\n", m_params.ipAddress, m_params.port,
                 KorvelConnectionStateText(state));
    return state == KORVEL_CONN_CLOSED_BY_PEER ? Ended() : -1;
}

// Shows each overrun once: the bits are cleared after they were reported.
void DumpSession::WatchOverruns() {
    const uint16_t overrunBits = KORVEL_CANSTATE_RX_OVERRUN | KORVEL_CANSTATE_TX_OVERRUN;
    uint16_t state = 0;
    if (KORVEL_GetCanState(m_instance, &state) != KORVEL_OK || !(state & overrunBits)) return;
    ++m_overruns;
    std::fprintf(stderr, "korvel-dump: CAN state 0x%04X:%s%s\n", state,
                 (state & KORVEL_CANSTATE_RX_OVERRUN) ? " receive buffer overrun, frames dropped"
                                                      : "",
                 (state & KORVEL_CANSTATE_TX_OVERRUN) ? " transmit buffer overrun" : "");
    KORVEL_ResetCanState(m_instance, overrunBits);
}

// What the library still holds when the connection has ended. The end of
// the stream is seen as soon as it is read, while earlier reads may still
// wait to be decoded, one per service cycle: reading goes on until nothing
// has come for a while. A socket error is reported again by the calls that
// follow a service cycle, so a read that meets it is simply tried again.
void DumpSession::Drain() {
    const auto quiet = std::chrono::milliseconds(200);
    auto lastMessage = std::chrono::steady_clock::now();
    CanMsg msgs[kBatch];
    while (std::chrono::steady_clock::now() - lastMessage < quiet) {
        uint32_t read = 0;
        uint32_t status = KORVEL_ReadCanMsg(m_instance, msgs, kBatch, &read);
        if (read > 0) {
            Print(msgs, read);
            lastMessage = std::chrono::steady_clock::now();
        }
        if (status != KORVEL_OK) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int DumpSession::Failed(const char *what, uint32_t status) {
    Report(what, status);
    return Ended();
}

// The connection is gone: a gap begins, and what the library holds is shown.
int DumpSession::Ended() {
    m_inGap = true;
    m_gapStart = std::chrono::steady_clock::now();
    Drain();
    return kDumpExitEnded;
}

double DumpSession::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}
