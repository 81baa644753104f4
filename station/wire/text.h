// Small text helpers every room of the station shares: bytes as hex, text
// made valid UTF-8 for JSON and the records, and the wall clock in
// milliseconds and as ISO 8601 UTC.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace station {

// "02 47 57": two lower-case digits a byte, one blank between (for people).
std::string hexText(std::span<const uint8_t> data);
// "024757": the same without blanks (for records and JSON).
std::string hexCompact(std::span<const uint8_t> data);

// Text from a gateway or a person, as valid UTF-8: a byte that does not
// start a well-formed sequence (cut short, overlong, a surrogate, past
// U+10FFFF) becomes U+FFFD, and so does NUL, which a JSON reader, a C string
// and SQLite's text functions would each take differently. The raw bytes of
// a reply stay in its hex.
std::string cleanUtf8(std::string_view text);

// The wall clock in milliseconds since the epoch (records, events).
int64_t unixMsNow();

// "2026-12-10T11:30:45.123Z" of milliseconds since the epoch.
std::string isoTime(int64_t unixMs);

} // namespace station
