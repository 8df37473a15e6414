// Received bytes from the socket's receive queue to the application.
#include "engine/process_data.h"

#include "base/mem.h"
#include "base/process_status.h"
#include "codec/frame_parser.h"
#include "engine/process_data.h"
#include "net/win_sock.h"
#include "os/clock.h"
#include "os/event.h"

#include <cstring>
#include <new>

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

void CProcessData::ClearRxBuffer() {
    OsLockGuard guard(&m_rxLock);
    for (CanMsg *msg : m_rxBuffer)
        MemFree(msg);
    m_rxBuffer.clear();
}
