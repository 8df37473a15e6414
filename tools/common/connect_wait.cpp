// Connection waits of the tools.
#include "connect_wait.h"

#include "status_text.h"

#include <chrono>
#include <thread>

ConnectResult WaitForConnection(int32_t instance, uint32_t timeoutMs,
                                const volatile std::sig_atomic_t *stop, uint32_t *status) {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        uint32_t state = KORVEL_CONN_CLOSED;
        *status = KORVEL_GetConnectionState(instance, &state);
        if (*status == KORVEL_OK && state == KORVEL_CONN_CONNECTED) return kConnectDone;
        // The socket's error of a failed attempt is the pending error of the
        // instance; the state stays "connecting" without ever reaching 4.
        if (*status == KORVEL_ERR_UNKNOWN || *status == KORVEL_ERR_CONNECTION)
            return kConnectRefused;
        if (*status != KORVEL_OK) return kConnectFailed;
        if (state == KORVEL_CONN_LOST || state == KORVEL_CONN_CLOSED_BY_PEER)
            return kConnectRefused;
        if (stop != nullptr && *stop) return kConnectStopped;
        if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(timeoutMs))
            return kConnectTimedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ReportConnectFailure(FILE *out, const char *tool, const InitParams &params,
                          ConnectResult result, uint32_t timeoutMs, uint32_t status) {
    switch (result) {
    case kConnectDone:
    case kConnectStopped:
        return;
    case kConnectRefused:
        std::fprintf(out, "%s: no gateway at %s:%u (connection refused or unreachable)\n", tool,
                     params.ipAddress, params.port);
        return;
    case kConnectTimedOut:
        std::fprintf(out, "%s: no connection to %s:%u within %u ms\n", tool, params.ipAddress,
                     params.port, timeoutMs);
        return;
    case kConnectFailed:
        std::fprintf(out, "%s: no connection to %s:%u: status %u %s (%s)\n", tool, params.ipAddress,
                     params.port, status, KorvelStatusName(status), KorvelStatusText(status));
        return;
    }
}
