// Engine status values: the result of every engine and codec operation that
// can fail. MapTransportStatus (engine/) makes them of socket results, and
// MapProcessStatus (api/) turns them into the public status codes.
#pragma once

#include <cstdint>

enum class ProcessStatus : uint32_t {
    PROCESS_OK = 0,
    PROCESS_ERR_CONNECTION = 1,   // socket not opened or connection not started
    PROCESS_ERR_DISCONNECT = 2,   // no socket, or it could not be closed
    PROCESS_ERR_RESOURCE = 3,     // no memory for the socket or a thread object
    PROCESS_ERR_NULL_POINTER = 4, // a required pointer argument is null
    PROCESS_ERR_PROTOCOL = 5, // InitParams.protocol is not TCP, or a record the wire cannot carry
    PROCESS_ERR_TX_BUFFER_FULL = 6,
    PROCESS_ERR_RX_BUFFER_FULL = 7,
    PROCESS_ERR_EMPTY = 8,         // buffer empty, nothing to do
    PROCESS_ERR_OUT_OF_MEMORY = 9, // no memory for a message record or a chunk
    PROCESS_ERR_SEND = 10,
    PROCESS_ERR_RECEIVE = 11,
    PROCESS_ERR_NO_FRAME = 12, // no complete frame in the received data
    PROCESS_ERR_UNKNOWN = 13,  // any other socket result
};

// The values by their plain names, as the code writes them.
constexpr ProcessStatus PROCESS_OK = ProcessStatus::PROCESS_OK;
constexpr ProcessStatus PROCESS_ERR_CONNECTION = ProcessStatus::PROCESS_ERR_CONNECTION;
constexpr ProcessStatus PROCESS_ERR_DISCONNECT = ProcessStatus::PROCESS_ERR_DISCONNECT;
constexpr ProcessStatus PROCESS_ERR_RESOURCE = ProcessStatus::PROCESS_ERR_RESOURCE;
constexpr ProcessStatus PROCESS_ERR_NULL_POINTER = ProcessStatus::PROCESS_ERR_NULL_POINTER;
constexpr ProcessStatus PROCESS_ERR_PROTOCOL = ProcessStatus::PROCESS_ERR_PROTOCOL;
constexpr ProcessStatus PROCESS_ERR_TX_BUFFER_FULL = ProcessStatus::PROCESS_ERR_TX_BUFFER_FULL;
constexpr ProcessStatus PROCESS_ERR_RX_BUFFER_FULL = ProcessStatus::PROCESS_ERR_RX_BUFFER_FULL;
constexpr ProcessStatus PROCESS_ERR_EMPTY = ProcessStatus::PROCESS_ERR_EMPTY;
constexpr ProcessStatus PROCESS_ERR_OUT_OF_MEMORY = ProcessStatus::PROCESS_ERR_OUT_OF_MEMORY;
constexpr ProcessStatus PROCESS_ERR_SEND = ProcessStatus::PROCESS_ERR_SEND;
constexpr ProcessStatus PROCESS_ERR_RECEIVE = ProcessStatus::PROCESS_ERR_RECEIVE;
constexpr ProcessStatus PROCESS_ERR_NO_FRAME = ProcessStatus::PROCESS_ERR_NO_FRAME;
constexpr ProcessStatus PROCESS_ERR_UNKNOWN = ProcessStatus::PROCESS_ERR_UNKNOWN;
