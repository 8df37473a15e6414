// Bytes in both directions: the chunk queues with their lent locks, queued
// chunks leaving one per Poll, received bytes arriving as chunks, recorded
// errors that stick, and the process-wide start and stop of the network.
#include "socket_fixture.h"

#include <thread>

namespace {

using WinSocket::CWinSock;

TEST_F(SocketTest, QueuesNeedLentLocksAndHandOutChunksOldestFirst) {
    CWinSock s("127.0.0.1", 1, nullptr, nullptr);
    std::string *chunk = NewChunk("x");
    EXPECT_EQ(WSOCK_ERR_FAILED, s.PushSend(chunk, 1));
    EXPECT_EQ(WSOCK_ERR_FAILED, s.PushRecv(chunk, 1));
    CWinSock::FreeChunk(chunk);

    s.SetQueueLocks(&m_sendLock, &m_recvLock);
    EXPECT_EQ(WSOCK_OK, s.PushRecv(NewChunk("first"), 0));
    EXPECT_EQ(WSOCK_OK, s.PushRecv(NewChunk(std::string(70000, 'b')), 0));
    uint16_t length = 0;
    EXPECT_EQ(WSOCK_ERR_NULL_POINTER, s.PopRecv(nullptr, &length));
    ASSERT_EQ(WSOCK_OK, s.PopRecv(&chunk, &length));
    EXPECT_EQ("first", *chunk);
    EXPECT_EQ(5u, length);
    CWinSock::FreeChunk(chunk);
    ASSERT_EQ(WSOCK_OK, s.PopRecv(&chunk, &length));
    EXPECT_EQ(70000u & 0xFFFFu, length); // the length is cut to 16 bits
    CWinSock::FreeChunk(chunk);
    EXPECT_EQ(WSOCK_EMPTY, s.PopRecv(&chunk, &length));
    EXPECT_EQ(nullptr, chunk);

    // Clearing releases what is queued (a leak checker sees any left).
    for (int i = 0; i < 3; ++i) {
        s.PushSend(NewChunk("s"), 1);
        s.PushRecv(NewChunk("r"), 1);
    }
    s.ClearSendQueue();
    s.ClearRecvQueue();
    EXPECT_EQ(WSOCK_EMPTY, s.PopSend(&chunk, &length));
    EXPECT_EQ(WSOCK_EMPTY, s.PopRecv(&chunk, &length));
    s.ClearQueueLocks();
    EXPECT_EQ(WSOCK_ERR_FAILED, s.PushSend(nullptr, 0));
}

TEST_F(SocketTest, QueuedChunksLeaveOnePerPollInPushOrder) {
    CWinSock &s = Connected();
    const char *texts[] = {"$CAN;one;#", "$CAN;second;#", "$CAN;third one;#"};
    for (const char *text : texts)
        EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk(text), 0));
    std::string expected;
    for (const char *text : texts) {
        EXPECT_EQ(WSOCK_OK, s.Poll());
        // Loopback hands sent bytes to the peer at once, so a second chunk
        // sent by the same Poll would show here.
        expected += text;
        ASSERT_TRUE(m_gateway.WaitForBytes(0, expected.size()));
        EXPECT_EQ(expected, m_gateway.Received(0));
    }
}

TEST_F(SocketTest, LargeBurstArrivesAsChunksOfAtMost65535Bytes) {
    CWinSock &s = Connected();
    std::string sent(100000, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>('a' + i % 26);
    std::thread peer([&] { EXPECT_TRUE(m_gateway.Send(0, sent)); });
    const std::string received = ReceiveBytes(sent.size());
    peer.join();
    EXPECT_TRUE(received == sent) << received.size();
    EXPECT_EQ(WSOCK_OK, m_lastPoll);
    (void)s;
}

TEST_F(SocketTest, SendingToAPeerThatHasGoneFailsWithoutEndingTheProcess) {
    CWinSock &s = Connected();
    m_gateway.Reset(0);
    WSockResult result = WSOCK_OK;
    for (int i = 0; i < 100 && result == WSOCK_OK; ++i) {
        EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk("after the end"), 0));
        result = s.Poll();
        OsSleep(1);
    }
    EXPECT_TRUE(result == WSOCK_ERR_SEND || result == WSOCK_ERR_RECEIVE)
        << static_cast<uint32_t>(result);
}

TEST(WinSockNetwork, TheLastSocketStopsTheNetworkAndTheNextStartsIt) {
    ASSERT_EQ(0u, WinSocket::g_socketCount) << "a socket of another test is still alive";
    EXPECT_EQ(0u, CWinSock::IsNetworkStarted());
    {
        CWinSock first("127.0.0.1", 1, nullptr, nullptr);
        CWinSock second(0x0100007Fu, 1, nullptr, nullptr);
        EXPECT_EQ(2u, WinSocket::g_socketCount);
        EXPECT_EQ(1u, CWinSock::IsNetworkStarted());
    }
    EXPECT_EQ(0u, CWinSock::IsNetworkStarted());
    {
        // A socket still works after a stop and a new start.
        CWinSock again("127.0.0.1", 1, nullptr, nullptr);
        EXPECT_EQ(WSOCK_OK, again.Create(2, 1, 6));
        EXPECT_EQ(WSOCK_OK, again.Close());
    }
    EXPECT_EQ(0u, CWinSock::IsNetworkStarted());
    EXPECT_EQ(WSOCK_OK, CWinSock::StopNetwork()); // not started: nothing to do
}

} // namespace
