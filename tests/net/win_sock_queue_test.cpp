// The chunk queues with their lent locks, chunk ownership, and the
// process-wide start and stop of the network.
#include "socket_fixture.h"

namespace {

using WinSocket::CWinSock;

TEST_F(SocketTest, QueuesNeedLentLocksAndHandOutChunksOldestFirst) {
    CWinSock s("127.0.0.1", 1, nullptr, nullptr);
    std::string *chunk = NewChunk("x");
    EXPECT_EQ(WSOCK_ERR_FAILED, s.PushSend(chunk, 1));
    EXPECT_EQ(WSOCK_ERR_FAILED, s.PushRecv(chunk, 1));
    CWinSock::FreeChunk(chunk);

    s.SetQueueLocks(&m_sendLock, &m_recvLock);
    std::string big(70000, 'b');
    EXPECT_EQ(WSOCK_OK, s.PushRecv(NewChunk("first"), 0));
    EXPECT_EQ(WSOCK_OK, s.PushRecv(NewChunk(big), 0));
    uint16_t length = 0;
    EXPECT_EQ(WSOCK_ERR_NULL_POINTER, s.PopRecv(nullptr, &length));
    EXPECT_EQ(WSOCK_ERR_NULL_POINTER, s.PopRecv(&chunk, nullptr));
    ASSERT_EQ(WSOCK_OK, s.PopRecv(&chunk, &length));
    EXPECT_EQ("first", *chunk);
    EXPECT_EQ(5u, length);
    CWinSock::FreeChunk(chunk);
    ASSERT_EQ(WSOCK_OK, s.PopRecv(&chunk, &length));
    EXPECT_EQ(big.size(), chunk->size());
    EXPECT_EQ(70000u & 0xFFFFu, length); // the length is cut to 16 bits
    CWinSock::FreeChunk(chunk);
    EXPECT_EQ(WSOCK_EMPTY, s.PopRecv(&chunk, &length));
    EXPECT_EQ(nullptr, chunk);
    EXPECT_EQ(0u, length);

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

TEST(WinSockChunk, ChunksStartEmptyAndFreeAcceptsNull) {
    std::string *chunk = nullptr;
    ASSERT_EQ(WSOCK_OK, CWinSock::AllocChunk(&chunk));
    ASSERT_NE(nullptr, chunk);
    EXPECT_TRUE(chunk->empty());
    chunk->assign(100000, 'z'); // its bytes live outside the control block
    CWinSock::FreeChunk(chunk);
    CWinSock::FreeChunk(nullptr);
    EXPECT_EQ(WSOCK_ERR_NULL_POINTER, CWinSock::AllocChunk(nullptr));
}

TEST(WinSockNetwork, TheLastSocketStopsTheNetworkAndTheNextStartsIt) {
    ASSERT_EQ(0u, WinSocket::g_socketCount) << "a socket of another test is still alive";
    EXPECT_EQ(0u, CWinSock::IsNetworkStarted());
    {
        CWinSock first("127.0.0.1", 1, nullptr, nullptr);
        EXPECT_EQ(1u, CWinSock::IsNetworkStarted());
        WSockResult error = static_cast<WSockResult>(1);
        first.GetError(&error);
        EXPECT_EQ(WSOCK_OK, error);
        {
            CWinSock second(0x0100007Fu, 1, nullptr, nullptr);
            EXPECT_EQ(2u, WinSocket::g_socketCount);
        }
        EXPECT_EQ(1u, CWinSock::IsNetworkStarted());
    }
    EXPECT_EQ(0u, WinSocket::g_socketCount);
    EXPECT_EQ(0u, CWinSock::IsNetworkStarted());
    {
        CWinSock again("127.0.0.1", 1, nullptr, nullptr);
        EXPECT_EQ(1u, CWinSock::IsNetworkStarted());
        // A socket still works after a stop and a new start.
        EXPECT_EQ(WSOCK_OK, again.Create(2, 1, 6));
        EXPECT_EQ(WSOCK_OK, again.Close());
    }
    EXPECT_EQ(0u, CWinSock::IsNetworkStarted());
    EXPECT_EQ(WSOCK_OK, CWinSock::StartNetwork());
    EXPECT_EQ(1u, CWinSock::IsNetworkStarted());
    EXPECT_EQ(WSOCK_OK, CWinSock::StopNetwork());
    EXPECT_EQ(WSOCK_OK, CWinSock::StopNetwork()); // not started: nothing to do
    EXPECT_EQ(0u, CWinSock::IsNetworkStarted());
}

} // namespace
