#include "test_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

TestSocket TestListen(uint16_t *port, int backlog) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return kNoTestSocket;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(s, backlog) != 0 || getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(s);
        return kNoTestSocket;
    }
    *port = ntohs(addr.sin_port);
    return s;
}

TestSocket TestAccept(TestSocket listener) {
    int s = accept(static_cast<int>(listener), nullptr, nullptr);
    return s < 0 ? kNoTestSocket : s;
}

bool TestSendAll(TestSocket s, const char *data, size_t length) {
    while (length > 0) {
        ssize_t n = send(static_cast<int>(s), data, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool TestSendUrgent(TestSocket s, char byte) {
    return send(static_cast<int>(s), &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1;
}

int TestRecv(TestSocket s, char *buffer, int length) {
    return static_cast<int>(recv(static_cast<int>(s), buffer, static_cast<size_t>(length), 0));
}

void TestShutdown(TestSocket s) { shutdown(static_cast<int>(s), SHUT_RDWR); }
void TestClose(TestSocket s) { close(static_cast<int>(s)); }

// Ending the receive side wakes a thread blocked in recv without sending
// anything; the close with a zero linger, once that thread is out, sends the
// reset.
bool TestAbort(TestSocket s) {
    linger l{1, 0};
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    shutdown(static_cast<int>(s), SHUT_RD);
    return true;
}
