// Messages from the application to the socket's send queue.
#include "engine/process_data.h"

#include "base/mem.h"
#include "base/process_status.h"
#include "codec/frame_format.h"
#include "engine/process_data.h"
#include "engine/service_list.h"
#include "net/win_sock.h"

#include <cstring>
#include <new>

// Application thread: a 20-byte copy under a short lock, then a wake-up of
// the service thread. No formatting and no network work happen here.
ProcessStatus CProcessData::WriteCanMsg(const CanMsg *msg) {
    if (!msg) return PROCESS_ERR_NULL_POINTER;
    ProcessStatus result = PROCESS_OK;
    {
        OsLockGuard guard(&m_txLock);
        if (m_txBuffer.size() > m_txBufferSize) {
            ChangeCanState(KORVEL_CANSTATE_TX_OVERRUN, 0);
            result = PROCESS_ERR_TX_BUFFER_FULL;
        } else if (CanMsg *copy = static_cast<CanMsg *>(MemAlloc(sizeof(CanMsg)))) {
            std::memcpy(copy, msg, sizeof(CanMsg));
            result = AppendRecord(m_txBuffer, copy);
            if (result == PROCESS_OK) ChangeCanState(0, KORVEL_CANSTATE_TX_EMPTY);
        } else {
            result = PROCESS_ERR_OUT_OF_MEMORY;
        }
    }
    WakeServiceThread();
    return result;
}

ProcessStatus CProcessData::TakeTxMsg(CanMsg **out) {
    if (!out) return PROCESS_ERR_NULL_POINTER;
    OsLockGuard guard(&m_txLock);
    if (m_txBuffer.empty()) {
        *out = nullptr;
        ChangeCanState(KORVEL_CANSTATE_TX_EMPTY, 0);
        return PROCESS_ERR_EMPTY;
    }
    *out = m_txBuffer.front();
    m_txBuffer.pop_front();
    return PROCESS_OK;
}

// Service thread: the oldest message becomes one frame on the send queue.
// Without memory for the frame's bytes or a place in the queue the message
// is lost like one without memory for its chunk.
ProcessStatus CProcessData::TransmitStep() {
    CanMsg *msg = nullptr;
    ProcessStatus r = TakeTxMsg(&msg);
    if (r != PROCESS_OK) return r;
    std::string *chunk = nullptr;
    if (WinSocket::CWinSock::AllocChunk(&chunk) != WSOCK_OK) {
        MemFree(msg);
        return PROCESS_ERR_OUT_OF_MEMORY;
    }
    try {
        uint16_t length = 0;
        r = FormatCanFrame(msg, 1, chunk, &length);
        if (r == PROCESS_OK) r = MapTransportStatus(m_socket->PushSend(chunk, length));
    } catch (const std::bad_alloc &) {
        r = PROCESS_ERR_OUT_OF_MEMORY;
    }
    MemFree(msg);
    if (r != PROCESS_OK) WinSocket::CWinSock::FreeChunk(chunk);
    return r;
}

void CProcessData::ClearTxBuffer() {
    OsLockGuard guard(&m_txLock);
    for (CanMsg *msg : m_txBuffer)
        MemFree(msg);
    m_txBuffer.clear();
}
