#include "api/library.h"

#include "api/instance_table.h"
#include "engine/process_data.h"
#include "os/clock.h"
#include "os/lock.h"
#include "os/settings.h"

namespace {

constexpr uint8_t kDefaultMaxInstances = 10;

OsCriticalSection g_apiLock;
uint8_t g_maxInstances = kDefaultMaxInstances;

} // namespace

uint8_t MaxInstancesFromSetting(bool found, uint32_t value) {
    if (!found || value < 1 || value > kMaxInstanceLimit) return kDefaultMaxInstances;
    return static_cast<uint8_t>(value);
}

bool KorvelProcessAttach() {
    OsBeginTimerPeriod();
    uint32_t value = 0;
    bool found = OsReadMaxInstances(&value);
    g_maxInstances = MaxInstancesFromSetting(found, value);
    InstanceTableLoad();
    OsInitCriticalSection(&g_apiLock);
    return true;
}

void KorvelProcessDetach() {
    InstanceTableUnload();
    OsDeleteCriticalSection(&g_apiLock);
    OsEndTimerPeriod();
}

uint8_t MaxInstances() { return g_maxInstances; }

ApiLock::ApiLock() {
    if (!CProcessData::InCallbackThread()) {
        OsEnterCriticalSection(&g_apiLock);
        m_held = true;
        return;
    }
    while (!(m_held = OsTryEnterCriticalSection(&g_apiLock))) {
        if (CProcessData::CallbackThreadMustNotWait()) return;
        OsSleep(1);
    }
}

ApiLock::~ApiLock() {
    if (m_held) OsLeaveCriticalSection(&g_apiLock);
}
