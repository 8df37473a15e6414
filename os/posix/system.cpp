// The POSIX system services: the monotonic clock, the memory pool, the
// "MaxInstances" setting from the environment, and the process and module.
#include "os/system.h"

#include "korvel_version.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <thread>
#include <unistd.h>

// ---- Clock ----

uint32_t OsTimeGetTime() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000u +
                                 static_cast<uint64_t>(t.tv_nsec) / 1000000u);
}

void OsSleep(uint32_t ms) {
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) == -1 && errno == EINTR) {
    }
}

// Linux timers and sleeps already have sub-millisecond resolution.
void OsBeginTimerPeriod() {}
void OsEndTimerPeriod() {}

// ---- Memory ----

// Message records and chunk headers are small, many and short-lived, and the
// service thread allocates what application threads free. They come from a
// pool of equal small blocks: taking one is a short spin lock and a pop,
// returning one a lock-free push. Larger blocks come from calloc.
//
// Every block follows a header that says which of the two it is. Small blocks
// are carved from slabs that stay with the process; the pool holds at most
// as many blocks as were ever in use at once.
//
// Under AddressSanitizer every block comes from calloc, so that the sanitizer
// sees each one on its own.
#if defined(__SANITIZE_ADDRESS__)
#define KORVEL_HEAP_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVEL_HEAP_POOL 0
#endif
#endif
#ifndef KORVEL_HEAP_POOL
#define KORVEL_HEAP_POOL 1
#endif

namespace {

enum BlockKind : uintptr_t { BLOCK_LARGE = 1, BLOCK_SMALL = 2 };

// 16 bytes, so that blocks keep the alignment that calloc gives.
struct alignas(16) BlockHeader {
    BlockHeader *next; // free small blocks only
    uintptr_t kind;
};

// A CanMsg record (20 bytes) and a chunk's std::string (32) fit.
constexpr size_t HEAP_SMALL_BLOCK = 32;
constexpr size_t HEAP_SLOT = sizeof(BlockHeader) + HEAP_SMALL_BLOCK;
constexpr size_t HEAP_SLAB_SLOTS = 1024;

void *Payload(BlockHeader *header) { return header + 1; }
BlockHeader *HeaderOf(void *block) { return static_cast<BlockHeader *>(block) - 1; }

void *LargeAlloc(size_t size) {
    void *raw = std::calloc(1, sizeof(BlockHeader) + size);
    if (!raw) return nullptr;
    BlockHeader *header = static_cast<BlockHeader *>(raw);
    header->kind = BLOCK_LARGE;
    return Payload(header);
}

class SmallPool {
  public:
    void *Take() {
        Lock();
        if (!m_spare) m_spare = m_returned.exchange(nullptr, std::memory_order_acquire);
        if (!m_spare) m_spare = NewSlab();
        BlockHeader *header = m_spare;
        if (header) m_spare = header->next;
        Unlock();
        if (!header) return nullptr;
        std::memset(Payload(header), 0, HEAP_SMALL_BLOCK);
        return Payload(header);
    }

    void Give(BlockHeader *header) {
        header->next = m_returned.load(std::memory_order_relaxed);
        while (!m_returned.compare_exchange_weak(header->next, header, std::memory_order_release,
                                                 std::memory_order_relaxed)) {
        }
    }

  private:
    void Lock() {
        while (m_taking.test_and_set(std::memory_order_acquire))
            std::this_thread::yield();
    }
    void Unlock() { m_taking.clear(std::memory_order_release); }

    // The slots of a new slab, linked; null without memory.
    static BlockHeader *NewSlab() {
        unsigned char *slab =
            static_cast<unsigned char *>(std::malloc(HEAP_SLAB_SLOTS * HEAP_SLOT));
        if (!slab) return nullptr;
        BlockHeader *first = nullptr;
        for (size_t i = HEAP_SLAB_SLOTS; i-- > 0;) {
            BlockHeader *header = reinterpret_cast<BlockHeader *>(slab + i * HEAP_SLOT);
            header->kind = BLOCK_SMALL;
            header->next = first;
            first = header;
        }
        return first;
    }

    std::atomic_flag m_taking = ATOMIC_FLAG_INIT;
    BlockHeader *m_spare = nullptr;                 // taken under m_taking
    std::atomic<BlockHeader *> m_returned{nullptr}; // pushed by any thread
};

// Constant-initialised and never destroyed, so that it serves from the
// first allocation of the library to the last free, wherever they happen.
SmallPool g_pool;

} // namespace

void *OsZeroAlloc(size_t size) {
    if (KORVEL_HEAP_POOL && size <= HEAP_SMALL_BLOCK) return g_pool.Take();
    return LargeAlloc(size);
}

void OsFree(void *block) {
    if (!block) return;
    BlockHeader *header = HeaderOf(block);
    if (header->kind == BLOCK_SMALL)
        g_pool.Give(header);
    else
        std::free(header);
}

// ---- Setting ----

// The whole text must be a decimal number that fits 32 bits; anything else
// counts as unreadable, like a registry value of the wrong size.
bool OsReadMaxInstances(uint32_t *value) {
    const char *text = std::getenv("KORVEL_MAXINSTANCES");
    if (!text || *text < '0' || *text > '9') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || n > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(n);
    return true;
}

// ---- Process and module ----

uint32_t OsCurrentProcessId() { return static_cast<uint32_t>(getpid()); }

uintptr_t OsModuleBase() {
    static const char kInside = 0;
    Dl_info info{};
    if (dladdr(&kInside, &info) == 0) return reinterpret_cast<uintptr_t>(&kInside);
    return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

// The version words come from the same project version that the Windows
// build writes into its version resource.
bool OsReadProductVersion(uint32_t *ms, uint32_t *ls) {
    *ms = (KORVEL_VERSION_MAJOR << 16) | KORVEL_VERSION_MINOR;
    *ls = (KORVEL_VERSION_PATCH << 16) | KORVEL_VERSION_TWEAK;
    return true;
}
