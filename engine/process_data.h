// CProcessData: the engine behind one open instance. It owns the instance's
// socket, its transmit and receive buffers of CAN messages, the CAN state word
// and, in callback mode, the thread that delivers events to the application.
// One service thread per process moves the data of every connected engine.
#pragma once

#include "codec/frame_parser.h"
#include "korvel32.h"
#include "net/thread_desc.h"
#include "os/handle.h"
#include "os/lock.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

class CProcessThread;
namespace WinSocket {
class CWinSock;
}

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
    uint32_t CreateTransport();
    uint32_t Connect();
    uint32_t Disconnect();
    uint32_t ReleaseSocket();
    uint32_t GetConnectionState(uint32_t *state);

    // The pending error of the latest service cycle, or of a callback that
    // threw, handed out once.
    uint32_t TakeLastError();
    // Callback thread: the application's callback threw.
    void ReportCallbackFailure();

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

    uint32_t TakeTxMsg(CanMsg **out);
    uint32_t TransmitStep();
    uint32_t ReceiveStep();
    uint32_t DecodeRecords(std::string *chunk, size_t *cursor, CanMsg **records, size_t *count);
    uint32_t StoreRxMsg(CanMsg *record);
    uint32_t StoreRxRecords(CanMsg *const *records, size_t count, size_t *stored);
    void ClearTxBuffer();
    void ClearRxBuffer();
    // Appends a record to a buffer whose growth may fail: 0, or 9 with the
    // record still the caller's.
    static uint32_t AppendRecord(std::deque<CanMsg *> &buffer, CanMsg *record);
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
    uint32_t m_sockError = 0;
    uint32_t m_lastSockError = 0;
    uint32_t m_connState = 0;
    uint32_t m_lastConnState = 0;
    std::atomic<uint32_t> m_lastError{0};      // written by the service thread, taken by the API
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

// Indexes of m_events.
enum : uint32_t {
    ENGINE_EVENT_STOP = 0,
    ENGINE_EVENT_CONNECTED = 1,
    ENGINE_EVENT_DISCONNECTED = 2,
    ENGINE_EVENT_RECEIVED = 3,
    ENGINE_EVENT_ERROR = 4,
    ENGINE_EVENT_STATE = 5,
    ENGINE_EVENT_COUNT = 6,
};
