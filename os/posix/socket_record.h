// What the POSIX socket layer keeps per socket besides the descriptor.
#pragma once

#include "os/socket.h"

#include <netinet/in.h>

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

// The record behind a handle, or null for OS_INVALID_SOCKET and null.
PosixSocket *SocketRecord(OsSocket s);
sockaddr_in MakeAddress(int family, uint32_t address, uint16_t port);
