// Received bytes from the socket's receive queue to the application.
#include "engine/process_data.h"

#include "codec/frame_parser.h"
#include "engine/mem.h"
#include "engine/process_status.h"
#include "engine/transport_status.h"
#include "net/win_sock.h"
#include "os/event.h"

#include <cstring>
#include <new>

// Service thread: every complete frame of one chunk goes into the receive
// buffer. A full buffer drops the frame and the rest of the chunk; so does a
// lack of memory, for a record or for the parser's and the buffer's growth.
uint32_t CProcessData::ReceiveStep() {
    std::string *chunk = nullptr;
    uint16_t length = 0;
    uint32_t r = m_socket->PopRecv(&chunk, &length);
    if (r != WSOCK_OK) return MapTransportStatus(r);
    size_t cursor = 0;
    for (;;) {
        CanMsg *record = static_cast<CanMsg *>(MemAlloc(sizeof(CanMsg)));
        if (!record) {
            r = PROCESS_ERR_OUT_OF_MEMORY;
            break;
        }
        try {
            r = ParseCanFrame(chunk, &cursor, &m_pendingFragment, record);
        } catch (const std::bad_alloc &) {
            r = PROCESS_ERR_OUT_OF_MEMORY;
        }
        if (r == PROCESS_OK) r = StoreRxMsg(record);
        if (r != PROCESS_OK) {
            MemFree(record);
            if (r == PROCESS_ERR_RX_BUFFER_FULL) r = PROCESS_OK;
            break;
        }
    }
    WinSocket::CWinSock::FreeChunk(chunk);
    return r;
}

uint32_t CProcessData::StoreRxMsg(CanMsg *record) {
    if (!record) return PROCESS_ERR_NULL_POINTER;
    OsLockGuard guard(&m_rxLock);
    if (m_rxBuffer.size() > m_rxBufferSize) {
        ChangeCanState(KORVEL_CANSTATE_RX_OVERRUN, 0);
        return PROCESS_ERR_RX_BUFFER_FULL;
    }
    uint32_t result = AppendRecord(m_rxBuffer, record);
    if (result != PROCESS_OK) return result;
    ChangeCanState(0, KORVEL_CANSTATE_RX_EMPTY);
    // One notice for a series of messages: re-armed by the next read.
    if (m_rxNoticePending == 0 && m_callbackMode) {
        OsSetEvent(m_events[ENGINE_EVENT_RECEIVED]);
        m_rxNoticePending = 1;
    }
    return PROCESS_OK;
}

uint32_t CProcessData::ReadCanMsg(CanMsg *out) {
    if (!out) return PROCESS_ERR_NULL_POINTER;
    OsLockGuard guard(&m_rxLock);
    uint32_t result = PROCESS_OK;
    if (m_rxBuffer.empty()) {
        ChangeCanState(KORVEL_CANSTATE_RX_EMPTY, 0);
        result = PROCESS_ERR_EMPTY;
    } else {
        std::memcpy(out, m_rxBuffer.front(), sizeof(CanMsg));
        MemFree(m_rxBuffer.front());
        m_rxBuffer.pop_front();
    }
    m_rxNoticePending = 0;
    return result;
}

void CProcessData::ClearRxBuffer() {
    OsLockGuard guard(&m_rxLock);
    for (CanMsg *msg : m_rxBuffer) MemFree(msg);
    m_rxBuffer.clear();
}
