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
};

// The record behind a handle, or null for OS_INVALID_SOCKET and null.
PosixSocket *SocketRecord(OsSocket s);
sockaddr_in MakeAddress(int family, uint32_t address, uint16_t port);
