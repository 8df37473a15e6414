// The fixture of the tests that run the test build korvel32_faults, which
// counts every allocation of the library and can make one of them fail.
#pragma once

#include "alloc_faults.h"
#include "library_test.h"

class FaultsTest : public LibraryTest {
  protected:
    FaultsTest() : LibraryTest({KORVEL_FAULTS_LIBRARY, nullptr, true}) {}

    void SetUp() override {
        LibraryTest::SetUp();
        arm = lib.Find<AllocFaultArmFn>(ALLOC_FAULT_ARM_NAME);
        stats = lib.Find<AllocFaultStatsFn>(ALLOC_FAULT_STATS_NAME);
        ASSERT_TRUE(arm && stats);
    }
    void TearDown() override {
        if (arm) arm(0);
        LibraryTest::TearDown();
    }

    AllocFaultStats Stats() {
        AllocFaultStats s;
        stats(&s);
        return s;
    }

    AllocFaultArmFn arm = nullptr;
    AllocFaultStatsFn stats = nullptr;
};
