// Times written as text, the way MCP and the status file write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quill::ISOTime {

// Seconds since 1970-01-01T00:00:00Z of an RFC 3339 date and time with its offset, such as
// 2025-03-01T10:00:00Z or 2025-03-01T10:00:00.25+01:00: a date that exists (29 February only in
// leap years), hours 00–23, minutes and seconds 00–59, any number of fraction digits (dropped),
// and "Z" or an offset of at most ±23:59. Absent for any other text, lower-case "t" and "z"
// included. This is the form MCP clients accept where a protocol time is asked for.
std::optional<std::int64_t> secondsSinceEpoch(std::string_view text);

}  // namespace quill::ISOTime
