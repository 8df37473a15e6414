// korvel-gateway: a gateway simulator for demos, tests and benchmarks. It
// speaks the gateway's text frames over TCP with any number of clients and
// echoes, generates, replays and records frames, with faults on request.
// See PrintGatewayUsage() for the command line.
#include "options.h"
#include "server.h"

#include <cstdio>

int main(int argc, char **argv) {
    GatewayOptions options;
    int status = ParseGatewayOptions(argc, argv, &options);
    if (status == 1) {
        PrintGatewayUsage(stdout);
        return 0;
    }
    if (status != 0) return 2;
    // Scripts read the start-up and summary lines while the gateway runs.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    GatewayServer server(options);
    if (!server.Start()) return 1;
    return server.Run();
}
