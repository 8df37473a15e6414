// Parsing of korvel-gateway's command line.
#include "options.h"

#include "can_text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

void PrintGatewayUsage(FILE *out) {
    std::fputs(
        "usage: korvel-gateway [options]\n"
        "A gateway simulator: speaks the $CAN;...;# frame format over TCP with any\n"
        "number of clients. Modes can be combined.\n"
        "\n"
        "  -a, --address ADDR     IPv4 address to listen on (default 127.0.0.1)\n"
        "  -p, --port PORT        TCP port, 0 for an ephemeral port (default 29536)\n"
        "  -e, --echo WHO         send each received frame back to: sender | all | others\n"
        "\n"
        "Generator (each client gets its own sequence from its connection on; the options\n"
        "below -g take effect with -g only, and warn without it):\n"
        "  -g, --generate         send generated frames\n"
        "  -r, --rate N|max       frames per second per client (default 10)\n"
        "  -n, --count N          stop after N frames per client\n"
        "  -t, --duration SEC     stop SEC seconds after the client connected\n"
        "  -I, --id ID|i|r        identifier: fixed hex ID, i counting up from 0, r random\n"
        "  -x, --extended         29-bit identifiers (default 11-bit)\n"
        "  -L, --length N|i|r     data length: fixed 0..8 (default 8), i cycling 0..8, r random\n"
        "  -D, --data HEX|i|r     data: fixed bytes (sets the length), i frame counter\n"
        "                         little-endian (default), r random\n"
        "  -R, --remote           remote frames instead of data frames\n"
        "\n"
        "Log files (candump log format: \"(1436509052.249713) can0 123#DEADBEEF\"):\n"
        "      --replay FILE      send the log's frames to each client with their recorded "
        "timing;\n"
        "                         comments, error frames and CAN FD frames are skipped with\n"
        "                         one warning per kind\n"
        "      --record FILE      append every frame received from any client to FILE\n"
        "      --interface NAME   interface name in recorded lines (default korvel0)\n"
        "\n"
        "Faults:\n"
        "      --split            cut each frame sent at a random byte; pieces go out separately\n"
        "      --garbage          put 1 to 8 bytes that are no frame in front of each frame\n"
        "      --malformed N      send a malformed frame behind every N frames\n"
        "      --close-after N    close the connection after N frames sent to it\n"
        "      --reset-after N    reset the connection (TCP RST) after N frames sent to it\n"
        "      --reset-inside N   send N frames and the first part of one more, then reset\n"
        "      --endless KIND     once the generator and replay are done, send without end\n"
        "                         and as fast as the client takes it: frame (one frame that\n"
        "                         never gets its \"#\") or garbage (bytes with \"#\" but never\n"
        "                         a start token)\n"
        "      --stop-reading N   stop reading from a client after N frames received (0: never "
        "read)\n"
        "      --seed N           seed of the random choices (default: from the clock)\n"
        "\n"
        "  -h, --help             this text\n"
        "\n"
        "At start-up one line \"korvel-gateway listening on ADDR:PORT\" is printed; each\n"
        "client's connection ends with one summary line. SIGINT or SIGTERM ends the gateway.\n"
        "Frames a client sends that cannot be decoded are counted and dropped.\n"
        "Exit status: 0 after a signal, 1 when a system call fails, 2 for a bad argument.\n"
        "\n"
        "Examples:\n"
        "  korvel-gateway -p 0 -e sender\n"
        "  korvel-gateway -e all -g -r 100 -I 100 -L 4 -D DEADBEEF\n"
        "  korvel-gateway -g -r max -n 1000000 -x\n"
        "  korvel-gateway --replay drive.log --record received.log\n"
        "  korvel-gateway -e sender --split --garbage --malformed 10 --close-after 100\n",
        out);
}

namespace {

bool ParseCount(const char *text, uint64_t *value) {
    char *end = nullptr;
    errno = 0;
    if (text[0] < '0' || text[0] > '9') return false;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *value = v;
    return true;
}

bool ParseSeconds(const char *text, double *value) {
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v > 0) || v > 1e9) return false;
    *value = v;
    return true;
}

bool ParseMode(const char *text, PatternMode *mode) {
    if (std::strcmp(text, "i") == 0)
        *mode = PatternMode::kIncrement;
    else if (std::strcmp(text, "r") == 0)
        *mode = PatternMode::kRandom;
    else
        *mode = PatternMode::kFixed;
    return true;
}

bool ParseIdentifier(const char *text, GeneratorOptions *gen) {
    ParseMode(text, &gen->idMode);
    if (gen->idMode != PatternMode::kFixed) return true;
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 16);
    if (errno != 0 || *end != '\0' || end == text || v > 0x1FFFFFFFul) return false;
    gen->id = (uint32_t)v;
    return true;
}

bool ParseLength(const char *text, GeneratorOptions *gen) {
    ParseMode(text, &gen->lengthMode);
    if (gen->lengthMode != PatternMode::kFixed) return true;
    if (text[0] < '0' || text[0] > '8' || text[1] != '\0') return false;
    gen->length = (uint8_t)(text[0] - '0');
    return true;
}

// Fixed data in cansend's data syntax; it also sets the length.
bool ParseData(const char *text, GeneratorOptions *gen) {
    ParseMode(text, &gen->dataMode);
    if (gen->dataMode != PatternMode::kFixed) return true;
    CanMsg msg;
    std::string frame = std::string("0#") + text;
    if (ParseCanSend(frame.c_str(), &msg) != CAN_TEXT_OK || (msg.flags & KORVEL_MSGFLAG_RTR))
        return false;
    std::memcpy(gen->data, msg.data, sizeof(gen->data));
    gen->length = msg.length;
    return true;
}

bool ParseEcho(const char *text, EchoMode *echo) {
    if (std::strcmp(text, "sender") == 0)
        *echo = EchoMode::kSender;
    else if (std::strcmp(text, "all") == 0)
        *echo = EchoMode::kAll;
    else if (std::strcmp(text, "others") == 0)
        *echo = EchoMode::kOthers;
    else
        return false;
    return true;
}

bool ParseEndless(const char *text, EndlessMode *mode) {
    if (std::strcmp(text, "frame") == 0)
        *mode = EndlessMode::kFrame;
    else if (std::strcmp(text, "garbage") == 0)
        *mode = EndlessMode::kGarbage;
    else
        return false;
    return true;
}

bool ParsePort(const char *text, uint16_t *port) {
    uint64_t v = 0;
    if (!ParseCount(text, &v) || v > 65535) return false;
    *port = (uint16_t)v;
    return true;
}

bool ParseRate(const char *text, double *rate) {
    if (std::strcmp(text, "max") == 0) {
        *rate = 0;
        return true;
    }
    return ParseSeconds(text, rate);
}

enum LongOnly {
    kReplay = 256,
    kRecord,
    kInterface,
    kSplit,
    kGarbage,
    kMalformed,
    kCloseAfter,
    kResetAfter,
    kResetInside,
    kEndless,
    kStopReading,
    kSeed
};

const struct option kLongOptions[] = {{"address", required_argument, nullptr, 'a'},
                                      {"port", required_argument, nullptr, 'p'},
                                      {"echo", required_argument, nullptr, 'e'},
                                      {"generate", no_argument, nullptr, 'g'},
                                      {"rate", required_argument, nullptr, 'r'},
                                      {"count", required_argument, nullptr, 'n'},
                                      {"duration", required_argument, nullptr, 't'},
                                      {"id", required_argument, nullptr, 'I'},
                                      {"extended", no_argument, nullptr, 'x'},
                                      {"length", required_argument, nullptr, 'L'},
                                      {"data", required_argument, nullptr, 'D'},
                                      {"remote", no_argument, nullptr, 'R'},
                                      {"replay", required_argument, nullptr, kReplay},
                                      {"record", required_argument, nullptr, kRecord},
                                      {"interface", required_argument, nullptr, kInterface},
                                      {"split", no_argument, nullptr, kSplit},
                                      {"garbage", no_argument, nullptr, kGarbage},
                                      {"malformed", required_argument, nullptr, kMalformed},
                                      {"close-after", required_argument, nullptr, kCloseAfter},
                                      {"reset-after", required_argument, nullptr, kResetAfter},
                                      {"reset-inside", required_argument, nullptr, kResetInside},
                                      {"endless", required_argument, nullptr, kEndless},
                                      {"stop-reading", required_argument, nullptr, kStopReading},
                                      {"seed", required_argument, nullptr, kSeed},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};

// The generator's options; false for a bad value.
bool ApplyGeneratorOption(int option, const char *arg, GeneratorOptions *gen) {
    switch (option) {
    case 'g':
        gen->enabled = true;
        return true;
    case 'r':
        return ParseRate(arg, &gen->rate);
    case 'n':
        return ParseCount(arg, &gen->count) && gen->count > 0;
    case 't':
        return ParseSeconds(arg, &gen->duration);
    case 'I':
        return ParseIdentifier(arg, gen);
    case 'x':
        gen->extended = true;
        return true;
    case 'L':
        return ParseLength(arg, gen);
    case 'D':
        return ParseData(arg, gen);
    case 'R':
        gen->remote = true;
        return true;
    }
    return false;
}

bool ApplyFaultOption(int option, const char *arg, FaultOptions *faults) {
    switch (option) {
    case kSplit:
        faults->split = true;
        return true;
    case kGarbage:
        faults->garbage = true;
        return true;
    case kMalformed:
        return ParseCount(arg, &faults->malformedEvery) && faults->malformedEvery > 0;
    case kCloseAfter:
        return ParseCount(arg, &faults->closeAfter) && faults->closeAfter > 0;
    case kResetAfter:
        return ParseCount(arg, &faults->resetAfter) && faults->resetAfter > 0;
    case kResetInside:
        return ParseCount(arg, &faults->resetInside) && faults->resetInside > 0;
    case kEndless:
        return ParseEndless(arg, &faults->endless);
    case kStopReading:
        faults->stopReading = true;
        return ParseCount(arg, &faults->stopReadingAfter);
    }
    return false;
}

// Applies one option; false for a bad value.
bool ApplyOption(int option, const char *arg, GatewayOptions *o) {
    uint64_t seed = 0;
    switch (option) {
    case 'a':
        o->address = arg;
        return true;
    case 'p':
        return ParsePort(arg, &o->port);
    case 'e':
        return ParseEcho(arg, &o->echo);
    case kReplay:
        o->replayPath = arg;
        return true;
    case kRecord:
        o->recordPath = arg;
        return true;
    case kInterface:
        o->interfaceName = arg;
        return !o->interfaceName.empty() && o->interfaceName.size() < 32;
    case kSeed:
        o->seedGiven = true;
        if (!ParseCount(arg, &seed) || seed > 0xFFFFFFFFu) return false;
        o->seed = (uint32_t)seed;
        return true;
    }
    return ApplyGeneratorOption(option, arg, &o->generator) ||
           ApplyFaultOption(option, arg, &o->faults);
}

// The options that shape the generator's frames; without -g they do nothing.
const char kGeneratorShapes[] = "rntIxLDR";

std::string OptionName(int option) {
    for (const struct option *o = kLongOptions; o->name != nullptr; ++o)
        if (o->val == option) return std::string("--") + o->name;
    return "an option";
}

} // namespace

int ParseGatewayOptions(int argc, char **argv, GatewayOptions *options) {
    *options = GatewayOptions();
    optind = 1;
    int option;
    int shape = 0; // the last generator option seen
    while ((option = getopt_long(argc, argv, "a:p:e:gr:n:t:I:xL:D:Rh", kLongOptions, nullptr)) !=
           -1) {
        if (option == 'h') return 1;
        if (option == '?') return 2; // getopt_long has reported it
        if (option < kReplay && std::strchr(kGeneratorShapes, option) != nullptr) shape = option;
        if (!ApplyOption(option, optarg, options)) {
            std::fprintf(stderr, "korvel-gateway: bad value '%s' for %s (see --help)\n",
                         optarg ? optarg : "", OptionName(option).c_str());
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "korvel-gateway: unexpected argument '%s' (see --help)\n",
                     argv[optind]);
        return 2;
    }
    if (shape != 0 && !options->generator.enabled)
        std::fprintf(stderr, "korvel-gateway: warning: %s has no effect without -g (--generate)\n",
                     OptionName(shape).c_str());
    const FaultOptions &f = options->faults;
    if ((f.closeAfter > 0) + (f.resetAfter > 0) + (f.resetInside > 0) > 1) {
        std::fprintf(stderr, "korvel-gateway: --close-after, --reset-after and --reset-inside "
                             "exclude each other\n");
        return 2;
    }
    return 0;
}
