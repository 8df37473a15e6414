// One table per value set, in the order of korvel32.h.
#include "status_text.h"

#include <cstddef>

namespace {

struct Entry {
    uint32_t value;
    const char *name;
    const char *text;
};

// The names and texts of the public header's status lines, gathered at
// build time by cmake/status_table.cmake.
const Entry kStatus[] = {
#include "korvel_status_table.inc"
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
