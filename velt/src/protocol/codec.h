// Encoding of values and events on the wire (protocol/wire.h has the
// framing).
#ifndef VELT_PROTOCOL_CODEC_H
#define VELT_PROTOCOL_CODEC_H

#include <velt++.h>

#include "protocol/wire.h"

namespace velt::codec {

// Smallest encoded value: type byte and timestamp.
inline constexpr size_t min_value = 1 + 8 + 8;
// Smallest encoded event: command byte, empty path, smallest value.
inline constexpr size_t min_event = 1 + 4 + min_value;

// Value: u8 type, i64 seconds, i64 microseconds, then by type: bool u8 (0/1);
// int32/uint32 4 bytes; int64/uint64/double 8 bytes (double as its bits);
// ipv4/ipv6/mac 4/16/6 raw bytes; string/binary u32 length and bytes;
// invalid and none nothing.
void encode_value(wire::writer& w, const toolkit::CElement& value);
// Bytes encode_value writes for `value`.
size_t encoded_size(const toolkit::CElement& value);
// False on a malformed value (unknown type, bad bool, short payload).
bool decode_value(wire::reader& r, toolkit::CElement& value);

// Event: u8 command, str path, value.
void encode_event(wire::writer& w, api_cmd_t cmd, std::string_view path, const toolkit::CElement& value);
bool decode_event(wire::reader& r, toolkit::CEvent& event);

}  // namespace velt::codec

#endif
