// The gateways of the station page ("slots"), and the checks on everything a
// request or the slots file says about them: addresses, labels, slot ids,
// MACs, names of record files. Whatever reaches the page or the file system
// from outside passes through here first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace station::web {

// "HOST", "HOST:PORT", "[V6]", "[V6]:PORT" or a bare IPv6 literal; the port
// defaults to 6666. False with a message saying what was expected.
bool parseAddress(const std::string &text, std::string &host, uint16_t &port, std::string &error);

// The page's own address, --listen: like parseAddress, but the port
// defaults to 8080 and may be 0 (any free port).
bool parseListen(const std::string &text, std::string &host, uint16_t &port, std::string &error);

// A label as a person types it on the page or in the slots file: printable,
// 1 to 40 bytes, no control characters. False with the reason.
bool validLabel(const std::string &label, std::string &error);

// One line of a slots file: "HOST[:PORT] [LABEL]". Empty lines and lines
// starting with '#' hold no slot (nullopt, no error).
std::optional<Target> parseSlotLine(const std::string &line, std::string &error);

// A whole slots file: every slot, or every error at once ("FILE:LINE: ...").
bool readSlotsFile(const std::string &path, std::vector<Target> &slots, std::vector<std::string> &errors);

// A slot id from a URL: decimal digits only, below `count`.
std::optional<int> parseSlotId(const std::string &text, size_t count);

// A MAC as a person may type it ("02:47:57:04:04:00", "02-47-57-04-04-00",
// "024757040400", any case), in the records' spelling: lower case with
// colons. nullopt for anything else.
std::optional<std::string> normalizeMac(const std::string &text);

// The name of a record file the page links to: letters, digits, '.', '_',
// '-' and '~' only, not starting with '.', at most 128 bytes, ending in
// `suffix`. So no name can leave its directory. ('~' is how the records tell
// apart a second run or JUnit file of one name: "<name>~2".)
bool safeRecordName(const std::string &name, const std::string &suffix);

} // namespace station::web
