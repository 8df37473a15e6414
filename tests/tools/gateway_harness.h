// korvel-gateway as a child process, and plain TCP clients that talk to it.
#ifndef KORVEL_TESTS_GATEWAY_HARNESS_H
#define KORVEL_TESTS_GATEWAY_HARNESS_H

#include "gateway_frame.h"
#include "tool_process.h"

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

// korvel-gateway on an ephemeral port with the given options, started with
// SIGINT ignored as in a background job of a shell (it must still end on it).
class GatewayProcess : public ToolProcess {
  public:
    // Waits for the "listening on" line.
    explicit GatewayProcess(const std::vector<std::string> &options);

    uint16_t Port() const { return m_port; }
    int Stop(int signalNumber = SIGTERM) { return ToolProcess::Stop(signalNumber); }
    // The number in "<key> <number>" in the summary line of client `number`.
    uint64_t Summary(unsigned number, const std::string &key) const;

  private:
    uint16_t m_port = 0;
};

class TestClient {
  public:
    explicit TestClient(uint16_t port);
    ~TestClient();

    void Send(const CanMsg &msg);
    // Reads until `count` frames have arrived in all, the stream ends or the
    // wait runs out, and returns every frame received so far.
    const std::vector<CanMsg> &Receive(size_t count);
    const std::vector<CanMsg> &Frames() const { return m_frames; }
    uint64_t Malformed() const { return m_malformed; }

  private:
    int m_fd = -1;
    GatewayFrameReader m_reader;
    std::vector<CanMsg> m_frames;
    uint64_t m_malformed = 0;
};

bool SameMsg(const CanMsg &a, const CanMsg &b);
int64_t MonotonicNs();
// A file name in the test's temporary folder, unique to this process.
std::string TempPath(const std::string &name);
std::vector<std::string> ReadLines(const std::string &path);

#endif
