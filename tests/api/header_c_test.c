/* A C program built against the public header and linked the ordinary way
 * (the import library on Windows): the header is valid C, and a linked call
 * reaches the library and reads its version. */
#include "korvel32.h"

int main(void) {
    VersionInfo v = {0, 0, 0, 0, 0};
    if (KORVEL_GetVersion(&v) != KORVEL_OK) return 1;
    return v.major == 2 && v.minor == 0 && v.release == 9 && v.build == 1 ? 0 : 2;
}
