// The engine's construction and the operations the exported functions call.
// The transport is not wired in yet: CreateTransport reports that no socket
// could be opened, so no instance reaches the open state.
#include "engine/process_data.h"

#include "engine/process_status.h"

CProcessData::CProcessData(CKorvel *owner, const InitParams *params)
    : m_owner(owner), m_params(params), m_callbackMode(1) {
    OsInitCriticalSection(&m_rxLock);
    OsInitCriticalSection(&m_txLock);
    OsInitCriticalSection(&m_sockRecvLock);
    OsInitCriticalSection(&m_sockSendLock);
    m_rxBufferSize = params->rxBufferSize;
    m_txBufferSize = params->txBufferSize;
}

CProcessData::CProcessData(const InitParams *params) : CProcessData(nullptr, params) {
    m_callbackMode = 0;
}

CProcessData::~CProcessData() {
    OsDeleteCriticalSection(&m_rxLock);
    OsDeleteCriticalSection(&m_txLock);
    OsDeleteCriticalSection(&m_sockRecvLock);
    OsDeleteCriticalSection(&m_sockSendLock);
}

uint32_t CProcessData::CreateTransport() { return PROCESS_ERR_CONNECTION; }
uint32_t CProcessData::Connect() { return PROCESS_ERR_CONNECTION; }
uint32_t CProcessData::Disconnect() { return PROCESS_ERR_DISCONNECT; }
uint32_t CProcessData::ReleaseSocket() { return PROCESS_ERR_DISCONNECT; }
uint32_t CProcessData::TakeLastError() { return m_lastError.exchange(0); }
uint32_t CProcessData::WriteCanMsg(const CanMsg *) { return PROCESS_ERR_CONNECTION; }
uint32_t CProcessData::ReadCanMsg(CanMsg *) { return PROCESS_ERR_EMPTY; }
uint32_t CProcessData::GetTxBufferSize(uint32_t *out) { return *out = m_txBufferSize, PROCESS_OK; }
uint32_t CProcessData::GetRxBufferSize(uint32_t *out) { return *out = m_rxBufferSize, PROCESS_OK; }
uint32_t CProcessData::GetTxBufferCount(uint32_t *out) { return *out = 0, PROCESS_OK; }
uint32_t CProcessData::GetRxBufferCount(uint32_t *out) { return *out = 0, PROCESS_OK; }
uint32_t CProcessData::GetCanState(uint16_t *out) { return *out = m_canState, PROCESS_OK; }
uint32_t CProcessData::ResetCanState(uint32_t mask) {
    m_canState.fetch_and(static_cast<uint16_t>(~mask));
    return PROCESS_OK;
}
uint32_t CProcessData::ResetCan(uint16_t) { return PROCESS_OK; }
uint32_t CProcessData::GetConnectionState(uint32_t *state) {
    return *state = KORVEL_CONN_CLOSED, PROCESS_OK;
}
