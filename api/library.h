// Library-wide state: load and unload, the API lock and the instance limit.
#pragma once

#include <cstdint>

// Load-time initialisation; returns false when the library cannot be used.
bool KorvelProcessAttach();
// Unload: instances still open are abandoned, not shut down.
void KorvelProcessDetach();

// The largest instance number, 1 to 254.
uint8_t MaxInstances();

// The "MaxInstances" rule: a readable value from 1 to 254 is the limit,
// anything else gives the default of 10.
uint8_t MaxInstancesFromSetting(bool found, uint32_t value);

// Holds the API lock: every exported function runs under it, so at most one
// of them runs at a time in the process. It is not entered twice by one
// thread.
//
// A call from an event callback waits like any other, but for one case: an
// instance being shut down waits for its callback to return while the
// shutdown holds the lock, so the callback thread of an engine that is being
// torn down gives up instead (Held() is false) and the export answers
// KORVEL_ERR_ILLEGAL_INSTANCE, as for an instance that is gone.
class ApiLock {
public:
    ApiLock();
    ~ApiLock();
    ApiLock(const ApiLock &) = delete;
    ApiLock &operator=(const ApiLock &) = delete;
    bool Held() const { return m_held; }

private:
    bool m_held = false;
};
