// One service cycle of one engine, run by the service thread.
#include "engine/process_data.h"

#include "base/process_status.h"
#include "engine/process_data.h"
#include "net/win_sock.h"
#include "os/event.h"

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
