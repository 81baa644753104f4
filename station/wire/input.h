// What a person types at the station, read one way by every command and by
// the page: gateways ("HOST[:PORT][=LABEL]", a slots file's
// "HOST[:PORT] [LABEL]", the page's own --listen address), labels, MACs,
// models, test codes and names, and the dates of --since. Each reader is
// false (or empty) with a message that says what was expected.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"

namespace station {

// The test service's port.
inline constexpr uint16_t kServicePort = 6666;

// A gateway to test: where it answers and the name the station shows for it.
struct Target {
    std::string host;
    uint16_t port = kServicePort;
    std::string label;
    // The serial number on the unit's label, when given before the run
    // (gwtest run --serial LABEL=SN); "" when not known.
    std::string serial = {};
};

// "HOST", "HOST:PORT", "[V6]", "[V6]:PORT" or a bare IPv6 literal ("::1",
// no port: a port needs the brackets). An IPv6 literal may name its
// interface after '%' ("fe80::1%eth0"). A host name is letters, digits,
// '.', '-', '_'; a name of digits and dots only must be an IPv4 address
// (300.1.1.1 is a typo, not a name to look up). The port is 1 to 65535 and
// defaults to `defaultPort`.
bool parseAddress(const std::string &text, std::string &host, uint16_t &port, std::string &error,
                  uint16_t defaultPort = kServicePort);

// The page's own address, --listen: an address whose port defaults to 8080
// and may be 0 (any free port). The message starts with "--listen: ".
bool parseListen(const std::string &text, std::string &host, uint16_t &port, std::string &error);

// A gateway on the command line: an address with an optional "=LABEL".
bool parseTarget(const std::string &text, Target &target, std::string &error);

// A gateway's label, typed on the command line, on the page or in a slots
// file: 1 to 40 bytes of UTF-8 text, spaces allowed, no control character.
bool validLabel(const std::string &label, std::string &error);

// A unit's serial number as a scanner or a person types it: 1 to 64
// printable ASCII characters, no blank.
bool validSerial(const std::string &serial, std::string &error);

// The id of the person at the station (gwtest run --operator-id, the page's
// sign-in): 1 to 64 bytes of UTF-8 text without control characters, and no
// blank at either end. A name may be it: "Zoë K.".
bool validOperatorId(const std::string &id, std::string &error);

// One line of a slots file: "HOST[:PORT] [LABEL]", the label the rest of the
// line (blanks around it dropped). Empty lines and lines starting with '#'
// hold no gateway (nullopt, no error).
std::optional<Target> parseSlotLine(const std::string &line, std::string &error);

// A MAC as a person types it: 12 hexadecimal digits in any case, alone or
// in six pairs all parted by ':' or all by '-'. In the records' spelling,
// lower case with colons ("02:47:57:04:04:00"); nullopt for anything else.
std::optional<std::string> normaliseMac(const std::string &text);

// A model of the catalogue in any case, in the catalogue's spelling
// ("gwm0202" is "GWM0202"). The message names the models.
bool parseModel(const std::string &text, std::string &model, std::string &error);

// A command code as typed: hexadecimal with 0x, or decimal; 0..0xFFFF.
std::optional<uint16_t> parseCode(const std::string &text);

// A test of the catalogue: its short name (as written: "mac", "ping-host")
// or a code some model answers. Text that starts with a digit is a code
// (no name does). Null with a message naming what is known.
const catalogue::Test *parseTest(const std::string &text, std::string &error);

// A date of --since, always UTC: "2026-12-10", "2026-12-10T08:30",
// "2026-12-10T08:30:15" (a space for the T, a trailing Z allowed), into the
// form the records compare with ("2026-12-10T08:30:00.000Z").
bool parseSince(const std::string &text, std::string &iso, std::string &error);

} // namespace station
