// Command line of korvel-gateway.
#ifndef KORVEL_GATEWAY_OPTIONS_H
#define KORVEL_GATEWAY_OPTIONS_H

#include <cstdint>
#include <cstdio>
#include <string>

enum class EchoMode { kOff, kSender, kAll, kOthers };

// How the generator picks a value for each frame: one fixed value, counting
// up, or random.
enum class PatternMode { kFixed, kIncrement, kRandom };

// What the gateway sends without end once its frames are done: nothing, one
// frame that never gets its "#", or bytes that never hold a start token.
enum class EndlessMode { kOff, kFrame, kGarbage };

struct GeneratorOptions {
    bool enabled = false;
    double rate = 10;    // frames per second per client; 0 = as fast as possible
    uint64_t count = 0;  // frames per client; 0 = no limit
    double duration = 0; // seconds after the client connected; 0 = no limit
    PatternMode idMode = PatternMode::kIncrement;
    uint32_t id = 0;
    bool extended = false;
    bool remote = false;
    PatternMode lengthMode = PatternMode::kFixed;
    uint8_t length = 8;
    PatternMode dataMode = PatternMode::kIncrement;
    uint8_t data[8] = {};
};

struct FaultOptions {
    bool split = false;          // cut each frame at a random byte, send pieces separately
    bool garbage = false;        // random bytes that are no frame in front of each frame
    uint64_t malformedEvery = 0; // a malformed frame behind every N frames
    uint64_t closeAfter = 0;     // close after N frames sent to the client
    uint64_t resetAfter = 0;     // reset after N frames sent to the client
    uint64_t resetInside = 0;    // reset after N frames and the first part of one more
    EndlessMode endless = EndlessMode::kOff;
    bool stopReading = false; // stop reading after stopReadingAfter frames received
    uint64_t stopReadingAfter = 0;
};

struct GatewayOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 29536;
    EchoMode echo = EchoMode::kOff;
    GeneratorOptions generator;
    std::string replayPath;
    std::string recordPath;
    std::string interfaceName = "korvel0";
    FaultOptions faults;
    uint32_t seed = 0;
    bool seedGiven = false;
};

// Fills *options from the arguments. Returns 0 when the gateway should run,
// 1 when --help was given, and 2 with a message on stderr for a bad argument.
int ParseGatewayOptions(int argc, char **argv, GatewayOptions *options);

// The usage text with the grammar and examples.
void PrintGatewayUsage(FILE *out);

#endif
