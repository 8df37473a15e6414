// The WinSock socket layer with closesocket redirected to a version that
// fails on request; everything else is the library's own code.
#include "socket_call_faults.h"

// Everything that the layer's file includes, before the redirection, so
// that only its own calls are redirected.
#include <winsock2.h>
// After winsock2.h, which it builds on.
#include <mstcpip.h>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<bool> g_lingeringCloseFails{false};
std::atomic<uint32_t> g_failedCloses{0};

bool HasLingerTime(SOCKET s) {
    linger l{};
    int size = sizeof(l);
    return getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char *>(&l), &size) == 0 &&
           l.l_onoff && l.l_linger > 0;
}

int FaultyCloseSocket(SOCKET s) {
    if (g_lingeringCloseFails && HasLingerTime(s)) {
        ++g_failedCloses;
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    return closesocket(s);
}

} // namespace

void SetLingeringCloseFault(bool on) { g_lingeringCloseFails = on; }
uint32_t FailedCloses() { return g_failedCloses; }

#define closesocket FaultyCloseSocket
#include "os/win32/socket.cpp"
#undef closesocket
