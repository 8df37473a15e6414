// Allocation faults: the test build of the library fails its n-th allocation,
// for n = 1, 2, 3, ... until an open, write, read and shutdown sequence runs
// through without reaching it. Every failure must arrive as its status,
// nothing may leak, and the instance either never opened (its number is free)
// or still shuts down.
#include "alloc_faults.h"
#include "eventually.h"
#include "korvel_library.h"
#include "test_gateway.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMessages = 3;
constexpr uint32_t kMostAllocations = 5000; // a sequence makes far fewer

std::atomic<uint32_t> g_errorEvents{0};

void KORVEL_CALL CountErrorEvents(int32_t, uint32_t code, uint32_t) {
    if (code == EVENT_ERROR) ++g_errorEvents;
}

class AllocationFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        SetMaxInstancesSetting(nullptr);
        std::string error;
        ASSERT_TRUE(lib.Load(KORVEL_FAULTS_LIBRARY, &error)) << error;
        arm = reinterpret_cast<AllocFaultArmFn>(FindSymbol(lib.handle, ALLOC_FAULT_ARM_NAME));
        stats = reinterpret_cast<AllocFaultStatsFn>(FindSymbol(lib.handle, ALLOC_FAULT_STATS_NAME));
        ASSERT_TRUE(arm && stats);
    }
    void TearDown() override {
        if (arm) arm(0);
        ShutdownAll(lib);
    }

    // The test build carries its own C++ runtime, whose exception memory
    // lives as long as the library is loaded: it is loaded once and stays,
    // so that the leak check at exit sees only the library's own blocks.
    static KorvelLibrary &LoadedOnce() {
        static KorvelLibrary *library = new KorvelLibrary;
        return *library;
    }

    AllocFaultStats Stats() {
        AllocFaultStats s;
        stats(&s);
        return s;
    }
    bool Fired() { return Stats().fired != 0; }

    // Polls until `condition` holds; gives up after 5 s, or 300 ms after the
    // fault has fired, since the failure may have cost what is waited for.
    template <typename Condition> bool Await(Condition condition) {
        const auto start = Clock::now();
        auto firedAt = Clock::time_point::max();
        while (!condition()) {
            const auto now = Clock::now();
            if (firedAt == Clock::time_point::max() && faultsAllowed && Fired()) firedAt = now;
            if (now - start > std::chrono::seconds(5) ||
                now - std::min(firedAt, now) > std::chrono::milliseconds(300))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // The statuses an instance call may give while allocations fail: its own
    // result, or a pending error of the service thread (15: no memory for a
    // chunk or a record; 4: the socket's sticky out-of-memory, engine 13).
    void ExpectAllowed(uint32_t status, std::set<uint32_t> normal) {
        if (normal.count(status)) return;
        EXPECT_TRUE(faultsAllowed && Fired()) << "status " << status << " without a fault";
        EXPECT_TRUE(status == KORVEL_ERR_OUT_OF_MEMORY || status == KORVEL_ERR_UNKNOWN)
            << "status " << status;
        seen.insert(status);
    }

    // One sequence with the n-th allocation failing; true when it ran
    // through without reaching the fault.
    bool RunSequence(uint32_t n, bool callbackMode) {
        TestGateway gateway;
        InitParams params = MakeParams("127.0.0.1");
        params.port = gateway.Port();
        params.connectTimeout = params.shutdownTimeout = 5000;
        EventCallback callback = callbackMode ? CountErrorEvents : nullptr;
        g_errorEvents = 0;
        arm(n);
        int32_t instance = 0;
        uint32_t status = lib.Initialize(&instance, &params, callback, 0);
        if (status != KORVEL_OK) {
            arm(0);
            EXPECT_TRUE(Fired()) << "n " << n;
            EXPECT_EQ(KORVEL_ERR_RESOURCE, status) << "n " << n;
            seen.insert(status);
            // The number was not kept: the next open gets it again.
            int32_t again = 0;
            EXPECT_EQ(KORVEL_OK, lib.Initialize(&again, &params, callback, 0));
            EXPECT_EQ(instance, again);
            EXPECT_EQ(KORVEL_OK, lib.Shutdown(again));
            return false;
        }
        EXPECT_TRUE(gateway.WaitForClients(1));
        if (callbackMode) {
            Await([&] {
                uint32_t state = 0;
                return lib.GetConnectionState(instance, &state) != KORVEL_OK ||
                       state == KORVEL_CONN_CONNECTED;
            });
        }
        Exchange(instance, gateway);
        arm(0);
        bool fired = Fired();
        // A lost message or chunk costs nothing more: once the pending error
        // is taken, the instance works again. Only the socket's sticky error
        // (4) keeps it from working until it is shut down.
        if (!StickyError(instance, gateway)) {
            faultsAllowed = false;
            Exchange(instance, gateway);
            faultsAllowed = true;
        } else if (callbackMode) {
            // The socket's new error value reaches the callback once.
            const auto end = Clock::now() + std::chrono::seconds(5);
            while (g_errorEvents == 0 && Clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_EQ(1u, g_errorEvents.load()) << "n " << n;
        }
        // Whatever failed, the instance still shuts down and frees its number.
        EXPECT_EQ(KORVEL_OK, lib.Shutdown(instance)) << "n " << n;
        uint32_t state = 0;
        EXPECT_EQ(KORVEL_ERR_ILLEGAL_INSTANCE, lib.GetConnectionState(instance, &state));
        return !fired;
    }

    // Whether the instance reports the socket's sticky error: every service
    // cycle leaves it anew as the pending error. Probe frames tell the two
    // cases apart without a time window. A working instance passes each to
    // the gateway; the second leaves in a later cycle than the first, so once
    // it has arrived, the cycle that sent the first has ended and left its
    // outcome as the pending error, which the next call reports.
    bool StickyError(int32_t instance, TestGateway &gateway) {
        constexpr uint32_t kProbes = 2;
        const size_t before = Frames(gateway.Received(0));
        CanMsg probe = {};
        probe.id = 0x7FF;
        uint32_t probesWritten = 0;
        bool sticky = false;
        const bool decided = Eventually([&] {
            const size_t arrived = Frames(gateway.Received(0)) - before;
            uint32_t status = KORVEL_OK, written = 0;
            if (probesWritten == arrived && probesWritten < kProbes) {
                status = lib.WriteCanMsg(instance, &probe, 1, &written);
                probesWritten += written;
            } else {
                status = lib.RegisterCanMsg(instance, 0, 0);
            }
            if (status == KORVEL_ERR_UNKNOWN) return sticky = true;
            EXPECT_TRUE(status == KORVEL_OK || status == KORVEL_ERR_OUT_OF_MEMORY) << status;
            return arrived == kProbes && status == KORVEL_OK;
        });
        EXPECT_TRUE(decided) << "neither the probe frames nor the socket's error arrived";
        return sticky;
    }

    // Writes kMessages records, lets the gateway answer with as many frames
    // and reads them back.
    void Exchange(int32_t instance, TestGateway &gateway) {
        CanMsg out[kMessages];
        for (uint32_t i = 0; i < kMessages; ++i)
            out[i] = Msg(0x100 + i, 1, static_cast<uint8_t>(i));
        const size_t before = Frames(gateway.Received(0));
        uint32_t written = 0;
        uint32_t status = lib.WriteCanMsg(instance, out, kMessages, &written);
        ExpectAllowed(status, {KORVEL_OK});
        if (status == KORVEL_OK) {
            EXPECT_EQ(kMessages, written);
        }
        bool sent = Await([&] { return Frames(gateway.Received(0)) >= before + written; });
        if (!faultsAllowed || !Fired()) {
            EXPECT_TRUE(sent) << "frames lost without a fault";
        }

        // The last frame arrives in two reads, so that its first part waits
        // in the parser's pending fragment for the rest.
        std::string frames;
        for (uint32_t i = 0; i < kMessages; ++i)
            frames += "$CAN;S;D;0x20" + std::to_string(i) + ";0x1;0x" + std::to_string(i) + ";#";
        const size_t tail = 4; // "x2;#"
        gateway.Send(0, frames.substr(0, frames.size() - tail));
        uint32_t got = 0;
        auto readUpTo = [&](uint32_t wanted) {
            return Await([&] {
                CanMsg in[kMessages];
                uint32_t read = 0;
                uint32_t status = lib.ReadCanMsg(instance, in, kMessages - got, &read);
                ExpectAllowed(status, {KORVEL_OK, KORVEL_ERR_NO_MESSAGE});
                if (status == KORVEL_OK || status == KORVEL_ERR_NO_MESSAGE) got += read;
                return got >= wanted;
            });
        };
        readUpTo(kMessages - 1);
        gateway.Send(0, frames.substr(frames.size() - tail));
        bool received = readUpTo(kMessages);
        if (!faultsAllowed || !Fired()) {
            EXPECT_EQ(kMessages, got) << "messages lost without a fault";
            EXPECT_TRUE(received);
        }
    }

    // Sweeps n upwards; returns the number of faults injected.
    uint32_t Sweep(bool callbackMode) {
        // A first run sets up what stays allocated for the library's life.
        EXPECT_TRUE(RunSequence(0, callbackMode));
        const AllocFaultStats baseline = Stats();
        uint32_t n = 1;
        for (; n < kMostAllocations; ++n) {
            bool clean = RunSequence(n, callbackMode);
            AllocFaultStats after = Stats();
            EXPECT_EQ(0, after.liveBlocks) << "MemAlloc blocks leaked at n " << n;
            EXPECT_EQ(baseline.liveNews, after.liveNews) << "operator new blocks leaked at n " << n;
            if (clean || ::testing::Test::HasFailure()) break;
        }
        EXPECT_LT(n, kMostAllocations);
        return n - 1;
    }

    KorvelLibrary &lib = LoadedOnce();
    AllocFaultArmFn arm = nullptr;
    AllocFaultStatsFn stats = nullptr;
    std::set<uint32_t> seen;
    bool faultsAllowed = true; // false while the instance must work again
};

void Report(const char *mode, uint32_t faults, uint32_t sites, const std::set<uint32_t> &seen) {
    std::string statuses;
    for (uint32_t s : seen)
        statuses += " " + std::to_string(s);
    std::printf("%s: %u allocations failed one at a time, %u call sites reached in all; "
                "statuses seen:%s\n",
                mode, faults, sites, statuses.c_str());
}

TEST_F(AllocationFaults, EveryAllocationOfAPollingSequenceFailsCleanly) {
    uint32_t faults = Sweep(false);
    Report("polling", faults, Stats().sites, seen);
    EXPECT_GT(faults, 10u);
}

TEST_F(AllocationFaults, EveryAllocationOfACallbackSequenceFailsCleanly) {
    uint32_t faults = Sweep(true);
    Report("callback", faults, Stats().sites, seen);
    EXPECT_GT(faults, 10u);
}

} // namespace
