// Turns an engine status into the public status that the exports return.
#pragma once

#include "base/process_status.h"

#include <cstdint>

uint32_t MapProcessStatus(ProcessStatus processStatus);
