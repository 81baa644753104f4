// The records' spelling of what the engine reports: ISO times, hex of the
// reply data, text cleaned to UTF-8, text for XML, the MAC and the address.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/events.h"

namespace station::records {

// "2026-12-10T11:30:45.123Z"; now when `unixMs` is not positive.
std::string isoTime(int64_t unixMs);
// Lower-case hex, no blanks.
std::string hexOf(const std::vector<uint8_t> &data);
// Text from a gateway as UTF-8: a byte that does not start a well-formed
// sequence becomes U+FFFD.
std::string cleanUtf8(std::string_view in);
// Text for XML 1.0, escaped.
std::string xmlText(std::string_view raw);
// The MAC in the records' one spelling ("02:47:57:04:04:00").
std::string macOf(const std::string &mac);
// host:port, an IPv6 host in brackets.
std::string address(const GatewayInfo &g);

} // namespace station::records
