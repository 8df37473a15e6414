// The library's own module: where it is loaded and its product version.
#pragma once

#include <cstdint>

// The address at which the library's own module is loaded: it tells apart
// two copies of the library loaded into one process (on Windows it is the
// module handle).
uintptr_t OsModuleBase();

// The two product version words, most significant first (the first word
// holds parts 1 and 2, the second parts 3 and 4). On Windows they are read
// from the module's version resource at each call; false when that fails.
bool OsReadProductVersion(uint32_t *mostSignificant, uint32_t *leastSignificant);
