// Connect and Close: the two ends of the connection's life, and the state
// changes that notify the owner.
#include "net/win_sock.h"

#include "os/clock.h"

namespace WinSocket {

namespace {

constexpr uint16_t kLingerSeconds = 5;
constexpr uint32_t kLingerMs = kLingerSeconds * 1000u;
// Pause between two close calls that would block.
constexpr uint32_t kCloseRetryMs = 1;

// Attempts that WinSock ends later; their outcome shows in Poll.
bool IsPendingConnectError(int error) {
    return error == OS_WSAEWOULDBLOCK || error == OS_WSAENETUNREACH || error == OS_WSAETIMEDOUT ||
           error == OS_WSAECONNREFUSED;
}

// Errors that make Close report that the network is not usable.
bool IsNetworkError(int error) {
    return error == OS_WSAEINTR || error == OS_WSAENOTSOCK || error == OS_WSAENETDOWN ||
           error == OS_WSANOTINITIALISED;
}

} // namespace

void CWinSock::Notify() {
    if (m_notify) m_notify(m_notifyArg);
}

void CWinSock::SetState(WSockState state) {
    m_state = state;
    Notify();
}

WSockResult CWinSock::Connect() {
    if (m_state != WSOCK_STATE_CREATED) return WSOCK_ERR_STATE;
    if (OsSocketConnect(m_handle, m_family, m_remoteAddress, m_remotePort) == 0) {
        SetState(WSOCK_STATE_CONNECTED);
        return WSOCK_OK;
    }
    if (!IsPendingConnectError(OsSocketLastError())) return WSOCK_ERR_CONNECT;
    SetState(WSOCK_STATE_CONNECTING);
    return WSOCK_PENDING;
}

// Returns the error of the final shutdown call, 0 if it succeeded.
int CWinSock::ShutdownForClose() {
    for (;;) {
        if (OsSocketShutdownSend(m_handle) == 0) return 0;
        int error = OsSocketLastError();
        if (error != OS_WSAEINPROGRESS) return error;
    }
}

// Whatever the peer still sends is read and dropped, so that the close
// does not reset the connection.
void CWinSock::DrainForClose() {
    std::string *chunk = nullptr;
    uint16_t length = 0;
    while (Receive(&chunk, &length) == WSOCK_OK)
        FreeChunk(chunk);
}

// One close call: its error, or 0 once the handle is released.
int CWinSock::CloseHandleOnce() {
    if (OsSocketClose(m_handle) != 0) return OsSocketLastError();
    m_handle = OS_INVALID_SOCKET;
    return 0;
}

// WinSock refuses to close a non-blocking socket with a linger time as
// would-block for as long as the peer leaves sent data unread, and starts no
// timer of its own. So the close is tried again every millisecond for the
// linger time; after that the linger time is set to zero, and the close that
// follows resets the connection and drops what the peer did not take.
// Returns the error of the final close call, 0 if it succeeded.
int CWinSock::ReleaseHandle() {
    const uint32_t start = OsTimeGetTime();
    for (;;) {
        const int error = CloseHandleOnce();
        if (error != OS_WSAEWOULDBLOCK && error != OS_WSAEINPROGRESS) return error;
        if (OsTimeGetTime() - start >= kLingerMs) break;
        OsSleep(kCloseRetryMs);
    }
    OsSocketSetLinger(m_handle, 0);
    return CloseHandleOnce();
}

WSockResult CWinSock::Close() {
    if (m_handle == OS_INVALID_SOCKET) return WSOCK_ERR_NO_SOCKET;
    int lastError = 0;
    if (m_state >= WSOCK_STATE_CONNECTING) {
        if (int error = ShutdownForClose()) lastError = error;
        DrainForClose();
    }
    OsSocketSetNonBlocking(m_handle);
    if (OsSocketSetLinger(m_handle, kLingerSeconds) != 0) lastError = OsSocketLastError();
    if (int error = ReleaseHandle()) lastError = error;
    SetState(WSOCK_STATE_CLOSED);
    return IsNetworkError(lastError) ? WSOCK_ERR_NETWORK : WSOCK_OK;
}

WSockResult CWinSock::GetState(WSockState *state) const {
    if (!state) return WSOCK_ERR_NULL_POINTER;
    *state = m_state;
    return WSOCK_OK;
}

WSockResult CWinSock::GetError(WSockResult *error) const {
    if (!error) return WSOCK_ERR_NULL_POINTER;
    *error = m_error;
    return WSOCK_OK;
}

void CWinSock::ClearError() { m_error = WSOCK_OK; }

} // namespace WinSocket
