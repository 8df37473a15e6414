// Parsing of korvel-dump's command line.
#include "dump_options.h"

#include "tool_args.h"

#include <cstring>
#include <ctime>
#include <getopt.h>

void PrintDumpUsage(FILE *out) {
    std::fputs(
        "usage: korvel-dump [options] [HOST[:PORT][,FILTER]...]\n"
        "Prints the CAN frames that the gateway at HOST:PORT sends (default\n"
        "127.0.0.1:29536), through the library in callback mode, in candump's format:\n"
        "  korvel0  123   [4]  DE AD BE EF\n"
        "  korvel0  12345678   [2]  remote request\n"
        "\n"
        "FILTER, as for candump (a frame is shown when it passes any filter):\n"
        "  <id>:<mask>    passes when  frame_id & mask == id & mask\n"
        "  <id>~<mask>    passes when  frame_id & mask != id & mask (also ~<id>:<mask>)\n"
        "  j              join: a frame must pass every filter\n"
        "  Hex values; frame_id has 80000000 set for extended and 40000000 for remote\n"
        "  frames, and an <id> of 8 digits sets 80000000: 123:7FF passes 123 of both\n"
        "  formats, 123:C00007FF standard data frames 123, 12345678:DFFFFFFF extended\n"
        "  data frames 12345678. Error frames are not carried: no #<error mask>.\n"
        "\n"
        "  -t, --timestamp TYPE     a absolute, A absolute with date, d delta to the\n"
        "                           previous frame, z time since the first frame\n"
        "  -l, --log                log to korvel-dump-<date>_<time>.log (candump log format)\n"
        "  -f, --log-file FILE      log to FILE (candump log format)\n"
        "  -L, --log-format         candump log format on standard output\n"
        "  -s, --silent             no frames on standard output (default with -l or -f)\n"
        "  -n, --count N            end after N frames\n"
        "  -d, --duration SEC       end after SEC seconds\n"
        "  -i, --interface NAME     interface name printed and logged (default korvel0)\n"
        "  -c, --connect-timeout MS give up when not connected within MS ms (default 3000)\n"
        "  -b, --buffer N           receive buffer of N messages, 0 to 65535 (default 8192)\n"
        "  -R, --reconnect          when the connection is lost or fails, open it again\n"
        "                           (retries from 0.1 s, backing off to every 5 s) and go\n"
        "                           on; each gap is reported with its length\n"
        "  -h, --help               this text\n"
        "\n"
        "Frames go to standard output; connection changes, gaps, buffer overruns (the\n"
        "CAN state word's overrun bits) and the final count go to standard error. A\n"
        "refused or unreachable gateway is reported as \"no gateway at HOST:PORT\".\n"
        "Ctrl-C ends the dump and shuts the library down.\n"
        "\n"
        "Exit status: 0 after the count, the duration or Ctrl-C; 1 when no connection\n"
        "was made or the log file cannot be written; 2 for a bad argument; 3 when the\n"
        "connection ended or failed while dumping (never with -R).\n"
        "\n"
        "Examples:\n"
        "  korvel-dump 192.168.0.20:5000\n"
        "  korvel-dump -t d 127.0.0.1:29536\n"
        "  korvel-dump 127.0.0.1:29536,123:7FF,200~700\n"
        "  korvel-dump -R -f drive.log 127.0.0.1\n"
        "  korvel-dump -l -n 1000 127.0.0.1\n"
        "  korvel-dump -L -d 10 127.0.0.1:29536 > drive.log\n",
        out);
}

namespace {

const struct option kLongOptions[] = {{"timestamp", required_argument, nullptr, 't'},
                                      {"log", no_argument, nullptr, 'l'},
                                      {"log-file", required_argument, nullptr, 'f'},
                                      {"log-format", no_argument, nullptr, 'L'},
                                      {"silent", no_argument, nullptr, 's'},
                                      {"count", required_argument, nullptr, 'n'},
                                      {"duration", required_argument, nullptr, 'd'},
                                      {"interface", required_argument, nullptr, 'i'},
                                      {"connect-timeout", required_argument, nullptr, 'c'},
                                      {"buffer", required_argument, nullptr, 'b'},
                                      {"reconnect", no_argument, nullptr, 'R'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};

// "korvel-dump-2026-12-06_145601.log", as candump names its logs.
std::string DefaultLogPath() {
    std::time_t now = std::time(nullptr);
    char name[64];
    std::strftime(name, sizeof(name), "korvel-dump-%Y-%m-%d_%H%M%S.log", std::localtime(&now));
    return name;
}

// Applies one option; false for a bad value.
bool ApplyOption(int option, const char *arg, DumpOptions *o) {
    uint64_t number = 0;
    switch (option) {
    case 't':
        o->timestamps = arg[0];
        return arg[1] == '\0' && std::strchr("aAdz", arg[0]) != nullptr;
    case 'l':
        o->logPath = DefaultLogPath();
        return true;
    case 'f':
        o->logPath = arg;
        return !o->logPath.empty();
    case 'L':
        o->logStdout = true;
        return true;
    case 's':
        o->silent = true;
        return true;
    case 'n':
        return ParseUnsignedArg(arg, UINT64_MAX, &o->count) && o->count > 0;
    case 'd':
        return ParseSecondsArg(arg, &o->duration);
    case 'i':
        o->interfaceName = arg;
        return !o->interfaceName.empty() && o->interfaceName.size() < 32 &&
               o->interfaceName.find_first_of(" \t()#") == std::string::npos;
    case 'c':
        if (!ParseUnsignedArg(arg, 3600000, &number)) return false;
        o->connectTimeoutMs = (uint32_t)number;
        return true;
    case 'b':
        if (!ParseUnsignedArg(arg, 65535, &number)) return false;
        o->bufferSize = (uint16_t)number;
        return true;
    case 'R':
        o->reconnect = true;
        return true;
    }
    return false;
}

// "HOST[:PORT][,FILTER]..."; reports what is wrong.
bool ParseAddress(const std::string &text, DumpOptions *o) {
    size_t comma = text.find(',');
    std::string address = text.substr(0, comma);
    if (!ParseHostPort(address.c_str(), kDefaultGatewayPort, &o->address)) {
        std::fprintf(stderr,
                     "korvel-dump: bad gateway address '%s': expected HOST[:PORT] with an IPv4 "
                     "address, e.g. 127.0.0.1:29536\n",
                     address.c_str());
        return false;
    }
    while (comma != std::string::npos) {
        size_t next = text.find(',', comma + 1);
        std::string filter = text.substr(comma + 1, next - comma - 1);
        int status = o->filters.Add(filter.c_str());
        if (status != CAN_FILTER_OK) {
            std::fprintf(stderr, "korvel-dump: bad filter '%s': %s\n", filter.c_str(),
                         CanFilterStatusText(status));
            return false;
        }
        comma = next;
    }
    return true;
}

} // namespace

int ParseDumpOptions(int argc, char **argv, DumpOptions *options) {
    *options = DumpOptions();
    int option;
    while ((option = getopt_long(argc, argv, "t:lf:Lsn:d:i:c:b:Rh", kLongOptions, nullptr)) != -1) {
        if (option == 'h') return 1;
        if (option == '?') return 2; // getopt_long has reported it
        if (!ApplyOption(option, optarg, options)) {
            std::fprintf(stderr, "korvel-dump: bad value '%s' for -%c (see --help)\n",
                         optarg ? optarg : "", option);
            return 2;
        }
    }
    if (!options->logPath.empty() && !options->logStdout) options->silent = true;
    if (!ParseAddress(optind < argc ? argv[optind++] : "127.0.0.1", options)) return 2;
    if (optind < argc) {
        std::fprintf(stderr, "korvel-dump: unexpected argument '%s' (see --help)\n", argv[optind]);
        return 2;
    }
    return 0;
}
