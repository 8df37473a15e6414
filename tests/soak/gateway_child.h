// One korvel-gateway child process and what it prints about its clients.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// The summary line that the gateway prints when a client's connection ends.
struct ClientSummary {
    std::string reason;
    uint64_t in = 0;  // frames received from the client
    uint64_t out = 0; // complete frames sent to it
    uint64_t malformedOut = 0;
};

class GatewayChild {
  public:
    GatewayChild() = default;
    ~GatewayChild();
    GatewayChild(const GatewayChild &) = delete;
    GatewayChild &operator=(const GatewayChild &) = delete;

    // Starts the program on an ephemeral port and reads its start-up line;
    // false with a message in *error. Start every child before the first
    // StartReader, so that no child inherits another one's pipe.
    bool Start(const std::string &program, const std::vector<std::string> &options,
               std::string *error);
    // Collects the output lines on a thread of its own from now on.
    void StartReader();
    uint16_t Port() const { return m_port; }

    // Client numbers count from 1 in the order of connection.
    bool WaitConnected(unsigned client, int timeoutMs);
    bool WaitSummary(unsigned client, int timeoutMs, ClientSummary *summary);

  private:
    void ReadLines();
    void Parse(const std::string &line);

    pid_t m_pid = -1;
    int m_out = -1;
    uint16_t m_port = 0;
    std::string m_pending; // output not yet cut into lines
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    unsigned m_connected = 0; // highest client number seen connected
    std::map<unsigned, ClientSummary> m_summaries;
};
