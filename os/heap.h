// The zero-filling allocator behind MemAlloc and MemFree.
#pragma once

#include <cstddef>

// A zero-filled block, or null when the system has no memory for it.
void *OsZeroAlloc(size_t size);
// Accepts null.
void OsFree(void *block);
