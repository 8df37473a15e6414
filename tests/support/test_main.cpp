// The main of every GoogleTest program: the tests run under a watchdog that
// ends the program when one test runs past its limit, so that a hang fails
// that test within a minute instead of holding the whole run.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Seconds a test may run; a program whose tests take longer by design sets
// KORVEL_TEST_LIMIT.
int LimitSeconds() {
    const char *text = std::getenv("KORVEL_TEST_LIMIT");
    const int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 60;
}

// Looks once a second whether the running test has passed its limit.
class Watchdog : public ::testing::EmptyTestEventListener {
  public:
    Watchdog() : m_limit(LimitSeconds()), m_thread([this] { Watch(); }) {}
    ~Watchdog() override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done = true;
        m_changed.notify_one();
        lock.unlock();
        m_thread.join();
    }

    void OnTestStart(const ::testing::TestInfo &test) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_test = std::string(test.test_suite_name()) + "." + test.name();
        m_started = Clock::now();
        m_running = true;
    }
    void OnTestEnd(const ::testing::TestInfo &) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
    }

  private:
    void Watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_changed.wait_for(lock, std::chrono::seconds(1), [this] { return m_done; })) {
            if (!m_running || Clock::now() - m_started < std::chrono::seconds(m_limit)) continue;
            std::fprintf(stderr, "watchdog: %s still runs after %d s\n", m_test.c_str(), m_limit);
            std::fflush(stderr);
            std::_Exit(EXIT_FAILURE);
        }
    }

    const int m_limit;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_test;
    Clock::time_point m_started;
    bool m_running = false;
    bool m_done = false;
    std::thread m_thread; // last: it starts at once and uses the members above
};

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::TestEventListeners &listeners = ::testing::UnitTest::GetInstance()->listeners();
    Watchdog *watchdog = new Watchdog;
    listeners.Append(watchdog);
    const int result = RUN_ALL_TESTS();
    delete listeners.Release(watchdog);
    return result;
}
