#include "engine/process_data.h"

// Results that the engine never sees (WSOCK_ERR_STATE, WSOCK_ERR_EXCEPTION,
// WSOCK_ERR_STARTUP, WSOCK_ERR_OUT_OF_MEMORY, WSOCK_ERR_FAILED) and values
// outside the set are unexpected.
ProcessStatus MapTransportStatus(WSockResult socketResult) {
    switch (socketResult) {
    case WSOCK_OK:
    case WSOCK_PENDING:
    case WSOCK_CLOSED_BY_PEER:
        return PROCESS_OK;
    case WSOCK_EMPTY:
        return PROCESS_ERR_EMPTY;
    case WSOCK_ERR_NULL_POINTER:
        return PROCESS_ERR_NULL_POINTER;
    case WSOCK_ERR_CREATE:
    case WSOCK_ERR_CONNECT:
    case WSOCK_ERR_NOT_CONNECTED:
    case WSOCK_ERR_NO_SOCKET:
        return PROCESS_ERR_CONNECTION;
    case WSOCK_ERR_NETWORK:
        return PROCESS_ERR_DISCONNECT;
    case WSOCK_ERR_SEND:
        return PROCESS_ERR_SEND;
    case WSOCK_ERR_RECEIVE:
        return PROCESS_ERR_RECEIVE;
    case WSOCK_ERR_STATE:
    case WSOCK_ERR_EXCEPTION:
    case WSOCK_ERR_STARTUP:
    case WSOCK_ERR_OUT_OF_MEMORY:
    case WSOCK_ERR_FAILED:
        return PROCESS_ERR_UNKNOWN;
    }
    return PROCESS_ERR_UNKNOWN;
}
