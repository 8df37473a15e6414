// The send and receive queues, their lent locks, and the chunks they carry.
#include "net/win_sock.h"

#include "base/mem.h"

#include <new>

namespace WinSocket {

// The string's control block lives in a zero-filled block from MemAlloc;
// its bytes come from the standard allocator and go with the destructor.
WSockResult CWinSock::AllocChunk(std::string **chunk) {
    if (!chunk) return WSOCK_ERR_NULL_POINTER;
    void *block = MemAlloc(sizeof(std::string));
    if (!block) return WSOCK_ERR_OUT_OF_MEMORY;
    *chunk = new (block) std::string();
    return WSOCK_OK;
}

void CWinSock::FreeChunk(std::string *chunk) {
    if (!chunk) return;
    chunk->~basic_string();
    MemFree(chunk);
}

bool CWinSock::FillChunk(std::string *chunk, const char *bytes, size_t length) {
    try {
        chunk->assign(bytes, length);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool CWinSock::AppendChunk(std::deque<std::string *> &queue, OsCriticalSection *lock,
                           std::string *chunk) {
    OsLockGuard guard(lock);
    try {
        queue.push_back(chunk);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool CWinSock::HasUnsentChunk() {
    if (!m_sendLock) return false;
    OsLockGuard guard(m_sendLock);
    return !m_sendQueue.empty();
}

void CWinSock::SetQueueLocks(OsCriticalSection *sendLock, OsCriticalSection *recvLock) {
    m_sendLock = sendLock;
    m_recvLock = recvLock;
}

void CWinSock::ClearQueueLocks() {
    m_sendLock = nullptr;
    m_recvLock = nullptr;
}

// The pushed chunk is due for the next Poll even if the socket has not been
// reported writable since the last one.
WSockResult CWinSock::PushSend(std::string *chunk, uint16_t) {
    if (!m_sendLock) return WSOCK_ERR_FAILED;
    OsLockGuard guard(m_sendLock);
    m_sendQueue.push_back(chunk);
    m_readyFlags |= READY_WRITE;
    return WSOCK_OK;
}

WSockResult CWinSock::PushRecv(std::string *chunk, uint16_t) {
    if (!m_recvLock) return WSOCK_ERR_FAILED;
    OsLockGuard guard(m_recvLock);
    m_recvQueue.push_back(chunk);
    return WSOCK_OK;
}

namespace {

WSockResult PopOldest(std::deque<std::string *> &queue, OsCriticalSection *lock,
                      std::string **chunk, uint16_t *length) {
    if (!chunk || !length) return WSOCK_ERR_NULL_POINTER;
    OsLockGuard guard(lock);
    if (queue.empty()) {
        *chunk = nullptr;
        *length = 0;
        return WSOCK_EMPTY;
    }
    *chunk = queue.front();
    queue.pop_front();
    *length = static_cast<uint16_t>(*chunk ? (*chunk)->size() : 0);
    return WSOCK_OK;
}

void ReleaseAll(std::deque<std::string *> &queue, OsCriticalSection *lock) {
    OsLockGuard guard(lock);
    for (std::string *chunk : queue)
        CWinSock::FreeChunk(chunk);
    queue.clear();
}

} // namespace

WSockResult CWinSock::PopSend(std::string **chunk, uint16_t *length) {
    return PopOldest(m_sendQueue, m_sendLock, chunk, length);
}

WSockResult CWinSock::PopRecv(std::string **chunk, uint16_t *length) {
    return PopOldest(m_recvQueue, m_recvLock, chunk, length);
}

void CWinSock::ClearSendQueue() { ReleaseAll(m_sendQueue, m_sendLock); }

void CWinSock::ClearRecvQueue() { ReleaseAll(m_recvQueue, m_recvLock); }

} // namespace WinSocket
