// Poll, Send and Receive: one service step of the connection.
#include "net/win_sock.h"

namespace WinSocket {

// A failed readiness test counts as nothing ready: no condition is
// examined and nothing is recorded. A pushed chunk still goes to Send,
// which reports a socket that cannot send.
WSockResult CWinSock::Poll() {
    if (m_state == WSOCK_STATE_CLOSED) return WSOCK_ERR_NO_SOCKET;
    OsSocketReady ready;
    if (OsSocketSelect(m_handle, &ready) > 0) {
        if (ready.except) {
            m_error = WSOCK_ERR_EXCEPTION;
            return WSOCK_ERR_EXCEPTION;
        }
        // The first test that finds the attempt in progress completes it,
        // so the notification fires at most once per call.
        if (ready.read) {
            if (m_state == WSOCK_STATE_CONNECTING) SetState(WSOCK_STATE_CONNECTED);
            m_readyFlags |= READY_READ;
        }
        if (ready.write) {
            if (m_state == WSOCK_STATE_CONNECTING) SetState(WSOCK_STATE_CONNECTED);
            m_readyFlags |= READY_WRITE;
        }
    }
    TransmitStep();
    ReceiveStep();
    return m_error;
}

// One queued chunk goes out once. Bytes the platform does not accept are
// dropped: nothing is sent again.
void CWinSock::TransmitStep() {
    if (!(m_readyFlags & READY_WRITE)) return;
    std::string *chunk = nullptr;
    uint16_t length = 0;
    if (PopSend(&chunk, &length) == WSOCK_OK && chunk) {
        uint16_t sent = 0;
        WSockResult result = Send(chunk, length, &sent);
        if (result != WSOCK_OK) m_error = result;
        FreeChunk(chunk);
    }
    m_readyFlags &= static_cast<uint8_t>(~READY_WRITE);
}

void CWinSock::ReceiveStep() {
    if (!(m_readyFlags & READY_READ)) return;
    std::string *chunk = nullptr;
    uint16_t length = 0;
    WSockResult result = Receive(&chunk, &length);
    if (result == WSOCK_OK) {
        if (!m_recvLock) {
            FreeChunk(chunk);
        } else if (!AppendChunk(m_recvQueue, m_recvLock, chunk)) {
            // No memory for the queue to grow: like no memory for the chunk.
            FreeChunk(chunk);
            m_error = WSOCK_ERR_OUT_OF_MEMORY;
        }
    } else if (result != WSOCK_PENDING && result != WSOCK_CLOSED_BY_PEER) {
        m_error = result;
    }
    m_readyFlags &= static_cast<uint8_t>(~READY_READ);
}

// The stream socket ignores the destination that sendto is given.
WSockResult CWinSock::Send(const std::string *chunk, uint16_t length, uint16_t *sent) {
    if (m_handle == OS_INVALID_SOCKET) return WSOCK_ERR_NO_SOCKET;
    if (!chunk || !sent) return WSOCK_ERR_NULL_POINTER;
    if (m_state < WSOCK_STATE_CONNECTED) {
        *sent = 0;
        return WSOCK_ERR_NOT_CONNECTED;
    }
    int n =
        OsSocketSendTo(m_handle, chunk->data(), length, m_family, m_remoteAddress, m_remotePort);
    if (n < 0) {
        *sent = 0;
        return WSOCK_ERR_SEND;
    }
    *sent = static_cast<uint16_t>(n);
    return WSOCK_OK;
}

WSockResult CWinSock::Receive(std::string **chunk, uint16_t *length) {
    if (m_handle == OS_INVALID_SOCKET) return WSOCK_ERR_NO_SOCKET;
    if (!chunk || !length) return WSOCK_ERR_NULL_POINTER;
    if (m_state < WSOCK_STATE_CONNECTING) {
        *length = 0;
        return WSOCK_ERR_STATE;
    }
    std::string *received = nullptr;
    if (AllocChunk(&received) != WSOCK_OK) return WSOCK_ERR_OUT_OF_MEMORY;
    int n = OsSocketRecvFrom(m_handle, m_staging, WSOCK_CHUNK_MAX);
    if (n > 0) {
        // The bytes read are lost when the chunk has no memory for them.
        if (!FillChunk(received, m_staging, static_cast<size_t>(n))) {
            FreeChunk(received);
            *chunk = nullptr;
            *length = 0;
            return WSOCK_ERR_OUT_OF_MEMORY;
        }
        *chunk = received;
        *length = static_cast<uint16_t>(n);
        return WSOCK_OK;
    }
    int error = n == 0 ? 0 : OsSocketLastError();
    FreeChunk(received);
    *chunk = nullptr;
    *length = 0;
    if (n == 0) {
        // The end of the stream: no notification, the owner sees the state.
        m_state = m_state == WSOCK_STATE_CONNECTED ? WSOCK_STATE_CLOSED_BY_PEER : WSOCK_STATE_LOST;
        return WSOCK_CLOSED_BY_PEER;
    }
    return error == OS_WSAEWOULDBLOCK ? WSOCK_PENDING : WSOCK_ERR_RECEIVE;
}

} // namespace WinSocket
