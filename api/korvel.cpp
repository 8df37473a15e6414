#include "api/korvel.h"

#include "api/library.h"
#include "engine/process_data.h"
#include "os/system.h"

#include <new>

namespace {

constexpr uint32_t kMinParamsSize = sizeof(InitParams);
constexpr uint32_t kConnectPollMs = 1;
constexpr uint32_t kClosePollMs = 5;

CProcessData *BuildEngine(CKorvel *owner, const InitParams *params, bool callbackMode) {
    try {
        return callbackMode ? new (std::nothrow) CProcessData(CKorvel::OnEngineEvent, owner, params)
                            : new (std::nothrow) CProcessData(params);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

} // namespace

CKorvel::CKorvel(int32_t instanceNumber, const InitParams *params, EventCallback callback,
                 uint32_t userValue)
    : m_userValue(userValue), m_instanceNumber(instanceNumber), m_params(params),
      m_callback(callback) {
    if (RegisteredCount() == 0) InstanceListLockInit();
}

CKorvel::~CKorvel() {
    if (RegisteredCount() == 0) InstanceListLockDelete();
}

uint32_t CKorvel::Open() {
    if (m_params->size < kMinParamsSize) return KORVEL_ERR_ILLEGAL_PARAMETER;
    m_engine = BuildEngine(this, m_params, CallbackMode());
    if (!m_engine) return KORVEL_ERR_RESOURCE;
    if (m_engine->CreateTransport() != PROCESS_OK) {
        TearDown();
        return KORVEL_ERR_RESOURCE;
    }
    if (m_engine->Connect() != PROCESS_OK) {
        TearDown();
        return KORVEL_ERR_CONNECTION;
    }
    // In callback mode the application learns of the connection through its
    // callback; only polling mode waits here.
    if (!CallbackMode()) {
        uint32_t status = WaitWhileConnecting();
        if (status != KORVEL_OK) {
            TearDown();
            return status;
        }
    }
    RegisterInstance(this);
    return KORVEL_OK;
}

// The time test comes before the state test: a state read in the pass in
// which the time ran out does not count. Differences of u32 clock values stay
// right across the wrap of the clock.
uint32_t CKorvel::WaitWhileConnecting() {
    uint32_t t0 = OsTimeGetTime();
    for (;;) {
        uint32_t state = KORVEL_CONN_CONNECTING;
        m_engine->GetConnectionState(&state);
        if (OsTimeGetTime() - t0 > m_params->connectTimeout) return KORVEL_ERR_CONNECTION;
        OsSleep(kConnectPollMs);
        if (state != KORVEL_CONN_CONNECTING) return KORVEL_OK;
    }
}

uint32_t CKorvel::Close() {
    bool failed = m_engine->Disconnect() != PROCESS_OK;
    if (!CallbackMode() && !WaitForClose()) failed = true;
    if (m_engine->ReleaseSocket() != PROCESS_OK) failed = true;
    delete m_engine;
    m_engine = nullptr;
    RemoveInstance(this);
    return failed ? KORVEL_ERR_DISCONNECT : KORVEL_OK;
}

// Waits until the connection state is KORVEL_CONN_CLOSED (or negative as a signed value);
// false when shutdownTimeout ran out first.
bool CKorvel::WaitForClose() {
    uint32_t t0 = OsTimeGetTime();
    for (;;) {
        uint32_t state = 0;
        m_engine->GetConnectionState(&state);
        if (OsTimeGetTime() - t0 > m_params->shutdownTimeout) return false;
        OsSleep(kClosePollMs);
        if (static_cast<int32_t>(state) <= 0) return true;
    }
}

// The same three steps serve every failure of Open: each does nothing
// harmful when its part was never built.
void CKorvel::TearDown() {
    m_engine->Disconnect();
    m_engine->ReleaseSocket();
    delete m_engine;
    m_engine = nullptr;
}

void CKorvel::OnEngineEvent(void *korvel, uint32_t code) {
    CKorvel *self = static_cast<CKorvel *>(korvel);
    if (self->m_callback) self->m_callback(self->m_instanceNumber, code, self->m_userValue);
}
