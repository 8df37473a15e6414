// Turns a socket result into an engine status.
#pragma once

#include <cstdint>

uint32_t MapTransportStatus(uint32_t socketResult);
