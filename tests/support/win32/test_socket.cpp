#include "test_socket.h"

#include <winsock2.h>

namespace {

// Once for the process, which ends it.
bool StartNetwork() {
    static WSADATA data;
    static const bool started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return started;
}

SOCKET Native(TestSocket s) { return static_cast<SOCKET>(s); }

} // namespace

TestSocket TestListen(uint16_t *port, int backlog) {
    if (!StartNetwork()) return kNoTestSocket;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return kNoTestSocket;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(s, backlog) != 0 || getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        closesocket(s);
        return kNoTestSocket;
    }
    *port = ntohs(addr.sin_port);
    return static_cast<TestSocket>(s);
}

TestSocket TestAccept(TestSocket listener) {
    SOCKET s = accept(Native(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kNoTestSocket : static_cast<TestSocket>(s);
}

bool TestSendAll(TestSocket s, const char *data, size_t length) {
    while (length > 0) {
        int n = send(Native(s), data, static_cast<int>(length), 0);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool TestSendUrgent(TestSocket s, char byte) { return send(Native(s), &byte, 1, MSG_OOB) == 1; }

int TestRecv(TestSocket s, char *buffer, int length) { return recv(Native(s), buffer, length, 0); }

void TestShutdown(TestSocket s) { shutdown(Native(s), SD_BOTH); }
void TestClose(TestSocket s) { closesocket(Native(s)); }

// Closing wakes a thread blocked in recv on Windows.
bool TestAbort(TestSocket s) {
    linger l{1, 0};
    setsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof(l));
    closesocket(Native(s));
    return false;
}
