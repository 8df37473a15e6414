// The product version recorded with the library's own module.
#pragma once

#include <cstdint>

// The two product version words, most significant first (the first word
// holds parts 1 and 2, the second parts 3 and 4). On Windows they are read
// from the module's version resource at each call; false when that fails.
bool OsReadProductVersion(uint32_t *mostSignificant, uint32_t *leastSignificant);
