#include "api/status_map.h"

#include "korvel32.h"

// PROCESS_ERR_UNKNOWN and values outside the set are unexpected.
uint32_t MapProcessStatus(ProcessStatus processStatus) {
    switch (processStatus) {
    case PROCESS_OK:
        return KORVEL_OK;
    case PROCESS_ERR_CONNECTION:
        return KORVEL_ERR_CONNECTION;
    case PROCESS_ERR_DISCONNECT:
        return KORVEL_ERR_DISCONNECT;
    case PROCESS_ERR_RESOURCE:
        return KORVEL_ERR_RESOURCE;
    case PROCESS_ERR_NULL_POINTER:
        return KORVEL_ERR_NULL_POINTER;
    case PROCESS_ERR_PROTOCOL:
        return KORVEL_ERR_ILLEGAL_PARAMETER;
    case PROCESS_ERR_TX_BUFFER_FULL:
        return KORVEL_ERR_TX_BUFFER_FULL;
    case PROCESS_ERR_RX_BUFFER_FULL:
        return KORVEL_ERR_RX_BUFFER_OVERRUN;
    case PROCESS_ERR_EMPTY:
    case PROCESS_ERR_NO_FRAME:
        return KORVEL_ERR_NO_MESSAGE;
    case PROCESS_ERR_OUT_OF_MEMORY:
        return KORVEL_ERR_OUT_OF_MEMORY;
    case PROCESS_ERR_SEND:
        return KORVEL_ERR_SEND;
    case PROCESS_ERR_RECEIVE:
        return KORVEL_ERR_RECEIVE;
    case PROCESS_ERR_UNKNOWN:
        return KORVEL_ERR_UNKNOWN;
    }
    return KORVEL_ERR_UNKNOWN;
}
