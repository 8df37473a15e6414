// Library-wide state: load and unload, the API lock, the instance limit and
// table, and the pure rules behind the exported functions.
#pragma once

#include "base/process_status.h"
#include "korvel32.h"

#include <cstdint>

class CKorvel;

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

// ---- The instance number table and the list of registered instances ----
//
// Instance numbers run from 1 to MaxInstances(). A number is free, handed out
// (by KORVEL_Initialize, not yet registered) or registered; only registered
// instances are found by their number. All functions run under the API lock.

// The highest limit that "MaxInstances" may set.
constexpr uint8_t kMaxInstanceLimit = 254;

void InstanceTableLoad();
// Forgets every registered instance without shutting it down.
void InstanceTableUnload();

// Writes the lowest free number to *number and returns true, or writes -1
// and returns false when every number is taken.
bool AllocateInstanceNumber(int32_t *number);
// The registered instance with this number, or null.
CKorvel *FindInstance(int32_t number);
void RegisterInstance(CKorvel *instance);
void RemoveInstance(CKorvel *instance);
uint8_t RegisteredCount();

// The instance list lock exists while at least one instance object exists:
// the first object created while none is registered initialises it, and an
// object destroyed while none is registered deletes it.
void InstanceListLockInit();
void InstanceListLockDelete();

// ---- Rules of the exported functions ----

// Turns an engine status into the public status that the exports return.
uint32_t MapProcessStatus(ProcessStatus processStatus);

// Fills major, minor, release and build from the two product version words
// (most significant first); the first three parts keep their low 8 bits.
// The reserved byte is not written.
void VersionFromProductWords(uint32_t mostSignificant, uint32_t leastSignificant,
                             VersionInfo *version);
