// Close over a socket layer whose close would block for as long as the peer
// leaves data unread, as WinSock's does: the close still ends.
#include "os/system.h"
#include "socket_call_faults.h"
#include "socket_fixture.h"

#include <atomic>
#include <thread>

namespace {

TEST_F(SocketTest, CloseThatWouldBlockEndsWithAResetAfterTheLingerTime) {
    WinSocket::CWinSock &s = Connected();
    SetLingeringCloseFault(true);
    std::atomic<bool> closed{false};
    WSockResult result = static_cast<WSockResult>(99);
    const uint32_t start = OsTimeGetTime();
    std::thread closer([&] {
        result = s.Close();
        closed = true;
    });
    // Only against a hang: a close that never ends is let go by ending the
    // fault, and fails the test.
    const bool ended = Eventually([&] { return closed.load(); }, 60000);
    SetLingeringCloseFault(false);
    closer.join();
    const uint32_t elapsedMs = OsTimeGetTime() - start;
    ASSERT_TRUE(ended) << "Close spins while the close would block";
    EXPECT_EQ(WSOCK_OK, result);
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.IsValid()); // the handle is released
    const uint32_t failed = FailedCloses();
    EXPECT_GT(failed, 0u);
    // A millisecond between calls, give or take the clock's resolution.
    EXPECT_LE(failed, elapsedMs + 100) << "the retries do not pause";
}

} // namespace
