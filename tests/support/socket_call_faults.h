// Control of the test build of the OS socket layer
// (tests/support/<os>/socket_call_faults.cpp), whose system calls can be made
// to fail the way the loopback network cannot be made to at will.
#pragma once

#include <cstdint>

// Every connect from now on fails at once with the errno value `error`
// without trying; 0 lets connect work again. POSIX only.
void SetConnectFault(int error);

// While on, closing a socket that has a linger time fails as would-block, as
// Windows does for a non-blocking socket whose peer leaves sent data unread;
// a socket without a linger time closes.
void SetLingeringCloseFault(bool on);
uint32_t FailedCloses();
