// The text frame of one CAN message, as sent to the gateway:
//
//   "$CAN" ";" format ";" kind ";" identifier ";" length ";" data-tokens "#"
//
//   format       "E" extended identifier (flag KORVEL_MSGFLAG_EXT), else "S"
//   kind         "R" remote frame (flag KORVEL_MSGFLAG_RTR), else "D"
//   identifier   "0x" and all 32 bits in lower-case hex, no leading zeros
//   length       "0x" and the data length in lower-case hex
//   data-tokens  data frames only: "0x" data[i] ";" for each data byte
//
// Examples:
//   "$CAN;S;D;0x123;0x3;0x1;0xab;0x0;#"   standard data frame, 3 bytes
//   "$CAN;E;R;0x18daf110;0x8;#"           extended remote frame, length 8
//   "$CAN;S;D;0x0;0x0;#"                  the shortest frame, 18 bytes
// The longest frame is 65 bytes (8-digit identifier, 8 two-digit bytes).
// Other flag bits and the time stamp do not travel.
#pragma once

#include "base/process_status.h"
#include "korvel32.h"

#include <cstdint>
#include <string>

// The most data bytes a CanMsg holds and a frame may carry.
constexpr uint8_t CODEC_MAX_DATA_LENGTH = 8;

// Appends the frame of record[0] to *out (what out held stays in front) and
// writes the new total length of *out (low 16 bits) to *outLength.
// Returns PROCESS_OK;
//   PROCESS_ERR_NULL_POINTER when record, out or outLength is null or count
//     is 0;
//   PROCESS_ERR_PROTOCOL (reported to the application as
//     KORVEL_ERR_ILLEGAL_PARAMETER) when the record's length is above 8.
// On failure nothing is appended and *outLength is not written.
ProcessStatus FormatCanFrame(const CanMsg *record, uint16_t count, std::string *out,
                             uint16_t *outLength);
