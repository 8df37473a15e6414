// The POSIX socket layer: IPv4 TCP sockets that behave as WinSock's do,
// with every failure kept as a WinSock number.
#include "os/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

thread_local int t_lastError = 0;

// WinSock's numbers for the failures that POSIX calls report.
enum WinSockError : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    // A failure that WinSock has no closer number for.
    WSASYSCALLFAILURE = 10107,
};

// The one translation from errno to WinSock numbers. EWOULDBLOCK is EAGAIN
// on Linux and needs no case of its own.
int WinSockErrorFromErrno(int error) {
    switch (error) {
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
        return WSAEMFILE;
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
        return WSAENOBUFS;
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case EPIPE:
        return WSAESHUTDOWN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    default:
        return WSASYSCALLFAILURE;
    }
}

int FailWith(int winSockError) {
    t_lastError = winSockError;
    return OS_SOCKET_ERROR;
}

int FailWithErrno() { return FailWith(WinSockErrorFromErrno(errno)); }

// Where the socket's connection attempt stands. Windows reports a failed
// attempt in select's exception set for as long as the socket lives; Linux
// reports it once through SO_ERROR, so the outcome is remembered here.
enum class ConnectStage : uint8_t { None, Pending, Failed, Done };

struct PosixSocket {
    int fd;
    ConnectStage stage;
    // The error of a connection that broke before its attempt was seen to
    // end (errno value, 0 for none). Reading SO_ERROR to learn how the
    // attempt ended has taken it from the socket, so the receive that finds
    // the end of the stream reports it instead.
    int brokenError;
};

// The record behind a handle, or null for OS_INVALID_SOCKET.
PosixSocket *SocketRecord(OsSocket s) {
    if (s == OS_INVALID_SOCKET) return nullptr;
    return reinterpret_cast<PosixSocket *>(s);
}

sockaddr_in MakeAddress(int family, uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = static_cast<sa_family_t>(family);
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    return a;
}

} // namespace

int OsSocketLastError() { return t_lastError; }

// Nothing to start: the C library's sockets are always ready.
int OsNetworkStartup() { return 0; }
int OsNetworkCleanup() { return 0; }

// Family, type and protocol numbers of IPv4 TCP (2, 1, 6) are the same as
// WinSock's. Descriptors are not inherited by programs the application starts.
OsSocket OsSocketOpen(int family, int type, int protocol) {
    PosixSocket *p = new (std::nothrow) PosixSocket{-1, ConnectStage::None, 0};
    if (!p) {
        FailWith(WinSockErrorFromErrno(ENOBUFS));
        return OS_INVALID_SOCKET;
    }
    p->fd = socket(family, type | SOCK_CLOEXEC, protocol);
    if (p->fd < 0) {
        FailWithErrno();
        delete p;
        return OS_INVALID_SOCKET;
    }
    return reinterpret_cast<OsSocket>(p);
}

namespace {

int SetOption(OsSocket s, int level, int name, const void *value, socklen_t size) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OS_WSAENOTSOCK);
    return setsockopt(p->fd, level, name, value, size) == 0 ? 0 : FailWithErrno();
}

int SetIntOption(OsSocket s, int level, int name, int value) {
    return SetOption(s, level, name, &value, sizeof(value));
}

// Linux counts keep-alive times in whole seconds.
int WholeSeconds(uint32_t ms) { return ms < 1000 ? 1 : static_cast<int>(ms / 1000); }

} // namespace

int OsSocketSetNonBlocking(OsSocket s) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OS_WSAENOTSOCK);
    int flags = fcntl(p->fd, F_GETFL, 0);
    if (flags < 0 || fcntl(p->fd, F_SETFL, flags | O_NONBLOCK) < 0) return FailWithErrno();
    return 0;
}

int OsSocketSetRecvBuffer(OsSocket s, int bytes) {
    return SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bytes);
}

int OsSocketSetSendBuffer(OsSocket s, int bytes) {
    return SetIntOption(s, SOL_SOCKET, SO_SNDBUF, bytes);
}

int OsSocketSetKeepAlive(OsSocket s, uint32_t idleMs, uint32_t intervalMs) {
    if (SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1) != 0) return OS_SOCKET_ERROR;
    if (SetIntOption(s, IPPROTO_TCP, TCP_KEEPIDLE, WholeSeconds(idleMs)) != 0)
        return OS_SOCKET_ERROR;
    return SetIntOption(s, IPPROTO_TCP, TCP_KEEPINTVL, WholeSeconds(intervalMs));
}

int OsSocketSetLinger(OsSocket s, uint16_t seconds) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = seconds;
    return SetOption(s, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

int OsSocketBind(OsSocket s, int family, uint32_t address, uint16_t port) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OS_WSAENOTSOCK);
    sockaddr_in a = MakeAddress(family, address, port);
    if (bind(p->fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) return FailWithErrno();
    return 0;
}

int OsSocketShutdownSend(OsSocket s) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OS_WSAENOTSOCK);
    return shutdown(p->fd, SHUT_WR) == 0 ? 0 : FailWithErrno();
}

// Linux releases the descriptor even when close is interrupted, so EINTR
// counts as done; retrying could close a descriptor opened meanwhile.
int OsSocketClose(OsSocket s) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OS_WSAENOTSOCK);
    if (close(p->fd) != 0 && errno != EINTR) return FailWithErrno();
    delete p;
    return 0;
}

uint32_t OsInetAddr(const char *text) { return inet_addr(text); }

void OsInetNtoa(uint32_t address, char text[16]) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&address);
    std::snprintf(text, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

namespace {

// Errors that end an attempt. Linux may report them at once from connect,
// where WinSock always reports them later through select's exception set.
bool AttemptFailed(int error) {
    return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH ||
           error == ETIMEDOUT;
}

// A pending attempt has ended once the socket turns writable or reports an
// error; SO_ERROR says how. A connection that was made and then broke before
// this first look (a peer that resets at once) has connected, as WinSock
// would report it: its bytes are still to be read, and the break is the
// receive error that follows them.
void FinishConnect(PosixSocket *p) {
    int error = 0;
    socklen_t size = sizeof(error);
    if (getsockopt(p->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        p->stage = ConnectStage::Failed;
        return;
    }
    p->stage = error == 0 || !AttemptFailed(error) ? ConnectStage::Done : ConnectStage::Failed;
    if (p->stage == ConnectStage::Done) p->brokenError = error;
}

} // namespace

int OsSocketConnect(OsSocket s, int family, uint32_t address, uint16_t port) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OS_WSAENOTSOCK);
    sockaddr_in a = MakeAddress(family, address, port);
    if (connect(p->fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0) {
        p->stage = ConnectStage::Done;
        return 0;
    }
    int error = errno;
    // WinSock reports a non-blocking attempt in progress as would-block; an
    // interrupted one carries on in the background.
    if (error == EINPROGRESS || error == EINTR) {
        p->stage = ConnectStage::Pending;
        return FailWith(OS_WSAEWOULDBLOCK);
    }
    // An attempt that ended at once takes the way of one that ends later:
    // in progress now, the exception condition from the next readiness test.
    if (AttemptFailed(error)) {
        p->stage = ConnectStage::Failed;
        return FailWith(OS_WSAEWOULDBLOCK);
    }
    return FailWith(WinSockErrorFromErrno(error));
}

// poll instead of select: select cannot take descriptors above FD_SETSIZE.
// The events are mapped the way Linux select maps them, except that a socket
// whose connection attempt failed is in the exception set only, and a socket
// without a connection (attempt) is ready for nothing, as under WinSock.
int OsSocketSelect(OsSocket s, OsSocketReady *ready) {
    *ready = OsSocketReady{false, false, false};
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OS_WSAENOTSOCK);
    pollfd pfd{p->fd, POLLIN | POLLOUT | POLLPRI, 0};
    int found = poll(&pfd, 1, 0);
    if (found < 0) return FailWithErrno();
    if (found == 0 && p->stage != ConnectStage::Failed) return 0;
    if (pfd.revents & POLLNVAL) return FailWith(OS_WSAENOTSOCK);
    if (p->stage == ConnectStage::Pending && (pfd.revents & (POLLOUT | POLLERR | POLLHUP)))
        FinishConnect(p);
    if (p->stage == ConnectStage::Failed) {
        ready->except = true;
        return 1;
    }
    if (p->stage != ConnectStage::Done) return 0;
    ready->read = (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    ready->write = (pfd.revents & POLLOUT) != 0;
    ready->except = (pfd.revents & POLLPRI) != 0;
    return int(ready->read) + int(ready->write) + int(ready->except);
}

// MSG_NOSIGNAL: a peer that has gone makes the call fail with EPIPE instead
// of raising SIGPIPE, which would end the application. A stream socket
// ignores the destination, as under WinSock.
int OsSocketSendTo(OsSocket s, const char *data, int length, int family, uint32_t address,
                   uint16_t port) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OS_WSAENOTSOCK);
    sockaddr_in a = MakeAddress(family, address, port);
    ssize_t n = sendto(p->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr *>(&a), sizeof(a));
    return n < 0 ? FailWithErrno() : static_cast<int>(n);
}

int OsSocketRecvFrom(OsSocket s, char *buffer, int length) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OS_WSAENOTSOCK);
    ssize_t n = recvfrom(p->fd, buffer, static_cast<size_t>(length), 0, nullptr, nullptr);
    if (n == 0 && p->brokenError != 0) {
        int error = p->brokenError;
        p->brokenError = 0;
        return FailWith(WinSockErrorFromErrno(error));
    }
    return n < 0 ? FailWithErrno() : static_cast<int>(n);
}
