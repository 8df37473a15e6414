// Shared set-up of the socket tests: the two locks that an engine lends, a
// notification that records the states it sees, an in-process gateway, and
// bounded waits that drive Poll the way the service thread does.
#pragma once

#include "eventually.h"
#include "net/win_sock.h"
#include "os/thread.h"
#include "test_gateway.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class SocketTest : public ::testing::Test {
  protected:
    ~SocketTest() override { Release(); }

    // A TCP socket for 127.0.0.1:`port` as the engine makes and creates it,
    // with the recording notification and lent locks, in place of the last one.
    WinSocket::CWinSock &MakeSocket(uint16_t port) {
        Release();
        m_socket.reset(new WinSocket::CWinSock("127.0.0.1", port, RecordState, this));
        m_socket->SetQueueLocks(&m_sendLock, &m_recvLock);
        m_states.clear();
        EXPECT_EQ(WSOCK_OK, m_socket->Create(2, 1, 6));
        return *m_socket;
    }

    // Created and connected to the gateway, which has accepted it.
    WinSocket::CWinSock &Connected() {
        WinSocket::CWinSock &s = MakeSocket(m_gateway.Port());
        s.Connect();
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

    // Calls Poll until `done` holds, with a bound only against a hang.
    template <class Done> bool PollUntil(Done done) {
        return Eventually([&] {
            if (done()) return true;
            m_lastPoll = m_socket->Poll();
            return false;
        });
    }

    // Polls until the received chunks hold at least `count` bytes.
    std::string ReceiveBytes(size_t count) {
        std::string received;
        PollUntil([&] {
            std::string *chunk = nullptr;
            uint16_t length = 0;
            while (m_socket->PopRecv(&chunk, &length) == WSOCK_OK) {
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

    // A lock that the engine would lend, created and deleted by its owner.
    struct Lock : OsCriticalSection {
        Lock() { OsInitCriticalSection(this); }
        ~Lock() { OsDeleteCriticalSection(this); }
    };
    Lock m_sendLock;
    Lock m_recvLock;
    TestGateway m_gateway;
    std::unique_ptr<WinSocket::CWinSock> m_socket;
    std::vector<WSockState> m_states; // as the notifications saw them
    WSockResult m_lastPoll = WSOCK_OK;

  private:
    static void RecordState(void *arg) {
        SocketTest *test = static_cast<SocketTest *>(arg);
        test->m_states.push_back(test->State());
    }
};
