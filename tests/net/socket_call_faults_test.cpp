// The socket class over a socket layer whose system calls fail on request:
// a close that would block for as long as the peer leaves data unread, as
// WinSock's does, still ends; Linux's connection attempts that end at once
// are reported as WinSock would report them.
#include "os/system.h"
#include "socket_call_faults.h"
#include "socket_fixture.h"

#include <cerrno>
#include <chrono>
#include <future>

namespace {

TEST_F(SocketTest, CloseThatWouldBlockEndsWithAResetAfterTheLingerTime) {
    WinSocket::CWinSock &s = Connected();
    SetLingeringCloseFault(true);
    const uint32_t start = OsTimeGetTime();
    std::future<WSockResult> closing = std::async(std::launch::async, [&] { return s.Close(); });
    // Only against a hang: a close that never ends is let go by ending the
    // fault, and fails the test.
    const bool ended = closing.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    SetLingeringCloseFault(false);
    const WSockResult result = closing.get();
    const uint32_t elapsedMs = OsTimeGetTime() - start;
    ASSERT_TRUE(ended) << "Close spins while the close would block";
    EXPECT_EQ(WSOCK_OK, result);
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.IsValid()); // the handle is released
    const uint32_t failed = FailedCloses();
    EXPECT_GT(failed, 0u);
    // A millisecond between calls, give or take the clock's resolution.
    EXPECT_LE(failed, elapsedMs + 100) << "the retries do not pause";
}

#if !defined(_WIN32)
// Linux ends some connection attempts at once (brought about here by a
// connect that fails without trying): those that WinSock would end later take
// that way, pending and then an exception that sticks; any other is a failure.
TEST_F(SocketTest, AttemptEndedAtOnceFailsAsWinSockWouldReportIt) {
    for (int error : {ECONNREFUSED, ENETUNREACH, EHOSTUNREACH, ETIMEDOUT, EACCES}) {
        const bool later = error != EACCES;
        WinSocket::CWinSock &s = MakeSocket(UnusedLoopbackPort());
        SetConnectFault(error);
        EXPECT_EQ(later ? WSOCK_PENDING : WSOCK_ERR_CONNECT, s.Connect()) << error;
        SetConnectFault(0);
        EXPECT_EQ(later ? WSOCK_STATE_CONNECTING : WSOCK_STATE_CREATED, State()) << error;
        EXPECT_EQ(later ? 1u : 0u, m_states.size()) << error;
        if (!later) continue;
        EXPECT_EQ(WSOCK_ERR_EXCEPTION, s.Poll()) << error;
        EXPECT_EQ(WSOCK_ERR_EXCEPTION, s.Poll()) << error;
        WSockResult kept = WSOCK_OK;
        s.GetError(&kept);
        EXPECT_EQ(WSOCK_ERR_EXCEPTION, kept) << error;
        EXPECT_EQ(WSOCK_STATE_CONNECTING, State()) << error;
    }
}
#endif

} // namespace
