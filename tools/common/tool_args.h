// Number arguments of the tools and the parameter record their instances
// are opened with.
#ifndef KORVEL_TOOLS_TOOL_ARGS_H
#define KORVEL_TOOLS_TOOL_ARGS_H

#include "host_port.h"
#include "korvel32.h"

#include <cstdint>

// Default gateway port of every tool.
constexpr uint16_t kDefaultGatewayPort = 29536;

// Plain decimal digits, nothing else, value at most `max`. Zeroes *value first.
bool ParseUnsignedArg(const char *text, uint64_t max, uint64_t *value);

// Seconds as a decimal fraction above 0 ("2", "0.5"), at most 1e9. Zeroes *value first.
bool ParseSecondsArg(const char *text, double *value);

// TCP parameters for the gateway at `address`: receive and transmit buffers
// of `bufferSize` messages, connection and close waits of `timeoutMs`.
InitParams MakeToolParams(const GatewayAddress &address, uint16_t bufferSize, uint32_t timeoutMs);

#endif
