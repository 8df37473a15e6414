#include "loopback_listener.h"

#include <winsock2.h>

namespace {

SOCKET Native(intptr_t s) { return static_cast<SOCKET>(s); }

bool WaitReadable(SOCKET s, uint32_t timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval t{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &t) > 0;
}

} // namespace

// The listener holds a WinSock start of its own, so the library's start and
// stop never pull the network from under it.
LoopbackListener::LoopbackListener(int backlog)
    : m_listen(static_cast<intptr_t>(INVALID_SOCKET)),
      m_peer(static_cast<intptr_t>(INVALID_SOCKET)) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(a);
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr *>(&a), size) != 0 ||
        listen(s, backlog) != 0 || getsockname(s, reinterpret_cast<sockaddr *>(&a), &size) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        return;
    }
    m_listen = static_cast<intptr_t>(s);
    m_port = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() {
    ClosePeer();
    CloseListener();
    WSACleanup();
}

bool LoopbackListener::IsListening() const { return Native(m_listen) != INVALID_SOCKET; }

bool LoopbackListener::Accept(uint32_t timeoutMs) {
    if (!IsListening() || !WaitReadable(Native(m_listen), timeoutMs)) return false;
    ClosePeer();
    m_peer = static_cast<intptr_t>(accept(Native(m_listen), nullptr, nullptr));
    return Native(m_peer) != INVALID_SOCKET;
}

bool LoopbackListener::SendAll(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        int n = send(Native(m_peer), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string LoopbackListener::Read(size_t count, uint32_t timeoutMs) {
    std::string got;
    char buffer[4096];
    while (got.size() < count && WaitReadable(Native(m_peer), timeoutMs)) {
        int n = recv(Native(m_peer), buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

void LoopbackListener::ClosePeer() {
    if (Native(m_peer) != INVALID_SOCKET) closesocket(Native(m_peer));
    m_peer = static_cast<intptr_t>(INVALID_SOCKET);
}

void LoopbackListener::CloseListener() {
    if (IsListening()) closesocket(Native(m_listen));
    m_listen = static_cast<intptr_t>(INVALID_SOCKET);
}

uint16_t LoopbackListener::ClosedPort() {
    LoopbackListener probe;
    return probe.Port();
}
