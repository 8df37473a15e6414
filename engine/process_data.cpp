// Construction and teardown of an engine, and its callback thread.
#include "engine/process_data.h"

#include "base/process_status.h"
#include "engine/service_list.h"
#include "net/process_thread.h"
#include "os/clock.h"
#include "os/event.h"

#include <new>

namespace {

// The code that the application's callback gets for an event; the stop
// event is never delivered.
uint32_t EventCodeOf(EngineEvent event) {
    switch (event) {
    case ENGINE_EVENT_CONNECTED:
        return EVENT_CONNECTED;
    case ENGINE_EVENT_DISCONNECTED:
        return EVENT_DISCONNECTED;
    case ENGINE_EVENT_RECEIVED:
        return EVENT_MSG_RECEIVED;
    case ENGINE_EVENT_ERROR:
        return EVENT_ERROR;
    case ENGINE_EVENT_STATE:
        return EVENT_STATE_CHANGED;
    case ENGINE_EVENT_STOP:
    case ENGINE_EVENT_COUNT:
        break; // no events of the application
    }
    return EVENT_ERROR;
}

// The engine whose callback thread is the calling thread, if any.
thread_local CProcessData *t_callbackEngine = nullptr;
// Set when an engine is torn down from inside its own callback: the thread
// then owns the events and closes them when it ends.
thread_local bool t_closeEventsOnExit = false;

} // namespace

CProcessData::CProcessData(EngineEventFn onEvent, void *owner, const InitParams *params)
    : m_owner(owner), m_onEvent(onEvent), m_params(params), m_callbackMode(1) {
    Init();
}

CProcessData::CProcessData(const InitParams *params) : m_params(params), m_callbackMode(0) {
    Init();
}

CProcessData::~CProcessData() { Cleanup(); }

void CProcessData::Init() {
    OsInitCriticalSection(&m_rxLock);
    OsInitCriticalSection(&m_txLock);
    OsInitCriticalSection(&m_sockRecvLock);
    OsInitCriticalSection(&m_sockSendLock);
    m_rxBufferSize = m_params->rxBufferSize;
    m_txBufferSize = m_params->txBufferSize;
    if (m_callbackMode) {
        if (CreateEvents()) StartCallbackThread();
        m_initFailed = m_callbackThread == nullptr;
    }
    if (!SetUpServiceState()) m_initFailed = true;
}

bool CProcessData::CreateEvents() {
    bool ok = true;
    for (OsHandle &event : m_events) {
        event = OsCreateEvent(nullptr);
        ok = ok && event != nullptr;
    }
    return ok;
}

void CProcessData::StartCallbackThread() {
    m_callbackThreadDesc = ThreadDesc{CallbackThreadProc, this, OS_PRIORITY_ABOVE_NORMAL,
                                      OS_INVALID_HANDLE,  0,    m_events[ENGINE_EVENT_STOP]};
    m_callbackThread = new (std::nothrow) CProcessThread;
    if (!m_callbackThread) return;
    if (m_callbackThread->Start(&m_callbackThreadDesc) == 1) return;
    delete m_callbackThread;
    m_callbackThread = nullptr;
}

namespace {

// An exception that leaves the application's callback must not end the
// process on our thread: it is caught here, the thread goes on delivering
// events, and the next exported call on the instance reports it once, unless
// the callback has shut its own instance down before it threw.
void Deliver(CProcessData *engine, EngineEventFn onEvent, void *owner, uint32_t code) {
    try {
        onEvent(owner, code);
    } catch (...) {
        if (CProcessData::InCallbackThread()) engine->ReportCallbackFailure();
    }
}

} // namespace

uint32_t CallbackThreadProc(void *arg) {
    CProcessData *engine = static_cast<CProcessData *>(arg);
    t_callbackEngine = engine;
    // Copies: the engine may be destroyed by its own callback.
    OsHandle events[ENGINE_EVENT_COUNT];
    for (uint32_t i = 0; i < ENGINE_EVENT_COUNT; ++i)
        events[i] = engine->m_events[i];
    EngineEventFn onEvent = engine->m_onEvent;
    void *owner = engine->m_owner;
    for (;;) {
        uint32_t r = OsWaitForEvents(ENGINE_EVENT_COUNT, events, OS_INFINITE);
        if (r == ENGINE_EVENT_STOP) break;
        if (r < ENGINE_EVENT_COUNT)
            Deliver(engine, onEvent, owner, EventCodeOf(static_cast<EngineEvent>(r)));
        else
            OsSleep(1); // a failed wait delivers nothing and must not spin
    }
    if (t_closeEventsOnExit)
        for (OsHandle event : events)
            OsCloseEvent(event);
    return 0;
}

bool CProcessData::InCallbackThread() { return t_callbackEngine != nullptr; }

bool CProcessData::CallbackThreadMustNotWait() {
    return t_callbackEngine && t_callbackEngine->m_stopping.load();
}

// The callback thread is waited for, unless the caller is that thread
// itself (the application shut its instance down from its own callback):
// then it is told to stop and ends when the callback returns.
// Returns whether the thread took the events over.
bool CProcessData::StopCallbackThread() {
    m_stopping = true;
    bool ownThread = t_callbackEngine == this;
    if (ownThread) {
        OsSetEvent(m_events[ENGINE_EVENT_STOP]);
        OsCloseThread(m_callbackThreadDesc.hThread);
        t_callbackEngine = nullptr;
        t_closeEventsOnExit = true;
    } else {
        m_callbackThread->Stop(&m_callbackThreadDesc);
    }
    delete m_callbackThread;
    m_callbackThread = nullptr;
    return ownThread;
}

void CProcessData::Cleanup() {
    TearDownServiceStateIfUnused();
    if (m_callbackMode) {
        bool eventsHandedOver = m_callbackThread && StopCallbackThread();
        if (!eventsHandedOver)
            for (OsHandle &event : m_events)
                if (event) OsCloseEvent(event);
    }
    ClearRxBuffer();
    ClearTxBuffer();
    OsDeleteCriticalSection(&m_sockRecvLock);
    OsDeleteCriticalSection(&m_sockSendLock);
    OsDeleteCriticalSection(&m_txLock);
    OsDeleteCriticalSection(&m_rxLock);
}

// A failed callback is kept apart from the service thread's result, which
// every cycle overwrites, and comes first.
ProcessStatus CProcessData::TakeLastError() {
    if (m_callbackFailed.exchange(false)) return PROCESS_ERR_UNKNOWN;
    return m_lastError.exchange(PROCESS_OK);
}

void CProcessData::ReportCallbackFailure() { m_callbackFailed = true; }
