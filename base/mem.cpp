#include "base/mem.h"

#include "os/system.h"

void *MemAlloc(size_t size) { return OsZeroAlloc(size); }
void MemFree(void *block) { OsFree(block); }
