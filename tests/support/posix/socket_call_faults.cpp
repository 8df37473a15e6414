// The POSIX socket layer with connect and close redirected to versions that
// fail on request; everything else is the library's own code.
#include "socket_call_faults.h"

// Everything that the layer's files include, before the redirection, so
// that only their own calls are redirected.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::atomic<int> g_connectError{0};
std::atomic<bool> g_lingeringCloseFails{false};
std::atomic<uint32_t> g_failedCloses{0};

int FaultyConnect(int fd, const sockaddr *address, socklen_t size) {
    if (int error = g_connectError.load()) {
        errno = error;
        return -1;
    }
    return connect(fd, address, size);
}

bool HasLingerTime(int fd) {
    linger l{};
    socklen_t size = sizeof(l);
    return getsockopt(fd, SOL_SOCKET, SO_LINGER, &l, &size) == 0 && l.l_onoff && l.l_linger > 0;
}

int FaultyClose(int fd) {
    if (g_lingeringCloseFails && HasLingerTime(fd)) {
        ++g_failedCloses;
        errno = EWOULDBLOCK;
        return -1;
    }
    return close(fd);
}

} // namespace

void SetConnectFault(int error) { g_connectError = error; }
void SetLingeringCloseFault(bool on) { g_lingeringCloseFails = on; }
uint32_t FailedCloses() { return g_failedCloses; }

#define connect FaultyConnect
#define close FaultyClose
#include "os/posix/socket.cpp"
#undef connect
#undef close
