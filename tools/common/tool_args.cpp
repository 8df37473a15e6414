// Number arguments and instance parameters of the tools.
#include "tool_args.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

bool ParseUnsignedArg(const char *text, uint64_t max, uint64_t *value) {
    *value = 0;
    if (text == nullptr || text[0] < '0' || text[0] > '9') return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

bool ParseSecondsArg(const char *text, double *value) {
    *value = 0;
    if (text == nullptr || ((text[0] < '0' || text[0] > '9') && text[0] != '.')) return false;
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v > 0) || v > 1e9) return false;
    *value = v;
    return true;
}

InitParams MakeToolParams(const GatewayAddress &address, uint16_t bufferSize, uint32_t timeoutMs) {
    InitParams params;
    std::memset(&params, 0, sizeof(params));
    params.size = sizeof(params);
    std::memcpy(params.ipAddress, address.ipAddress, sizeof(params.ipAddress));
    params.port = address.port;
    params.protocol = KORVEL_PROTOCOL_TCP;
    params.txBufferSize = bufferSize;
    params.rxBufferSize = bufferSize;
    params.connectTimeout = timeoutMs;
    params.shutdownTimeout = timeoutMs;
    return params;
}
