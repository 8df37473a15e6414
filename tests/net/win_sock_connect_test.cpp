// Connection life of CWinSock against real loopback listeners: create,
// connect, the failed attempt, the peer's close and Close.
#include "korvel_library.h"
#include "socket_fixture.h"

namespace {

using WinSocket::CWinSock;

TEST_F(SocketTest, ConnectToListenerReachesConnectedAndNotifiesEachChange) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.IsListening());
    CWinSock &s = MakeSocket(listener.Port());
    EXPECT_EQ(0u, State());
    EXPECT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    EXPECT_EQ(1u, State());
    EXPECT_TRUE(m_log.states.empty());

    WSockResult result = s.Connect();
    if (result == WSOCK_PENDING) {
        EXPECT_EQ(std::vector<uint32_t>{3}, m_log.states);
        ASSERT_TRUE(PollUntil([&] { return State() == 4; }));
        EXPECT_EQ(WSOCK_OK, m_lastPoll);
        EXPECT_EQ((std::vector<uint32_t>{3, 4}), m_log.states);
    } else {
        EXPECT_EQ(WSOCK_OK, result);
        EXPECT_EQ(std::vector<uint32_t>{4}, m_log.states);
    }
    EXPECT_TRUE(listener.Accept());

    m_log.states.clear();
    EXPECT_EQ(WSOCK_OK, s.Close());
    EXPECT_EQ(0u, State());
    EXPECT_EQ(std::vector<uint32_t>{0}, m_log.states);
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.IsValid());
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Poll());
}

TEST_F(SocketTest, ClosedPortIsPendingThenAnExceptionThatSticks) {
    CWinSock &s = MakeSocket(LoopbackListener::ClosedPort());
    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    EXPECT_EQ(WSOCK_PENDING, s.Connect());
    EXPECT_EQ(3u, State());
    ASSERT_TRUE(PollUntil([&] { return m_lastPoll == WSOCK_ERR_EXCEPTION; }));
    WSockResult error = WSOCK_OK;
    EXPECT_EQ(WSOCK_OK, s.GetError(&error));
    EXPECT_EQ(WSOCK_ERR_EXCEPTION, error);
    EXPECT_EQ(3u, State());
    EXPECT_EQ(WSOCK_ERR_EXCEPTION, s.Poll());
    EXPECT_EQ(3u, State());
    EXPECT_EQ(std::vector<uint32_t>{3}, m_log.states);
}

// The peer accepts, sends and resets before the first Poll looks at the
// attempt: the connection was made, so it is reported as connected, its
// bytes arrive, and the reset is a receive error.
TEST_F(SocketTest, PeerThatResetsBeforeTheFirstPollHasStillConnected) {
    LoopbackListener listener;
    CWinSock &s = MakeSocket(listener.Port());
    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    WSockResult result = s.Connect();
    ASSERT_TRUE(result == WSOCK_OK || result == WSOCK_PENDING) << static_cast<uint32_t>(result);
    ASSERT_TRUE(listener.Accept());
    ASSERT_TRUE(listener.SendAll("$CAN;S;D;0x1;0x0;#"));
    listener.ResetPeer();
    ASSERT_TRUE(PollUntil([&] { return State() != 3 || m_lastPoll == WSOCK_ERR_EXCEPTION; }));
    EXPECT_NE(WSOCK_ERR_EXCEPTION, m_lastPoll);
    EXPECT_EQ(4u, m_log.states.back());
    if (RunningUnderWine()) return; // Wine reports a reset as the end of the stream
    std::string received;
    ASSERT_TRUE(PollUntil([&] {
        std::string *chunk = nullptr;
        uint16_t length = 0;
        if (s.PopRecv(&chunk, &length) == WSOCK_OK) received += *chunk;
        CWinSock::FreeChunk(chunk);
        return m_lastPoll == WSOCK_ERR_RECEIVE;
    }));
    EXPECT_EQ("$CAN;S;D;0x1;0x0;#", received);
}

TEST_F(SocketTest, PeerCloseShowsAsClosedByPeerThenAsLostOnTheNextReceivingCycle) {
    LoopbackListener listener;
    CWinSock &s = Connected(listener);
    m_log.states.clear();
    listener.ClosePeer();
    ASSERT_TRUE(PollUntil([&] { return State() != 4; }));
    EXPECT_EQ(5u, State());
    EXPECT_EQ(WSOCK_OK, m_lastPoll); // the old error: none
    EXPECT_EQ(WSOCK_OK, s.Poll());
    EXPECT_EQ(7u, State());
    EXPECT_TRUE(m_log.states.empty()); // the end of the stream does not notify
    std::string *chunk = nullptr;
    uint16_t length = 1;
    EXPECT_EQ(WSOCK_EMPTY, s.PopRecv(&chunk, &length));
    EXPECT_EQ(nullptr, chunk);
    EXPECT_EQ(0u, length);
}

TEST_F(SocketTest, CloseWithoutHandleAndAfterCreateOnly) {
    CWinSock &s = MakeSocket(LoopbackListener::ClosedPort());
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Close());
    EXPECT_TRUE(m_log.states.empty());

    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    EXPECT_EQ(WSOCK_OK, s.IsValid());
    EXPECT_EQ(WSOCK_OK, s.Close());
    EXPECT_EQ(0u, State());
    EXPECT_EQ(std::vector<uint32_t>{0}, m_log.states);
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.IsValid());
    // The object can be used again.
    EXPECT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    EXPECT_EQ(1u, State());
}

TEST_F(SocketTest, CreateAndConnectOutOfTurnReportTheState) {
    LoopbackListener listener;
    CWinSock &s = MakeSocket(listener.Port());
    EXPECT_EQ(WSOCK_ERR_STATE, s.Connect()); // no socket yet
    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    EXPECT_EQ(WSOCK_ERR_STATE, s.Create(2, 1, 6));
    EXPECT_EQ(1u, State());
    WSockResult first = s.Connect();
    EXPECT_TRUE(first == WSOCK_OK || first == WSOCK_PENDING) << static_cast<uint32_t>(first);
    size_t notified = m_log.states.size();
    EXPECT_EQ(WSOCK_ERR_STATE, s.Connect());
    EXPECT_EQ(WSOCK_ERR_STATE, s.Create(2, 1, 6));
    EXPECT_EQ(notified, m_log.states.size());
}

TEST_F(SocketTest, OperationsWithoutSocketOrOutPointers) {
    CWinSock &s = MakeSocket(1);
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Poll());
    EXPECT_EQ(WSOCK_ERR_NULL_POINTER, s.GetState(nullptr));
    EXPECT_EQ(WSOCK_ERR_NULL_POINTER, s.GetError(nullptr));
    std::string *chunk = nullptr;
    uint16_t n = 0;
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Receive(&chunk, &n));
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Send(nullptr, 0, &n));
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.Bind());
    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    EXPECT_EQ(WSOCK_ERR_NULL_POINTER, s.Receive(nullptr, &n));
    n = 7;
    EXPECT_EQ(WSOCK_ERR_STATE, s.Receive(&chunk, &n)); // not connecting yet
    EXPECT_EQ(0u, n);
    EXPECT_EQ(WSOCK_OK, s.Bind()); // address 0, port 0: any
}

} // namespace
