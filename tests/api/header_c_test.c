/* A C program built against the public header and linked the ordinary way
 * (the import library on Windows): the header is valid C and the linked
 * calls reach the library. */
#include "korvel32.h"

#include <stdio.h>

int main(void) {
    VersionInfo v = {0, 0, 0, 0, 0};
    int32_t instance = 0;
    uint16_t state = 0;
    if (KORVEL_GetVersion(&v) != KORVEL_OK) return 1;
    printf("KORVEL32 %u.%u.%u.%u\n", v.major, v.minor, v.release, v.build);
    if (v.major != 2 || v.minor != 0 || v.release != 9 || v.build != 1) return 2;
    if (KORVEL_Initialize(&instance, NULL, NULL, 0) != KORVEL_ERR_NULL_POINTER) return 3;
    if (KORVEL_GetCanState(1, &state) != KORVEL_ERR_ILLEGAL_INSTANCE) return 4;
    return 0;
}
