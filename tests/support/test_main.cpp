// The main of every GoogleTest program: the tests run under a watchdog that
// ends the program when one test runs past its limit, so that a hang fails
// that test within a minute instead of holding the whole run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The running test and when it started; null between tests.
std::atomic<const ::testing::TestInfo *> g_test{nullptr};
std::atomic<Clock::rep> g_started{0};

// Looks once a second whether the running test has passed its limit. It is
// detached: the process ends it.
void Watch(int limit) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const ::testing::TestInfo *test = g_test;
        const Clock::duration ran = Clock::now().time_since_epoch() - Clock::duration(g_started);
        if (!test || ran < std::chrono::seconds(limit)) continue;
        std::fprintf(stderr, "watchdog: %s.%s still runs after %d s\n", test->test_suite_name(),
                     test->name(), limit);
        std::fflush(stderr);
        std::_Exit(EXIT_FAILURE);
    }
}

struct Watchdog : ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &test) override {
        g_started = Clock::now().time_since_epoch().count();
        g_test = &test;
    }
    void OnTestEnd(const ::testing::TestInfo &) override { g_test = nullptr; }
};

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    // Seconds a test may run; a program whose tests take longer by design
    // sets KORVEL_TEST_LIMIT.
    const char *limit = std::getenv("KORVEL_TEST_LIMIT");
    std::thread(Watch, limit && std::atoi(limit) > 0 ? std::atoi(limit) : 60).detach();
    return RUN_ALL_TESTS();
}
