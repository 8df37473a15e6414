// IPv4 stream sockets with WinSock behaviour on every platform: calls return
// 0 (or a byte count) on success and OS_SOCKET_ERROR on failure, and
// OsSocketLastError gives the failure as a WinSock error number, so callers
// have one code path.
#pragma once

#include <cstdint>

typedef uintptr_t OsSocket;

constexpr OsSocket OS_INVALID_SOCKET = ~static_cast<uintptr_t>(0);
constexpr int OS_SOCKET_ERROR = -1;

// Family, type and protocol of an IPv4 TCP socket, as WinSock numbers them.
constexpr int OS_AF_INET = 2;
constexpr int OS_SOCK_STREAM = 1;
constexpr int OS_IPPROTO_TCP = 6;

// WinSock error numbers that callers examine. Other failures carry their
// own WinSock numbers too.
constexpr int OS_WSAEINTR = 10004;
constexpr int OS_WSAEWOULDBLOCK = 10035;
constexpr int OS_WSAEINPROGRESS = 10036;
constexpr int OS_WSAENOTSOCK = 10038;
constexpr int OS_WSAENETDOWN = 10050;
constexpr int OS_WSAENETUNREACH = 10051;
constexpr int OS_WSAETIMEDOUT = 10060;
constexpr int OS_WSAECONNREFUSED = 10061;
constexpr int OS_WSANOTINITIALISED = 10093;

// Starts the socket library for version 2.2: 0, or the WinSock error.
int OsNetworkStartup();
// Ends one start: 0 or OS_SOCKET_ERROR.
int OsNetworkCleanup();
// The WinSock number of the calling thread's last failed socket call.
int OsSocketLastError();

// OS_INVALID_SOCKET on failure.
OsSocket OsSocketOpen(int family, int type, int protocol);
int OsSocketSetNonBlocking(OsSocket s);
int OsSocketSetRecvBuffer(OsSocket s, int bytes);
int OsSocketSetSendBuffer(OsSocket s, int bytes);
// Keep-alive probes after `idleMs` without traffic, then every `intervalMs`.
int OsSocketSetKeepAlive(OsSocket s, uint32_t idleMs, uint32_t intervalMs);
// Close keeps unsent data for up to `seconds`.
int OsSocketSetLinger(OsSocket s, uint16_t seconds);

// `address` in network byte order, `port` in host byte order. A non-blocking
// connection attempt fails with OS_WSAEWOULDBLOCK while it is in progress,
// and also when it was refused or found no route at once: how it ended shows
// in the exception set of the readiness test.
int OsSocketConnect(OsSocket s, int family, uint32_t address, uint16_t port);
int OsSocketBind(OsSocket s, int family, uint32_t address, uint16_t port);
int OsSocketShutdownSend(OsSocket s);
// On success the handle is gone; on failure it is still held.
int OsSocketClose(OsSocket s);

// Byte count or OS_SOCKET_ERROR. Sending to a peer that has gone fails; it
// never ends the process.
int OsSocketSendTo(OsSocket s, const char *data, int length, int family, uint32_t address,
                   uint16_t port);
// Byte count, 0 at the end of the stream, or OS_SOCKET_ERROR.
int OsSocketRecvFrom(OsSocket s, char *buffer, int length);

// Readiness as select reports it: read (data, end of stream or a broken
// connection), write (a send would be accepted; a connection attempt has
// succeeded), except (a connection attempt has failed, or urgent data).
struct OsSocketReady {
    bool read;
    bool write;
    bool except;
};
// Tests readiness without waiting. Returns the number of conditions found
// (0 for none) or OS_SOCKET_ERROR, in which case none is reported.
int OsSocketSelect(OsSocket s, OsSocketReady *ready);

// Dotted text to an address in network byte order, as inet_addr converts it:
// anything that is not an IPv4 address gives 0xFFFFFFFF.
uint32_t OsInetAddr(const char *text);
// An address in network byte order as dotted text.
void OsInetNtoa(uint32_t address, char text[16]);
