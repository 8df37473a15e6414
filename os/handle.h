// Handles of the OS layer: events and threads are opaque pointers, as on Windows.
#pragma once

#include <cstdint>

typedef void *OsHandle;

// The value a thread descriptor holds before its thread is started.
#define OS_INVALID_HANDLE (reinterpret_cast<OsHandle>(static_cast<intptr_t>(-1)))

// Time-out value that never expires.
constexpr uint32_t OS_INFINITE = 0xFFFFFFFFu;
