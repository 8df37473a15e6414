// IPv4 stream sockets with WinSock behaviour on every platform: calls return
// whether they succeeded (the transfers a byte count or OS_SOCKET_ERROR), and
// OsSocketLastError gives a failure as its WinSock error number, so callers
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

// WinSock's error numbers: the one list of the failures that socket calls
// report. Windows gives them as they are; the POSIX layer translates errno
// into them. A failure without a closer number is OS_WSASYSCALLFAILURE.
enum class OsSocketError : int {
    OS_WSA_NO_ERROR = 0,
    OS_WSAEINTR = 10004,
    OS_WSAEBADF = 10009,
    OS_WSAEACCES = 10013,
    OS_WSAEFAULT = 10014,
    OS_WSAEINVAL = 10022,
    OS_WSAEMFILE = 10024,
    OS_WSAEWOULDBLOCK = 10035,
    OS_WSAEINPROGRESS = 10036,
    OS_WSAEALREADY = 10037,
    OS_WSAENOTSOCK = 10038,
    OS_WSAEDESTADDRREQ = 10039,
    OS_WSAEMSGSIZE = 10040,
    OS_WSAEPROTOTYPE = 10041,
    OS_WSAENOPROTOOPT = 10042,
    OS_WSAEPROTONOSUPPORT = 10043,
    OS_WSAESOCKTNOSUPPORT = 10044,
    OS_WSAEOPNOTSUPP = 10045,
    OS_WSAEPFNOSUPPORT = 10046,
    OS_WSAEAFNOSUPPORT = 10047,
    OS_WSAEADDRINUSE = 10048,
    OS_WSAEADDRNOTAVAIL = 10049,
    OS_WSAENETDOWN = 10050,
    OS_WSAENETUNREACH = 10051,
    OS_WSAENETRESET = 10052,
    OS_WSAECONNABORTED = 10053,
    OS_WSAECONNRESET = 10054,
    OS_WSAENOBUFS = 10055,
    OS_WSAEISCONN = 10056,
    OS_WSAENOTCONN = 10057,
    OS_WSAESHUTDOWN = 10058,
    OS_WSAETIMEDOUT = 10060,
    OS_WSAECONNREFUSED = 10061,
    OS_WSAEHOSTDOWN = 10064,
    OS_WSAEHOSTUNREACH = 10065,
    OS_WSANOTINITIALISED = 10093,
    OS_WSASYSCALLFAILURE = 10107,
};

// Starts the socket library for version 2.2; false when it cannot be used.
bool OsNetworkStartup();
// Ends one start.
bool OsNetworkCleanup();
// The failure of the calling thread's last failed socket call.
OsSocketError OsSocketLastError();

// OS_INVALID_SOCKET on failure.
OsSocket OsSocketOpen(int family, int type, int protocol);
bool OsSocketSetNonBlocking(OsSocket s);
bool OsSocketSetRecvBuffer(OsSocket s, int bytes);
bool OsSocketSetSendBuffer(OsSocket s, int bytes);
// Keep-alive probes after `idleMs` without traffic, then every `intervalMs`.
bool OsSocketSetKeepAlive(OsSocket s, uint32_t idleMs, uint32_t intervalMs);
// Close keeps unsent data for up to `seconds`.
bool OsSocketSetLinger(OsSocket s, uint16_t seconds);

// `address` in network byte order, `port` in host byte order. A non-blocking
// connection attempt fails with OS_WSAEWOULDBLOCK while it is in progress,
// and also when it was refused or found no route at once: how it ended shows
// in the exception set of the readiness test.
bool OsSocketConnect(OsSocket s, int family, uint32_t address, uint16_t port);
bool OsSocketBind(OsSocket s, int family, uint32_t address, uint16_t port);
bool OsSocketShutdownSend(OsSocket s);
// On success the handle is gone; on failure it is still held.
bool OsSocketClose(OsSocket s);

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
// Tests readiness without waiting. False when the test failed; none is
// reported then.
bool OsSocketSelect(OsSocket s, OsSocketReady *ready);

// Dotted text to an address in network byte order, as inet_addr converts it:
// anything that is not an IPv4 address gives 0xFFFFFFFF.
uint32_t OsInetAddr(const char *text);
// An address in network byte order as dotted text.
void OsInetNtoa(uint32_t address, char text[16]);
