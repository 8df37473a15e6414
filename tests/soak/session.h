// One connection of the soak: open an instance against one fault, use it,
// see the fault arrive as documented, shut it down and settle the books.
#pragma once

#include "frame_ledger.h"
#include "gateway_child.h"
#include "scenarios.h"

#include <atomic>
#include <cstdint>
#include <string>

struct SessionPlan {
    const Scenario *scenario = nullptr;
    GatewayChild *gateway = nullptr; // null when nothing listens
    unsigned client = 0;             // the gateway's number for this connection
    uint16_t port = 0;
    bool callback = false;
    uint16_t rxSize = 1000;
    uint32_t batch = 16; // messages per read, at most 64
    int activeMs = 500;
    unsigned slot = 0; // the worker's index, passed as the callback's user value
};

struct SessionResult {
    LedgerTotals totals;
    uint64_t written = 0;   // messages the library accepted
    uint64_t gatewayIn = 0; // frames the gateway received
    uint64_t malformedSent = 0;
    bool gatewayLost = false; // the gateway's client numbering can no longer be trusted
    std::string problem;      // empty when everything behaved as documented
};

// What the worker's thread is waiting for in the library, for the watchdog.
struct CallClock {
    std::atomic<int64_t> sinceMs{0}; // 0 while no library call runs
    std::atomic<const char *> name{nullptr};
};

// Callback user values index this many slots.
constexpr unsigned kMaxWorkers = 16;

void RunSession(const SessionPlan &plan, CallClock *clock, SessionResult *result);

int64_t SoakNowMs();
