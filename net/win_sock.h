// WinSocket::CWinSock: one non-blocking IPv4 TCP connection to the gateway,
// with a send queue that the engine fills and a receive queue that it empties.
// No operation waits for the network; the service thread paces everything by
// calling Poll once per service cycle.
#pragma once

#include "os/socket.h"
#include "os/thread.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

// Socket results: what every operation of CWinSock reports.
enum class WSockResult : uint32_t {
    WSOCK_OK = 0,
    WSOCK_EMPTY = 1,              // a queue is empty
    WSOCK_PENDING = 2,            // a connection attempt in progress; nothing to read
    WSOCK_CLOSED_BY_PEER = 3,     // the peer ended the stream
    WSOCK_ERR_STATE = 4,          // operation not allowed in this state
    WSOCK_ERR_NULL_POINTER = 5,   // a required pointer is null
    WSOCK_ERR_CREATE = 7,         // the socket, non-blocking mode or receive buffer failed
    WSOCK_ERR_CONNECT = 8,        // a connection attempt failed at once
    WSOCK_ERR_NETWORK = 9,        // the network or the socket library is not usable
    WSOCK_ERR_SEND = 10,          // the platform refused the bytes
    WSOCK_ERR_RECEIVE = 11,       // a read failed
    WSOCK_ERR_EXCEPTION = 12,     // the exception condition (a failed connection attempt)
    WSOCK_ERR_NOT_CONNECTED = 13, // no connection yet
    WSOCK_ERR_NO_SOCKET = 14,     // no handle held
    WSOCK_ERR_STARTUP = 15,       // the network could not be started
    WSOCK_ERR_OUT_OF_MEMORY = 16, // no memory for a chunk
    WSOCK_ERR_FAILED = 17,        // other failures, see each operation
};

// The values by their plain names, as the code writes them.
constexpr WSockResult WSOCK_OK = WSockResult::WSOCK_OK;
constexpr WSockResult WSOCK_EMPTY = WSockResult::WSOCK_EMPTY;
constexpr WSockResult WSOCK_PENDING = WSockResult::WSOCK_PENDING;
constexpr WSockResult WSOCK_CLOSED_BY_PEER = WSockResult::WSOCK_CLOSED_BY_PEER;
constexpr WSockResult WSOCK_ERR_STATE = WSockResult::WSOCK_ERR_STATE;
constexpr WSockResult WSOCK_ERR_NULL_POINTER = WSockResult::WSOCK_ERR_NULL_POINTER;
constexpr WSockResult WSOCK_ERR_CREATE = WSockResult::WSOCK_ERR_CREATE;
constexpr WSockResult WSOCK_ERR_CONNECT = WSockResult::WSOCK_ERR_CONNECT;
constexpr WSockResult WSOCK_ERR_NETWORK = WSockResult::WSOCK_ERR_NETWORK;
constexpr WSockResult WSOCK_ERR_SEND = WSockResult::WSOCK_ERR_SEND;
constexpr WSockResult WSOCK_ERR_RECEIVE = WSockResult::WSOCK_ERR_RECEIVE;
constexpr WSockResult WSOCK_ERR_EXCEPTION = WSockResult::WSOCK_ERR_EXCEPTION;
constexpr WSockResult WSOCK_ERR_NOT_CONNECTED = WSockResult::WSOCK_ERR_NOT_CONNECTED;
constexpr WSockResult WSOCK_ERR_NO_SOCKET = WSockResult::WSOCK_ERR_NO_SOCKET;
constexpr WSockResult WSOCK_ERR_STARTUP = WSockResult::WSOCK_ERR_STARTUP;
constexpr WSockResult WSOCK_ERR_OUT_OF_MEMORY = WSockResult::WSOCK_ERR_OUT_OF_MEMORY;
constexpr WSockResult WSOCK_ERR_FAILED = WSockResult::WSOCK_ERR_FAILED;

// The connection states of a socket. The engine reports them as the
// instance's connection state (KORVEL_CONN_*). They only grow while a
// connection lives, so a comparison such as `m_state >= WSOCK_STATE_CONNECTING`
// means "an attempt was made".
enum class WSockState : uint32_t {
    WSOCK_STATE_CLOSED = 0,         // no handle, or released
    WSOCK_STATE_CREATED = 1,        // handle made, no connect issued
    WSOCK_STATE_CONNECTING = 3,     // connect issued, not yet writable
    WSOCK_STATE_CONNECTED = 4,      // connected
    WSOCK_STATE_CLOSED_BY_PEER = 5, // the peer ended an established stream
    WSOCK_STATE_LOST = 7,           // the stream ended before it was established
};

constexpr WSockState WSOCK_STATE_CLOSED = WSockState::WSOCK_STATE_CLOSED;
constexpr WSockState WSOCK_STATE_CREATED = WSockState::WSOCK_STATE_CREATED;
constexpr WSockState WSOCK_STATE_CONNECTING = WSockState::WSOCK_STATE_CONNECTING;
constexpr WSockState WSOCK_STATE_CONNECTED = WSockState::WSOCK_STATE_CONNECTED;
constexpr WSockState WSOCK_STATE_CLOSED_BY_PEER = WSockState::WSOCK_STATE_CLOSED_BY_PEER;
constexpr WSockState WSOCK_STATE_LOST = WSockState::WSOCK_STATE_LOST;

namespace WinSocket {

// State-change notification: called with the argument given at construction
// right after Connect, Poll or Close has changed the connection state.
typedef void (*NotifyFn)(void *arg);

// m_readyFlags bits.
constexpr uint8_t READY_READ = 1;  // a receive is due
constexpr uint8_t READY_WRITE = 2; // a send is due

// Largest chunk that one receive produces, and the socket buffer sizes.
constexpr uint16_t WSOCK_CHUNK_MAX = 65535;

// 1 while a network start made by this class is in force.
extern uint32_t g_wsaStarted;
// Number of CWinSock objects alive; the last one to go stops the network.
extern uint8_t g_socketCount;

class CWinSock {
  public:
    // `address` is dotted IPv4 text, converted as inet_addr does (anything
    // else becomes 255.255.255.255); `port` is in host byte order. `notify`
    // may be null.
    CWinSock(const char *address, uint16_t port, NotifyFn notify, void *notifyArg);
    // `address` in network byte order.
    CWinSock(uint32_t address, uint16_t port, NotifyFn notify, void *notifyArg);
    // Neither closes the socket nor releases queued chunks: the owner closes
    // and empties the queues first.
    virtual ~CWinSock();
    CWinSock(const CWinSock &) = delete;
    CWinSock &operator=(const CWinSock &) = delete;

    // Lends the critical sections that guard the send and receive queues.
    // The pop and clear operations may run only while locks are lent.
    void SetQueueLocks(OsCriticalSection *sendLock, OsCriticalSection *recvLock);
    void ClearQueueLocks();

    // Makes and configures the socket: non-blocking, 65535-byte buffers,
    // keep-alive after 1000 ms idle every 1000 ms; WSOCK_STATE_CLOSED ->
    // WSOCK_STATE_CREATED. WSOCK_OK; WSOCK_ERR_STATE when a handle is held;
    // WSOCK_ERR_CREATE when the socket, non-blocking mode or receive buffer
    // failed; WSOCK_ERR_FAILED when the send buffer or keep-alive failed.
    WSockResult Create(int32_t family, int32_t type, int32_t protocol);
    // Starts the connection; never waits. WSOCK_OK (now CONNECTED);
    // WSOCK_PENDING (now CONNECTING: in progress, or refused, unreachable or
    // timed out, which Poll shows later); WSOCK_ERR_STATE when not CREATED;
    // WSOCK_ERR_CONNECT for any other failure, the state unchanged.
    WSockResult Connect();
    // Binds to m_localAddressText and m_localPort. WSOCK_OK,
    // WSOCK_ERR_NO_SOCKET, WSOCK_ERR_STATE (not CREATED), WSOCK_ERR_FAILED.
    WSockResult Bind();
    // Shuts the connection down, drains what is left to read, closes with a
    // 5 s linger and notifies. A close that would block is retried for the
    // linger time and then ends with a reset. WSOCK_OK; WSOCK_ERR_NETWORK
    // when the network was not usable; WSOCK_ERR_NO_SOCKET without a handle
    // (no notification then).
    WSockResult Close();
    // WSOCK_OK when a handle is held, else WSOCK_ERR_NO_SOCKET.
    WSockResult IsValid() const;

    // Both: WSOCK_OK, or WSOCK_ERR_NULL_POINTER for a null out-pointer.
    WSockResult GetState(WSockState *state) const;
    WSockResult GetError(WSockResult *error) const;
    void ClearError();

    // One service step: tests readiness without waiting, completes a pending
    // connection, sends at most one queued chunk and receives at most one.
    // WSOCK_ERR_NO_SOCKET in WSOCK_STATE_CLOSED; WSOCK_ERR_EXCEPTION on the
    // exception condition; else the recorded error (sticky) or WSOCK_OK.
    WSockResult Poll();
    // Sends `length` bytes of `chunk` once; `*sent` gets the count accepted.
    // WSOCK_OK, WSOCK_ERR_NULL_POINTER, WSOCK_ERR_SEND,
    // WSOCK_ERR_NOT_CONNECTED, WSOCK_ERR_NO_SOCKET.
    WSockResult Send(const std::string *chunk, uint16_t length, uint16_t *sent);
    // Reads up to 65535 bytes into a new chunk. WSOCK_OK; WSOCK_PENDING when
    // there is nothing to read now; WSOCK_CLOSED_BY_PEER at the end of the
    // stream (CONNECTED -> CLOSED_BY_PEER, else -> LOST); WSOCK_ERR_STATE
    // before a connection attempt; WSOCK_ERR_NULL_POINTER; WSOCK_ERR_RECEIVE;
    // WSOCK_ERR_NO_SOCKET; WSOCK_ERR_OUT_OF_MEMORY.
    WSockResult Receive(std::string **chunk, uint16_t *length);

    // Queues. Push takes ownership of the chunk, Pop hands it to the caller
    // with its length cut to 16 bits. Push: WSOCK_OK, or WSOCK_ERR_FAILED
    // without a lent lock (`length` is not used). Pop: WSOCK_OK, WSOCK_EMPTY
    // (null and 0), WSOCK_ERR_NULL_POINTER.
    WSockResult PushSend(std::string *chunk, uint16_t length);
    WSockResult PushRecv(std::string *chunk, uint16_t length);
    WSockResult PopSend(std::string **chunk, uint16_t *length);
    WSockResult PopRecv(std::string **chunk, uint16_t *length);
    // Whether a pushed chunk still waits to be sent. Every Poll takes the
    // oldest one, except a Poll that meets the exception condition, so a
    // chunk still queued when the next is due means that the socket cannot
    // send. Service thread only; false while no send lock is lent.
    bool HasUnsentChunk();
    // Release every queued chunk, oldest first.
    void ClearSendQueue();
    void ClearRecvQueue();

    // Process-wide network start and stop: WSOCK_OK or WSOCK_ERR_FAILED.
    static WSockResult StartNetwork();
    static WSockResult StopNetwork();
    static void StopNetworkIfUnused();
    static uint32_t IsNetworkStarted();

    // A new empty chunk: WSOCK_OK, WSOCK_ERR_NULL_POINTER, or
    // WSOCK_ERR_OUT_OF_MEMORY. FreeChunk accepts null.
    static WSockResult AllocChunk(std::string **chunk);
    static void FreeChunk(std::string *chunk);
    // Copies `length` bytes into the chunk; false without memory for them.
    static bool FillChunk(std::string *chunk, const char *bytes, size_t length);

  private:
    // Appends under `lock`; false, with the chunk still the caller's, when
    // the queue has no memory to grow.
    static bool AppendChunk(std::deque<std::string *> &queue, OsCriticalSection *lock,
                            std::string *chunk);
    void InitCommon();
    void SetState(WSockState state);
    void Notify();
    void TransmitStep();
    void ReceiveStep();
    OsSocketError ShutdownForClose();
    void DrainForClose();
    OsSocketError CloseHandleOnce();
    OsSocketError ReleaseHandle();

    OsSocket m_handle;
    std::string m_remoteAddressText;
    std::string m_localAddressText;
    uint32_t m_remoteAddress;
    uint32_t m_localAddress;
    uint16_t m_remotePort;
    uint16_t m_localPort;
    int32_t m_family;
    int32_t m_type;
    int32_t m_protocol;
    void *m_notifyArg;
    NotifyFn m_notify;
    WSockResult m_error;
    std::atomic<WSockState> m_state; // read by other threads without a lock
    uint8_t m_readyFlags;
    std::deque<std::string *> m_sendQueue;
    std::deque<std::string *> m_recvQueue;
    OsCriticalSection *m_sendLock;
    OsCriticalSection *m_recvLock;
    // Receive reads here; one per socket, so that sockets never share it.
    char m_staging[WSOCK_CHUNK_MAX];
};

} // namespace WinSocket
