// Event loop of korvel-gateway. Every socket is non-blocking and served from
// one thread; generated and replayed frames are queued in large batches, so
// that a single send call carries thousands of frames.
#include "server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const size_t kFillBytes = 256 * 1024;  // generator and replay stop topping up here
const size_t kEchoLimit = 1024 * 1024; // reading pauses while an echo target holds this much
const int64_t kDrainNs = 2000000000;   // how long a closed connection waits for the peer's end

// Tags of the two descriptors that are no client in the epoll data.
char g_listenTag;
char g_signalTag;

int64_t NowNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

void Report(const char *what) {
    std::fprintf(stderr, "korvel-gateway: %s: %s\n", what, std::strerror(errno));
}

std::string AddressText(const sockaddr_in &address) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool AddToEpoll(int epollFd, int fd, void *tag, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = tag;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0) return true;
    Report("epoll_ctl add");
    return false;
}

} // namespace

GatewayServer::GatewayServer(const GatewayOptions &options)
    : m_options(options), m_seed(options.seedGiven ? options.seed : (uint32_t)NowNs()) {}

GatewayServer::~GatewayServer() {
    for (int fd : {m_listenFd, m_signalFd, m_epollFd})
        if (fd >= 0) close(fd);
}

bool GatewayServer::Start() {
    if (!m_options.replayPath.empty() && !LoadReplayLog(m_options.replayPath, &m_replay))
        return false;
    if (!m_options.recordPath.empty() &&
        !m_recorder.Open(m_options.recordPath, m_options.interfaceName))
        return false;
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) return Report("sigprocmask"), false;
    m_signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_signalFd < 0) return Report("signalfd"), false;
    m_epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (m_epollFd < 0) return Report("epoll_create1"), false;
    if (!AddToEpoll(m_epollFd, m_signalFd, &g_signalTag, EPOLLIN)) return false;
    return Listen();
}

bool GatewayServer::Listen() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_options.port);
    if (inet_pton(AF_INET, m_options.address.c_str(), &address.sin_addr) != 1) {
        std::fprintf(stderr, "korvel-gateway: '%s' is no IPv4 address\n",
                     m_options.address.c_str());
        return false;
    }
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) return Report("socket"), false;
    int one = 1;
    if (setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0)
        Report("setsockopt SO_REUSEADDR");
    std::string where = m_options.address + ":" + std::to_string(m_options.port);
    if (bind(m_listenFd, (sockaddr *)&address, sizeof(address)) != 0)
        return Report(("bind " + where).c_str()), false;
    if (listen(m_listenFd, SOMAXCONN) != 0) return Report("listen"), false;
    socklen_t length = sizeof(address);
    if (getsockname(m_listenFd, (sockaddr *)&address, &length) != 0)
        return Report("getsockname"), false;
    if (!AddToEpoll(m_epollFd, m_listenFd, &g_listenTag, EPOLLIN)) return false;
    std::printf("korvel-gateway listening on %s\n", AddressText(address).c_str());
    std::fflush(stdout);
    return true;
}

int GatewayServer::Run() {
    epoll_event events[64];
    int status = 0;
    for (bool stop = false; !stop;) {
        int n = epoll_wait(m_epollFd, events, 64, TimeoutMs(NowNs()));
        if (n < 0 && errno != EINTR) {
            Report("epoll_wait");
            status = 1;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr == &g_signalTag)
                stop = true;
            else
                HandleEvent(events[i].data.ptr, events[i].events);
        }
        int64_t now = NowNs();
        m_echoTargetFull = std::any_of(m_clients.begin(), m_clients.end(), [](const auto &c) {
            return c->output.Pending() >= kEchoLimit;
        });
        for (size_t i = 0; i < m_clients.size(); ++i)
            Service(*m_clients[i], now);
        m_clients.erase(std::remove_if(m_clients.begin(), m_clients.end(),
                                       [](const auto &c) { return c->state == Client::kEnded; }),
                        m_clients.end());
        m_recorder.Flush();
    }
    for (auto &client : m_clients)
        End(*client, "gateway stopped");
    m_recorder.Flush();
    return status;
}

void GatewayServer::HandleEvent(void *tag, uint32_t events) {
    if (tag == &g_listenTag) return Accept();
    Client &client = *static_cast<Client *>(tag);
    if (client.state == Client::kEnded) return;
    if (events & EPOLLERR) {
        int error = 0;
        socklen_t length = sizeof(error);
        getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        return End(client, std::strerror(error));
    }
    if (events & EPOLLIN) Read(client);
    if (client.state == Client::kEnded) return;
    if ((events & (EPOLLRDHUP | EPOLLHUP)) && !(events & EPOLLIN)) End(client, "peer closed");
}

void GatewayServer::Accept() {
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        int fd = accept4(m_listenFd, (sockaddr *)&address, &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) Report("accept");
            return;
        }
        // Pieces of split frames must leave as separate segments.
        int one = 1;
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
            Report("setsockopt TCP_NODELAY");
        unsigned number = m_nextNumber++;
        auto client = std::make_unique<Client>(number, fd, AddressText(address), NowNs(), m_options,
                                               m_seed + number * 7919u);
        const FaultOptions &faults = m_options.faults;
        client->reading = !(faults.stopReading && faults.stopReadingAfter == 0);
        if (!AddToEpoll(m_epollFd, fd, client.get(), 0)) {
            close(fd);
            continue;
        }
        std::printf("korvel-gateway: client %u %s connected\n", number, client->peer.c_str());
        m_clients.push_back(std::move(client));
    }
}

void GatewayServer::Read(Client &client) {
    static char buffer[256 * 1024];
    ssize_t n = recv(client.fd, buffer, sizeof(buffer), 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        return End(client, std::strerror(errno));
    }
    if (n == 0)
        return End(client, client.state == Client::kDraining ? "gateway closed" : "peer closed");
    if (client.state == Client::kDraining) return; // the peer's last words are not wanted
    client.reader.Feed(buffer, (size_t)n);
    const FaultOptions &faults = m_options.faults;
    CanMsg msg;
    while (client.reading) {
        GatewayFrameReader::Result result = client.reader.Next(&msg);
        if (result == GatewayFrameReader::kNeedMore) break;
        if (result == GatewayFrameReader::kMalformed) {
            ++client.malformedIn;
            continue;
        }
        ++client.framesIn;
        Deliver(client, msg);
        if (faults.stopReading && client.framesIn >= faults.stopReadingAfter)
            client.reading = false;
    }
}

void GatewayServer::Deliver(Client &from, const CanMsg &msg) {
    m_recorder.Record(msg);
    if (m_options.echo == EchoMode::kSender) return Emit(from, msg);
    if (m_options.echo == EchoMode::kOff) return;
    for (auto &client : m_clients)
        if (m_options.echo == EchoMode::kAll || client.get() != &from) Emit(*client, msg);
}

void GatewayServer::Emit(Client &client, const CanMsg &msg) {
    if (client.state != Client::kOpen) return;
    const FaultOptions &faults = m_options.faults;
    if (faults.resetInside > 0 && client.output.Frames() >= faults.resetInside) {
        client.output.PutPart(msg);
        client.state = Client::kClosing;
        return;
    }
    client.output.Put(msg);
    uint64_t limit = faults.closeAfter > 0 ? faults.closeAfter : faults.resetAfter;
    if (limit > 0 && client.output.Frames() >= limit) client.state = Client::kClosing;
}

// Whether the generator and the replay have nothing more for the client.
bool GatewayServer::FramesDone(const Client &client, int64_t now) const {
    bool generating =
        m_options.generator.enabled && client.generator.NextDueNs(now - client.connectedNs) >= 0;
    return !generating && client.replayNext >= m_replay.size();
}

void GatewayServer::Produce(Client &client, int64_t now) {
    int64_t elapsed = now - client.connectedNs;
    if (m_options.generator.enabled) {
        uint64_t due = client.generator.Due(elapsed);
        CanMsg msg;
        while (client.state == Client::kOpen && client.generator.Produced() < due &&
               client.output.Pending() < kFillBytes) {
            client.generator.Next(&msg);
            Emit(client, msg);
        }
    }
    while (client.state == Client::kOpen && client.replayNext < m_replay.size() &&
           m_replay[client.replayNext].offsetNs <= elapsed && client.output.Pending() < kFillBytes)
        Emit(client, m_replay[client.replayNext++].msg);
    EndlessMode endless = m_options.faults.endless;
    if (endless != EndlessMode::kOff && client.state == Client::kOpen && FramesDone(client, now) &&
        client.output.Pending() < kFillBytes)
        client.output.PutEndless(endless, kFillBytes - client.output.Pending());
}

void GatewayServer::Service(Client &client, int64_t now) {
    if (client.state == Client::kEnded) return;
    Produce(client, now);
    if (client.output.Pending() > 0 && client.output.Send(client.fd) == FrameOutput::kFailed)
        return End(client, std::strerror(errno));
    if (client.state == Client::kClosing && client.output.Pending() == 0) Finish(client, now);
    if (client.state == Client::kDraining && now >= client.drainDeadlineNs)
        End(client, "gateway closed");
    if (client.state != Client::kEnded) UpdateInterest(client);
}

// Ends a connection after the close or reset fault. A close shuts our side
// down and waits for the peer's end: closing a socket with unread input would
// reset it and could take the last frames with it.
void GatewayServer::Finish(Client &client, int64_t now) {
    if (m_options.faults.resetAfter > 0 || m_options.faults.resetInside > 0) {
        struct linger abort = {1, 0};
        if (setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort)) != 0)
            Report("setsockopt SO_LINGER");
        return End(client, "gateway reset");
    }
    if (shutdown(client.fd, SHUT_WR) != 0) {
        Report("shutdown");
        return End(client, "gateway closed");
    }
    client.state = Client::kDraining;
    client.drainDeadlineNs = now + kDrainNs;
}

bool GatewayServer::InputAllowed(const Client &client) const {
    switch (m_options.echo) {
    case EchoMode::kOff:
        return true;
    case EchoMode::kSender:
        return client.output.Pending() < kEchoLimit;
    default:
        return !m_echoTargetFull;
    }
}

void GatewayServer::UpdateInterest(Client &client) {
    bool draining = client.state == Client::kDraining;
    uint32_t events = 0;
    if (draining || (client.reading && InputAllowed(client))) events |= EPOLLIN;
    if (!client.reading && !draining) events |= EPOLLRDHUP; // notice the peer's end unread
    if (client.output.Pending() > 0) events |= EPOLLOUT;
    if (events == client.events) return;
    epoll_event event{};
    event.events = events;
    event.data.ptr = &client;
    if (epoll_ctl(m_epollFd, EPOLL_CTL_MOD, client.fd, &event) != 0) return Report("epoll_ctl mod");
    client.events = events;
}

int GatewayServer::TimeoutMs(int64_t now) const {
    int64_t next = INT64_MAX;
    for (const auto &client : m_clients) {
        if (client->state == Client::kDraining) next = std::min(next, client->drainDeadlineNs);
        if (client->state != Client::kOpen || client->output.Pending() >= kFillBytes) continue;
        if (m_options.faults.endless != EndlessMode::kOff && FramesDone(*client, now)) return 0;
        int64_t due = m_options.generator.enabled
                          ? client->generator.NextDueNs(now - client->connectedNs)
                          : -1;
        if (due >= 0) next = std::min(next, client->connectedNs + due);
        if (client->replayNext < m_replay.size())
            next = std::min(next, client->connectedNs + m_replay[client->replayNext].offsetNs);
    }
    if (next == INT64_MAX) return -1;
    if (next <= now) return 0;
    return (int)std::min<int64_t>((next - now + 999999) / 1000000, 60000);
}

void GatewayServer::End(Client &client, const char *reason) {
    double seconds = (double)(NowNs() - client.connectedNs) / 1e9;
    double per = seconds > 0 ? 1 / seconds : 0;
    const FrameOutput &out = client.output;
    std::printf(
        "korvel-gateway: client %u %s ended (%s) after %.3f s: in %llu frames (%.0f/s), "
        "out %llu frames (%.0f/s), malformed in %llu, garbage in %llu bytes, "
        "malformed out %llu\n",
        client.number, client.peer.c_str(), reason, seconds, (unsigned long long)client.framesIn,
        (double)client.framesIn * per, (unsigned long long)out.Frames(), (double)out.Frames() * per,
        (unsigned long long)client.malformedIn, (unsigned long long)client.reader.GarbageBytes(),
        (unsigned long long)out.MalformedFrames());
    if (close(client.fd) != 0) Report("close");
    client.fd = -1;
    client.state = Client::kEnded;
}
