// The faults that korvel-gateway plays, one gateway process per fault, and
// what the application sees of each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class PeerEnd {
    kStays,   // the gateway stays; the application shuts down while frames flow
    kCloses,  // orderly close after a number of frames: all of them must arrive
    kResets,  // TCP reset: frames still on the way are lost
    kRefused, // nothing listens: the connection never comes about
};

struct Scenario {
    const char *name;
    std::vector<std::string> options; // of korvel-gateway
    PeerEnd end;
    uint64_t malformedEvery; // the --malformed value, 0 for none
    bool flood;              // the application stops reading for a while
    bool deaf;               // the gateway never reads: write until the send fails
    bool writes;             // the application writes now and then
    uint64_t frames;         // frames the gateway sends in all, 0 for no limit
};

const std::vector<Scenario> &Scenarios();
