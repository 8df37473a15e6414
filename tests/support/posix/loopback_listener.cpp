#include "loopback_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool WaitReadable(int fd, uint32_t timeoutMs) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, static_cast<int>(timeoutMs)) > 0;
}

} // namespace

LoopbackListener::LoopbackListener(int backlog) : m_listen(-1), m_peer(-1) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(a);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), size) != 0 ||
        listen(fd, backlog) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) != 0) {
        if (fd >= 0) close(fd);
        return;
    }
    m_listen = fd;
    m_port = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() {
    ClosePeer();
    CloseListener();
}

bool LoopbackListener::IsListening() const { return m_listen >= 0; }

bool LoopbackListener::Accept(uint32_t timeoutMs) {
    if (m_listen < 0 || !WaitReadable(static_cast<int>(m_listen), timeoutMs)) return false;
    ClosePeer();
    m_peer = accept(static_cast<int>(m_listen), nullptr, nullptr);
    return m_peer >= 0;
}

bool LoopbackListener::SendAll(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n =
            send(static_cast<int>(m_peer), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string LoopbackListener::Read(size_t count, uint32_t timeoutMs) {
    std::string got;
    char buffer[4096];
    while (got.size() < count && WaitReadable(static_cast<int>(m_peer), timeoutMs)) {
        ssize_t n = recv(static_cast<int>(m_peer), buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

void LoopbackListener::ClosePeer() {
    if (m_peer >= 0) close(static_cast<int>(m_peer));
    m_peer = -1;
}

void LoopbackListener::CloseListener() {
    if (m_listen >= 0) close(static_cast<int>(m_listen));
    m_listen = -1;
}

uint16_t LoopbackListener::ClosedPort() {
    LoopbackListener probe;
    return probe.Port();
}
