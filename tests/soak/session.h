// One connection of the soak: a korvel-gateway process that plays one fault,
// an instance that uses it, and the books of every frame the gateway sent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// The soak's counters, in frames unless named otherwise.
enum Count {
    kConnections,
    kSent,        // generated frames the gateways sent
    kRead,        // read intact and in order
    kOverrun,     // lost while the receive buffer was full
    kMalformed,   // lost behind a malformed frame
    kCutOff,      // still on the way when a reset or the shutdown ended the connection
    kUnaccounted, // lost without a rule that explains it
    kCorrupt,     // read with a wrong content, order or number
    kWritten,     // messages the library accepted
    kGatewayIn,   // frames the gateways received
    kCounts
};
extern const char *const kCountNames[kCounts];

struct Totals {
    uint64_t n[kCounts] = {};
    void Add(const Totals &other) {
        for (int i = 0; i < kCounts; ++i)
            n[i] += other.n[i];
    }
};

// What a worker's thread is waiting for in the library, for the watchdog.
struct CallClock {
    std::atomic<int64_t> sinceMs{0}; // 0 while no library call runs
    std::atomic<const char *> name{nullptr};
};

struct SessionPlan {
    size_t scenario = 0;
    bool callback = false;
    uint16_t rxSize = 1000;
    uint32_t batch = 16; // messages per read, at most 64
    int activeMs = 500;
    unsigned slot = 0; // the worker's index, passed as the callback's user value
};

// One worker per slot, and at most 10 instances may be open.
constexpr unsigned kMaxWorkers = 9;

size_t ScenarioCount();
const char *ScenarioName(size_t index);

// Runs one connection and adds its figures to *totals. Returns what did not
// behave as documented, empty when everything did.
std::string RunSession(const SessionPlan &plan, CallClock *clock, Totals *totals);

int64_t NowMs();
