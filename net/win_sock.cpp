// WinSocket::CWinSock: one non-blocking TCP connection and its two queues.
#include "net/win_sock.h"

#include "base/mem.h"
#include "os/system.h"

#include <new>

namespace WinSocket {

// ---- Construction, Create, Bind, and the network start and stop ----

uint32_t g_wsaStarted = 0;
uint8_t g_socketCount = 0;

namespace {

// Keep-alive probes after 1 s without traffic, then every second.
constexpr uint32_t kKeepAliveMs = 1000;

std::string DottedText(uint32_t address) {
    char text[16];
    OsInetNtoa(address, text);
    return text;
}

} // namespace

CWinSock::CWinSock(const char *address, uint16_t port, NotifyFn notify, void *notifyArg) {
    InitCommon();
    // No text is no address, like any text that is not one.
    if (!address) address = "";
    m_remoteAddressText = address;
    m_remotePort = port;
    // Not validated: anything but dotted IPv4 text gives 255.255.255.255,
    // which Connect then uses unchanged. Host names are not resolved.
    m_remoteAddress = OsInetAddr(address);
    m_localAddressText = DottedText(0);
    m_notify = notify;
    m_notifyArg = notifyArg;
    ++g_socketCount;
}

CWinSock::CWinSock(uint32_t address, uint16_t port, NotifyFn notify, void *notifyArg) {
    InitCommon();
    m_remoteAddress = address;
    m_remoteAddressText = DottedText(address);
    m_remotePort = port;
    m_localAddressText = DottedText(0);
    m_notify = notify;
    m_notifyArg = notifyArg;
    ++g_socketCount;
}

// A failed start leaves a usable object whose every Poll reports WSOCK_ERR_STARTUP.
void CWinSock::InitCommon() {
    m_remoteAddress = m_localAddress = 0;
    m_remotePort = m_localPort = 0;
    m_remoteAddressText = "000.000.000.000";
    m_handle = OS_INVALID_SOCKET;
    m_state = WSOCK_STATE_CLOSED;
    m_error = WSOCK_OK;
    m_family = m_type = m_protocol = 0;
    m_notify = nullptr;
    m_notifyArg = nullptr;
    m_readyFlags = 0;
    m_sendLock = m_recvLock = nullptr;
    if (g_wsaStarted != 1 && g_socketCount == 0) {
        if (OsNetworkStartup())
            g_wsaStarted = 1;
        else
            m_error = WSOCK_ERR_STARTUP;
    }
}

CWinSock::~CWinSock() {
    --g_socketCount;
    StopNetworkIfUnused();
}

WSockResult CWinSock::Create(int32_t family, int32_t type, int32_t protocol) {
    if (m_handle != OS_INVALID_SOCKET) return WSOCK_ERR_STATE;
    // A failing socket call shows as a failure of the first option.
    m_handle = OsSocketOpen(family, type, protocol);
    m_family = family;
    m_type = type;
    m_protocol = protocol;
    if (!OsSocketSetNonBlocking(m_handle) || !OsSocketSetRecvBuffer(m_handle, WSOCK_CHUNK_MAX)) {
        Close();
        return WSOCK_ERR_CREATE;
    }
    if (!OsSocketSetSendBuffer(m_handle, WSOCK_CHUNK_MAX)) {
        Close();
        return WSOCK_ERR_FAILED;
    }
    // Without keep-alive the handle stays open in WSOCK_STATE_CLOSED; Close
    // releases it.
    if (!OsSocketSetKeepAlive(m_handle, kKeepAliveMs, kKeepAliveMs)) return WSOCK_ERR_FAILED;
    m_state = WSOCK_STATE_CREATED;
    return WSOCK_OK;
}

WSockResult CWinSock::Bind() {
    if (m_handle == OS_INVALID_SOCKET) return WSOCK_ERR_NO_SOCKET;
    if (m_state != WSOCK_STATE_CREATED) return WSOCK_ERR_STATE;
    uint32_t address = OsInetAddr(m_localAddressText.c_str());
    if (!OsSocketBind(m_handle, OS_AF_INET, address, m_localPort)) return WSOCK_ERR_FAILED;
    return WSOCK_OK;
}

WSockResult CWinSock::IsValid() const {
    return m_handle != OS_INVALID_SOCKET ? WSOCK_OK : WSOCK_ERR_NO_SOCKET;
}

WSockResult CWinSock::StartNetwork() {
    if (!OsNetworkStartup()) return WSOCK_ERR_FAILED;
    g_wsaStarted = 1;
    return WSOCK_OK;
}

WSockResult CWinSock::StopNetwork() {
    if (!g_wsaStarted) return WSOCK_OK;
    WSockResult result = OsNetworkCleanup() ? WSOCK_OK : WSOCK_ERR_FAILED;
    g_wsaStarted = 0;
    return result;
}

void CWinSock::StopNetworkIfUnused() {
    if (g_wsaStarted == 1 && g_socketCount == 0) {
        OsNetworkCleanup();
        g_wsaStarted = 0;
    }
}

uint32_t CWinSock::IsNetworkStarted() { return g_wsaStarted; }

// ---- Connect and Close, and the state changes that notify the owner ----

namespace {

constexpr uint16_t kLingerSeconds = 5;
constexpr uint32_t kLingerMs = kLingerSeconds * 1000u;
// Pause between two close calls that would block.
constexpr uint32_t kCloseRetryMs = 1;

// Attempts that WinSock ends later; their outcome shows in Poll.
bool IsPendingConnectError(OsSocketError error) {
    return error == OsSocketError::OS_WSAEWOULDBLOCK || error == OsSocketError::OS_WSAENETUNREACH ||
           error == OsSocketError::OS_WSAETIMEDOUT || error == OsSocketError::OS_WSAECONNREFUSED;
}

// Errors that make Close report that the network is not usable.
bool IsNetworkError(OsSocketError error) {
    return error == OsSocketError::OS_WSAEINTR || error == OsSocketError::OS_WSAENOTSOCK ||
           error == OsSocketError::OS_WSAENETDOWN || error == OsSocketError::OS_WSANOTINITIALISED;
}

// Whether a close call must be made again: WinSock has not finished it.
bool CloseWouldBlock(OsSocketError error) {
    return error == OsSocketError::OS_WSAEWOULDBLOCK || error == OsSocketError::OS_WSAEINPROGRESS;
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
    if (OsSocketConnect(m_handle, m_family, m_remoteAddress, m_remotePort)) {
        SetState(WSOCK_STATE_CONNECTED);
        return WSOCK_OK;
    }
    if (!IsPendingConnectError(OsSocketLastError())) return WSOCK_ERR_CONNECT;
    SetState(WSOCK_STATE_CONNECTING);
    return WSOCK_PENDING;
}

// Returns the error of the final shutdown call, OS_WSA_NO_ERROR if it succeeded.
OsSocketError CWinSock::ShutdownForClose() {
    for (;;) {
        if (OsSocketShutdownSend(m_handle)) return OsSocketError::OS_WSA_NO_ERROR;
        const OsSocketError error = OsSocketLastError();
        if (error != OsSocketError::OS_WSAEINPROGRESS) return error;
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

// One close call: its error, or OS_WSA_NO_ERROR once the handle is released.
OsSocketError CWinSock::CloseHandleOnce() {
    if (!OsSocketClose(m_handle)) return OsSocketLastError();
    m_handle = OS_INVALID_SOCKET;
    return OsSocketError::OS_WSA_NO_ERROR;
}

// WinSock refuses to close a non-blocking socket with a linger time as
// would-block for as long as the peer leaves sent data unread, and starts no
// timer of its own. So the close is tried again every millisecond for the
// linger time; after that the linger time is set to zero, and the close that
// follows resets the connection and drops what the peer did not take.
// Returns the error of the final close call, OS_WSA_NO_ERROR if it succeeded.
OsSocketError CWinSock::ReleaseHandle() {
    const uint32_t start = OsTimeGetTime();
    for (;;) {
        const OsSocketError error = CloseHandleOnce();
        if (!CloseWouldBlock(error)) return error;
        if (OsTimeGetTime() - start >= kLingerMs) break;
        OsSleep(kCloseRetryMs);
    }
    OsSocketSetLinger(m_handle, 0);
    return CloseHandleOnce();
}

WSockResult CWinSock::Close() {
    if (m_handle == OS_INVALID_SOCKET) return WSOCK_ERR_NO_SOCKET;
    constexpr OsSocketError none = OsSocketError::OS_WSA_NO_ERROR;
    OsSocketError lastError = none;
    if (m_state >= WSOCK_STATE_CONNECTING) {
        const OsSocketError error = ShutdownForClose();
        if (error != none) lastError = error;
        DrainForClose();
    }
    OsSocketSetNonBlocking(m_handle);
    if (!OsSocketSetLinger(m_handle, kLingerSeconds)) lastError = OsSocketLastError();
    const OsSocketError error = ReleaseHandle();
    if (error != none) lastError = error;
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

// ---- Poll, Send and Receive: one service step ----

// A failed readiness test counts as nothing ready: no condition is
// examined and nothing is recorded. A pushed chunk still goes to Send,
// which reports a socket that cannot send.
WSockResult CWinSock::Poll() {
    if (m_state == WSOCK_STATE_CLOSED) return WSOCK_ERR_NO_SOCKET;
    OsSocketReady ready;
    if (OsSocketSelect(m_handle, &ready)) {
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
    const OsSocketError error = n == 0 ? OsSocketError::OS_WSA_NO_ERROR : OsSocketLastError();
    FreeChunk(received);
    *chunk = nullptr;
    *length = 0;
    if (n == 0) {
        // The end of the stream: no notification, the owner sees the state.
        m_state = m_state == WSOCK_STATE_CONNECTED ? WSOCK_STATE_CLOSED_BY_PEER : WSOCK_STATE_LOST;
        return WSOCK_CLOSED_BY_PEER;
    }
    return error == OsSocketError::OS_WSAEWOULDBLOCK ? WSOCK_PENDING : WSOCK_ERR_RECEIVE;
}

// ---- The queues, their lent locks, and the chunks they carry ----

// The string's control block lives in a zero-filled block from MemAlloc;
// its bytes come from the standard allocator and go with the destructor.
WSockResult CWinSock::AllocChunk(std::string **chunk) {
    if (!chunk) return WSOCK_ERR_NULL_POINTER;
    void *block = MemAlloc(sizeof(std::string));
    if (!block) return WSOCK_ERR_OUT_OF_MEMORY;
    *chunk = new (block) std::string();
    return WSOCK_OK;
}

void CWinSock::FreeChunk(std::string *chunk) {
    if (!chunk) return;
    chunk->~basic_string();
    MemFree(chunk);
}

bool CWinSock::FillChunk(std::string *chunk, const char *bytes, size_t length) {
    try {
        chunk->assign(bytes, length);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool CWinSock::AppendChunk(std::deque<std::string *> &queue, OsCriticalSection *lock,
                           std::string *chunk) {
    OsLockGuard guard(lock);
    try {
        queue.push_back(chunk);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool CWinSock::HasUnsentChunk() {
    if (!m_sendLock) return false;
    OsLockGuard guard(m_sendLock);
    return !m_sendQueue.empty();
}

void CWinSock::SetQueueLocks(OsCriticalSection *sendLock, OsCriticalSection *recvLock) {
    m_sendLock = sendLock;
    m_recvLock = recvLock;
}

void CWinSock::ClearQueueLocks() {
    m_sendLock = nullptr;
    m_recvLock = nullptr;
}

// The pushed chunk is due for the next Poll even if the socket has not been
// reported writable since the last one.
WSockResult CWinSock::PushSend(std::string *chunk, uint16_t) {
    if (!m_sendLock) return WSOCK_ERR_FAILED;
    OsLockGuard guard(m_sendLock);
    m_sendQueue.push_back(chunk);
    m_readyFlags |= READY_WRITE;
    return WSOCK_OK;
}

WSockResult CWinSock::PushRecv(std::string *chunk, uint16_t) {
    if (!m_recvLock) return WSOCK_ERR_FAILED;
    OsLockGuard guard(m_recvLock);
    m_recvQueue.push_back(chunk);
    return WSOCK_OK;
}

namespace {

WSockResult PopOldest(std::deque<std::string *> &queue, OsCriticalSection *lock,
                      std::string **chunk, uint16_t *length) {
    if (!chunk || !length) return WSOCK_ERR_NULL_POINTER;
    OsLockGuard guard(lock);
    if (queue.empty()) {
        *chunk = nullptr;
        *length = 0;
        return WSOCK_EMPTY;
    }
    *chunk = queue.front();
    queue.pop_front();
    *length = static_cast<uint16_t>(*chunk ? (*chunk)->size() : 0);
    return WSOCK_OK;
}

void ReleaseAll(std::deque<std::string *> &queue, OsCriticalSection *lock) {
    OsLockGuard guard(lock);
    for (std::string *chunk : queue)
        CWinSock::FreeChunk(chunk);
    queue.clear();
}

} // namespace

WSockResult CWinSock::PopSend(std::string **chunk, uint16_t *length) {
    return PopOldest(m_sendQueue, m_sendLock, chunk, length);
}

WSockResult CWinSock::PopRecv(std::string **chunk, uint16_t *length) {
    return PopOldest(m_recvQueue, m_recvLock, chunk, length);
}

void CWinSock::ClearSendQueue() { ReleaseAll(m_sendQueue, m_sendLock); }

void CWinSock::ClearRecvQueue() { ReleaseAll(m_recvQueue, m_recvLock); }

} // namespace WinSocket
