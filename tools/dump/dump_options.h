// Command line of korvel-dump.
#ifndef KORVEL_TOOLS_DUMP_OPTIONS_H
#define KORVEL_TOOLS_DUMP_OPTIONS_H

#include "can_filter.h"
#include "host_port.h"

#include <cstdint>
#include <cstdio>
#include <string>

// Exit status of korvel-dump, as its usage text documents it.
enum DumpExit {
    kDumpExitOk = 0,           // count reached, duration over, or Ctrl-C
    kDumpExitNoConnection = 1, // no connection, or the log file cannot be written
    kDumpExitUsage = 2,        // bad command line
    kDumpExitEnded = 3,        // the connection ended or failed while dumping
};

struct DumpOptions {
    GatewayAddress address = {};
    CanFilterSet filters;   // candump's filters behind the address
    bool reconnect = false; // open the instance again after a lost connection
    char timestamps = 0;    // 0 none, 'a' absolute, 'A' with date, 'd' delta, 'z' from zero
    std::string logPath;    // log file; empty: none
    bool logStdout = false; // log format on standard output
    bool silent = false;    // no frames on standard output
    uint64_t count = 0;     // end after this many frames; 0: no limit
    double duration = 0;    // end after this many seconds; 0: no limit
    uint32_t connectTimeoutMs = 3000;
    uint16_t bufferSize = 8192; // receive buffer of the instance, in messages
    std::string interfaceName = "korvel0";
};

void PrintDumpUsage(FILE *out);

// 0: run with *options; 1: --help was asked for; 2: bad command line (reported).
int ParseDumpOptions(int argc, char **argv, DumpOptions *options);

#endif
