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

thread_local OsSocketError t_lastError = OsSocketError::OS_WSA_NO_ERROR;

// The one translation from errno to WinSock numbers. EWOULDBLOCK is EAGAIN
// on Linux and needs no case of its own.
OsSocketError WinSockErrorFromErrno(int error) {
    switch (error) {
    case EINTR:
        return OsSocketError::OS_WSAEINTR;
    case EBADF:
        return OsSocketError::OS_WSAEBADF;
    case EACCES:
        return OsSocketError::OS_WSAEACCES;
    case EFAULT:
        return OsSocketError::OS_WSAEFAULT;
    case EINVAL:
        return OsSocketError::OS_WSAEINVAL;
    case EMFILE:
        return OsSocketError::OS_WSAEMFILE;
    case ENFILE:
        return OsSocketError::OS_WSAEMFILE;
    case EAGAIN:
        return OsSocketError::OS_WSAEWOULDBLOCK;
    case EINPROGRESS:
        return OsSocketError::OS_WSAEINPROGRESS;
    case EALREADY:
        return OsSocketError::OS_WSAEALREADY;
    case ENOTSOCK:
        return OsSocketError::OS_WSAENOTSOCK;
    case EDESTADDRREQ:
        return OsSocketError::OS_WSAEDESTADDRREQ;
    case EMSGSIZE:
        return OsSocketError::OS_WSAEMSGSIZE;
    case EPROTOTYPE:
        return OsSocketError::OS_WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return OsSocketError::OS_WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return OsSocketError::OS_WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return OsSocketError::OS_WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return OsSocketError::OS_WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return OsSocketError::OS_WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return OsSocketError::OS_WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return OsSocketError::OS_WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return OsSocketError::OS_WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return OsSocketError::OS_WSAENETDOWN;
    case ENETUNREACH:
        return OsSocketError::OS_WSAENETUNREACH;
    case ENETRESET:
        return OsSocketError::OS_WSAENETRESET;
    case ECONNABORTED:
        return OsSocketError::OS_WSAECONNABORTED;
    case ECONNRESET:
        return OsSocketError::OS_WSAECONNRESET;
    case ENOBUFS:
        return OsSocketError::OS_WSAENOBUFS;
    case ENOMEM:
        return OsSocketError::OS_WSAENOBUFS;
    case EISCONN:
        return OsSocketError::OS_WSAEISCONN;
    case ENOTCONN:
        return OsSocketError::OS_WSAENOTCONN;
    case EPIPE:
        return OsSocketError::OS_WSAESHUTDOWN;
    case ESHUTDOWN:
        return OsSocketError::OS_WSAESHUTDOWN;
    case ETIMEDOUT:
        return OsSocketError::OS_WSAETIMEDOUT;
    case ECONNREFUSED:
        return OsSocketError::OS_WSAECONNREFUSED;
    case EHOSTDOWN:
        return OsSocketError::OS_WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return OsSocketError::OS_WSAEHOSTUNREACH;
    default:
        return OsSocketError::OS_WSASYSCALLFAILURE;
    }
}

// Keeps the failure for OsSocketLastError.
bool FailWith(OsSocketError error) {
    t_lastError = error;
    return false;
}

bool FailWithErrno() { return FailWith(WinSockErrorFromErrno(errno)); }

// The same for the calls that count bytes.
int FailCount(OsSocketError error) {
    FailWith(error);
    return OS_SOCKET_ERROR;
}

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

OsSocketError OsSocketLastError() { return t_lastError; }

// Nothing to start: the C library's sockets are always ready.
bool OsNetworkStartup() { return true; }
bool OsNetworkCleanup() { return true; }

// Family, type and protocol numbers of IPv4 TCP (2, 1, 6) are the same as
// WinSock's. Descriptors are not inherited by programs the application starts.
OsSocket OsSocketOpen(int family, int type, int protocol) {
    PosixSocket *p = new (std::nothrow) PosixSocket{-1, ConnectStage::None, 0};
    if (!p) {
        FailWith(OsSocketError::OS_WSAENOBUFS);
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

bool SetOption(OsSocket s, int level, int name, const void *value, socklen_t size) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OsSocketError::OS_WSAENOTSOCK);
    return setsockopt(p->fd, level, name, value, size) == 0 || FailWithErrno();
}

bool SetIntOption(OsSocket s, int level, int name, int value) {
    return SetOption(s, level, name, &value, sizeof(value));
}

// Linux counts keep-alive times in whole seconds.
int WholeSeconds(uint32_t ms) { return ms < 1000 ? 1 : static_cast<int>(ms / 1000); }

} // namespace

bool OsSocketSetNonBlocking(OsSocket s) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OsSocketError::OS_WSAENOTSOCK);
    int flags = fcntl(p->fd, F_GETFL, 0);
    return (flags >= 0 && fcntl(p->fd, F_SETFL, flags | O_NONBLOCK) == 0) || FailWithErrno();
}

bool OsSocketSetRecvBuffer(OsSocket s, int bytes) {
    return SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool OsSocketSetSendBuffer(OsSocket s, int bytes) {
    return SetIntOption(s, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool OsSocketSetKeepAlive(OsSocket s, uint32_t idleMs, uint32_t intervalMs) {
    return SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1) &&
           SetIntOption(s, IPPROTO_TCP, TCP_KEEPIDLE, WholeSeconds(idleMs)) &&
           SetIntOption(s, IPPROTO_TCP, TCP_KEEPINTVL, WholeSeconds(intervalMs));
}

bool OsSocketSetLinger(OsSocket s, uint16_t seconds) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = seconds;
    return SetOption(s, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

bool OsSocketBind(OsSocket s, int family, uint32_t address, uint16_t port) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OsSocketError::OS_WSAENOTSOCK);
    sockaddr_in a = MakeAddress(family, address, port);
    return bind(p->fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 || FailWithErrno();
}

bool OsSocketShutdownSend(OsSocket s) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OsSocketError::OS_WSAENOTSOCK);
    return shutdown(p->fd, SHUT_WR) == 0 || FailWithErrno();
}

// Linux releases the descriptor even when close is interrupted, so EINTR
// counts as done; retrying could close a descriptor opened meanwhile.
bool OsSocketClose(OsSocket s) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OsSocketError::OS_WSAENOTSOCK);
    if (close(p->fd) != 0 && errno != EINTR) return FailWithErrno();
    delete p;
    return true;
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

bool OsSocketConnect(OsSocket s, int family, uint32_t address, uint16_t port) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OsSocketError::OS_WSAENOTSOCK);
    sockaddr_in a = MakeAddress(family, address, port);
    if (connect(p->fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0) {
        p->stage = ConnectStage::Done;
        return true;
    }
    int error = errno;
    // WinSock reports a non-blocking attempt in progress as would-block; an
    // interrupted one carries on in the background.
    if (error == EINPROGRESS || error == EINTR) {
        p->stage = ConnectStage::Pending;
        return FailWith(OsSocketError::OS_WSAEWOULDBLOCK);
    }
    // An attempt that ended at once takes the way of one that ends later:
    // in progress now, the exception condition from the next readiness test.
    if (AttemptFailed(error)) {
        p->stage = ConnectStage::Failed;
        return FailWith(OsSocketError::OS_WSAEWOULDBLOCK);
    }
    return FailWith(WinSockErrorFromErrno(error));
}

// poll instead of select: select cannot take descriptors above FD_SETSIZE.
// The events are mapped the way Linux select maps them, except that a socket
// whose connection attempt failed is in the exception set only, and a socket
// without a connection (attempt) is ready for nothing, as under WinSock.
bool OsSocketSelect(OsSocket s, OsSocketReady *ready) {
    *ready = OsSocketReady{false, false, false};
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailWith(OsSocketError::OS_WSAENOTSOCK);
    pollfd pfd{p->fd, POLLIN | POLLOUT | POLLPRI, 0};
    int found = poll(&pfd, 1, 0);
    if (found < 0) return FailWithErrno();
    if (found == 0 && p->stage != ConnectStage::Failed) return true;
    if (pfd.revents & POLLNVAL) return FailWith(OsSocketError::OS_WSAENOTSOCK);
    if (p->stage == ConnectStage::Pending && (pfd.revents & (POLLOUT | POLLERR | POLLHUP)))
        FinishConnect(p);
    if (p->stage == ConnectStage::Failed) {
        ready->except = true;
        return true;
    }
    if (p->stage != ConnectStage::Done) return true;
    ready->read = (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    ready->write = (pfd.revents & POLLOUT) != 0;
    ready->except = (pfd.revents & POLLPRI) != 0;
    return true;
}

// MSG_NOSIGNAL: a peer that has gone makes the call fail with EPIPE instead
// of raising SIGPIPE, which would end the application. A stream socket
// ignores the destination, as under WinSock.
int OsSocketSendTo(OsSocket s, const char *data, int length, int family, uint32_t address,
                   uint16_t port) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailCount(OsSocketError::OS_WSAENOTSOCK);
    sockaddr_in a = MakeAddress(family, address, port);
    ssize_t n = sendto(p->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr *>(&a), sizeof(a));
    return n < 0 ? FailCount(WinSockErrorFromErrno(errno)) : static_cast<int>(n);
}

int OsSocketRecvFrom(OsSocket s, char *buffer, int length) {
    PosixSocket *p = SocketRecord(s);
    if (!p) return FailCount(OsSocketError::OS_WSAENOTSOCK);
    ssize_t n = recvfrom(p->fd, buffer, static_cast<size_t>(length), 0, nullptr, nullptr);
    if (n == 0 && p->brokenError != 0) {
        int error = p->brokenError;
        p->brokenError = 0;
        return FailCount(WinSockErrorFromErrno(error));
    }
    return n < 0 ? FailCount(WinSockErrorFromErrno(errno)) : static_cast<int>(n);
}
