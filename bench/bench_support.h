// Helpers shared by the benchmark programs: a korvel-gateway child process,
// instances connected to it, a monotonic clock and plain loopback sockets
// for the baselines.
#ifndef KORVEL_BENCH_SUPPORT_H
#define KORVEL_BENCH_SUPPORT_H

#include "korvel32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Nanoseconds of CLOCK_MONOTONIC.
int64_t NowNs();
// Nanoseconds of CLOCK_REALTIME (the clock of the gateway's record file).
int64_t WallNs();
// Process CPU time (user + system) in nanoseconds.
int64_t ProcessCpuNs();

// korvel-gateway started with the given options on an ephemeral loopback
// port. Stop() ends it with SIGTERM and returns everything it printed.
class Gateway {
  public:
    // `program` is the gateway's path; empty means "korvel-gateway" beside
    // the running program.
    explicit Gateway(const std::vector<std::string> &options, std::string program = "");
    ~Gateway();
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    uint16_t Port() const { return m_port; }
    // Output lines read so far (the start line and client summaries).
    std::string Stop();

  private:
    int m_pid = -1;
    int m_out = -1;
    uint16_t m_port = 0;
    std::string m_text;
};

// Sum of the "in N frames" and "out N frames" counts of all client summary
// lines in the gateway's output.
uint64_t FramesIn(const std::string &gatewayOutput);
uint64_t FramesOut(const std::string &gatewayOutput);

// Opens an instance in polling mode connected to 127.0.0.1:port; the
// parameter record lives as long as the process. Returns the instance number
// or -1 and prints why.
int32_t OpenInstance(uint16_t port, uint16_t txBufferSize, uint16_t rxBufferSize);

// A blocking loopback TCP client socket connected to the port, -1 on failure.
int ConnectTcp(uint16_t port);

// An 8-byte standard data frame whose first four data bytes carry `tag`.
CanMsg MakeMsg(uint32_t id, uint32_t tag);

} // namespace bench

#endif
