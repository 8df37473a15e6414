// One client connection of the gateway and its counters.
#ifndef KORVEL_GATEWAY_CLIENT_H
#define KORVEL_GATEWAY_CLIENT_H

#include "generator.h"
#include "output.h"

#include "gateway_frame.h"

#include <cstdint>
#include <string>

struct Client {
    enum State {
        kOpen,     // exchanging frames
        kClosing,  // the close or reset fault: no more frames, end once all is sent
        kDraining, // our side is shut down; waiting for the peer's end
        kEnded,    // closed; removed after this pass
    };

    Client(unsigned number, int fd, const std::string &peer, int64_t now,
           const GatewayOptions &options, uint32_t seed)
        : number(number), fd(fd), peer(peer), connectedNs(now), output(options.faults, seed),
          generator(options.generator, seed ^ 0x5bd1e995u) {}

    unsigned number;
    int fd;
    std::string peer;
    int64_t connectedNs;
    int64_t drainDeadlineNs = 0;
    State state = kOpen;
    bool reading = true; // false once the stop-reading fault applies
    uint32_t events = 0; // epoll interest
    GatewayFrameReader reader;
    FrameOutput output;
    FrameGenerator generator;
    size_t replayNext = 0;
    uint64_t framesIn = 0;
    uint64_t malformedIn = 0;
};

#endif
