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

class Watchdog : public ::testing::EmptyTestEventListener {
  public:
    Watchdog() : m_limit(LimitSeconds()), m_thread([this] { Watch(); }) {}
    ~Watchdog() override {
        Change([this] { m_done = true; });
        m_thread.join();
    }

    void OnTestStart(const ::testing::TestInfo &test) override {
        Change([&] {
            m_test = std::string(test.test_suite_name()) + "." + test.name();
            m_deadline = Clock::now() + std::chrono::seconds(m_limit);
            m_running = true;
        });
    }
    void OnTestEnd(const ::testing::TestInfo &) override {
        Change([this] { m_running = false; });
    }

  private:
    template <typename Update> void Change(Update update) {
        std::lock_guard<std::mutex> lock(m_mutex);
        update();
        m_changed.notify_one();
    }

    void Watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done) {
            if (!m_running) {
                m_changed.wait(lock);
            } else if (Clock::now() < m_deadline) {
                m_changed.wait_until(lock, m_deadline);
            } else {
                std::fprintf(stderr, "watchdog: %s still runs after %d s\n", m_test.c_str(),
                             m_limit);
                std::fflush(stderr);
                std::_Exit(EXIT_FAILURE);
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_test;
    Clock::time_point m_deadline;
    bool m_running = false;
    bool m_done = false;
    const int m_limit;
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
