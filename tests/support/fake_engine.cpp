// A stand-in engine for testing the exported functions and the instance
// table without a network. Its behaviour is chosen by the ipAddress text of
// InitParams:
//   "refuse-transport"  CreateTransport fails        (Initialize gives 11)
//   "refuse-connect"    Connect fails                (Initialize gives 7)
//   "never-connects"    the state stays connecting   (polling Initialize gives 7)
//   "close-fails"       Disconnect fails             (Shutdown gives 8)
//   "pending:N"         engine status N is latched as the pending error
// Anything else connects at once. Messages written are queued in the transmit
// buffer and read back from it, as if the gateway echoed them.
#include "base/mem.h"
#include "base/process_status.h"
#include "engine/process_data.h"

#include <cstdio>
#include <cstring>

namespace {

bool Is(const InitParams *params, const char *behaviour) {
    return std::strncmp(params->ipAddress, behaviour, sizeof(params->ipAddress)) == 0;
}

uint32_t PendingFrom(const InitParams *params) {
    unsigned status = 0;
    return std::sscanf(params->ipAddress, "pending:%u", &status) == 1 ? status : 0;
}

} // namespace

CProcessData::CProcessData(EngineEventFn onEvent, void *owner, const InitParams *params)
    : m_owner(owner), m_onEvent(onEvent), m_params(params), m_callbackMode(1) {
    OsInitCriticalSection(&m_txLock);
    m_txBufferSize = params->txBufferSize;
    m_rxBufferSize = params->rxBufferSize;
    m_lastError = static_cast<ProcessStatus>(PendingFrom(params));
}

CProcessData::CProcessData(const InitParams *params) : CProcessData(nullptr, nullptr, params) {
    m_callbackMode = 0;
}

CProcessData::~CProcessData() {
    ResetCan(KORVEL_RESET_TX_BUFFER);
    OsDeleteCriticalSection(&m_txLock);
}

ProcessStatus CProcessData::CreateTransport() {
    if (m_params->protocol != KORVEL_PROTOCOL_TCP) return PROCESS_ERR_PROTOCOL;
    return Is(m_params, "refuse-transport") ? PROCESS_ERR_CONNECTION : PROCESS_OK;
}

ProcessStatus CProcessData::Connect() {
    if (Is(m_params, "refuse-connect")) return PROCESS_ERR_CONNECTION;
    m_connState = Is(m_params, "never-connects") ? WSOCK_STATE_CONNECTING : WSOCK_STATE_CONNECTED;
    return PROCESS_OK;
}

ProcessStatus CProcessData::Disconnect() {
    m_connState = WSOCK_STATE_CLOSED;
    return Is(m_params, "close-fails") ? PROCESS_ERR_DISCONNECT : PROCESS_OK;
}

ProcessStatus CProcessData::ReleaseSocket() { return PROCESS_OK; }
ProcessStatus CProcessData::TakeLastError() { return m_lastError.exchange(PROCESS_OK); }

ProcessStatus CProcessData::WriteCanMsg(const CanMsg *msg) {
    OsLockGuard guard(&m_txLock);
    if (m_txBuffer.size() > m_txBufferSize) {
        m_canState |= KORVEL_CANSTATE_TX_OVERRUN;
        return PROCESS_ERR_TX_BUFFER_FULL;
    }
    CanMsg *copy = static_cast<CanMsg *>(MemAlloc(sizeof(CanMsg)));
    if (!copy) return PROCESS_ERR_OUT_OF_MEMORY;
    *copy = *msg;
    m_txBuffer.push_back(copy);
    return PROCESS_OK;
}

ProcessStatus CProcessData::ReadCanMsg(CanMsg *out) {
    OsLockGuard guard(&m_txLock);
    if (m_txBuffer.empty()) {
        m_canState |= KORVEL_CANSTATE_RX_EMPTY;
        return PROCESS_ERR_EMPTY;
    }
    *out = *m_txBuffer.front();
    MemFree(m_txBuffer.front());
    m_txBuffer.pop_front();
    return PROCESS_OK;
}

ProcessStatus CProcessData::GetTxBufferSize(uint32_t *out) {
    return *out = m_txBufferSize, PROCESS_OK;
}
ProcessStatus CProcessData::GetRxBufferSize(uint32_t *out) {
    return *out = m_rxBufferSize, PROCESS_OK;
}
ProcessStatus CProcessData::GetTxBufferCount(uint32_t *out) {
    OsLockGuard guard(&m_txLock);
    return *out = static_cast<uint32_t>(m_txBuffer.size()), PROCESS_OK;
}
ProcessStatus CProcessData::GetRxBufferCount(uint32_t *out) { return *out = 0, PROCESS_OK; }
ProcessStatus CProcessData::GetCanState(uint16_t *out) { return *out = m_canState, PROCESS_OK; }

ProcessStatus CProcessData::ResetCanState(uint32_t mask) {
    m_canState &= static_cast<uint16_t>(~mask);
    return PROCESS_OK;
}

ProcessStatus CProcessData::ResetCan(uint16_t flags) {
    if (flags & KORVEL_RESET_CANSTATE) m_canState = 0;
    if (flags & KORVEL_RESET_TX_BUFFER) {
        OsLockGuard guard(&m_txLock);
        for (CanMsg *msg : m_txBuffer)
            MemFree(msg);
        m_txBuffer.clear();
    }
    return PROCESS_OK;
}

bool CProcessData::InCallbackThread() { return false; }
bool CProcessData::CallbackThreadMustNotWait() { return false; }

ProcessStatus CProcessData::GetConnectionState(uint32_t *state) {
    return *state = static_cast<uint32_t>(m_connState), PROCESS_OK;
}
