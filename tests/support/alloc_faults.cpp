// The memory helpers of the test build korvel32_faults: MemAlloc, MemFree and
// the library's own operator new and delete, all counted, with one armed
// allocation that fails. The library's code paths are the product's; only
// where its memory comes from differs.
#include "alloc_faults.h"

#include "base/mem.h"
#include "os/system.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(_WIN32)
#define FAULTS_EXPORT extern "C" __declspec(dllexport)
#else
#define FAULTS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::atomic<uint32_t> g_count{0};
std::atomic<uint32_t> g_failAt{0};
std::atomic<uint32_t> g_fired{0};
std::atomic<int32_t> g_liveBlocks{0};
std::atomic<int32_t> g_liveNews{0};
std::atomic<int64_t> g_liveBytes{0};

// Every counted block carries its size in front of it, so that the live
// bytes can be counted too. The header keeps the platform's alignment.
constexpr size_t kHeader = 16;

// A block of `size` bytes from `alloc`, counted in `live`; null for the one
// allocation that is to fail.
void *Counted(void *(*alloc)(size_t), size_t size, std::atomic<int32_t> &live) {
    if (++g_count == g_failAt.load()) {
        g_fired = 1;
        return nullptr;
    }
    char *raw = static_cast<char *>(alloc(kHeader + size));
    if (!raw) return nullptr;
    *reinterpret_cast<size_t *>(raw) = size;
    g_liveBytes += static_cast<int64_t>(size);
    ++live;
    return raw + kHeader;
}

void Uncounted(void *block, void (*release)(void *), std::atomic<int32_t> &live) {
    if (!block) return;
    char *raw = static_cast<char *>(block) - kHeader;
    g_liveBytes -= static_cast<int64_t>(*reinterpret_cast<size_t *>(raw));
    --live;
    release(raw);
}

void *CountedNew(size_t size) { return Counted(std::malloc, size, g_liveNews); }
void CountedDelete(void *block) { Uncounted(block, std::free, g_liveNews); }

} // namespace

void *MemAlloc(size_t size) { return Counted(OsZeroAlloc, size, g_liveBlocks); }
void MemFree(void *block) { Uncounted(block, OsFree, g_liveBlocks); }

// The library carries its own C++ runtime in this build (statically linked),
// so these replace operator new and delete for all of its code, the standard
// containers included, and for nothing outside it.
void *operator new(size_t size) {
    void *block = CountedNew(size);
    if (!block) throw std::bad_alloc();
    return block;
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return CountedNew(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return CountedNew(size); }
void operator delete(void *block) noexcept { CountedDelete(block); }
void operator delete[](void *block) noexcept { CountedDelete(block); }
void operator delete(void *block, size_t) noexcept { CountedDelete(block); }
void operator delete[](void *block, size_t) noexcept { CountedDelete(block); }
void operator delete(void *block, const std::nothrow_t &) noexcept { CountedDelete(block); }
void operator delete[](void *block, const std::nothrow_t &) noexcept { CountedDelete(block); }

FAULTS_EXPORT void KorvelFaults_Arm(uint32_t n) {
    g_failAt = 0;
    if (n == 0) return;
    g_fired = 0;
    g_count = 0;
    g_failAt = n;
}

FAULTS_EXPORT void KorvelFaults_Stats(AllocFaultStats *stats) {
    stats->fired = g_fired;
    stats->liveBlocks = g_liveBlocks;
    stats->liveNews = g_liveNews;
    stats->liveBytes = g_liveBytes;
}
