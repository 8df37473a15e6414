#include "engine/transport_status.h"

#include "base/process_status.h"

uint32_t MapTransportStatus(uint32_t socketResult) {
    // Indexed by socket result; results past the end are unexpected.
    static const uint32_t kEngineStatus[] = {
        PROCESS_OK,               // 0 WSOCK_OK
        PROCESS_ERR_EMPTY,        // 1 WSOCK_EMPTY
        PROCESS_OK,               // 2 WSOCK_PENDING
        PROCESS_OK,               // 3 WSOCK_CLOSED_BY_PEER
        PROCESS_ERR_UNKNOWN,      // 4
        PROCESS_ERR_NULL_POINTER, // 5 WSOCK_ERR_NULL_POINTER
        PROCESS_ERR_UNKNOWN,      // 6
        PROCESS_ERR_CONNECTION,   // 7 WSOCK_ERR_CREATE
        PROCESS_ERR_CONNECTION,   // 8 WSOCK_ERR_CONNECT
        PROCESS_ERR_DISCONNECT,   // 9 WSOCK_ERR_NETWORK
        PROCESS_ERR_SEND,         // 10 WSOCK_ERR_SEND
        PROCESS_ERR_RECEIVE,      // 11 WSOCK_ERR_RECEIVE
        PROCESS_ERR_UNKNOWN,      // 12
        PROCESS_ERR_CONNECTION,   // 13 WSOCK_ERR_NOT_CONNECTED
        PROCESS_ERR_CONNECTION,   // 14 WSOCK_ERR_NO_SOCKET
    };
    const uint32_t count = sizeof(kEngineStatus) / sizeof(kEngineStatus[0]);
    return socketResult < count ? kEngineStatus[socketResult] : PROCESS_ERR_UNKNOWN;
}
