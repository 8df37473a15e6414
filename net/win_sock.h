// WinSocket::CWinSock: one non-blocking IPv4 TCP connection to the gateway,
// with a send queue that the engine fills and a receive queue that it empties.
// No operation waits for the network; the service thread paces everything by
// calling Poll once per service cycle.
#pragma once

#include "os/lock.h"
#include "os/socket.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

// Socket result codes. 6 and 18 and above do not occur.
constexpr uint32_t WSOCK_OK = 0;
constexpr uint32_t WSOCK_EMPTY = 1;              // PopSend, PopRecv: queue empty
constexpr uint32_t WSOCK_PENDING = 2;            // Connect in progress; Receive: nothing to read
constexpr uint32_t WSOCK_CLOSED_BY_PEER = 3;     // Receive: the peer ended the stream
constexpr uint32_t WSOCK_ERR_STATE = 4;          // operation not allowed in this state
constexpr uint32_t WSOCK_ERR_NULL_POINTER = 5;   // a required pointer is null
constexpr uint32_t WSOCK_ERR_CREATE = 7;         // Create: socket, non-blocking or receive buffer
constexpr uint32_t WSOCK_ERR_CONNECT = 8;        // Connect: a real failure, not pending
constexpr uint32_t WSOCK_ERR_NETWORK = 9;        // Close: network or library not usable
constexpr uint32_t WSOCK_ERR_SEND = 10;          // Send: the platform refused the bytes
constexpr uint32_t WSOCK_ERR_RECEIVE = 11;       // Receive: the read failed
constexpr uint32_t WSOCK_ERR_EXCEPTION = 12;     // Poll: exception condition (failed connect)
constexpr uint32_t WSOCK_ERR_NOT_CONNECTED = 13; // Send: not connected yet
constexpr uint32_t WSOCK_ERR_NO_SOCKET = 14;     // no handle held; Poll: WSOCK_STATE_CLOSED
constexpr uint32_t WSOCK_ERR_STARTUP = 15;       // the network could not be started
constexpr uint32_t WSOCK_ERR_OUT_OF_MEMORY = 16; // no memory for a chunk
constexpr uint32_t WSOCK_ERR_FAILED = 17;        // other failures, see each operation

// The connection states of a socket, as the instance reports them
// (KORVEL_CONN_*). They only grow while a connection lives, so a comparison
// such as `m_state >= WSOCK_STATE_CONNECTING` means "an attempt was made".
enum WSockState : uint32_t {
    WSOCK_STATE_CLOSED = 0,         // no handle, or released
    WSOCK_STATE_CREATED = 1,        // handle made, no connect issued
    WSOCK_STATE_CONNECTING = 3,     // connect issued, not yet writable
    WSOCK_STATE_CONNECTED = 4,      // connected
    WSOCK_STATE_CLOSED_BY_PEER = 5, // the peer ended an established stream
    WSOCK_STATE_LOST = 7,           // the stream ended before it was established
};

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
    // keep-alive after 1000 ms idle every 1000 ms. State 0 -> 1.
    // Results 0, 4 (handle held), 7, 17.
    uint32_t Create(int32_t family, int32_t type, int32_t protocol);
    // Starts the connection; never waits. 0 (now CONNECTED), 2 (now
    // CONNECTING: in progress, or refused/unreachable/timed out, shown later
    // by Poll), 4 (not CREATED), 8 (other failure, state unchanged).
    uint32_t Connect();
    // Binds to m_localAddressText and m_localPort. 0, 4, 14, 17.
    uint32_t Bind();
    // Shuts the connection down, drains what is left to read, closes with a
    // 5 s linger and notifies. A close that would block is retried for the
    // linger time and then ends with a reset. 0, 9, 14 (no handle: no
    // notification).
    uint32_t Close();
    // 0 when a handle is held, else 14.
    uint32_t IsValid() const;

    // Both: 0, or 5 for a null out-pointer.
    uint32_t GetState(uint32_t *state) const;
    uint32_t GetError(uint32_t *error) const;
    void ClearError();

    // One service step: tests readiness without waiting, completes a pending
    // connection, sends at most one queued chunk and receives at most one.
    // Returns 14 in WSOCK_STATE_CLOSED, 12 on the exception condition, else the
    // recorded error (sticky) or 0.
    uint32_t Poll();
    // Sends `length` bytes of `chunk` once; `*sent` gets the count accepted.
    // 0, 5, 10, 13 (not connected), 14.
    uint32_t Send(const std::string *chunk, uint16_t length, uint16_t *sent);
    // Reads up to 65535 bytes into a new chunk. 0, 2 (nothing now), 3 (end of
    // stream: CONNECTED -> CLOSED_BY_PEER, else -> LOST), 4, 5, 11, 14, 16.
    uint32_t Receive(std::string **chunk, uint16_t *length);

    // Queues. Push takes ownership of the chunk, Pop hands it to the caller
    // with its length cut to 16 bits. Push: 0, or 17 without a lent lock
    // (`length` is not used). Pop: 0, 1 (empty: null and 0), 5.
    uint32_t PushSend(std::string *chunk, uint16_t length);
    uint32_t PushRecv(std::string *chunk, uint16_t length);
    uint32_t PopSend(std::string **chunk, uint16_t *length);
    uint32_t PopRecv(std::string **chunk, uint16_t *length);
    // Whether a pushed chunk still waits to be sent. Every Poll takes the
    // oldest one, except a Poll that meets the exception condition, so a
    // chunk still queued when the next is due means that the socket cannot
    // send. Service thread only; false while no send lock is lent.
    bool HasUnsentChunk();
    // Release every queued chunk, oldest first.
    void ClearSendQueue();
    void ClearRecvQueue();

    // Process-wide network start and stop. Start/Stop: 0 or 17.
    static uint32_t StartNetwork();
    static uint32_t StopNetwork();
    static void StopNetworkIfUnused();
    static uint32_t IsNetworkStarted();

    // A new empty chunk: 0, or 16 without memory. FreeChunk accepts null.
    static uint32_t AllocChunk(std::string **chunk);
    static void FreeChunk(std::string *chunk);
    // Copies `length` bytes into the chunk; false without memory for them.
    static bool FillChunk(std::string *chunk, const char *bytes, size_t length);

  private:
    // Appends under `lock`; false, with the chunk still the caller's, when
    // the queue has no memory to grow.
    static bool AppendChunk(std::deque<std::string *> &queue, OsCriticalSection *lock,
                            std::string *chunk);
    void InitCommon();
    void SetState(uint32_t state);
    void Notify();
    void TransmitStep();
    void ReceiveStep();
    int ShutdownForClose();
    void DrainForClose();
    int CloseHandleOnce();
    int ReleaseHandle();

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
    uint32_t m_error;
    std::atomic<uint32_t> m_state; // read by other threads without a lock
    uint8_t m_readyFlags;
    std::deque<std::string *> m_sendQueue;
    std::deque<std::string *> m_recvQueue;
    OsCriticalSection *m_sendLock;
    OsCriticalSection *m_recvLock;
    // Receive reads here; one per socket, so that sockets never share it.
    char m_staging[WSOCK_CHUNK_MAX];
};

} // namespace WinSocket
