// Making, configuring and closing sockets.
#include "os/socket.h"

#include "os/posix/socket_error.h"
#include "os/posix/socket_record.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

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
