// Plain blocking TCP sockets for the test gateway, independent of the
// library's own socket code.
#pragma once

#include <cstddef>
#include <cstdint>

typedef intptr_t TestSocket;
constexpr TestSocket kNoTestSocket = -1;

// Listens on 127.0.0.1 with an ephemeral port, written to *port.
TestSocket TestListen(uint16_t *port, int backlog = 64);
TestSocket TestAccept(TestSocket listener);
bool TestSendAll(TestSocket s, const char *data, size_t length);
// Sends one byte as TCP urgent data.
bool TestSendUrgent(TestSocket s, char byte);
// Bytes read, 0 at the end of the stream, negative on failure.
int TestRecv(TestSocket s, char *buffer, int length);
// Ends both directions, waking a thread blocked in accept or recv.
void TestShutdown(TestSocket s);
void TestClose(TestSocket s);
// Starts a close with a reset instead of an orderly end; a thread blocked in
// TestRecv returns. True when the caller must still TestClose the socket once
// that thread has ended (which sends the reset).
bool TestAbort(TestSocket s);
