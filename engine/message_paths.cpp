// CProcessData: the paths of the messages. Out: from the application into
// the transmit buffer, and from there as frames onto the socket's send queue.
// In: from the socket's receive queue through the parser into the receive
// buffer, and from there to the application. The service cycle drives both.
#include "engine/process_data.h"

#include "base/mem.h"
#include "codec/frame_format.h"
#include "engine/service_list.h"
#include "os/system.h"

#include <cstring>
#include <new>

// ---- Out ----

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

void CProcessData::ClearRecords(std::deque<CanMsg *> &buffer, OsCriticalSection *lock) {
    OsLockGuard guard(lock);
    for (CanMsg *msg : buffer)
        MemFree(msg);
    buffer.clear();
}

void CProcessData::ClearTxBuffer() { ClearRecords(m_txBuffer, &m_txLock); }

// ---- In ----

namespace {

// Decoded records enter the receive buffer in batches of this many, so that
// its lock is taken once per batch rather than once per frame.
constexpr size_t RX_STORE_BATCH = 64;

} // namespace

// Service thread: every complete frame of one chunk goes into the receive
// buffer. A full buffer drops the frame and the rest of the chunk; so does a
// lack of memory, for a record or for the parser's and the buffer's growth.
ProcessStatus CProcessData::ReceiveStep() {
    std::string *chunk = nullptr;
    uint16_t length = 0;
    const WSockResult popped = m_socket->PopRecv(&chunk, &length);
    if (popped != WSOCK_OK) return MapTransportStatus(popped);
    ProcessStatus r = PROCESS_OK;
    size_t cursor = 0;
    CanMsg *batch[RX_STORE_BATCH];
    do {
        size_t count = 0, stored = 0;
        r = DecodeRecords(chunk, &cursor, batch, &count);
        const ProcessStatus stores = StoreRxRecords(batch, count, &stored);
        for (size_t i = stored; i < count; ++i)
            MemFree(batch[i]);
        if (stores != PROCESS_OK) {
            // As if decoding had stopped at the refused record: the frames
            // behind it and a tail kept from this chunk are lost. (A record
            // means this chunk was parsed, which emptied the fragment.) A
            // full buffer is no failure of the step.
            m_pendingFragment = PendingFragment();
            r = stores == PROCESS_ERR_RX_BUFFER_FULL ? PROCESS_OK : stores;
            break;
        }
    } while (r == PROCESS_OK);
    WinSocket::CWinSock::FreeChunk(chunk);
    return r;
}

// Decodes up to RX_STORE_BATCH frames into new records. PROCESS_OK when the batch is
// full; otherwise why decoding stopped, as the parser or the lack of memory
// tells it.
ProcessStatus CProcessData::DecodeRecords(std::string *chunk, size_t *cursor, CanMsg **records,
                                          size_t *count) {
    // A clock reading costs about half as much as decoding a frame, and a
    // batch takes a few microseconds: one reading stamps all its frames.
    const uint32_t now = OsTimeGetTime();
    while (*count < RX_STORE_BATCH) {
        CanMsg *record = static_cast<CanMsg *>(MemAlloc(sizeof(CanMsg)));
        if (!record) return PROCESS_ERR_OUT_OF_MEMORY;
        ProcessStatus r = PROCESS_ERR_OUT_OF_MEMORY;
        try {
            r = ParseCanFrame(chunk, cursor, &m_pendingFragment, record, now);
        } catch (const std::bad_alloc &) {
        }
        if (r != PROCESS_OK) {
            MemFree(record);
            return r;
        }
        records[(*count)++] = record;
    }
    return PROCESS_OK;
}

ProcessStatus CProcessData::StoreRxMsg(CanMsg *record) {
    if (!record) return PROCESS_ERR_NULL_POINTER;
    size_t stored = 0;
    return StoreRxRecords(&record, 1, &stored);
}

// Appends the records in order until the buffer is full or cannot grow;
// *stored of them then belong to the buffer, the rest still to the caller.
// Only this thread adds records, so the room seen under the lock can only
// grow meanwhile.
ProcessStatus CProcessData::StoreRxRecords(CanMsg *const *records, size_t count, size_t *stored) {
    if (count == 0) return PROCESS_OK;
    OsLockGuard guard(&m_rxLock);
    const size_t room = m_rxBufferSize + 1u - m_rxBuffer.size();
    const size_t fit = count < room ? count : room;
    ProcessStatus result = PROCESS_OK;
    try {
        for (; *stored < fit; ++*stored)
            m_rxBuffer.push_back(records[*stored]);
    } catch (const std::bad_alloc &) {
        result = PROCESS_ERR_OUT_OF_MEMORY;
    }
    if (result == PROCESS_OK && fit < count) {
        ChangeCanState(KORVEL_CANSTATE_RX_OVERRUN, 0);
        result = PROCESS_ERR_RX_BUFFER_FULL;
    }
    if (*stored == 0) return result;
    // The bit is set only by a read, under this lock: look before writing.
    if (m_canState.load(std::memory_order_relaxed) & KORVEL_CANSTATE_RX_EMPTY)
        ChangeCanState(0, KORVEL_CANSTATE_RX_EMPTY);
    // One notice for a series of messages: re-armed by the next read.
    if (m_rxNoticePending == 0 && m_callbackMode) {
        OsSetEvent(m_events[ENGINE_EVENT_RECEIVED]);
        m_rxNoticePending = 1;
    }
    return result;
}

ProcessStatus CProcessData::ReadCanMsg(CanMsg *out) {
    if (!out) return PROCESS_ERR_NULL_POINTER;
    OsLockGuard guard(&m_rxLock);
    ProcessStatus result = PROCESS_OK;
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

void CProcessData::ClearRxBuffer() { ClearRecords(m_rxBuffer, &m_rxLock); }

// ---- The service cycle ----

// An exception must not end the service thread, which serves every instance
// of the process. The steps catch the out-of-memory of their own containers
// where it costs a message or a chunk; anything that still escapes a cycle
// becomes the pending error.
void CProcessData::Service() {
    try {
        ServiceCycle();
    } catch (...) {
        m_lastError = PROCESS_ERR_OUT_OF_MEMORY;
    }
}

// Moves at most one message out and one received chunk in, then polls the
// socket once. The outcome stays as the pending error for the next call of
// the application.
//
// A socket that cannot send (a refused connection attempt, or a lasting
// exception condition such as urgent data from the gateway) keeps the last
// frame it was given. The messages behind it then stay in the transmit
// buffer, whose size the application chose, and further writes are refused
// as a full buffer instead of piling up as frames in the socket. A socket
// that can send has always taken the frame by the next cycle.
void CProcessData::ServiceCycle() {
    if (m_socket->GetError(&m_sockError) == WSOCK_OK && m_sockError != m_lastSockError) {
        m_lastSockError = m_sockError;
        if (m_callbackMode) OsSetEvent(m_events[ENGINE_EVENT_ERROR]);
    }
    const ProcessStatus r = m_socket->HasUnsentChunk() ? PROCESS_ERR_EMPTY : TransmitStep();
    if (r != PROCESS_OK && r != PROCESS_ERR_EMPTY) {
        m_lastError = r;
        return;
    }
    ReceiveStep();
    m_lastError = MapTransportStatus(m_socket->Poll());
}
