// Zero-filled memory blocks for message records, chunks and other raw data.
#pragma once

#include <cstddef>

// A zero-filled block of `size` bytes, or null when there is no memory.
void *MemAlloc(size_t size);
// Does nothing for null.
void MemFree(void *block);
