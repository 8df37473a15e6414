// The fuzz targets' check, and a plain, slow receive parser for comparison:
// it removes every field from the front of the chunk as it reads it, exactly
// as the rules are written.
#pragma once

#include "base/process_status.h"
#include "korvel32.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Same results, record fields (but the time stamp), chunk rest and pending
// fragment as ParseCanFrame; the chunk's content is the whole string.
ProcessStatus LiteralParseCanFrame(std::string *chunk, std::string *pending, CanMsg *record);

// Ends the fuzz run with `what` unless the condition holds.
inline void Check(bool condition, const char *what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}
