// Shared set-up of the socket tests: the two locks that an engine lends,
// a notification that records the states it sees, and bounded waits that
// drive Poll the way the service thread does.
#pragma once

#include "loopback_listener.h"
#include "net/win_sock.h"
#include "os/system.h"
#include "os/thread.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

struct NotifyLog {
    WinSocket::CWinSock *socket = nullptr;
    std::vector<uint32_t> states;
};

inline void RecordState(void *arg) {
    NotifyLog *log = static_cast<NotifyLog *>(arg);
    WSockState state = static_cast<WSockState>(99);
    log->socket->GetState(&state);
    log->states.push_back(static_cast<uint32_t>(state));
}

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
        m_socket.reset(new WinSocket::CWinSock("127.0.0.1", port, RecordState, &m_log));
        m_log.socket = m_socket.get();
        m_socket->SetQueueLocks(&m_sendLock, &m_recvLock);
        return *m_socket;
    }

    // Created and connected, with the listener's side accepted.
    WinSocket::CWinSock &Connected(LoopbackListener &listener) {
        WinSocket::CWinSock &s = MakeSocket(listener.Port());
        EXPECT_EQ(WSOCK_OK, s.Create(2, 1, 6));
        WSockResult result = s.Connect();
        EXPECT_TRUE(result == WSOCK_OK || result == WSOCK_PENDING) << static_cast<uint32_t>(result);
        EXPECT_TRUE(PollUntil([&] { return State() == 4; }));
        EXPECT_TRUE(listener.Accept());
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

    uint32_t State() {
        WSockState state = static_cast<WSockState>(99);
        m_socket->GetState(&state);
        return static_cast<uint32_t>(state);
    }

    // Calls Poll every millisecond until `done` holds, for at most 5 s.
    template <class Done> bool PollUntil(Done done, uint32_t boundMs = 5000) {
        uint32_t start = OsTimeGetTime();
        while (!done()) {
            if (OsTimeGetTime() - start > boundMs) return false;
            m_lastPoll = m_socket->Poll();
            OsSleep(1);
        }
        return true;
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
    NotifyLog m_log;
    WSockResult m_lastPoll = WSOCK_OK;
};
