// The page's own checks of what reaches it from outside: the slots file (its
// lines read by wire/input, as every command reads a gateway), slot ids in
// URLs, names of record files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wire/input.h"

namespace station::web {

// A whole slots file: every slot, or every error at once ("FILE:LINE: ...").
bool readSlotsFile(const std::string &path, std::vector<Target> &slots, std::vector<std::string> &errors);

// A slot id from a URL: decimal digits only, below `count`.
std::optional<int> parseSlotId(const std::string &text, size_t count);

// The name of a record file the page links to: letters, digits, '.', '_',
// '-' and '~' only, not starting with '.', at most 128 bytes, ending in
// `suffix`. So no name can leave its directory. ('~' is how the records tell
// apart a second run or JUnit file of one name: "<name>~2".)
bool safeRecordName(const std::string &name, const std::string &suffix);

} // namespace station::web
