/* korvel-example: the smallest application of the library. It reports the
 * library's version, opens one polling-mode instance for the gateway given
 * on the command line and reports what the library answered.
 *
 * usage: korvel-example [ADDRESS [PORT]]   (default 127.0.0.1 29536) */
#include "korvel32.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    const char *address = argc > 1 ? argv[1] : "127.0.0.1";
    unsigned long port = argc > 2 ? strtoul(argv[2], NULL, 10) : 29536;
    VersionInfo version;
    InitParams params;
    int32_t instance = 0;
    uint32_t status;

    if (KORVEL_GetVersion(&version) != KORVEL_OK) {
        fprintf(stderr, "korvel-example: the library has no version information\n");
        return 1;
    }
    printf("KORVEL32 %u.%u.%u.%u loaded\n", version.major, version.minor, version.release,
           version.build);

    memset(&params, 0, sizeof(params));
    params.size = sizeof(params);
    strncpy(params.ipAddress, address, sizeof(params.ipAddress) - 1);
    params.port = (uint16_t)port;
    params.protocol = KORVEL_PROTOCOL_TCP;
    params.txBufferSize = 256;
    params.rxBufferSize = 256;
    params.connectTimeout = 1000;
    params.shutdownTimeout = 1000;
    status = KORVEL_Initialize(&instance, &params, NULL, 0);
    printf("KORVEL_Initialize(%s:%lu) -> status %u, instance %d\n", address, port, status,
           instance);
    if (status == KORVEL_OK) printf("KORVEL_Shutdown -> status %u\n", KORVEL_Shutdown(instance));
    return 0;
}
