// The engine's service-thread side, reached from outside by the receive path
// fuzzer and the receive step benchmark (CProcessData names this class its
// friend; the library itself defines none).
#pragma once

#include "engine/process_data.h"
#include "net/win_sock.h"

#include <cstdlib>
#include <string>

class CProcessDataProbe {
  public:
    // A socket in WSOCK_STATE_CLOSED with the engine's queue locks: its
    // queues work, and Poll touches no network. ReleaseSocket takes it down.
    static void AttachSocket(CProcessData &engine) {
        engine.m_socket = new WinSocket::CWinSock("127.0.0.1", 1, nullptr, nullptr);
        engine.m_socket->SetQueueLocks(&engine.m_sockSendLock, &engine.m_sockRecvLock);
    }
    static void QueueChunk(CProcessData &engine, const std::string &bytes) {
        std::string *chunk = nullptr;
        if (WinSocket::CWinSock::AllocChunk(&chunk) != WSOCK_OK) std::abort();
        chunk->assign(bytes);
        engine.m_socket->PushRecv(chunk, static_cast<uint16_t>(bytes.size()));
    }
    static ProcessStatus ReceiveStep(CProcessData &engine) { return engine.ReceiveStep(); }
    static const std::string &Pending(const CProcessData &engine) {
        return engine.m_pendingFragment.bytes;
    }
    // Empties the receive buffer and the pending fragment.
    static void Reset(CProcessData &engine) {
        engine.ClearRxBuffer();
        engine.m_pendingFragment = PendingFragment();
    }
};
