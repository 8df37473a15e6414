// candump's receive filters; the grammar is in can_filter.h.
#include "can_filter.h"

#include <cstring>

namespace {

constexpr uint32_t kEffFlag = 0x80000000u; // SocketCAN's extended frame flag
constexpr uint32_t kRtrFlag = 0x40000000u; // SocketCAN's remote frame flag
constexpr uint32_t kErrFlag = 0x20000000u; // SocketCAN's error frame flag, never in a mask
constexpr uint32_t kIdBits = 0x1FFFFFFFu;
constexpr size_t kExtendedDigits = 8;

// 1 to 8 hex digits up to `stop`; *end points at the stop character.
bool ReadHex(const char *p, char stop, uint32_t *value, size_t *digits, const char **end) {
    uint32_t v = 0;
    size_t n = 0;
    for (; *p != stop; ++p, ++n) {
        char c = *p;
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0 || n == kExtendedDigits) return false;
        v = v * 16 + (uint32_t)d;
    }
    if (n == 0) return false;
    *value = v;
    *digits = n;
    *end = p;
    return true;
}

uint32_t SocketCanId(const CanMsg &msg) {
    uint32_t id = msg.id & kIdBits;
    if (msg.flags & KORVEL_MSGFLAG_EXT) id |= kEffFlag;
    if (msg.flags & KORVEL_MSGFLAG_RTR) id |= kRtrFlag;
    return id;
}

} // namespace

const char *CanFilterStatusText(int status) {
    switch (status) {
    case CAN_FILTER_OK:
        return "no error";
    case CAN_FILTER_ERR_SYNTAX:
        return "a filter is <id>:<mask>, <id>~<mask> or ~<id>:<mask> with 1 to 8 hex digits "
               "each, or j to join the filters";
    case CAN_FILTER_ERR_ERROR_FRAME:
        return "error frames cannot be carried by the gateway: no error frame filter";
    }
    return "unknown error";
}

int CanFilterSet::Add(const char *text) {
    if (std::strcmp(text, "j") == 0 || std::strcmp(text, "J") == 0) {
        m_join = true;
        return CAN_FILTER_OK;
    }
    if (text[0] == '#') return CAN_FILTER_ERR_ERROR_FRAME;
    CanFilter filter = {};
    if (text[0] == '~') filter.inverted = true;
    const char *p = text + (filter.inverted ? 1 : 0);
    const char *separator = std::strpbrk(p, filter.inverted ? ":" : ":~");
    if (separator == nullptr) return CAN_FILTER_ERR_SYNTAX;
    if (*separator == '~') filter.inverted = true;
    size_t idDigits = 0, maskDigits = 0;
    const char *end = nullptr;
    if (!ReadHex(p, *separator, &filter.id, &idDigits, &end) ||
        !ReadHex(end + 1, '\0', &filter.mask, &maskDigits, &end))
        return CAN_FILTER_ERR_SYNTAX;
    if (idDigits == kExtendedDigits) filter.id |= kEffFlag;
    filter.mask &= ~kErrFlag;
    m_filters.push_back(filter);
    return CAN_FILTER_OK;
}

bool CanFilterSet::Matches(const CanMsg &msg) const {
    if (m_filters.empty()) return true;
    uint32_t id = SocketCanId(msg);
    for (const CanFilter &f : m_filters) {
        bool pass = ((id & f.mask) == (f.id & f.mask)) != f.inverted;
        if (pass && !m_join) return true;
        if (!pass && m_join) return false;
    }
    return m_join;
}
