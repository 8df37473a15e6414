// Shared set-up of the socket tests: the two locks that an engine lends, a
// notification that records the states it sees, an in-process gateway, and
// bounded waits that drive Poll the way the service thread does.
#pragma once

#include "net/win_sock.h"
#include "os/system.h"
#include "os/thread.h"
#include "test_gateway.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class SocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OsInitCriticalSection(&m_sendLock);
        OsInitCriticalSection(&m_recvLock);
    }
    void TearDown() override {
        Release();
        OsDeleteCriticalSection(&m_sendLock);
        OsDeleteCriticalSection(&m_recvLock);
    }

    // A socket for 127.0.0.1:`port` as the engine makes it, with the
    // recording notification and lent locks; Create is left to the test.
    WinSocket::CWinSock &MakeSocket(uint16_t port) {
        m_socket.reset(new WinSocket::CWinSock("127.0.0.1", port, RecordState, this));
        m_socket->SetQueueLocks(&m_sendLock, &m_recvLock);
        m_states.clear();
        return *m_socket;
    }

    // Created and connected to the gateway, which has accepted it.
    WinSocket::CWinSock &Connected() {
        WinSocket::CWinSock &s = MakeSocket(m_gateway.Port());
        EXPECT_EQ(WSOCK_OK, s.Create(2, 1, 6));
        const WSockResult result = s.Connect();
        EXPECT_TRUE(result == WSOCK_OK || result == WSOCK_PENDING) << static_cast<uint32_t>(result);
        EXPECT_TRUE(PollUntil([&] { return State() == WSOCK_STATE_CONNECTED; }));
        EXPECT_TRUE(m_gateway.WaitForClients(1));
        return s;
    }

    // The owner's teardown: close, empty both queues, take the locks back.
    void Release() {
        if (!m_socket) return;
        m_socket->Close();
        m_socket->ClearSendQueue();
        m_socket->ClearRecvQueue();
        m_socket->ClearQueueLocks();
        m_socket.reset();
    }

    WSockState State() {
        WSockState state = static_cast<WSockState>(99);
        m_socket->GetState(&state);
        return state;
    }

    // Calls Poll every millisecond until `done` holds, for at most 5 s.
    template <class Done> bool PollUntil(Done done, uint32_t boundMs = 5000) {
        const uint32_t start = OsTimeGetTime();
        while (!done()) {
            if (OsTimeGetTime() - start > boundMs) return false;
            m_lastPoll = m_socket->Poll();
            OsSleep(1);
        }
        return true;
    }

    // Polls until the received chunks, each of at most 65535 bytes, hold at
    // least `count` bytes; returns them.
    std::string ReceiveBytes(size_t count) {
        std::string received;
        PollUntil([&] {
            std::string *chunk = nullptr;
            uint16_t length = 0;
            while (m_socket->PopRecv(&chunk, &length) == WSOCK_OK) {
                EXPECT_EQ(chunk->size(), length);
                EXPECT_LE(chunk->size(), 65535u);
                received += *chunk;
                WinSocket::CWinSock::FreeChunk(chunk);
            }
            return received.size() >= count;
        });
        return received;
    }

    static std::string *NewChunk(const std::string &bytes) {
        std::string *chunk = nullptr;
        EXPECT_EQ(WSOCK_OK, WinSocket::CWinSock::AllocChunk(&chunk));
        chunk->assign(bytes);
        return chunk;
    }

    OsCriticalSection m_sendLock;
    OsCriticalSection m_recvLock;
    std::unique_ptr<WinSocket::CWinSock> m_socket;
    std::vector<WSockState> m_states; // as the notifications saw them
    WSockResult m_lastPoll = WSOCK_OK;
    TestGateway m_gateway;

  private:
    static void RecordState(void *arg) {
        SocketTest *test = static_cast<SocketTest *>(arg);
        WSockState state = static_cast<WSockState>(99);
        test->m_socket->GetState(&state);
        test->m_states.push_back(state);
    }
};
