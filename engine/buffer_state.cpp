// Buffer information, the CAN state word and the flag-driven reset.
#include "engine/process_data.h"

#include "base/process_status.h"
#include "net/win_sock.h"

#include <new>

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
