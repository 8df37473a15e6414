// CProcessData: construction and teardown, the callback thread, the socket
// and the connection state, buffer information and the CAN state word. The
// paths of the messages are in message_paths.cpp.
#include "engine/process_data.h"

#include "engine/service_list.h"
#include "os/system.h"

#include <cstring>
#include <new>

// ---- Construction, teardown and the callback thread ----

namespace {

// The code that the application's callback gets for an event; the stop
// event is never delivered.
uint32_t EventCodeOf(EngineEvent event) {
    switch (event) {
    case ENGINE_EVENT_CONNECTED:
        return EVENT_CONNECTED;
    case ENGINE_EVENT_DISCONNECTED:
        return EVENT_DISCONNECTED;
    case ENGINE_EVENT_RECEIVED:
        return EVENT_MSG_RECEIVED;
    case ENGINE_EVENT_ERROR:
        return EVENT_ERROR;
    case ENGINE_EVENT_STATE:
        return EVENT_STATE_CHANGED;
    case ENGINE_EVENT_STOP:
    case ENGINE_EVENT_COUNT:
        break; // no events of the application
    }
    return EVENT_ERROR;
}

// The engine whose callback thread is the calling thread, if any.
thread_local CProcessData *t_callbackEngine = nullptr;
// Set when an engine is torn down from inside its own callback: the thread
// then owns the events and closes them when it ends.
thread_local bool t_closeEventsOnExit = false;

} // namespace

CProcessData::CProcessData(EngineEventFn onEvent, void *owner, const InitParams *params)
    : m_owner(owner), m_onEvent(onEvent), m_params(params), m_callbackMode(1) {
    Init();
}

CProcessData::CProcessData(const InitParams *params) : m_params(params), m_callbackMode(0) {
    Init();
}

CProcessData::~CProcessData() { Cleanup(); }

void CProcessData::Init() {
    OsInitCriticalSection(&m_rxLock);
    OsInitCriticalSection(&m_txLock);
    OsInitCriticalSection(&m_sockRecvLock);
    OsInitCriticalSection(&m_sockSendLock);
    m_rxBufferSize = m_params->rxBufferSize;
    m_txBufferSize = m_params->txBufferSize;
    if (m_callbackMode) {
        if (CreateEvents()) StartCallbackThread();
        m_initFailed = m_callbackThread == nullptr;
    }
    if (!SetUpServiceState()) m_initFailed = true;
}

bool CProcessData::CreateEvents() {
    bool ok = true;
    for (OsHandle &event : m_events) {
        event = OsCreateEvent(nullptr);
        ok = ok && event != nullptr;
    }
    return ok;
}

void CProcessData::StartCallbackThread() {
    m_callbackThreadDesc = ThreadDesc{CallbackThreadProc, this, OsThreadPriority::AboveNormal,
                                      OS_INVALID_HANDLE,  0,    m_events[ENGINE_EVENT_STOP]};
    m_callbackThread = new (std::nothrow) CProcessThread;
    if (!m_callbackThread) return;
    if (m_callbackThread->Start(&m_callbackThreadDesc) == PROCESS_THREAD_OK) return;
    delete m_callbackThread;
    m_callbackThread = nullptr;
}

namespace {

// An exception that leaves the application's callback must not end the
// process on our thread: it is caught here, the thread goes on delivering
// events, and the next exported call on the instance reports it once, unless
// the callback has shut its own instance down before it threw.
void Deliver(CProcessData *engine, EngineEventFn onEvent, void *owner, uint32_t code) {
    try {
        onEvent(owner, code);
    } catch (...) {
        if (CProcessData::InCallbackThread()) engine->ReportCallbackFailure();
    }
}

} // namespace

uint32_t CallbackThreadProc(void *arg) {
    CProcessData *engine = static_cast<CProcessData *>(arg);
    t_callbackEngine = engine;
    // Copies: the engine may be destroyed by its own callback.
    OsHandle events[ENGINE_EVENT_COUNT];
    for (uint32_t i = 0; i < ENGINE_EVENT_COUNT; ++i)
        events[i] = engine->m_events[i];
    EngineEventFn onEvent = engine->m_onEvent;
    void *owner = engine->m_owner;
    for (;;) {
        const OsWaitResult r = OsWaitForEvents(ENGINE_EVENT_COUNT, events, OS_INFINITE);
        if (r.status != OsWaitStatus::Signalled) {
            OsSleep(1); // a failed wait delivers nothing and must not spin
            continue;
        }
        if (r.index == ENGINE_EVENT_STOP) break;
        Deliver(engine, onEvent, owner, EventCodeOf(static_cast<EngineEvent>(r.index)));
    }
    if (t_closeEventsOnExit)
        for (OsHandle event : events)
            OsCloseEvent(event);
    return 0;
}

bool CProcessData::InCallbackThread() { return t_callbackEngine != nullptr; }

bool CProcessData::CallbackThreadMustNotWait() {
    return t_callbackEngine && t_callbackEngine->m_stopping.load();
}

// The callback thread is waited for, unless the caller is that thread
// itself (the application shut its instance down from its own callback):
// then it is told to stop and ends when the callback returns.
// Returns whether the thread took the events over.
bool CProcessData::StopCallbackThread() {
    m_stopping = true;
    bool ownThread = t_callbackEngine == this;
    if (ownThread) {
        OsSetEvent(m_events[ENGINE_EVENT_STOP]);
        OsCloseThread(m_callbackThreadDesc.hThread);
        t_callbackEngine = nullptr;
        t_closeEventsOnExit = true;
    } else {
        m_callbackThread->Stop(&m_callbackThreadDesc);
    }
    delete m_callbackThread;
    m_callbackThread = nullptr;
    return ownThread;
}

void CProcessData::Cleanup() {
    TearDownServiceStateIfUnused();
    if (m_callbackMode) {
        bool eventsHandedOver = m_callbackThread && StopCallbackThread();
        if (!eventsHandedOver)
            for (OsHandle &event : m_events)
                if (event) OsCloseEvent(event);
    }
    ClearRxBuffer();
    ClearTxBuffer();
    OsDeleteCriticalSection(&m_sockRecvLock);
    OsDeleteCriticalSection(&m_sockSendLock);
    OsDeleteCriticalSection(&m_txLock);
    OsDeleteCriticalSection(&m_rxLock);
}

// A failed callback is kept apart from the service thread's result, which
// every cycle overwrites, and comes first.
ProcessStatus CProcessData::TakeLastError() {
    if (m_callbackFailed.exchange(false)) return PROCESS_ERR_UNKNOWN;
    return m_lastError.exchange(PROCESS_OK);
}

void CProcessData::ReportCallbackFailure() { m_callbackFailed = true; }

// ---- The socket and the connection state ----

namespace {

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
    if (m_socket->Create(OS_AF_INET, OS_SOCK_STREAM, OS_IPPROTO_TCP) != WSOCK_OK)
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

// Results that the engine never sees (WSOCK_ERR_STATE, WSOCK_ERR_EXCEPTION,
// WSOCK_ERR_STARTUP, WSOCK_ERR_OUT_OF_MEMORY, WSOCK_ERR_FAILED) and values
// outside the set are unexpected.
ProcessStatus MapTransportStatus(WSockResult socketResult) {
    switch (socketResult) {
    case WSOCK_OK:
    case WSOCK_PENDING:
    case WSOCK_CLOSED_BY_PEER:
        return PROCESS_OK;
    case WSOCK_EMPTY:
        return PROCESS_ERR_EMPTY;
    case WSOCK_ERR_NULL_POINTER:
        return PROCESS_ERR_NULL_POINTER;
    case WSOCK_ERR_CREATE:
    case WSOCK_ERR_CONNECT:
    case WSOCK_ERR_NOT_CONNECTED:
    case WSOCK_ERR_NO_SOCKET:
        return PROCESS_ERR_CONNECTION;
    case WSOCK_ERR_NETWORK:
        return PROCESS_ERR_DISCONNECT;
    case WSOCK_ERR_SEND:
        return PROCESS_ERR_SEND;
    case WSOCK_ERR_RECEIVE:
        return PROCESS_ERR_RECEIVE;
    case WSOCK_ERR_STATE:
    case WSOCK_ERR_EXCEPTION:
    case WSOCK_ERR_STARTUP:
    case WSOCK_ERR_OUT_OF_MEMORY:
    case WSOCK_ERR_FAILED:
        return PROCESS_ERR_UNKNOWN;
    }
    return PROCESS_ERR_UNKNOWN;
}

// ---- Buffer information, the CAN state word and the flag-driven reset ----

ProcessStatus CProcessData::AppendRecord(std::deque<CanMsg *> &buffer, CanMsg *record) {
    try {
        buffer.push_back(record);
        return PROCESS_OK;
    } catch (const std::bad_alloc &) {
        return PROCESS_ERR_OUT_OF_MEMORY;
    }
}

// The word is changed from the application and the service thread under
// different locks, so every change is one atomic read-modify-write.
void CProcessData::ChangeCanState(uint16_t set, uint16_t clear) {
    if (set) m_canState.fetch_or(set);
    if (clear) m_canState.fetch_and(static_cast<uint16_t>(~clear));
}

ProcessStatus CProcessData::GetTxBufferSize(uint32_t *out) {
    if (!out) return PROCESS_ERR_NULL_POINTER;
    *out = m_txBufferSize;
    return PROCESS_OK;
}

ProcessStatus CProcessData::GetRxBufferSize(uint32_t *out) {
    if (!out) return PROCESS_ERR_NULL_POINTER;
    *out = m_rxBufferSize;
    return PROCESS_OK;
}

ProcessStatus CProcessData::GetTxBufferCount(uint32_t *out) {
    if (!out) return PROCESS_ERR_NULL_POINTER;
    OsLockGuard guard(&m_txLock);
    *out = static_cast<uint32_t>(m_txBuffer.size());
    return PROCESS_OK;
}

ProcessStatus CProcessData::GetRxBufferCount(uint32_t *out) {
    if (!out) return PROCESS_ERR_NULL_POINTER;
    OsLockGuard guard(&m_rxLock);
    *out = static_cast<uint32_t>(m_rxBuffer.size());
    return PROCESS_OK;
}

ProcessStatus CProcessData::GetCanState(uint16_t *out) {
    if (!out) return PROCESS_ERR_NULL_POINTER;
    *out = m_canState.load();
    return PROCESS_OK;
}

ProcessStatus CProcessData::ResetCanState(uint32_t mask) {
    ChangeCanState(0, static_cast<uint16_t>(mask));
    return PROCESS_OK;
}

ProcessStatus CProcessData::ResetCan(uint16_t flags) {
    if (flags & KORVEL_RESET_CANSTATE) m_canState.store(0);
    if (flags & KORVEL_RESET_TX_BUFFER) ClearTxBuffer();
    if (flags & KORVEL_RESET_RX_BUFFER) ClearRxBuffer();
    if ((flags & KORVEL_RESET_SOCKET_RX) && m_socket) m_socket->ClearRecvQueue();
    if ((flags & KORVEL_RESET_SOCKET_TX) && m_socket) m_socket->ClearSendQueue();
    return PROCESS_OK;
}
