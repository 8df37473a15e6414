// Auto-reset events: a successful wait takes the signal, so each signal
// releases exactly one wait. A signal given while nobody waits is kept.
#pragma once

#include "os/handle.h"

// Results of OsWaitForEvents besides the index of the signalled event.
constexpr uint32_t OS_WAIT_TIMEOUT = 0x102u;
constexpr uint32_t OS_WAIT_FAILED = 0xFFFFFFFFu;

// Creates an event, not signalled. `name` may be null. Windows names live in
// the session's kernel namespace; elsewhere names are not shared between
// processes. Returns null on failure.
OsHandle OsCreateEvent(const char *name);
bool OsSetEvent(OsHandle event);
bool OsCloseEvent(OsHandle event);

// Waits until one of `count` events is signalled or `timeoutMs` passes.
// Returns the lowest index among the signalled events (and takes only that
// signal), OS_WAIT_TIMEOUT, or OS_WAIT_FAILED for an invalid handle.
uint32_t OsWaitForEvents(uint32_t count, const OsHandle *events, uint32_t timeoutMs);
