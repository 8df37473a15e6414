// Waiting for an instance opened in callback mode to connect. In callback
// mode KORVEL_Initialize returns at once; a refused or unreachable gateway
// then shows as a pending error while the state is still "connecting".
#ifndef KORVEL_TOOLS_CONNECT_WAIT_H
#define KORVEL_TOOLS_CONNECT_WAIT_H

#include "korvel32.h"

#include <csignal>
#include <cstdint>
#include <cstdio>

enum ConnectResult {
    kConnectDone,     // connected
    kConnectRefused,  // the attempt failed: refused or unreachable
    kConnectTimedOut, // still connecting after the time-out
    kConnectStopped,  // *stop was set
    kConnectFailed,   // the library failed otherwise; *status says how
};

// Polls the connection state every millisecond for up to timeoutMs ms.
// *status receives the library's last status.
ConnectResult WaitForConnection(int32_t instance, uint32_t timeoutMs,
                                const volatile std::sig_atomic_t *stop, uint32_t *status);

// Prints the line for a result other than kConnectDone, prefixed with the
// tool's name, for the gateway at ip:port.
void ReportConnectFailure(FILE *out, const char *tool, const InitParams &params,
                          ConnectResult result, uint32_t timeoutMs, uint32_t status);

#endif
