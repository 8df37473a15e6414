// CProcessData: the engine behind one open instance. It owns the instance's
// socket, its transmit and receive buffers of CAN messages, the CAN state word
// and, in callback mode, the thread that delivers events to the application.
// One service thread per process moves the data of every connected engine.
#pragma once

#include "base/process_status.h"
#include "codec/frame_parser.h"
#include "korvel32.h"
#include "net/process_thread.h"
#include "net/win_sock.h"
#include "os/thread.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

class CProcessThread;

// Turns a socket result into an engine status.
ProcessStatus MapTransportStatus(WSockResult socketResult);

// Procedure of an engine's callback thread; `engine` is the engine.
uint32_t CallbackThreadProc(void *engine);

// How an engine in callback mode tells its owner of an event, on its
// callback thread: `owner` as given at construction, `code` one of the
// EVENT_* codes of korvel32.h.
typedef void (*EngineEventFn)(void *owner, uint32_t code);

class CProcessData {
  public:
    // Callback mode: events go to onEvent(owner, code).
    CProcessData(EngineEventFn onEvent, void *owner, const InitParams *params);
    // Polling mode.
    explicit CProcessData(const InitParams *params);
    virtual ~CProcessData();
    CProcessData(const CProcessData &) = delete;
    CProcessData &operator=(const CProcessData &) = delete;

    // Transport, in the order the instance drives it.
    // Makes the socket: PROCESS_OK; PROCESS_ERR_RESOURCE without the socket
    // object or the engine's events and threads; PROCESS_ERR_PROTOCOL for a
    // protocol other than TCP; PROCESS_ERR_CONNECTION when the socket failed.
    ProcessStatus CreateTransport();
    // Starts the connection and joins the service list: PROCESS_OK, or
    // PROCESS_ERR_CONNECTION.
    ProcessStatus Connect();
    // Leaves the service list and closes the socket: PROCESS_OK, or
    // PROCESS_ERR_DISCONNECT without a socket or when the close failed.
    ProcessStatus Disconnect();
    // Empties the socket's queues and destroys it: PROCESS_OK, or
    // PROCESS_ERR_DISCONNECT without a socket.
    ProcessStatus ReleaseSocket();
    // The connection state (KORVEL_CONN_*): PROCESS_OK,
    // PROCESS_ERR_NULL_POINTER, or PROCESS_ERR_CONNECTION without a socket.
    ProcessStatus GetConnectionState(uint32_t *state);

    // The pending error of the latest service cycle, or PROCESS_ERR_UNKNOWN
    // for a callback that threw, handed out once; PROCESS_OK for none.
    ProcessStatus TakeLastError();
    // Callback thread: the application's callback threw.
    void ReportCallbackFailure();

    // Buffers and state, called by the exported functions. Each returns
    // PROCESS_OK or PROCESS_ERR_NULL_POINTER, and besides:
    // WriteCanMsg PROCESS_ERR_TX_BUFFER_FULL or PROCESS_ERR_OUT_OF_MEMORY;
    // ReadCanMsg PROCESS_ERR_EMPTY.
    ProcessStatus WriteCanMsg(const CanMsg *msg);
    ProcessStatus ReadCanMsg(CanMsg *out);
    ProcessStatus GetTxBufferSize(uint32_t *out);
    ProcessStatus GetRxBufferSize(uint32_t *out);
    ProcessStatus GetTxBufferCount(uint32_t *out);
    ProcessStatus GetRxBufferCount(uint32_t *out);
    ProcessStatus GetCanState(uint16_t *out);
    ProcessStatus ResetCanState(uint32_t mask);
    ProcessStatus ResetCan(uint16_t flags);

    // Service thread: one service cycle of this engine.
    void Service();
    // Socket notification in callback mode; `engine` is the engine.
    static void OnSocketStateChange(void *engine);
    // Whether the calling thread is the callback thread of an engine that is
    // being torn down; such a thread must not wait for the API lock.
    static bool CallbackThreadMustNotWait();
    static bool InCallbackThread();

  private:
    friend uint32_t CallbackThreadProc(void *engine);
    // Test programs that drive the service-thread steps directly look in
    // through this class; the library itself defines none.
    friend class CProcessDataProbe;

    void Init();
    bool CreateEvents();
    void StartCallbackThread();
    bool StopCallbackThread();
    void Cleanup();

    ProcessStatus TakeTxMsg(CanMsg **out);
    ProcessStatus TransmitStep();
    ProcessStatus ReceiveStep();
    ProcessStatus DecodeRecords(std::string *chunk, size_t *cursor, CanMsg **records,
                                size_t *count);
    ProcessStatus StoreRxMsg(CanMsg *record);
    ProcessStatus StoreRxRecords(CanMsg *const *records, size_t count, size_t *stored);
    void ClearTxBuffer();
    void ClearRxBuffer();
    // Appends a record to a buffer whose growth may fail: PROCESS_OK, or
    // PROCESS_ERR_OUT_OF_MEMORY with the record still the caller's.
    static ProcessStatus AppendRecord(std::deque<CanMsg *> &buffer, CanMsg *record);
    // Frees every record of a buffer and empties it, under its lock.
    static void ClearRecords(std::deque<CanMsg *> &buffer, OsCriticalSection *lock);
    void ServiceCycle();
    void ChangeCanState(uint16_t set, uint16_t clear);

    std::atomic<uint16_t> m_canState{0}; // changed only by atomic read-modify-write
    uint16_t m_txBufferSize = 0;
    uint16_t m_rxBufferSize = 0;
    std::deque<CanMsg *> m_txBuffer;
    std::deque<CanMsg *> m_rxBuffer;
    PendingFragment m_pendingFragment;
    OsCriticalSection m_rxLock;
    OsCriticalSection m_txLock;
    OsCriticalSection m_sockSendLock;
    OsCriticalSection m_sockRecvLock;
    WinSocket::CWinSock *m_socket = nullptr;
    void *m_owner = nullptr;
    EngineEventFn m_onEvent = nullptr;
    WSockResult m_sockError = WSOCK_OK;
    WSockResult m_lastSockError = WSOCK_OK;
    WSockState m_connState = WSOCK_STATE_CLOSED;
    WSockState m_lastConnState = WSOCK_STATE_CLOSED;
    // Written by the service thread, taken by the API.
    std::atomic<ProcessStatus> m_lastError{PROCESS_OK};
    std::atomic<bool> m_callbackFailed{false}; // the application's callback threw
    const InitParams *m_params = nullptr;
    CProcessThread *m_callbackThread = nullptr;
    ThreadDesc m_callbackThreadDesc{};
    OsHandle m_events[6] = {};
    uint32_t m_callbackMode = 0;
    uint32_t m_rxNoticePending = 0;
    // Set when an event or a thread the engine needs could not be made; the
    // transport is then refused so that the instance does not open.
    bool m_initFailed = false;
    std::atomic<bool> m_stopping{false};
};

// The engine's events: indexes of m_events.
enum EngineEvent : uint32_t {
    ENGINE_EVENT_STOP = 0,
    ENGINE_EVENT_CONNECTED = 1,
    ENGINE_EVENT_DISCONNECTED = 2,
    ENGINE_EVENT_RECEIVED = 3,
    ENGINE_EVENT_ERROR = 4,
    ENGINE_EVENT_STATE = 5,
    ENGINE_EVENT_COUNT = 6,
};
