#include "os/heap.h"

#include <cstdlib>

void *OsZeroAlloc(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }
void OsFree(void *block) { std::free(block); }
