#include "api/status_map.h"

#include "base/process_status.h"
#include "korvel32.h"

uint32_t MapProcessStatus(uint32_t processStatus) {
    static const uint32_t kPublic[] = {
        KORVEL_OK,                    // PROCESS_OK
        KORVEL_ERR_CONNECTION,        // PROCESS_ERR_CONNECTION
        KORVEL_ERR_DISCONNECT,        // PROCESS_ERR_DISCONNECT
        KORVEL_ERR_RESOURCE,          // PROCESS_ERR_RESOURCE
        KORVEL_ERR_NULL_POINTER,      // PROCESS_ERR_NULL_POINTER
        KORVEL_ERR_ILLEGAL_PARAMETER, // PROCESS_ERR_PROTOCOL
        KORVEL_ERR_TX_BUFFER_FULL,    // PROCESS_ERR_TX_BUFFER_FULL
        KORVEL_ERR_RX_BUFFER_OVERRUN, // PROCESS_ERR_RX_BUFFER_FULL
        KORVEL_ERR_NO_MESSAGE,        // PROCESS_ERR_EMPTY
        KORVEL_ERR_OUT_OF_MEMORY,     // PROCESS_ERR_OUT_OF_MEMORY
        KORVEL_ERR_SEND,              // PROCESS_ERR_SEND
        KORVEL_ERR_RECEIVE,           // PROCESS_ERR_RECEIVE
        KORVEL_ERR_NO_MESSAGE,        // PROCESS_ERR_NO_FRAME
    };
    const uint32_t count = sizeof(kPublic) / sizeof(kPublic[0]);
    return processStatus < count ? kPublic[processStatus] : KORVEL_ERR_UNKNOWN;
}
