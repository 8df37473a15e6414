// The engine's socket: creating, connecting, closing and releasing it, and
// the connection state with its notifications.
#include "engine/process_data.h"

#include "base/process_status.h"
#include "engine/process_data.h"
#include "engine/service_list.h"
#include "net/win_sock.h"
#include "os/event.h"

#include <cstring>
#include <new>

namespace {

constexpr int32_t kAfInet = 2;
constexpr int32_t kSockStream = 1;
constexpr int32_t kIpProtoTcp = 6;

// Null when there is no memory for the object or for its address texts.
WinSocket::CWinSock *NewSocket(const char *address, uint16_t port, WinSocket::NotifyFn notify,
                               void *notifyArg) {
    try {
        return new WinSocket::CWinSock(address, port, notify, notifyArg);
    } catch (const std::bad_alloc &) {
        // A construction cut short may have started the network for itself.
        WinSocket::CWinSock::StopNetworkIfUnused();
        return nullptr;
    }
}

// The socket's states are the instance's connection states.
uint32_t ConnectionStateOf(WSockState state) {
    switch (state) {
    case WSOCK_STATE_CLOSED:
        return KORVEL_CONN_CLOSED;
    case WSOCK_STATE_CREATED:
        return KORVEL_CONN_CREATED;
    case WSOCK_STATE_CONNECTING:
        return KORVEL_CONN_CONNECTING;
    case WSOCK_STATE_CONNECTED:
        return KORVEL_CONN_CONNECTED;
    case WSOCK_STATE_CLOSED_BY_PEER:
        return KORVEL_CONN_CLOSED_BY_PEER;
    case WSOCK_STATE_LOST:
        return KORVEL_CONN_LOST;
    }
    return KORVEL_CONN_LOST;
}

} // namespace

ProcessStatus CProcessData::CreateTransport() {
    // An engine whose events or threads are missing could never move data.
    if (m_initFailed) return PROCESS_ERR_RESOURCE;
    WinSocket::NotifyFn notify = m_callbackMode ? OnSocketStateChange : nullptr;
    void *notifyArg = m_callbackMode ? this : nullptr;
    // The field need not hold a NUL: never read past its 20 bytes.
    char address[sizeof(m_params->ipAddress) + 1] = {};
    std::memcpy(address, m_params->ipAddress, sizeof(m_params->ipAddress));
    m_socket = NewSocket(address, m_params->port, notify, notifyArg);
    if (!m_socket) return PROCESS_ERR_RESOURCE;
    m_socket->SetQueueLocks(&m_sockSendLock, &m_sockRecvLock);
    if (m_params->protocol != KORVEL_PROTOCOL_TCP) return PROCESS_ERR_PROTOCOL;
    if (m_socket->Create(kAfInet, kSockStream, kIpProtoTcp) != WSOCK_OK)
        return PROCESS_ERR_CONNECTION;
    return PROCESS_OK;
}

ProcessStatus CProcessData::Connect() {
    if (!m_socket) return PROCESS_ERR_CONNECTION;
    const WSockResult r = m_socket->Connect();
    if (r != WSOCK_OK && r != WSOCK_PENDING) return PROCESS_ERR_CONNECTION;
    JoinServiceList(this);
    return PROCESS_OK;
}

ProcessStatus CProcessData::Disconnect() {
    if (!m_socket) return PROCESS_ERR_DISCONNECT;
    // After this no service cycle of this engine runs any more.
    LeaveServiceList(this);
    return m_socket->Close() == WSOCK_OK ? PROCESS_OK : PROCESS_ERR_DISCONNECT;
}

ProcessStatus CProcessData::ReleaseSocket() {
    if (!m_socket) return PROCESS_ERR_DISCONNECT;
    m_socket->ClearSendQueue();
    m_socket->ClearRecvQueue();
    m_socket->ClearQueueLocks();
    delete m_socket;
    m_socket = nullptr;
    return PROCESS_OK;
}

ProcessStatus CProcessData::GetConnectionState(uint32_t *state) {
    if (!state) return PROCESS_ERR_NULL_POINTER;
    if (!m_socket) return PROCESS_ERR_CONNECTION;
    WSockState value = WSOCK_STATE_CLOSED;
    const WSockResult r = m_socket->GetState(&value);
    if (r != WSOCK_OK) return MapTransportStatus(r);
    *state = ConnectionStateOf(value);
    return PROCESS_OK;
}

void CProcessData::OnSocketStateChange(void *arg) {
    CProcessData *engine = static_cast<CProcessData *>(arg);
    if (!engine || !engine->m_socket) return;
    if (engine->m_socket->GetState(&engine->m_connState) != WSOCK_OK) return;
    if (engine->m_connState == engine->m_lastConnState) return;
    const EngineEvent event = engine->m_connState == WSOCK_STATE_CONNECTED ? ENGINE_EVENT_CONNECTED
                              : engine->m_connState == WSOCK_STATE_CLOSED
                                  ? ENGINE_EVENT_DISCONNECTED
                                  : ENGINE_EVENT_STATE;
    OsSetEvent(engine->m_events[event]);
    engine->m_lastConnState = engine->m_connState;
}
