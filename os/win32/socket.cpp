// IPv4 TCP sockets with WinSock 2.
#include "os/socket.h"

#include <winsock2.h>
// After winsock2.h, which it builds on.
#include <mstcpip.h>

#include <cstdio>

namespace {

SOCKET Native(OsSocket s) { return static_cast<SOCKET>(s); }

bool Succeeded(int r) { return r != SOCKET_ERROR; }

sockaddr_in MakeAddress(int family, uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = static_cast<short>(family);
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    return a;
}

bool SetIntOption(OsSocket s, int name, int value) {
    return Succeeded(setsockopt(Native(s), SOL_SOCKET, name, reinterpret_cast<const char *>(&value),
                                sizeof(value)));
}

} // namespace

bool OsNetworkStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

bool OsNetworkCleanup() { return Succeeded(WSACleanup()); }

// OsSocketError holds WinSock's own numbers, so there is nothing to translate.
OsSocketError OsSocketLastError() { return static_cast<OsSocketError>(WSAGetLastError()); }

OsSocket OsSocketOpen(int family, int type, int protocol) {
    SOCKET s = socket(family, type, protocol);
    return s == INVALID_SOCKET ? OS_INVALID_SOCKET : static_cast<OsSocket>(s);
}

bool OsSocketSetNonBlocking(OsSocket s) {
    u_long on = 1;
    return Succeeded(ioctlsocket(Native(s), FIONBIO, &on));
}

bool OsSocketSetRecvBuffer(OsSocket s, int bytes) { return SetIntOption(s, SO_RCVBUF, bytes); }

bool OsSocketSetSendBuffer(OsSocket s, int bytes) { return SetIntOption(s, SO_SNDBUF, bytes); }

bool OsSocketSetKeepAlive(OsSocket s, uint32_t idleMs, uint32_t intervalMs) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = idleMs;
    values.keepaliveinterval = intervalMs;
    DWORD returned = 0;
    return Succeeded(WSAIoctl(Native(s), SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0,
                              &returned, nullptr, nullptr));
}

bool OsSocketSetLinger(OsSocket s, uint16_t seconds) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = seconds;
    return Succeeded(setsockopt(Native(s), SOL_SOCKET, SO_LINGER,
                                reinterpret_cast<const char *>(&l), sizeof(l)));
}

bool OsSocketBind(OsSocket s, int family, uint32_t address, uint16_t port) {
    sockaddr_in a = MakeAddress(family, address, port);
    return Succeeded(bind(Native(s), reinterpret_cast<sockaddr *>(&a), sizeof(a)));
}

bool OsSocketShutdownSend(OsSocket s) { return Succeeded(shutdown(Native(s), SD_SEND)); }

bool OsSocketClose(OsSocket s) { return Succeeded(closesocket(Native(s))); }

uint32_t OsInetAddr(const char *text) { return inet_addr(text); }

void OsInetNtoa(uint32_t address, char text[16]) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&address);
    std::snprintf(text, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

bool OsSocketConnect(OsSocket s, int family, uint32_t address, uint16_t port) {
    sockaddr_in a = MakeAddress(family, address, port);
    return Succeeded(connect(Native(s), reinterpret_cast<sockaddr *>(&a), sizeof(a)));
}

bool OsSocketSelect(OsSocket s, OsSocketReady *ready) {
    *ready = OsSocketReady{false, false, false};
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    FD_SET(Native(s), &readSet);
    FD_SET(Native(s), &writeSet);
    FD_SET(Native(s), &exceptSet);
    timeval zero{0, 0};
    if (select(0, &readSet, &writeSet, &exceptSet, &zero) == SOCKET_ERROR) return false;
    ready->read = FD_ISSET(Native(s), &readSet) != 0;
    ready->write = FD_ISSET(Native(s), &writeSet) != 0;
    ready->except = FD_ISSET(Native(s), &exceptSet) != 0;
    return true;
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
