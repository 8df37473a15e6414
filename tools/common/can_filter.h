// candump's receive filters, given behind an address:
//
//   <id>:<mask>   passes a frame when  frame_id & mask == id & mask
//   <id>~<mask>   passes a frame when  frame_id & mask != id & mask
//   ~<id>:<mask>  the same inverted filter, another spelling
//   j or J        join: a frame must pass every filter (default: any)
//
// <id> and <mask> are 1 to 8 hex digits. frame_id carries the flag bits of
// Linux SocketCAN: 0x80000000 for an extended and 0x40000000 for a remote
// frame, so "123:7FF" passes standard and extended frames whose low 11 bits
// are 123, while "123:C00007FF" passes standard data frames 123 only. An
// <id> of 8 digits sets the extended flag, so "12345678:DFFFFFFF" passes the
// extended data frame 12345678 only. Without filters every frame passes.
//
// Examples:  123:7FF   400:700   200~7F0   ~200:700   12345678:DFFFFFFF   j
#ifndef KORVEL_TOOLS_CAN_FILTER_H
#define KORVEL_TOOLS_CAN_FILTER_H

#include "korvel32.h"

#include <cstdint>
#include <vector>

enum CanFilterStatus {
    CAN_FILTER_OK = 0,
    CAN_FILTER_ERR_SYNTAX,      // not <id>:<mask>, <id>~<mask>, ~<id>:<mask> or j
    CAN_FILTER_ERR_ERROR_FRAME, // "#<mask>": error frames are not carried
};

// A readable sentence for a CanFilterStatus (never null).
const char *CanFilterStatusText(int status);

struct CanFilter {
    uint32_t id; // with the SocketCAN flag bits
    uint32_t mask;
    bool inverted;
};

class CanFilterSet {
  public:
    // Adds one filter item; returns a CanFilterStatus and adds nothing on failure.
    int Add(const char *text);
    bool Matches(const CanMsg &msg) const;
    bool Empty() const { return m_filters.empty(); }

  private:
    std::vector<CanFilter> m_filters;
    bool m_join = false;
};

#endif
