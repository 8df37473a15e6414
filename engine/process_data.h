// CProcessData: the engine behind one open instance. It owns the instance's
// socket, its transmit and receive buffers of CAN messages, the CAN state word
// and, in callback mode, the thread that delivers events to the application.
#pragma once

#include "korvel32.h"
#include "net/thread_desc.h"
#include "os/handle.h"
#include "os/lock.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

class CKorvel;
class CProcessThread;
namespace WinSocket {
class CWinSock;
}

class CProcessData {
public:
    // Callback mode: events go to `owner`.
    CProcessData(CKorvel *owner, const InitParams *params);
    // Polling mode.
    explicit CProcessData(const InitParams *params);
    virtual ~CProcessData();
    CProcessData(const CProcessData &) = delete;
    CProcessData &operator=(const CProcessData &) = delete;

    // Transport, in the order the instance drives it.
    uint32_t CreateTransport();
    uint32_t Connect();
    uint32_t Disconnect();
    uint32_t ReleaseSocket();

    // The pending error of the latest service cycle, handed out once.
    uint32_t TakeLastError();

    // Buffers and state, called by the exported functions.
    uint32_t WriteCanMsg(const CanMsg *msg);
    uint32_t ReadCanMsg(CanMsg *out);
    uint32_t GetTxBufferSize(uint32_t *out);
    uint32_t GetRxBufferSize(uint32_t *out);
    uint32_t GetTxBufferCount(uint32_t *out);
    uint32_t GetRxBufferCount(uint32_t *out);
    uint32_t GetCanState(uint16_t *out);
    uint32_t ResetCanState(uint32_t mask);
    uint32_t ResetCan(uint16_t flags);
    uint32_t GetConnectionState(uint32_t *state);

private:
    std::atomic<uint16_t> m_canState{0}; // changed only by atomic read-modify-write
    uint16_t m_txBufferSize = 0;
    uint16_t m_rxBufferSize = 0;
    std::deque<CanMsg *> m_txBuffer;
    std::deque<CanMsg *> m_rxBuffer;
    std::string m_pendingFragment;
    OsCriticalSection m_rxLock;
    OsCriticalSection m_txLock;
    OsCriticalSection m_sockSendLock;
    OsCriticalSection m_sockRecvLock;
    WinSocket::CWinSock *m_socket = nullptr;
    CKorvel *m_owner = nullptr;
    uint32_t m_sockError = 0;
    uint32_t m_lastSockError = 0;
    uint32_t m_connState = 0;
    uint32_t m_lastConnState = 0;
    std::atomic<uint32_t> m_lastError{0}; // written by the service thread, taken by the API
    const InitParams *m_params = nullptr;
    CProcessThread *m_callbackThread = nullptr;
    ThreadDesc m_callbackThreadDesc{};
    OsHandle m_events[6] = {};
    uint32_t m_callbackMode = 0;
    uint32_t m_rxNoticePending = 0;
};
