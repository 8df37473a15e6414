// The gateway's event loop: one thread, epoll, non-blocking sockets.
#ifndef KORVEL_GATEWAY_SERVER_H
#define KORVEL_GATEWAY_SERVER_H

#include "client.h"
#include "log_files.h"
#include "options.h"

#include <memory>
#include <vector>

class GatewayServer {
  public:
    explicit GatewayServer(const GatewayOptions &options);
    ~GatewayServer();

    // Loads the replay log, opens the record, blocks SIGINT and SIGTERM into
    // a signalfd and listens. Prints "korvel-gateway listening on ADDR:PORT".
    bool Start();
    // Serves clients until SIGINT or SIGTERM. Returns the exit status.
    int Run();

  private:
    bool Listen();
    void HandleEvent(void *tag, uint32_t events);
    void Accept();
    void Read(Client &client);
    void Deliver(Client &from, const CanMsg &msg);
    void Emit(Client &client, const CanMsg &msg);
    void Produce(Client &client, int64_t now);
    bool FramesDone(const Client &client, int64_t now) const;
    void Service(Client &client, int64_t now);
    void Finish(Client &client, int64_t now);
    void UpdateInterest(Client &client);
    bool InputAllowed(const Client &client) const;
    int TimeoutMs(int64_t now) const;
    void End(Client &client, const char *reason);

    const GatewayOptions &m_options;
    std::vector<ReplayFrame> m_replay;
    FrameRecorder m_recorder;
    int m_listenFd = -1;
    int m_signalFd = -1;
    int m_epollFd = -1;
    unsigned m_nextNumber = 1;
    uint32_t m_seed;
    bool m_echoTargetFull = false;
    std::vector<std::unique_ptr<Client>> m_clients;
};

#endif
