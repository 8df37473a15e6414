// Bytes in both directions over a loopback connection: queued chunks leave
// one per Poll, received bytes arrive as chunks, and recorded errors stick.
#include "socket_fixture.h"

#include <thread>

namespace {

using WinSocket::CWinSock;

TEST_F(SocketTest, QueuedChunksLeaveOnePerPollInPushOrder) {
    LoopbackListener listener;
    CWinSock &s = Connected(listener);
    const char *texts[] = {"$CAN;one;#", "$CAN;second;#", "$CAN;third one;#"};
    for (const char *text : texts)
        EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk(text), 0));
    for (const char *text : texts) {
        EXPECT_EQ(WSOCK_OK, s.Poll());
        // Loopback hands sent bytes to the peer at once, so a second chunk
        // sent by the same Poll would show in this read.
        EXPECT_EQ(text, listener.Read(std::string(text).size()));
    }
    std::string *chunk = nullptr;
    uint16_t length = 0;
    EXPECT_EQ(WSOCK_EMPTY, s.PopSend(&chunk, &length));
}

TEST_F(SocketTest, LargeBurstArrivesAsChunksOfAtMost65535Bytes) {
    LoopbackListener listener;
    CWinSock &s = Connected(listener);
    std::string sent(100000, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>('a' + i % 26);
    std::thread peer([&] { EXPECT_TRUE(listener.SendAll(sent)); });

    std::string received;
    size_t chunks = 0;
    bool done = PollUntil([&] {
        std::string *chunk = nullptr;
        uint16_t length = 0;
        while (s.PopRecv(&chunk, &length) == WSOCK_OK) {
            EXPECT_EQ(chunk->size(), length);
            EXPECT_LE(chunk->size(), 65535u);
            received += *chunk;
            ++chunks;
            CWinSock::FreeChunk(chunk);
        }
        return received.size() >= sent.size();
    });
    peer.join();
    ASSERT_TRUE(done) << received.size();
    EXPECT_GE(chunks, 2u);
    EXPECT_TRUE(received == sent);
    EXPECT_EQ(WSOCK_OK, m_lastPoll);
}

// A listener with a backlog of 0 takes one connection into its queue; a
// second attempt stays pending until the first is accepted.
TEST_F(SocketTest, ChunkBeforeTheSocketIsWritableFailsAndTheErrorSticks) {
    LoopbackListener listener(0);
    CWinSock filler("127.0.0.1", listener.Port(), nullptr, nullptr);
    ASSERT_EQ(WSOCK_OK, filler.Create(2, 1, 6));
    filler.Connect();
    CWinSock &s = MakeSocket(listener.Port());
    ASSERT_EQ(WSOCK_OK, s.Create(2, 1, 6));
    ASSERT_EQ(WSOCK_PENDING, s.Connect());

    EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk("early"), 5));
    EXPECT_EQ(WSOCK_ERR_NOT_CONNECTED, s.Poll());
    EXPECT_EQ(3u, State());
    std::string *chunk = nullptr;
    uint16_t length = 0;
    EXPECT_EQ(WSOCK_EMPTY, s.PopSend(&chunk, &length)); // released, not kept

    // Room in the queue lets the retried attempt complete.
    ASSERT_TRUE(listener.Accept());
    filler.Close();
    ASSERT_TRUE(PollUntil([&] { return State() == 4; }, 15000));
    ASSERT_TRUE(listener.Accept());
    EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk("later"), 5));
    EXPECT_EQ(WSOCK_ERR_NOT_CONNECTED, s.Poll()); // sent fine, old error kept
    EXPECT_EQ("later", listener.Read(5));
    WSockResult error = WSOCK_OK;
    s.GetError(&error);
    EXPECT_EQ(WSOCK_ERR_NOT_CONNECTED, error);
    s.ClearError();
    EXPECT_EQ(WSOCK_OK, s.Poll());
}

TEST_F(SocketTest, SendingToAPeerThatHasGoneFailsWithoutEndingTheProcess) {
    LoopbackListener listener;
    CWinSock &s = Connected(listener);
    listener.ClosePeer();
    ASSERT_TRUE(PollUntil([&] { return State() == 5; }));
    // The first send is answered with a reset; later ones fail.
    WSockResult result = WSOCK_OK;
    for (int i = 0; i < 100 && result == WSOCK_OK; ++i) {
        EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk("after the end"), 0));
        result = s.Poll();
        OsSleep(1);
    }
    EXPECT_TRUE(result == WSOCK_ERR_SEND || result == WSOCK_ERR_RECEIVE)
        << static_cast<uint32_t>(result);
}

} // namespace
