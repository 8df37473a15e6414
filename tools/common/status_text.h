// Names and readable texts of the library's public values, for tool output.
#ifndef KORVEL_TOOLS_STATUS_TEXT_H
#define KORVEL_TOOLS_STATUS_TEXT_H

#include "korvel32.h"

// "KORVEL_ERR_CONNECTION"; "unknown status" for a value the header does not define.
const char *KorvelStatusName(uint32_t status);
// "connection not established or not there"; never null.
const char *KorvelStatusText(uint32_t status);
// "connected", "closed by peer", ... for KORVEL_CONN_* values; never null.
const char *KorvelConnectionStateText(uint32_t state);

#endif
