#include "os/heap.h"

#include <windows.h>

// Fixed global memory: the handle is the block's address. GlobalLock and
// GlobalUnlock keep the pairing that movable blocks would need.
void *OsZeroAlloc(size_t size) {
    HGLOBAL block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size);
    if (block) GlobalLock(block);
    return block;
}

void OsFree(void *block) {
    if (!block) return;
    GlobalUnlock(block);
    GlobalFree(block);
}
