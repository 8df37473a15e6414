// Gateway address arguments of the tools: "HOST:PORT" with an IPv4 address
// in dotted decimal, e.g. "127.0.0.1:29536" or "192.168.0.20:5000". Without
// ":PORT" the caller's default port applies.
#ifndef KORVEL_TOOLS_HOST_PORT_H
#define KORVEL_TOOLS_HOST_PORT_H

#include <cstdint>

struct GatewayAddress {
    char ipAddress[20]; // as InitParams.ipAddress wants it, NUL-terminated
    uint16_t port;
};

// Zeroes *address first; returns true when text is a valid address.
// Refused: host names, fewer or more than four parts, parts above 255 or
// with more than three digits, port 0 or above 65535, anything behind the port.
bool ParseHostPort(const char *text, uint16_t defaultPort, GatewayAddress *address);

#endif
