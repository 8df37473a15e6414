#include "api/library.h"

#include "engine/process_data.h"
#include "os/system.h"
#include "os/thread.h"

#include <atomic>

namespace {

constexpr uint8_t kDefaultMaxInstances = 10;
// How often a callback thread that waits for the API lock looks whether its
// engine is being torn down.
constexpr uint32_t kStopCheckMs = 1;
// How many times a callback thread looks at a held API lock before it sleeps.
constexpr uint32_t kCallbackSpins = 4000;

// The API lock is a flag guarded by a short critical section rather than a
// critical section held through the whole export: a callback thread must be
// able to give up its wait, and it must not be kept out by an application
// thread that calls the library in a tight loop.
OsCriticalSection g_apiGuard;
OsConditionVariable g_apiReleased;
std::atomic<bool> g_apiHeld{false}; // changed under g_apiGuard only
uint32_t g_callbacksWaiting = 0;
uint8_t g_maxInstances = kDefaultMaxInstances;

// Watches a held API lock for a moment without the guard: an export usually
// holds it for well under a microsecond, far less than a sleep and a wake-up
// cost.
void SpinWhileHeld() {
    OsLeaveCriticalSection(&g_apiGuard);
    for (uint32_t i = 0; i < kCallbackSpins && g_apiHeld.load(std::memory_order_relaxed); ++i) {
    }
    OsEnterCriticalSection(&g_apiGuard);
}

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
    OsInitCriticalSection(&g_apiGuard);
    OsInitConditionVariable(&g_apiReleased);
    return true;
}

void KorvelProcessDetach() {
    InstanceTableUnload();
    OsDeleteConditionVariable(&g_apiReleased);
    OsDeleteCriticalSection(&g_apiGuard);
    OsEndTimerPeriod();
}

uint8_t MaxInstances() { return g_maxInstances; }

// Waiting callback threads go first: an event is delivered promptly even
// while the application polls the library from another thread.
ApiLock::ApiLock() {
    OsLockGuard guard(&g_apiGuard);
    const bool callback = CProcessData::InCallbackThread();
    if (callback) ++g_callbacksWaiting;
    bool spun = !callback;
    while (g_apiHeld || (!callback && g_callbacksWaiting > 0)) {
        if (callback && CProcessData::CallbackThreadMustNotWait()) break;
        if (!spun) {
            SpinWhileHeld();
            spun = true;
            continue;
        }
        OsSleepConditionVariable(&g_apiReleased, &g_apiGuard,
                                 callback ? kStopCheckMs : OS_INFINITE);
    }
    if (callback) --g_callbacksWaiting;
    m_held = !g_apiHeld;
    g_apiHeld = true;
}

ApiLock::~ApiLock() {
    if (!m_held) return;
    OsLockGuard guard(&g_apiGuard);
    g_apiHeld = false;
    OsWakeAllConditionVariable(&g_apiReleased);
}
