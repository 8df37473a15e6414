/* korvel-example: the smallest complete application of the library. It
 * opens one instance in polling mode, writes a few CAN messages, reads
 * messages until its own have come back from the gateway, prints what it
 * sent and received, and closes the instance.
 *
 * usage: korvel-example [-h|--help] [HOST[:PORT]]   (default 127.0.0.1:29536)
 *
 * Against a gateway that echoes (korvel-gateway -e sender) the messages come
 * back ("echoed"); any other message the gateway sends meanwhile is printed
 * as "received".
 * Exit status: 0 when all messages came back, 1 otherwise. */
#include "korvel32.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void SleepMs(unsigned ms) {
    struct timespec pause = {0, (long)ms * 1000000L};
    nanosleep(&pause, NULL);
}
#endif

#define SENT_COUNT 4
#define READ_WAIT_MS 3000

static void PrintMsg(const char *what, const CanMsg *msg) {
    int i;
    printf("korvel-example: %-8s id 0x%0*X %s", what, (msg->flags & KORVEL_MSGFLAG_EXT) ? 8 : 3,
           (unsigned)msg->id, (msg->flags & KORVEL_MSGFLAG_EXT) ? "ext" : "std");
    printf(" [%u]", (unsigned)msg->length);
    if (msg->flags & KORVEL_MSGFLAG_RTR)
        printf(" remote request");
    else
        for (i = 0; i < msg->length && i < 8; ++i)
            printf(" %02X", msg->data[i]);
    if (strcmp(what, "sent") != 0) printf("  (stamp %u ms)", (unsigned)msg->timestamp);
    printf("\n");
}

static CanMsg MakeMsg(uint32_t id, uint8_t flags, uint8_t length, const char *data) {
    CanMsg msg;
    memset(&msg, 0, sizeof(msg));
    msg.id = id;
    msg.flags = flags;
    msg.length = length;
    if (data != NULL) memcpy(msg.data, data, length);
    return msg;
}

/* Whether msg is one of ours that has not come back yet; marks it. */
static int TakeOwn(const CanMsg *sent, int *back, const CanMsg *msg) {
    int i;
    for (i = 0; i < SENT_COUNT; ++i) {
        if (back[i] || sent[i].id != msg->id || sent[i].flags != msg->flags ||
            sent[i].length != msg->length)
            continue;
        if (!(msg->flags & KORVEL_MSGFLAG_RTR) && memcmp(sent[i].data, msg->data, msg->length))
            continue;
        back[i] = 1;
        return 1;
    }
    return 0;
}

/* Reads and prints messages until all of ours are back or the wait ends;
 * returns how many came back. */
static int ReadBack(int32_t instance, const CanMsg *sent) {
    int back[SENT_COUNT] = {0};
    int count = 0, waited;
    for (waited = 0; count < SENT_COUNT && waited < READ_WAIT_MS; ++waited) {
        CanMsg msg;
        uint32_t read = 0;
        uint32_t status = KORVEL_ReadCanMsg(instance, &msg, 1, &read);
        if (status == KORVEL_ERR_NO_MESSAGE) {
            SleepMs(1);
            continue;
        }
        if (status != KORVEL_OK) {
            printf("korvel-example: KORVEL_ReadCanMsg -> status %u\n", status);
            break;
        }
        if (TakeOwn(sent, back, &msg)) {
            ++count;
            PrintMsg("echoed", &msg);
        } else {
            PrintMsg("received", &msg);
        }
    }
    return count;
}

static const char kUsage[] =
    "usage: korvel-example [-h|--help] [HOST[:PORT]]   (default 127.0.0.1:29536)\n"
    "Opens an instance in polling mode, writes four CAN messages, reads until they\n"
    "have come back from the gateway and closes the instance. Run it against an\n"
    "echoing gateway, e.g. korvel-gateway -e sender.\n"
    "Exit status: 0 when all messages came back, 1 otherwise, 2 for a bad argument.\n";

/* "HOST" or "HOST:PORT" into params. */
static int SetAddress(InitParams *params, const char *text) {
    const char *colon = strchr(text, ':');
    size_t length = colon != NULL ? (size_t)(colon - text) : strlen(text);
    unsigned long port = colon != NULL ? strtoul(colon + 1, NULL, 10) : 29536;
    if (length == 0 || length >= sizeof(params->ipAddress) || port == 0 || port > 65535) return 0;
    memcpy(params->ipAddress, text, length);
    params->port = (uint16_t)port;
    return 1;
}

int main(int argc, char **argv) {
    CanMsg sent[SENT_COUNT];
    VersionInfo version;
    InitParams params;
    int32_t instance = 0;
    uint32_t status, written = 0;
    int i, back;

    sent[0] = MakeMsg(0x123, 0, 4, "\xDE\xAD\xBE\xEF");
    sent[1] = MakeMsg(0x5A1, 0, 8, "\x11\x22\x33\x44\x55\x66\x77\x88");
    sent[2] = MakeMsg(0x12345678, KORVEL_MSGFLAG_EXT, 2, "\x01\x02");
    sent[3] = MakeMsg(0x7DF, KORVEL_MSGFLAG_RTR, 3, NULL);

    memset(&params, 0, sizeof(params));
    params.size = sizeof(params);
    params.protocol = KORVEL_PROTOCOL_TCP;
    params.txBufferSize = 64;
    params.rxBufferSize = 1024;
    params.connectTimeout = 2000;
    params.shutdownTimeout = 1000;
    if (argc > 1 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 2 || (argc > 1 && argv[1][0] == '-') ||
        !SetAddress(&params, argc > 1 ? argv[1] : "127.0.0.1")) {
        fputs(kUsage, stderr);
        return 2;
    }

    if (KORVEL_GetVersion(&version) == KORVEL_OK)
        printf("korvel-example: KORVEL32 %u.%u.%u.%u\n", version.major, version.minor,
               version.release, version.build);
    status = KORVEL_Initialize(&instance, &params, NULL, 0);
    printf("korvel-example: KORVEL_Initialize(%s:%u) -> status %u, instance %d\n", params.ipAddress,
           (unsigned)params.port, status, instance);
    if (status != KORVEL_OK) return 1;

    status = KORVEL_WriteCanMsg(instance, sent, SENT_COUNT, &written);
    printf("korvel-example: KORVEL_WriteCanMsg(%d messages) -> status %u, %u written\n", SENT_COUNT,
           status, written);
    for (i = 0; i < (int)written; ++i)
        PrintMsg("sent", &sent[i]);
    back = ReadBack(instance, sent);
    printf("korvel-example: %d of %u messages came back\n", back, written);

    status = KORVEL_Shutdown(instance);
    printf("korvel-example: KORVEL_Shutdown -> status %u\n", status);
    return back == SENT_COUNT && status == KORVEL_OK ? 0 : 1;
}
