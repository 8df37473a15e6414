// The instance number table and the list of registered instances.
//
// Instance numbers run from 1 to MaxInstances(). A number is free, handed out
// (by KORVEL_Initialize, not yet registered) or registered; only registered
// instances are found by their number. All functions run under the API lock.
#pragma once

#include <cstdint>

class CKorvel;

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
