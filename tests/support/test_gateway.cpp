#include "test_gateway.h"

#include <chrono>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// The few points where WinSock differs from BSD sockets.
#if defined(_WIN32)
typedef SOCKET NativeSocket;
typedef int AddressLength;
constexpr int kNoSignal = 0;
constexpr int kBothWays = SD_BOTH;
constexpr int kReceiveSide = SD_RECEIVE;
// Closing a socket wakes a thread blocked in recv on it.
constexpr bool kCloseWakesReceive = true;
void CloseSocket(NativeSocket s) { closesocket(s); }
// Started as the program starts; its end ends it.
WSADATA g_network;
const bool g_networkStarted = WSAStartup(MAKEWORD(2, 2), &g_network) == 0;
#else
typedef int NativeSocket;
typedef socklen_t AddressLength;
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kBothWays = SHUT_RDWR;
constexpr int kReceiveSide = SHUT_RD;
// Only ending the receive side wakes a thread blocked in recv.
constexpr bool kCloseWakesReceive = false;
void CloseSocket(NativeSocket s) { close(s); }
#endif

NativeSocket Native(TestSocket s) { return static_cast<NativeSocket>(s); }

// Listens on 127.0.0.1 with an ephemeral port, written to *port.
TestSocket Listen(uint16_t *port) {
    const NativeSocket s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == Native(kNoTestSocket)) return kNoTestSocket;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    AddressLength len = sizeof(addr);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(s, 64) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        CloseSocket(s);
        return kNoTestSocket;
    }
    *port = ntohs(addr.sin_port);
    return static_cast<TestSocket>(s);
}

} // namespace

TestGateway::TestGateway() : m_listener(Listen(&m_port)) {
    if (Listening()) m_acceptor = std::thread(&TestGateway::AcceptLoop, this);
}

// Ending both directions wakes the threads blocked in accept and recv.
TestGateway::~TestGateway() {
    if (Listening()) {
        shutdown(Native(m_listener), kBothWays);
        CloseSocket(Native(m_listener));
        m_acceptor.join();
    }
    for (auto &client : m_clients) {
        if (client->closed) continue;
        shutdown(Native(client->socket), kBothWays);
        client->reader.join();
        CloseSocket(Native(client->socket));
    }
}

void TestGateway::AcceptLoop() {
    for (;;) {
        const NativeSocket s = accept(Native(m_listener), nullptr, nullptr);
        if (s == Native(kNoTestSocket)) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_clients.push_back(std::make_unique<Client>());
        Client *client = m_clients.back().get();
        client->socket = static_cast<TestSocket>(s);
        client->reader = std::thread(&TestGateway::ReadLoop, this, client);
        m_changed.notify_all();
    }
}

void TestGateway::ReadLoop(Client *client) {
    char buffer[65536];
    for (;;) {
        const int n = static_cast<int>(recv(Native(client->socket), buffer, sizeof(buffer), 0));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed.notify_all();
        if (n <= 0) {
            client->ended = true;
            return;
        }
        client->received.append(buffer, static_cast<size_t>(n));
    }
}

template <typename Condition> bool TestGateway::WaitUntil(uint32_t timeoutMs, Condition condition) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), condition);
}

bool TestGateway::WaitForClients(size_t count, uint32_t timeoutMs) {
    return WaitUntil(timeoutMs, [&] { return m_clients.size() >= count; });
}

bool TestGateway::WaitForBytes(size_t index, size_t bytes, uint32_t timeoutMs) {
    return WaitUntil(timeoutMs, [&] {
        return index < m_clients.size() && m_clients[index]->received.size() >= bytes;
    });
}

bool TestGateway::WaitForClientEnd(size_t index, uint32_t timeoutMs) {
    return WaitUntil(timeoutMs,
                     [&] { return index < m_clients.size() && m_clients[index]->ended; });
}

std::string TestGateway::Received(size_t index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_clients.size() ? m_clients[index]->received : std::string();
}

// The client `index` while the gateway has not reset it; null otherwise.
TestGateway::Client *TestGateway::At(size_t index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_clients.size() && !m_clients[index]->closed ? m_clients[index].get() : nullptr;
}

bool TestGateway::Send(size_t index, const std::string &bytes) {
    Client *client = At(index);
    for (size_t sent = 0; client && sent < bytes.size();) {
        const int n = static_cast<int>(send(Native(client->socket), bytes.data() + sent,
                                            static_cast<int>(bytes.size() - sent), kNoSignal));
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return client != nullptr;
}

bool TestGateway::SendUrgent(size_t index, char byte) {
    Client *client = At(index);
    return client && send(Native(client->socket), &byte, 1, MSG_OOB | kNoSignal) == 1;
}

void TestGateway::Close(size_t index) {
    if (Client *client = At(index)) shutdown(Native(client->socket), kBothWays);
}

// A close with a zero linger time sends a reset; the reader must be woken
// first, and on Linux the close waits until it is out.
void TestGateway::Reset(size_t index) {
    Client *client = At(index);
    if (!client) return;
    client->closed = true;
    linger l{1, 0};
    const NativeSocket s = Native(client->socket);
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof(l));
    if (kCloseWakesReceive)
        CloseSocket(s);
    else
        shutdown(s, kReceiveSide);
    client->reader.join();
    if (!kCloseWakesReceive) CloseSocket(s);
}

uint16_t UnusedLoopbackPort() {
    uint16_t port = 0;
    CloseSocket(Native(Listen(&port)));
    return port;
}
