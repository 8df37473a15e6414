// Connecting, readiness, sending and receiving with WinSock 2.
#include "os/socket.h"

#include <winsock2.h>

namespace {

SOCKET Native(OsSocket s) { return static_cast<SOCKET>(s); }

sockaddr_in MakeAddress(int family, uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = static_cast<short>(family);
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    return a;
}

} // namespace

int OsSocketConnect(OsSocket s, int family, uint32_t address, uint16_t port) {
    sockaddr_in a = MakeAddress(family, address, port);
    int r = connect(Native(s), reinterpret_cast<sockaddr *>(&a), sizeof(a));
    return r == SOCKET_ERROR ? OS_SOCKET_ERROR : 0;
}

int OsSocketSelect(OsSocket s, OsSocketReady *ready) {
    *ready = OsSocketReady{false, false, false};
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    FD_SET(Native(s), &readSet);
    FD_SET(Native(s), &writeSet);
    FD_SET(Native(s), &exceptSet);
    timeval zero{0, 0};
    int found = select(0, &readSet, &writeSet, &exceptSet, &zero);
    if (found == SOCKET_ERROR) return OS_SOCKET_ERROR;
    ready->read = FD_ISSET(Native(s), &readSet) != 0;
    ready->write = FD_ISSET(Native(s), &writeSet) != 0;
    ready->except = FD_ISSET(Native(s), &exceptSet) != 0;
    return found;
}

int OsSocketSendTo(OsSocket s, const char *data, int length, int family, uint32_t address,
                   uint16_t port) {
    sockaddr_in a = MakeAddress(family, address, port);
    int n = sendto(Native(s), data, length, 0, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    return n == SOCKET_ERROR ? OS_SOCKET_ERROR : n;
}

int OsSocketRecvFrom(OsSocket s, char *buffer, int length) {
    int n = recvfrom(Native(s), buffer, length, 0, nullptr, nullptr);
    return n == SOCKET_ERROR ? OS_SOCKET_ERROR : n;
}
