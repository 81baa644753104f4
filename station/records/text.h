// The records' spelling of what the engine reports: ISO times, hex of the
// reply data, text cleaned to UTF-8, text for XML, the MAC and the address.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/events.h"
#include "wire/text.h"

namespace station::records {

// The time of a record, "2026-12-10T11:30:45.123Z"; now when `unixMs` is not
// positive (an event without a time). Hex and UTF-8 text: wire/text.h.
std::string recordTime(int64_t unixMs);
// Text for XML 1.0, escaped.
std::string xmlText(std::string_view raw);
// The MAC in the records' one spelling ("02:47:57:04:04:00").
std::string macOf(const std::string &mac);
// host:port, an IPv6 host in brackets.
std::string address(const GatewayInfo &g);

} // namespace station::records
