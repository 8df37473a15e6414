// Control of the allocation faults of the test build korvel32_faults, whose
// MemAlloc and operator new count every allocation the library makes and
// can make one of them fail. Test programs resolve these by name, like the
// eleven exports.
#pragma once

#include "korvel32.h"

#include <stdint.h>

struct AllocFaultStats {
    uint32_t fired;     // 1 once the armed allocation has failed
    int32_t liveBlocks; // MemAlloc blocks not yet freed
    int32_t liveNews;   // operator new blocks not yet deleted
    int64_t liveBytes;  // bytes of both kinds of block not yet freed
};

// Makes the n-th allocation from now on fail (MemAlloc returns null,
// operator new throws or returns null) and starts counting afresh; n = 0
// lets every allocation succeed and keeps the counts.
typedef void (*AllocFaultArmFn)(uint32_t n);
typedef void (*AllocFaultStatsFn)(AllocFaultStats *stats);

#define ALLOC_FAULT_ARM_NAME "KorvelFaults_Arm"
#define ALLOC_FAULT_STATS_NAME "KorvelFaults_Stats"
