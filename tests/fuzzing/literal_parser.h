// A plain, slow receive parser for comparison: it removes every field from
// the front of the chunk as it reads it, exactly as the rules are written.
#pragma once

#include "base/process_status.h"
#include "korvel32.h"

#include <cstdint>
#include <string>

// Same results, record fields (but the time stamp), chunk rest and pending
// fragment as ParseCanFrame; the chunk's content is the whole string.
ProcessStatus LiteralParseCanFrame(std::string *chunk, std::string *pending, CanMsg *record);
