// korvel-dump: prints the CAN frames a gateway sends, in candump's screen or
// log format, through the library in callback mode. See PrintDumpUsage().
#include "dump_options.h"
#include "dump_session.h"

int main(int argc, char **argv) {
    DumpOptions options;
    int status = ParseDumpOptions(argc, argv, &options);
    if (status == 1) {
        PrintDumpUsage(stdout);
        return kDumpExitOk;
    }
    if (status != 0) return kDumpExitUsage;
    DumpSession session(options);
    return session.Run();
}
