// korvel-send: sends CAN frames given in cansend syntax through the library
// and reports the library's status for each.
#include "can_text.h"
#include "connect_wait.h"
#include "host_port.h"
#include "status_text.h"
#include "tool_args.h"

#include "korvel32.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <thread>
#include <vector>

namespace {

enum SendExit {
    kSendExitOk = 0,           // every frame accepted and handed to the connection
    kSendExitNoConnection = 1, // the instance could not be opened or connected
    kSendExitUsage = 2,        // bad command line or frame
    kSendExitRefused = 3,      // the library refused a frame or reported an error
};

constexpr uint32_t kWaitBoundMs = 5000;

const char kFrameSyntax[] = "expected <id>#<data> or <id>#R[<len>]: <id> 1 to 3 hex digits "
                            "(standard) or 4 to 8 (extended),\n"
                            "<data> 0 to 8 bytes of 2 hex digits, optionally separated by '.', "
                            "e.g. 123#DEADBEEF 5A1#11.2233.44556677.88 12345678# 123#R 123#R7\n";

void PrintUsage(FILE *out) {
    std::fputs(
        "usage: korvel-send [options] HOST[:PORT] FRAME...\n"
        "Sends each FRAME to the gateway at HOST:PORT (default port 29536) through the\n"
        "library and prints the library's status for it.\n"
        "\n"
        "FRAME, as for cansend:\n"
        "  <id>#<data>     data frame: 0 to 8 bytes of two hex digits, '.' allowed between bytes\n"
        "  <id>#R[<len>]   remote frame of length <len> 0 to 8 (default 0)\n"
        "  <id> has 1 to 3 hex digits for a standard, 4 to 8 for an extended identifier.\n"
        "  Error frames (candump's 2xxxxxxx identifiers) and CAN FD frames ('##') cannot\n"
        "  be carried by the gateway and are refused.\n"
        "\n"
        "  -n, --repeat N           send the frames N times (default 1; 0: until Ctrl-C)\n"
        "  -g, --gap MS             pause MS milliseconds between two frames (default 0)\n"
        "  -c, --connect-timeout MS give up when not connected within MS ms (default 2000)\n"
        "  -q, --quiet              print failures only\n"
        "  -h, --help               this text\n"
        "\n"
        "korvel-send waits for room in the transmit buffer before each frame and, at\n"
        "the end, until the library has passed every frame to the connection.\n"
        "\n"
        "A refused or unreachable gateway is reported at once as \"no gateway at HOST:PORT\".\n"
        "\n"
        "Exit status: 0 when every frame was accepted; 1 when no connection was made;\n"
        "2 for a bad argument or frame (nothing is sent); 3 when the library refused a\n"
        "frame or reported an error (sending stops there).\n"
        "\n"
        "Examples:\n"
        "  korvel-send 127.0.0.1:29536 123#DEADBEEF\n"
        "  korvel-send 192.168.0.20:5000 5A1#11.2233.44556677.88 12345678# 123#R7\n"
        "  korvel-send -n 100 -g 10 127.0.0.1 7DF#0201050000000000\n",
        out);
}

struct SendOptions {
    GatewayAddress address = {};
    std::vector<std::string> texts;
    std::vector<CanMsg> frames;
    uint64_t repeat = 1;
    uint64_t gapMs = 0;
    uint32_t connectTimeoutMs = 2000;
    bool quiet = false;
};

const struct option kLongOptions[] = {{"repeat", required_argument, nullptr, 'n'},
                                      {"gap", required_argument, nullptr, 'g'},
                                      {"connect-timeout", required_argument, nullptr, 'c'},
                                      {"quiet", no_argument, nullptr, 'q'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};

bool ApplyOption(int option, const char *arg, SendOptions *o) {
    uint64_t number = 0;
    switch (option) {
    case 'n':
        return ParseUnsignedArg(arg, UINT64_MAX, &o->repeat);
    case 'g':
        return ParseUnsignedArg(arg, 3600000, &o->gapMs);
    case 'c':
        if (!ParseUnsignedArg(arg, 3600000, &number)) return false;
        o->connectTimeoutMs = (uint32_t)number;
        return true;
    case 'q':
        o->quiet = true;
        return true;
    }
    return false;
}

// The address and the frames behind the options; all are checked before
// anything is sent.
int ParseOperands(int argc, char **argv, SendOptions *o) {
    if (optind >= argc) {
        std::fprintf(stderr, "korvel-send: no gateway address and no frame (see --help)\n");
        return 2;
    }
    if (!ParseHostPort(argv[optind], kDefaultGatewayPort, &o->address)) {
        std::fprintf(stderr,
                     "korvel-send: bad gateway address '%s': expected HOST[:PORT] with an IPv4 "
                     "address, e.g. 127.0.0.1:29536\n",
                     argv[optind]);
        return 2;
    }
    if (++optind >= argc) {
        std::fprintf(stderr, "korvel-send: no frame to send\n%s", kFrameSyntax);
        return 2;
    }
    for (; optind < argc; ++optind) {
        CanMsg msg;
        int status = ParseCanSend(argv[optind], &msg);
        if (status != CAN_TEXT_OK) {
            // Frames that are well-formed but cannot be carried need no syntax lesson.
            bool carried = status != CAN_TEXT_ERR_ERROR_FRAME && status != CAN_TEXT_ERR_FD;
            std::fprintf(stderr, "korvel-send: bad frame '%s': %s\n%s", argv[optind],
                         CanTextStatusText(status), carried ? kFrameSyntax : "");
            return 2;
        }
        o->texts.push_back(argv[optind]);
        o->frames.push_back(msg);
    }
    return 0;
}

// 0: send; 1: --help was asked for; 2: bad command line (reported).
int ParseOptions(int argc, char **argv, SendOptions *options) {
    int option;
    while ((option = getopt_long(argc, argv, "n:g:c:qh", kLongOptions, nullptr)) != -1) {
        if (option == 'h') return 1;
        if (option == '?') return 2; // getopt_long has reported it
        if (!ApplyOption(option, optarg, options)) {
            std::fprintf(stderr, "korvel-send: bad value '%s' for -%c (see --help)\n",
                         optarg ? optarg : "", option);
            return 2;
        }
    }
    return ParseOperands(argc, argv, options);
}

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void Pause(uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The library's answer to one frame, on standard output.
void Report(const char *frame, uint32_t status) {
    std::printf("%s: status %u %s (%s)\n", frame, status, KorvelStatusName(status),
                KorvelStatusText(status));
    std::fflush(stdout);
}

// A failure of the instance itself, on standard error.
void ReportFailure(const char *what, uint32_t status) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvel-send: %s: status %u %s (%s)\n", what, status,
                 KorvelStatusName(status), KorvelStatusText(status));
}

// Events are not needed: the connection state is polled.
void KORVEL_CALL IgnoreEvent(int32_t, uint32_t, uint32_t) {}

// Waits until the transmit buffer takes another message. KORVEL_OK, or the
// library's status when it cannot be asked.
uint32_t WaitForRoom(int32_t instance) {
    for (uint32_t waited = 0;; ++waited) {
        BufferInfo info;
        uint32_t status = KORVEL_GetCanBufferInfo(instance, &info);
        if (status != KORVEL_OK || info.txCount <= info.txBufferSize) return status;
        if (waited >= kWaitBoundMs || g_stop) return KORVEL_OK; // the write will tell
        Pause(1);
    }
}

// Waits until the library's service thread has run one more service cycle
// for the instance: each cycle marks the CAN state when it finds the
// transmit buffer empty.
uint32_t WaitServiceCycle(int32_t instance) {
    uint32_t status = KORVEL_ResetCanState(instance, KORVEL_CANSTATE_TX_EMPTY);
    for (uint32_t waited = 0; status == KORVEL_OK && waited < kWaitBoundMs; ++waited) {
        uint16_t state = 0;
        status = KORVEL_GetCanState(instance, &state);
        if (status == KORVEL_OK && (state & KORVEL_CANSTATE_TX_EMPTY)) break;
        Pause(1);
    }
    return status;
}

// Waits until every written message has left the transmit buffer and the
// service cycles behind it have handed the last frames to the socket.
uint32_t WaitUntilSent(int32_t instance) {
    for (uint32_t waited = 0; waited < kWaitBoundMs; ++waited) {
        BufferInfo info;
        uint32_t status = KORVEL_GetCanBufferInfo(instance, &info);
        if (status != KORVEL_OK) return status;
        if (info.txCount == 0) break;
        Pause(1);
    }
    for (int cycle = 0; cycle < 3; ++cycle) {
        uint32_t status = WaitServiceCycle(instance);
        if (status != KORVEL_OK) return status;
    }
    return KORVEL_OK;
}

// Sends the frames `repeat` times; false after the first refusal.
bool SendFrames(int32_t instance, const SendOptions &o) {
    bool first = true;
    for (uint64_t round = 0; o.repeat == 0 || round < o.repeat; ++round) {
        for (size_t i = 0; i < o.frames.size(); ++i) {
            if (g_stop) return true;
            if (!first && o.gapMs > 0) Pause(o.gapMs);
            first = false;
            uint32_t written = 0;
            uint32_t status = WaitForRoom(instance);
            if (status == KORVEL_OK)
                status = KORVEL_WriteCanMsg(instance, &o.frames[i], 1, &written);
            if (status != KORVEL_OK || !o.quiet) Report(o.texts[i].c_str(), status);
            if (status != KORVEL_OK) return false;
        }
    }
    return true;
}

// Opens the instance in callback mode, which returns at once, so that a
// refused connection ends the wait as soon as the socket reports it.
bool Open(const SendOptions &o, InitParams *params, int32_t *instance) {
    *params = MakeToolParams(o.address, 256, o.connectTimeoutMs);
    uint32_t status = KORVEL_Initialize(instance, params, IgnoreEvent, 0);
    if (status != KORVEL_OK) {
        ReportFailure("opening the instance", status);
        return false;
    }
    ConnectResult result = WaitForConnection(*instance, o.connectTimeoutMs, &g_stop, &status);
    if (result == kConnectDone) return true;
    ReportConnectFailure(stderr, "korvel-send", *params, result, o.connectTimeoutMs, status);
    KORVEL_Shutdown(*instance);
    return false;
}

int Run(const SendOptions &o) {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    InitParams params;
    int32_t instance = 0;
    if (!Open(o, &params, &instance)) return g_stop ? kSendExitOk : kSendExitNoConnection;
    bool sent = SendFrames(instance, o);
    uint32_t status = WaitUntilSent(instance);
    if (status != KORVEL_OK) ReportFailure("after sending", status);
    sent = sent && status == KORVEL_OK;
    status = KORVEL_Shutdown(instance);
    if (status != KORVEL_OK) ReportFailure("closing the instance", status);
    return sent && status == KORVEL_OK ? kSendExitOk : kSendExitRefused;
}

} // namespace

int main(int argc, char **argv) {
    SendOptions options;
    int status = ParseOptions(argc, argv, &options);
    if (status == 1) {
        PrintUsage(stdout);
        return kSendExitOk;
    }
    if (status != 0) return kSendExitUsage;
    return Run(options);
}
