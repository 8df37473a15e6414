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
// How many times an application thread yields to a waiting callback thread
// before it waits on the guard's condition instead.
constexpr uint32_t kYieldsToCallbacks = 100;

// The API lock is a flag rather than a critical section held through the
// whole export: a callback thread must be able to give up its wait, and it
// must not be kept out by an application thread that calls the library in a
// tight loop. A free lock is taken and given back without the guard; the
// guard and its condition serve the threads that wait.
OsCriticalSection g_apiGuard;
OsConditionVariable g_apiReleased;
std::atomic<bool> g_apiHeld{false};
std::atomic<uint32_t> g_callbacksWaiting{0}; // counted before they look at the lock
std::atomic<uint32_t> g_waiters{0};          // threads in WaitForLock
uint8_t g_maxInstances = kDefaultMaxInstances;

bool TryTake() {
    bool expected = false;
    return g_apiHeld.compare_exchange_strong(expected, true);
}

// Watches a held API lock for a moment without the guard: an export usually
// holds it for well under a microsecond, far less than a sleep and a wake-up
// cost.
void SpinWhileHeld() {
    OsLeaveCriticalSection(&g_apiGuard);
    for (uint32_t i = 0; i < kCallbackSpins && g_apiHeld.load(std::memory_order_relaxed); ++i) {
    }
    OsEnterCriticalSection(&g_apiGuard);
}

// An application thread stands back while a callback thread waits, without
// even looking at the lock: a thread that calls the library in a tight loop
// would otherwise win it again and again against the woken callback thread.
// Usually the callback thread is through within a few yields; if not, the
// wait in WaitForLock takes over.
void YieldToCallbacks() {
    for (uint32_t i = 0; i < kYieldsToCallbacks && g_callbacksWaiting.load() > 0; ++i)
        OsSleep(0);
}

// The slow way: waits until the lock is free and no callback thread, if the
// caller is none, waits for it. A waiter is counted before it looks at the
// lock, and a releaser looks at the count after it freed the lock, so that
// no wake-up is missed. False for a callback thread that must not wait.
bool WaitForLock(bool callback) {
    OsLockGuard guard(&g_apiGuard);
    ++g_waiters;
    bool spun = !callback;
    bool held = false;
    while (!held) {
        if ((callback || g_callbacksWaiting.load() == 0) && TryTake()) {
            held = true;
        } else if (callback && CProcessData::CallbackThreadMustNotWait()) {
            break;
        } else if (!spun) {
            SpinWhileHeld();
            spun = true;
        } else {
            OsSleepConditionVariable(&g_apiReleased, &g_apiGuard,
                                     callback ? kStopCheckMs : OS_INFINITE);
        }
    }
    --g_waiters;
    return held;
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
    if (!CProcessData::InCallbackThread()) {
        YieldToCallbacks();
        m_held = (g_callbacksWaiting.load() == 0 && TryTake()) || WaitForLock(false);
        return;
    }
    ++g_callbacksWaiting;
    m_held = TryTake() || WaitForLock(true);
    --g_callbacksWaiting;
}

ApiLock::~ApiLock() {
    if (!m_held) return;
    g_apiHeld = false;
    if (g_waiters.load() == 0) return;
    OsLockGuard guard(&g_apiGuard);
    OsWakeAllConditionVariable(&g_apiReleased);
}
