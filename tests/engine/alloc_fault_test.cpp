// Allocation faults: the test build of the library fails its n-th allocation,
// for n = 1, 2, 3, ... until an open, write, read and shutdown sequence runs
// through without reaching it. Every failure must arrive as its status,
// nothing may leak, and the instance either never opened (its number is free)
// or still shuts down.
#include "faults_test.h"

#include <cstdio>
#include <string>

namespace {

constexpr uint32_t kMessages = 3;
constexpr uint32_t kMostAllocations = 5000; // a sequence makes far fewer

class AllocationFaults : public FaultsTest {
  protected:
    bool Fired() { return Stats().fired != 0; }
    // Whether a failure may explain what went wrong.
    bool MayHaveFailed() { return faultsAllowed && Fired(); }

    // Waits for `condition` with a short bound once the fault has fired,
    // since the failure may have cost what is waited for.
    template <typename Condition> bool Await(Condition condition) {
        return Eventually(condition, 300) || (!MayHaveFailed() && Eventually(condition, 5000));
    }

    // The statuses an instance call may give while allocations fail: its own
    // result, or a pending error of the service thread (15: no memory for a
    // chunk or a record; 4: the socket's sticky out-of-memory, engine 13).
    void ExpectAllowed(uint32_t status, uint32_t alsoNormal = KORVEL_OK) {
        if (status == KORVEL_OK || status == alsoNormal) return;
        EXPECT_TRUE(MayHaveFailed()) << "status " << status << " without a fault";
        EXPECT_TRUE(status == KORVEL_ERR_OUT_OF_MEMORY || status == KORVEL_ERR_UNKNOWN)
            << "status " << status;
    }

    // One sequence with the n-th allocation failing; true when it ran
    // through without reaching the fault.
    bool RunSequence(uint32_t n, bool callbackMode) {
        TestGateway sequenceGateway; // so that its client is always 0
        params.port = sequenceGateway.Port();
        EventCallback callback = callbackMode ? CountEvent : nullptr;
        g_events[EVENT_ERROR] = 0;
        arm(n);
        int32_t instance = 0;
        uint32_t status = lib.Initialize(&instance, &params, callback, 0);
        if (status != KORVEL_OK) {
            arm(0);
            EXPECT_TRUE(Fired()) << "n " << n;
            EXPECT_EQ(KORVEL_ERR_RESOURCE, status) << "n " << n;
            // The number was not kept: the next open gets it again.
            EXPECT_EQ(instance, Open(callback));
            EXPECT_EQ(KORVEL_OK, lib.Shutdown(instance));
            return false;
        }
        EXPECT_TRUE(sequenceGateway.WaitForClients(1));
        uint32_t state = 0;
        if (callbackMode) {
            Await([&] {
                return lib.GetConnectionState(instance, &state) != KORVEL_OK ||
                       state == KORVEL_CONN_CONNECTED;
            });
        }
        Exchange(instance, sequenceGateway);
        arm(0);
        const bool fired = Fired();
        // A lost message or chunk costs nothing more: once the pending error
        // is taken, the instance works again. Only the socket's sticky error
        // (4) keeps it from working until it is shut down, and reaches the
        // callback once.
        if (!StickyError(instance, sequenceGateway)) {
            faultsAllowed = false;
            Exchange(instance, sequenceGateway);
            faultsAllowed = true;
        } else if (callbackMode) {
            Eventually([] { return g_events[EVENT_ERROR] > 0; });
            EXPECT_EQ(1, g_events[EVENT_ERROR].load()) << "n " << n;
        }
        // Whatever failed, the instance still shuts down and frees its number.
        EXPECT_EQ(KORVEL_OK, lib.Shutdown(instance)) << "n " << n;
        EXPECT_EQ(KORVEL_ERR_ILLEGAL_INSTANCE, lib.GetConnectionState(instance, &state));
        return !fired;
    }

    // Whether the instance reports the socket's sticky error: every service
    // cycle leaves it anew as the pending error. Probe frames tell the two
    // cases apart without a time window. A working instance passes each to
    // the gateway; the second leaves in a later cycle than the first, so once
    // it has arrived, the cycle that sent the first has ended and left its
    // outcome as the pending error, which the next call reports.
    bool StickyError(int32_t instance, TestGateway &to) {
        constexpr uint32_t kProbes = 2;
        const size_t before = Frames(to.Received(0));
        const CanMsg probe = Msg(0x7FF);
        uint32_t probesWritten = 0;
        bool sticky = false;
        const bool decided = Eventually([&] {
            const size_t arrived = Frames(to.Received(0)) - before;
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

    // Writes kMessages records, lets the gateway answer with as many frames,
    // the last in two reads so that its first part waits in the parser's
    // pending fragment, and reads them back.
    void Exchange(int32_t instance, TestGateway &to) {
        CanMsg out[kMessages];
        std::string frames;
        for (uint32_t i = 0; i < kMessages; ++i) {
            out[i] = Msg(0x100 + i, 1, static_cast<uint8_t>(i));
            frames += "$CAN;S;D;0x20" + std::to_string(i) + ";0x1;0x" + std::to_string(i) + ";#";
        }
        const size_t before = Frames(to.Received(0));
        uint32_t written = 0;
        const uint32_t status = lib.WriteCanMsg(instance, out, kMessages, &written);
        ExpectAllowed(status);
        EXPECT_TRUE(status != KORVEL_OK || written == kMessages);
        const bool sent = Await([&] { return Frames(to.Received(0)) >= before + written; });
        EXPECT_TRUE(sent || MayHaveFailed()) << "frames lost without a fault";

        uint32_t got = 0;
        auto readUpTo = [&](uint32_t wanted) {
            return Await([&] {
                CanMsg in[kMessages];
                uint32_t read = 0;
                uint32_t status = lib.ReadCanMsg(instance, in, kMessages - got, &read);
                ExpectAllowed(status, KORVEL_ERR_NO_MESSAGE);
                got += read;
                return got >= wanted;
            });
        };
        const size_t tail = 4; // "x2;#"
        to.Send(0, frames.substr(0, frames.size() - tail));
        readUpTo(kMessages - 1);
        to.Send(0, frames.substr(frames.size() - tail));
        const bool received = readUpTo(kMessages);
        EXPECT_TRUE((received && got == kMessages) || MayHaveFailed())
            << got << " messages, lost without a fault";
    }

    // Sweeps n upwards; returns the number of faults injected.
    uint32_t Sweep(bool callbackMode) {
        // A first run sets up what stays allocated for the library's life.
        EXPECT_TRUE(RunSequence(0, callbackMode));
        const AllocFaultStats baseline = Stats();
        uint32_t n = 1;
        for (; n < kMostAllocations; ++n) {
            const bool clean = RunSequence(n, callbackMode);
            const AllocFaultStats after = Stats();
            EXPECT_EQ(0, after.liveBlocks) << "MemAlloc blocks leaked at n " << n;
            EXPECT_EQ(baseline.liveNews, after.liveNews) << "operator new blocks leaked at n " << n;
            if (clean || HasFailure()) break;
        }
        EXPECT_LT(n, kMostAllocations);
        std::printf("%u allocations failed one at a time\n", n - 1);
        return n - 1;
    }

    bool faultsAllowed = true; // false while the instance must work again
};

TEST_F(AllocationFaults, EveryAllocationOfAPollingAndOfACallbackSequenceFailsCleanly) {
    for (bool callbackMode : {false, true})
        EXPECT_GT(Sweep(callbackMode), 10u) << (callbackMode ? "callback mode" : "polling mode");
}

} // namespace
