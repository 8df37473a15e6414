// Connecting, readiness, sending and receiving.
#include "os/socket.h"

#include "os/posix/socket_error.h"
#include "os/posix/socket_record.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

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
