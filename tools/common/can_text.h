// Text forms of CAN messages that CAN engineers know from the Linux can-utils:
// the cansend argument syntax, candump's screen lines and candump's log lines.
// Shared by the command-line tools; independent of the library's own code.
//
// Every parser zeroes its output first and returns a CanTextStatus; the
// output is meaningful only with CAN_TEXT_OK. CanTextStatusText() gives a
// message for each status that a tool can print as it is.
#ifndef KORVEL_TOOLS_CAN_TEXT_H
#define KORVEL_TOOLS_CAN_TEXT_H

#include "korvel32.h"

#include <cstddef>
#include <cstdint>
#include <string>

enum CanTextStatus {
    CAN_TEXT_OK = 0,
    CAN_TEXT_ERR_EMPTY,       // nothing to parse
    CAN_TEXT_ERR_IDENTIFIER,  // no identifier, not hexadecimal, more than 8 digits
    CAN_TEXT_ERR_RANGE,       // identifier above 0x7FF (standard) or 0x1FFFFFFF (extended)
    CAN_TEXT_ERR_SEPARATOR,   // no '#' behind the identifier
    CAN_TEXT_ERR_DATA,        // data not in whole hexadecimal bytes, misplaced '.'
    CAN_TEXT_ERR_TOO_LONG,    // more than 8 data bytes
    CAN_TEXT_ERR_REMOTE,      // 'R' followed by anything but one length digit 0 to 8
    CAN_TEXT_ERR_FD,          // "##": CAN FD frames are not carried
    CAN_TEXT_ERR_ERROR_FRAME, // 8-digit identifier with 0x20000000 (SocketCAN's error flag)
    CAN_TEXT_ERR_TIMESTAMP,   // log line: no "(seconds.microseconds)" in front
    CAN_TEXT_ERR_INTERFACE,   // log line: no interface name, or one too long
};

// A readable sentence for a CanTextStatus (never null).
const char *CanTextStatusText(int status);

// The cansend grammar, one frame per argument:
//
//   <id>#<data>      data frame; <data> is 0 to 8 bytes of two hex digits,
//                    optionally separated by '.' between bytes
//   <id>#R[<len>]    remote frame with data length <len> (0 to 8, default 0)
//
//   <id> is 1 to 3 hex digits for a standard (11-bit) identifier, 4 to 8 hex
//   digits for an extended (29-bit) one. Hex digits may be either case.
//   candump writes error frames as 8 digits with bit 0x20000000 set
//   ("20000080#..."); they are refused with CAN_TEXT_ERR_ERROR_FRAME.
//
// Examples:  123#DEADBEEF   5A1#11.2233.44556677.88   12345678#   123#R   123#R7
//
// Returns CAN_TEXT_OK and fills *msg (flags KORVEL_MSGFLAG_EXT / _RTR).
int ParseCanSend(const char *text, CanMsg *msg);

// The cansend form of msg ("123#DEADBEEF", "12345678#R3"); the inverse of
// ParseCanSend. Identifiers: 3 digits standard, 8 digits extended, upper case.
std::string FormatCanSend(const CanMsg &msg);

// One candump screen line, without line end: a blank, the time stamp with
// its trailing blank (may be empty), a blank, the interface name, two blanks
// and the frame:
//   "  korvel0  123   [4]  DE AD BE EF"
//   "  korvel0  12345678   [2]  remote request"
//   " (1796595664.029477)  korvel0  123   [4]  DE AD BE EF"
// Extended identifiers are printed with 8 digits, standard ones with 3.
std::string FormatCandumpLine(const CanMsg &msg, const char *interfaceName,
                              const std::string &stamp = std::string());

// One line of a candump log file: "(1436509052.249713) can0 123#DEADBEEF".
struct CanLogRecord {
    int64_t seconds; // wall-clock time of the frame
    uint32_t micros; // 0 to 999999
    char interfaceName[32];
    CanMsg msg;
};

// The log line of record, without line end. Microseconds are printed with 6 digits.
std::string FormatCandumpLog(const CanLogRecord &record);

// Parses one log line (a trailing line end is allowed). Fields are separated
// by one or more blanks; the frame is in cansend syntax.
int ParseCandumpLog(const char *line, CanLogRecord *record);

#endif
