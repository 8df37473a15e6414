// Parsing of "HOST:PORT" address arguments; the grammar is in host_port.h.
#include "host_port.h"

#include <cstring>

namespace {

// Reads 1 to `maxDigits` decimal digits with a value up to `limit`.
const char *ReadNumber(const char *p, int maxDigits, unsigned long limit, unsigned long *value) {
    unsigned long v = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
        if (digits == maxDigits) return nullptr;
        v = v * 10 + (unsigned long)(*p - '0');
    }
    if (digits == 0 || v > limit) return nullptr;
    *value = v;
    return p;
}

} // namespace

bool ParseHostPort(const char *text, uint16_t defaultPort, GatewayAddress *address) {
    if (address == nullptr) return false;
    std::memset(address, 0, sizeof(*address));
    if (text == nullptr) return false;
    const char *p = text;
    unsigned long part = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '.') return false;
        p = ReadNumber(p, 3, 255, &part);
        if (p == nullptr) return false;
    }
    size_t hostLength = (size_t)(p - text);
    unsigned long port = defaultPort;
    if (*p == ':') {
        p = ReadNumber(p + 1, 5, 65535, &port);
        if (p == nullptr || port == 0) return false;
    }
    if (*p != '\0') return false;
    std::memcpy(address->ipAddress, text, hostLength);
    address->port = (uint16_t)port;
    return true;
}
