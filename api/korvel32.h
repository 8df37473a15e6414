/*
 * KORVEL32 - CAN bus over an IP gateway.
 *
 * Public interface of KORVEL32.dll (Windows) and libkorvel32.so (Linux).
 * Usable from C and C++. All records have a fixed binary layout: 32-bit
 * little-endian fields on natural boundaries, pinned by the checks at the
 * end of this file.
 *
 * Calling convention: the exported functions and the EventCallback use
 * __stdcall (the Windows API convention) on 32-bit Windows and the platform's
 * default convention everywhere else (KORVEL_CALL).
 *
 * Threads: every exported function may be called from any thread; the
 * library runs at most one of them at a time in the whole process.
 */
#ifndef KORVEL32_H
#define KORVEL32_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define KORVEL_CALL __stdcall
#else
#define KORVEL_CALL
#endif

/* The Windows DLL exports by its module-definition file; elsewhere the
 * eleven functions are the only symbols the library makes visible. */
#if !defined(_WIN32) && defined(__GNUC__)
#define KORVEL_API __attribute__((visibility("default")))
#else
#define KORVEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Public status codes: the result of every exported function. ----
 * One line each: name, value and, as its comment, the text that the tools
 * print for it. The Python binding is checked against these lines. */
#define KORVEL_OK 0u                     /* success */
#define KORVEL_ERR_NULL_POINTER 1u       /* a required pointer argument is null */
#define KORVEL_ERR_ILLEGAL_PARAMETER 2u  /* InitParams.size below 44, count 0 or length above 8 */
#define KORVEL_ERR_ILLEGAL_INSTANCE 3u   /* instance number out of range or not open */
#define KORVEL_ERR_UNKNOWN 4u            /* an unexpected internal result */
#define KORVEL_ERR_CONNECTION 7u         /* connection not established or not there */
#define KORVEL_ERR_DISCONNECT 8u         /* closing the connection failed or timed out */
#define KORVEL_ERR_NO_FREE_INSTANCE 10u  /* every instance number is in use */
#define KORVEL_ERR_RESOURCE 11u          /* out of objects, transport, threads or version data */
#define KORVEL_ERR_TX_BUFFER_FULL 12u    /* the transmit buffer is full */
#define KORVEL_ERR_RX_BUFFER_OVERRUN 13u /* a received message was dropped: receive buffer full */
#define KORVEL_ERR_NO_MESSAGE 14u        /* the first read attempt found no message */
#define KORVEL_ERR_OUT_OF_MEMORY 15u     /* no memory for the copy of a message */
#define KORVEL_ERR_SEND 16u              /* the socket reported a send error */
#define KORVEL_ERR_RECEIVE 17u           /* the socket reported a receive error */

/* ---- CanMsg.flags ---- */
#define KORVEL_MSGFLAG_RTR 0x01u /* remote frame (else data frame) */
#define KORVEL_MSGFLAG_EXT 0x02u /* extended 29-bit identifier (else standard) */

/* ---- CanState bits (KORVEL_GetCanState) ---- */
#define KORVEL_CANSTATE_RX_OVERRUN 0x0001u /* a received message was dropped; kept until reset */
#define KORVEL_CANSTATE_TX_OVERRUN 0x0002u /* a write found the buffer full; kept until reset */
#define KORVEL_CANSTATE_RX_EMPTY 0x0004u   /* a read found the receive buffer empty */
#define KORVEL_CANSTATE_TX_EMPTY 0x0008u   /* the transmit side found nothing to send */

/* ---- KORVEL_ResetCan flags, carried out in this order ---- */
#define KORVEL_RESET_CANSTATE 0x01u  /* CanState word to 0 */
#define KORVEL_RESET_TX_BUFFER 0x02u /* discard the transmit buffer */
#define KORVEL_RESET_RX_BUFFER 0x04u /* discard the receive buffer */
#define KORVEL_RESET_SOCKET_RX 0x08u /* discard received network data not yet parsed */
#define KORVEL_RESET_SOCKET_TX 0x10u /* discard network data not yet sent */

/* ---- ConnectionState (KORVEL_GetConnectionState) ---- */
#define KORVEL_CONN_CLOSED 0u         /* no open socket */
#define KORVEL_CONN_CREATED 1u        /* socket created, no connect issued */
#define KORVEL_CONN_CONNECTING 3u     /* connect in progress (also after a failed attempt) */
#define KORVEL_CONN_CONNECTED 4u      /* connected to the gateway */
#define KORVEL_CONN_CLOSED_BY_PEER 5u /* the gateway closed an established connection */
#define KORVEL_CONN_LOST 7u /* the stream ended before it was established, or again after 5 */

/* ---- EventCallback event codes ---- */
#define EVENT_CONNECTED 0u     /* the connection to the gateway is established */
#define EVENT_MSG_RECEIVED 1u  /* messages are waiting in the receive buffer */
#define EVENT_STATE_CHANGED 2u /* the connection state changed to a value other than 0 or 4 */
#define EVENT_ERROR 3u         /* the socket reported a new error value */
#define EVENT_DISCONNECTED 4u  /* the connection state changed to 0 */

/* TCP is the only transport (InitParams.protocol). */
#define KORVEL_PROTOCOL_TCP 1u

/* One CAN message, 20 bytes. Always copied whole. */
typedef struct CanMsg {
    uint32_t id;     /* CAN identifier, sent as given (no masking) */
    uint8_t flags;   /* KORVEL_MSGFLAG_*; other bits are ignored */
    uint8_t length;  /* data length code, 0 to 8 */
    uint8_t data[8]; /* the first `length` bytes are meaningful */
    uint8_t reserved[2];
    uint32_t timestamp; /* received messages: millisecond clock at decoding */
} CanMsg;

/* Connection parameters of one instance, 44 bytes. The library keeps the
 * pointer: the record must stay valid until KORVEL_Shutdown has returned. */
typedef struct InitParams {
    uint32_t size;      /* bytes filled by the caller; at least 44 */
    char ipAddress[20]; /* gateway IPv4 address, dotted decimal, NUL-terminated */
    uint16_t port;      /* gateway TCP port, host byte order */
    uint8_t reserved[2];
    uint32_t protocol;        /* KORVEL_PROTOCOL_TCP; others fail with KORVEL_ERR_RESOURCE */
    uint16_t txBufferSize;    /* transmit buffer size in messages */
    uint16_t rxBufferSize;    /* receive buffer size in messages */
    uint32_t connectTimeout;  /* ms KORVEL_Initialize waits for the connection (polling mode) */
    uint32_t shutdownTimeout; /* ms KORVEL_Shutdown waits for the close (polling mode) */
} InitParams;

/* Buffer sizes and fill levels, filled by KORVEL_GetCanBufferInfo. */
typedef struct BufferInfo {
    uint32_t txBufferSize;
    uint32_t rxBufferSize;
    uint32_t txCount;
    uint32_t rxCount;
} BufferInfo;

/* Library version, filled by KORVEL_GetVersion; `reserved` is not written. */
typedef struct VersionInfo {
    uint8_t major;
    uint8_t minor;
    uint8_t release;
    uint8_t reserved;
    uint16_t build;
} VersionInfo;

/* Called on the instance's own thread with (instance number, EVENT_* code,
 * user value given to KORVEL_Initialize). Never called from inside an
 * exported function. It may call every exported function, even
 * KORVEL_Shutdown for its own instance.
 * It should not throw. On Linux and 64-bit Windows a C++ exception that
 * leaves it is caught on the instance's thread: later events are still
 * delivered, and the next exported call on the instance returns
 * KORVEL_ERR_UNKNOWN once. On 32-bit Windows an exception is not unwound
 * through the library's frames and ends the process, as on any thread. */
typedef void(KORVEL_CALL *EventCallback)(int32_t instance, uint32_t code, uint32_t userValue);

/* Discard buffers and state as selected by KORVEL_RESET_* flags (low 16 bits). */
KORVEL_API uint32_t KORVEL_CALL KORVEL_ResetCan(int32_t instance, uint32_t flags);
/* Buffer sizes and current fill levels. */
KORVEL_API uint32_t KORVEL_CALL KORVEL_GetCanBufferInfo(int32_t instance, BufferInfo *info);
/* The CanState word (KORVEL_CANSTATE_* bits). */
KORVEL_API uint32_t KORVEL_CALL KORVEL_GetCanState(int32_t instance, uint16_t *state);
/* The connection state (KORVEL_CONN_*). */
KORVEL_API uint32_t KORVEL_CALL KORVEL_GetConnectionState(int32_t instance, uint32_t *state);
/* The product version of the loaded library. Needs no open instance. */
KORVEL_API uint32_t KORVEL_CALL KORVEL_GetVersion(VersionInfo *version);
/* Opens an instance. Writes its number (1..MaxInstances, or -1 when none is
 * free) to *instance. With a callback the instance works in callback mode and
 * returns at once; without, it waits up to connectTimeout ms for the
 * connection. */
KORVEL_API uint32_t KORVEL_CALL KORVEL_Initialize(int32_t *instance, const InitParams *params,
                                                  EventCallback callback, uint32_t userValue);
/* Makes `count` attempts to read one message each into msgs[]; *read is the
 * number taken. KORVEL_ERR_NO_MESSAGE when the first attempt finds none:
 * messages that arrive during the later attempts are still taken, so always
 * use the *read first messages, whatever the status. Every attempt is made,
 * under the library's lock: pass the size of msgs[], not more. */
KORVEL_API uint32_t KORVEL_CALL KORVEL_ReadCanMsg(int32_t instance, CanMsg *msgs, uint32_t count,
                                                  uint32_t *read);
/* Accepted for every open instance; the two further arguments are unused. */
KORVEL_API uint32_t KORVEL_CALL KORVEL_RegisterCanMsg(int32_t instance, uint32_t unused1,
                                                      uint32_t unused2);
/* Clears every CanState bit set in the mask (low 16 bits). */
KORVEL_API uint32_t KORVEL_CALL KORVEL_ResetCanState(int32_t instance, uint32_t mask);
/* Closes the instance; its number is free afterwards, even on failure. */
KORVEL_API uint32_t KORVEL_CALL KORVEL_Shutdown(int32_t instance);
/* Queues msgs[0..count-1] in order until one is refused; *written is the
 * number accepted. A count of 0, or a record whose length is above 8, is
 * refused with KORVEL_ERR_ILLEGAL_PARAMETER. */
KORVEL_API uint32_t KORVEL_CALL KORVEL_WriteCanMsg(int32_t instance, const CanMsg *msgs,
                                                   uint32_t count, uint32_t *written);

#ifdef __cplusplus
}
#endif

/* ---- Binary layout checks (C and C++; one negative array size fails). ---- */
#include <stddef.h>
#define KORVEL_LAYOUT_CHECK(name, cond) typedef char korvel_layout_##name[(cond) ? 1 : -1]
KORVEL_LAYOUT_CHECK(canmsg_size, sizeof(CanMsg) == 20);
KORVEL_LAYOUT_CHECK(canmsg_id, offsetof(CanMsg, id) == 0);
KORVEL_LAYOUT_CHECK(canmsg_flags, offsetof(CanMsg, flags) == 4);
KORVEL_LAYOUT_CHECK(canmsg_length, offsetof(CanMsg, length) == 5);
KORVEL_LAYOUT_CHECK(canmsg_data, offsetof(CanMsg, data) == 6);
KORVEL_LAYOUT_CHECK(canmsg_reserved, offsetof(CanMsg, reserved) == 14);
KORVEL_LAYOUT_CHECK(canmsg_timestamp, offsetof(CanMsg, timestamp) == 16);
KORVEL_LAYOUT_CHECK(initparams_size, sizeof(InitParams) == 44);
KORVEL_LAYOUT_CHECK(initparams_size_field, offsetof(InitParams, size) == 0);
KORVEL_LAYOUT_CHECK(initparams_ip, offsetof(InitParams, ipAddress) == 4);
KORVEL_LAYOUT_CHECK(initparams_port, offsetof(InitParams, port) == 24);
KORVEL_LAYOUT_CHECK(initparams_reserved, offsetof(InitParams, reserved) == 26);
KORVEL_LAYOUT_CHECK(initparams_protocol, offsetof(InitParams, protocol) == 28);
KORVEL_LAYOUT_CHECK(initparams_txsize, offsetof(InitParams, txBufferSize) == 32);
KORVEL_LAYOUT_CHECK(initparams_rxsize, offsetof(InitParams, rxBufferSize) == 34);
KORVEL_LAYOUT_CHECK(initparams_connect, offsetof(InitParams, connectTimeout) == 36);
KORVEL_LAYOUT_CHECK(initparams_shutdown, offsetof(InitParams, shutdownTimeout) == 40);
KORVEL_LAYOUT_CHECK(bufferinfo_size, sizeof(BufferInfo) == 16);
KORVEL_LAYOUT_CHECK(bufferinfo_txsize, offsetof(BufferInfo, txBufferSize) == 0);
KORVEL_LAYOUT_CHECK(bufferinfo_rxsize, offsetof(BufferInfo, rxBufferSize) == 4);
KORVEL_LAYOUT_CHECK(bufferinfo_txcount, offsetof(BufferInfo, txCount) == 8);
KORVEL_LAYOUT_CHECK(bufferinfo_rxcount, offsetof(BufferInfo, rxCount) == 12);
KORVEL_LAYOUT_CHECK(versioninfo_size, sizeof(VersionInfo) == 6);
KORVEL_LAYOUT_CHECK(versioninfo_major, offsetof(VersionInfo, major) == 0);
KORVEL_LAYOUT_CHECK(versioninfo_minor, offsetof(VersionInfo, minor) == 1);
KORVEL_LAYOUT_CHECK(versioninfo_release, offsetof(VersionInfo, release) == 2);
KORVEL_LAYOUT_CHECK(versioninfo_reserved, offsetof(VersionInfo, reserved) == 3);
KORVEL_LAYOUT_CHECK(versioninfo_build, offsetof(VersionInfo, build) == 4);
#undef KORVEL_LAYOUT_CHECK

#endif /* KORVEL32_H */
