// Turns an engine status into the public status that the exports return.
#pragma once

#include <cstdint>

uint32_t MapProcessStatus(uint32_t processStatus);
