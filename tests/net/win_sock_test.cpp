// CWinSock against the in-process gateway: the connection's states and their
// notifications, chunks in both directions, the peer's close and reset, and
// (Linux) a descriptor above the range of select's sets.
#include "korvel_library.h"
#include "socket_fixture.h"

#if !defined(_WIN32)
#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

using WinSocket::CWinSock;

TEST_F(SocketTest, ConnectionCarriesChunksInOrderUntilThePeerEndsTheStream) {
    CWinSock &s = MakeSocket(m_gateway.Port());
    const WSockResult result = s.Connect();
    ASSERT_TRUE(PollUntil([&] { return State() == WSOCK_STATE_CONNECTED; }));
    std::vector<WSockState> states{WSOCK_STATE_CONNECTING, WSOCK_STATE_CONNECTED};
    if (result == WSOCK_OK) states.erase(states.begin()); // connected at once
    EXPECT_EQ(WSOCK_ERR_STATE, s.Connect());
    ASSERT_TRUE(m_gateway.WaitForClients(1));

    // Queued chunks leave one per Poll, oldest first. Loopback hands sent
    // bytes to the peer at once, so a second chunk sent by the same Poll
    // would show.
    const char *texts[] = {"$CAN;one;#", "$CAN;second;#", "$CAN;third one;#"};
    for (const char *text : texts)
        EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk(text), 0));
    std::string sent;
    for (const char *text : texts) {
        EXPECT_EQ(WSOCK_OK, s.Poll());
        sent += text;
        ASSERT_TRUE(m_gateway.WaitForBytes(0, sent.size()));
        EXPECT_EQ(sent, m_gateway.Received(0));
    }
    ASSERT_TRUE(m_gateway.Send(0, "back"));
    EXPECT_EQ("back", ReceiveBytes(4));

    // The end of the stream is seen twice, and neither time notifies.
    m_gateway.Close(0);
    ASSERT_TRUE(PollUntil([&] { return State() != WSOCK_STATE_CONNECTED; }));
    EXPECT_EQ(WSOCK_STATE_CLOSED_BY_PEER, State());
    EXPECT_EQ(WSOCK_OK, s.Poll());
    EXPECT_EQ(WSOCK_STATE_LOST, State());
    EXPECT_EQ(WSOCK_OK, s.Close());
    states.push_back(WSOCK_STATE_CLOSED);
    EXPECT_EQ(states, m_states) << static_cast<uint32_t>(result);
    EXPECT_EQ(WSOCK_ERR_NO_SOCKET, s.IsValid());
    EXPECT_EQ(WSOCK_OK, s.Create(2, 1, 6)); // the object can be used again
}

// The peer accepts, sends and resets before the first Poll looks at the
// attempt: the connection was made, so it is reported as connected, its
// bytes arrive, and the reset is a receive error. Sending to the peer that
// has gone then fails; it does not end the process.
TEST_F(SocketTest, PeerThatResetsBeforeTheFirstPollHasStillConnected) {
    CWinSock &s = MakeSocket(m_gateway.Port());
    s.Connect();
    ASSERT_TRUE(m_gateway.WaitForClients(1));
    ASSERT_TRUE(m_gateway.Send(0, "$CAN;S;D;0x1;0x0;#"));
    m_gateway.Reset(0);
    ASSERT_TRUE(PollUntil(
        [&] { return State() != WSOCK_STATE_CONNECTING || m_lastPoll == WSOCK_ERR_EXCEPTION; }));
    EXPECT_EQ(WSOCK_STATE_CONNECTED, m_states.back());
    if (RunningUnderWine()) return; // Wine reports a reset as the end of the stream
    EXPECT_EQ("$CAN;S;D;0x1;0x0;#", ReceiveBytes(18));
    EXPECT_TRUE(PollUntil([&] { return m_lastPoll == WSOCK_ERR_RECEIVE; }));
    s.ClearError();
    s.PushSend(NewChunk("after the end"), 0);
    EXPECT_EQ(WSOCK_ERR_SEND, s.Poll());
}

#if !defined(_WIN32)
// A descriptor above the range of select's sets (1024) still connects and
// carries data, because readiness is tested with poll.
TEST_F(SocketTest, SocketAboveTheSelectRangeConnectsAndCarriesData) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1200) GTEST_SKIP() << "the descriptor limit is below 1200";
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1200);
    setrlimit(RLIMIT_NOFILE, &limit);
    // Every free descriptor below 1100 is taken, so the socket's lies above.
    std::vector<int> taken{open("/dev/null", O_RDONLY)};
    while (taken.back() >= 0 && taken.back() < 1100)
        taken.push_back(dup(taken.back()));
    WinSocket::CWinSock &s = Connected();
    EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk("high"), 4));
    EXPECT_EQ(WSOCK_OK, s.Poll());
    ASSERT_TRUE(m_gateway.WaitForBytes(0, 4));
    EXPECT_EQ("high", m_gateway.Received(0));
    ASSERT_TRUE(m_gateway.Send(0, "back"));
    EXPECT_EQ("back", ReceiveBytes(4));
    for (int fd : taken)
        if (fd >= 0) close(fd);
}
#endif

} // namespace
