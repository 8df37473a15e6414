// One table per value set, in the order of korvel32.h.
#include "status_text.h"

#include <cstddef>

namespace {

struct Entry {
    uint32_t value;
    const char *name;
    const char *text;
};

const Entry kStatus[] = {
    {KORVEL_OK, "KORVEL_OK", "success"},
    {KORVEL_ERR_NULL_POINTER, "KORVEL_ERR_NULL_POINTER", "a required pointer argument is null"},
    {KORVEL_ERR_ILLEGAL_PARAMETER, "KORVEL_ERR_ILLEGAL_PARAMETER", "illegal parameter"},
    {KORVEL_ERR_ILLEGAL_INSTANCE, "KORVEL_ERR_ILLEGAL_INSTANCE",
     "instance number out of range or not open"},
    {KORVEL_ERR_UNKNOWN, "KORVEL_ERR_UNKNOWN", "unexpected internal result"},
    {KORVEL_ERR_CONNECTION, "KORVEL_ERR_CONNECTION", "connection not established or not there"},
    {KORVEL_ERR_DISCONNECT, "KORVEL_ERR_DISCONNECT", "closing the connection failed or timed out"},
    {KORVEL_ERR_NO_FREE_INSTANCE, "KORVEL_ERR_NO_FREE_INSTANCE", "every instance number is in use"},
    {KORVEL_ERR_RESOURCE, "KORVEL_ERR_RESOURCE",
     "out of objects, transport, threads or version data"},
    {KORVEL_ERR_TX_BUFFER_FULL, "KORVEL_ERR_TX_BUFFER_FULL", "the transmit buffer is full"},
    {KORVEL_ERR_RX_BUFFER_OVERRUN, "KORVEL_ERR_RX_BUFFER_OVERRUN",
     "a received message was dropped: receive buffer full"},
    {KORVEL_ERR_NO_MESSAGE, "KORVEL_ERR_NO_MESSAGE", "no message"},
    {KORVEL_ERR_OUT_OF_MEMORY, "KORVEL_ERR_OUT_OF_MEMORY", "out of memory"},
    {KORVEL_ERR_SEND, "KORVEL_ERR_SEND", "the socket reported a send error"},
    {KORVEL_ERR_RECEIVE, "KORVEL_ERR_RECEIVE", "the socket reported a receive error"},
};

const Entry kConnection[] = {
    {KORVEL_CONN_CLOSED, "KORVEL_CONN_CLOSED", "closed"},
    {KORVEL_CONN_CREATED, "KORVEL_CONN_CREATED", "socket created"},
    {KORVEL_CONN_CONNECTING, "KORVEL_CONN_CONNECTING", "connecting"},
    {KORVEL_CONN_CONNECTED, "KORVEL_CONN_CONNECTED", "connected"},
    {KORVEL_CONN_CLOSED_BY_PEER, "KORVEL_CONN_CLOSED_BY_PEER", "closed by the gateway"},
    {KORVEL_CONN_LOST, "KORVEL_CONN_LOST", "connection lost"},
};

template <size_t N> const Entry *Find(const Entry (&table)[N], uint32_t value) {
    for (const Entry &entry : table)
        if (entry.value == value) return &entry;
    return nullptr;
}

} // namespace

const char *KorvelStatusName(uint32_t status) {
    const Entry *entry = Find(kStatus, status);
    return entry != nullptr ? entry->name : "unknown status";
}

const char *KorvelStatusText(uint32_t status) {
    const Entry *entry = Find(kStatus, status);
    return entry != nullptr ? entry->text : "unknown status";
}

const char *KorvelConnectionStateText(uint32_t state) {
    const Entry *entry = Find(kConnection, state);
    return entry != nullptr ? entry->text : "unknown connection state";
}
