// One run of korvel-dump: an instance in callback mode whose messages the
// main thread reads and prints; with --reconnect, one instance after another.
#ifndef KORVEL_TOOLS_DUMP_SESSION_H
#define KORVEL_TOOLS_DUMP_SESSION_H

#include "connect_wait.h"
#include "dump_options.h"
#include "frame_clock.h"

#include "korvel32.h"

#include <chrono>
#include <cstdio>
#include <string>

class DumpSession {
  public:
    explicit DumpSession(const DumpOptions &options) : m_options(options) {}
    // Opens the instance, dumps until an end condition and shuts the instance
    // down; returns a DumpExit value.
    int Run();

  private:
    int RunOnce();
    int RunReconnecting();
    ConnectResult Open();
    void Close();
    bool Backoff(std::chrono::milliseconds delay);
    void ReportGap();
    int Loop();
    int Step();
    uint32_t ReadAll();
    void Print(const CanMsg *msgs, uint32_t count);
    void AppendScreenLine(const CanMsg &msg, int64_t time, std::string &out);
    int WatchConnection();
    void WatchOverruns();
    void Drain();
    int Failed(const char *what, uint32_t status);
    int Ended();
    bool Done() const;
    double Elapsed() const;

    const DumpOptions &m_options;
    int32_t m_instance = 0;
    InitParams m_params = {};
    uint32_t m_status = KORVEL_OK; // the library's answer to the last failed Open
    FILE *m_log = nullptr;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_gapStart; // when the connection was lost
    bool m_inGap = false;                             // lost and not connected again
    FrameClock m_clock;
    uint64_t m_frames = 0;
    uint64_t m_overruns = 0;
    uint32_t m_state = KORVEL_CONN_CONNECTED;
    int64_t m_firstTime = -1;
    int64_t m_lastTime = 0;
};

#endif
