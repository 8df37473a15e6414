// Connection attempts that Linux ends at once, brought about by a connect
// that fails without trying: they take the way of an attempt that fails
// later, as under WinSock.
#include "socket_call_faults.h"
#include "socket_fixture.h"

#include <cerrno>

namespace {

using WinSocket::CWinSock;

TEST_F(SocketTest, AttemptEndedAtOnceIsPendingThenAnExceptionThatSticks) {
    for (int error : {ECONNREFUSED, ENETUNREACH, EHOSTUNREACH, ETIMEDOUT}) {
        CWinSock &s = MakeSocket(UnusedLoopbackPort());
        ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
        SetConnectFault(error);
        EXPECT_EQ(WSOCK_PENDING, s.Connect()) << error;
        SetConnectFault(0);
        EXPECT_EQ(std::vector<WSockState>{WSOCK_STATE_CONNECTING}, m_states) << error;
        EXPECT_EQ(WSOCK_ERR_EXCEPTION, s.Poll()) << error;
        EXPECT_EQ(WSOCK_ERR_EXCEPTION, s.Poll()) << error;
        EXPECT_EQ(WSOCK_STATE_CONNECTING, State()) << error;
        Release();
    }
}

// Any other error is still a failed Connect.
TEST_F(SocketTest, OtherImmediateConnectErrorIsAConnectFailure) {
    CWinSock &s = MakeSocket(UnusedLoopbackPort());
    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    SetConnectFault(EACCES);
    EXPECT_EQ(WSOCK_ERR_CONNECT, s.Connect());
    SetConnectFault(0);
    EXPECT_EQ(WSOCK_STATE_CREATED, State());
    EXPECT_TRUE(m_states.empty());
}

} // namespace
