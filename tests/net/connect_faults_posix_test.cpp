// Connection attempts that Linux ends at once, brought about by a connect
// that fails without trying: those that WinSock would end later take that
// way, pending and then an exception that sticks; any other is a failure.
#include "socket_call_faults.h"
#include "socket_fixture.h"

#include <cerrno>

namespace {

TEST_F(SocketTest, AttemptEndedAtOnceFailsAsWinSockWouldReportIt) {
    for (int error : {ECONNREFUSED, ENETUNREACH, EHOSTUNREACH, ETIMEDOUT, EACCES}) {
        const bool later = error != EACCES;
        WinSocket::CWinSock &s = MakeSocket(UnusedLoopbackPort());
        ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
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

} // namespace
