// The version query: the library's product version as a VersionInfo.
#pragma once

#include "korvel32.h"

#include <cstdint>

// Fills major, minor, release and build from the two product version words
// (most significant first); the first three parts keep their low 8 bits.
// The reserved byte is not written.
void VersionFromProductWords(uint32_t mostSignificant, uint32_t leastSignificant,
                             VersionInfo *version);
