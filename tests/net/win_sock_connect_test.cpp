// Connection life of CWinSock against the in-process gateway: create,
// connect, the failed attempt, the peer's close and Close.
#include "korvel_library.h"
#include "socket_fixture.h"

namespace {

using WinSocket::CWinSock;

TEST_F(SocketTest, ConnectReachesConnectedNotifiesEachChangeAndCloseReleases) {
    CWinSock &s = MakeSocket(m_gateway.Port());
    EXPECT_EQ(WSOCK_ERR_STATE, s.Connect()); // no socket yet
    EXPECT_EQ(WSOCK_STATE_CLOSED, State());
    EXPECT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    EXPECT_EQ(WSOCK_STATE_CREATED, State());
    EXPECT_EQ(WSOCK_ERR_STATE, s.Create(2, 1, 6));
    EXPECT_TRUE(m_states.empty());

    const WSockResult result = s.Connect();
    if (result == WSOCK_PENDING) {
        EXPECT_EQ(std::vector<WSockState>{WSOCK_STATE_CONNECTING}, m_states);
        ASSERT_TRUE(PollUntil([&] { return State() == WSOCK_STATE_CONNECTED; }));
        EXPECT_EQ(WSOCK_OK, m_lastPoll);
        EXPECT_EQ((std::vector<WSockState>{WSOCK_STATE_CONNECTING, WSOCK_STATE_CONNECTED}),
                  m_states);
    } else {
        EXPECT_EQ(WSOCK_OK, result);
        EXPECT_EQ(std::vector<WSockState>{WSOCK_STATE_CONNECTED}, m_states);
    }
    EXPECT_EQ(WSOCK_ERR_STATE, s.Connect());
    EXPECT_TRUE(m_gateway.WaitForClients(1));

    m_states.clear();
    EXPECT_EQ(WSOCK_OK, s.Close());
    EXPECT_EQ(WSOCK_STATE_CLOSED, State());
    EXPECT_EQ(std::vector<WSockState>{WSOCK_STATE_CLOSED}, m_states);
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.IsValid());
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Poll());
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Close());
    EXPECT_TRUE(m_gateway.WaitForClientEnd(0));
    // The object can be used again.
    EXPECT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    EXPECT_EQ(WSOCK_STATE_CREATED, State());
}

TEST_F(SocketTest, ClosedPortIsPendingThenAnExceptionThatSticks) {
    CWinSock &s = MakeSocket(UnusedLoopbackPort());
    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    EXPECT_EQ(WSOCK_PENDING, s.Connect());
    EXPECT_EQ(WSOCK_STATE_CONNECTING, State());
    ASSERT_TRUE(PollUntil([&] { return m_lastPoll == WSOCK_ERR_EXCEPTION; }));
    WSockResult error = WSOCK_OK;
    EXPECT_EQ(WSOCK_OK, s.GetError(&error));
    EXPECT_EQ(WSOCK_ERR_EXCEPTION, error);
    EXPECT_EQ(WSOCK_ERR_EXCEPTION, s.Poll());
    EXPECT_EQ(WSOCK_STATE_CONNECTING, State());
    EXPECT_EQ(std::vector<WSockState>{WSOCK_STATE_CONNECTING}, m_states);
}

// The peer accepts, sends and resets before the first Poll looks at the
// attempt: the connection was made, so it is reported as connected, its
// bytes arrive, and the reset is a receive error.
TEST_F(SocketTest, PeerThatResetsBeforeTheFirstPollHasStillConnected) {
    CWinSock &s = MakeSocket(m_gateway.Port());
    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    const WSockResult result = s.Connect();
    ASSERT_TRUE(result == WSOCK_OK || result == WSOCK_PENDING) << static_cast<uint32_t>(result);
    ASSERT_TRUE(m_gateway.WaitForClients(1));
    ASSERT_TRUE(m_gateway.Send(0, "$CAN;S;D;0x1;0x0;#"));
    m_gateway.Reset(0);
    ASSERT_TRUE(PollUntil(
        [&] { return State() != WSOCK_STATE_CONNECTING || m_lastPoll == WSOCK_ERR_EXCEPTION; }));
    EXPECT_NE(WSOCK_ERR_EXCEPTION, m_lastPoll);
    EXPECT_EQ(WSOCK_STATE_CONNECTED, m_states.back());
    if (RunningUnderWine()) return; // Wine reports a reset as the end of the stream
    EXPECT_EQ("$CAN;S;D;0x1;0x0;#", ReceiveBytes(18));
    EXPECT_TRUE(PollUntil([&] { return m_lastPoll == WSOCK_ERR_RECEIVE; }));
}

TEST_F(SocketTest, PeerCloseShowsAsClosedByPeerThenAsLostOnTheNextReceivingCycle) {
    CWinSock &s = Connected();
    m_states.clear();
    m_gateway.Close(0);
    ASSERT_TRUE(PollUntil([&] { return State() != WSOCK_STATE_CONNECTED; }));
    EXPECT_EQ(WSOCK_STATE_CLOSED_BY_PEER, State());
    EXPECT_EQ(WSOCK_OK, m_lastPoll); // the old error: none
    EXPECT_EQ(WSOCK_OK, s.Poll());
    EXPECT_EQ(WSOCK_STATE_LOST, State());
    EXPECT_TRUE(m_states.empty()); // the end of the stream does not notify
    std::string *chunk = nullptr;
    uint16_t length = 1;
    EXPECT_EQ(WSOCK_EMPTY, s.PopRecv(&chunk, &length));
    EXPECT_EQ(nullptr, chunk);
    EXPECT_EQ(0u, length);
}

TEST_F(SocketTest, OperationsWithoutSocketOrOutPointers) {
    CWinSock &s = MakeSocket(1);
    EXPECT_EQ(WSOCK_ERR_NULL_POINTER, s.GetState(nullptr));
    EXPECT_EQ(WSOCK_ERR_NULL_POINTER, s.GetError(nullptr));
    std::string *chunk = nullptr;
    uint16_t n = 0;
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Receive(&chunk, &n));
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Send(nullptr, 0, &n));
    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    n = 7;
    EXPECT_EQ(WSOCK_ERR_STATE, s.Receive(&chunk, &n)); // not connecting yet
    EXPECT_EQ(0u, n);
    EXPECT_EQ(WSOCK_OK, s.Bind()); // address 0, port 0: any
}

} // namespace
