#include "loopback_listener.h"

LoopbackListener::LoopbackListener(int backlog) : m_listen(TestListen(&m_port, backlog)) {}

LoopbackListener::~LoopbackListener() {
    ClosePeer();
    CloseListener();
}

bool LoopbackListener::IsListening() const { return m_listen != kNoTestSocket; }

bool LoopbackListener::Accept(uint32_t timeoutMs) {
    if (!IsListening() || !TestWaitReadable(m_listen, timeoutMs)) return false;
    ClosePeer();
    m_peer = TestAccept(m_listen);
    return m_peer != kNoTestSocket;
}

bool LoopbackListener::SendAll(const std::string &bytes) {
    return m_peer != kNoTestSocket && TestSendAll(m_peer, bytes.data(), bytes.size());
}

std::string LoopbackListener::Read(size_t count, uint32_t timeoutMs) {
    std::string got;
    char buffer[4096];
    while (got.size() < count && TestWaitReadable(m_peer, timeoutMs)) {
        int n = TestRecv(m_peer, buffer, sizeof(buffer));
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

void LoopbackListener::ClosePeer() {
    if (m_peer != kNoTestSocket) TestClose(m_peer);
    m_peer = kNoTestSocket;
}

void LoopbackListener::ResetPeer() {
    if (m_peer != kNoTestSocket && TestAbort(m_peer)) TestClose(m_peer);
    m_peer = kNoTestSocket;
}

void LoopbackListener::CloseListener() {
    if (m_listen != kNoTestSocket) TestClose(m_listen);
    m_listen = kNoTestSocket;
}

uint16_t LoopbackListener::ClosedPort() {
    LoopbackListener probe;
    return probe.Port();
}
