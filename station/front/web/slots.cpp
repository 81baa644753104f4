// The slots file, slot ids and record names (see slots.h).
#include "front/web/slots.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace station::web {

bool readSlotsFile(const std::string &path, std::vector<Target> &slots, std::vector<std::string> &errors)
{
    std::ifstream in(path);
    if (!in) {
        errors.push_back(path + ": cannot read the slots file");
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string error;
        if (auto target = parseSlotLine(line, error)) {
            slots.push_back(*target);
        } else if (!error.empty()) {
            errors.push_back(path + ":" + std::to_string(number) + ": " + error + " (a line is HOST[:PORT] [LABEL])");
        }
    }
    return errors.empty();
}

std::optional<int> parseSlotId(const std::string &text, size_t count)
{
    if (text.empty() || text.size() > 6) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (static_cast<size_t>(value) >= count) {
        return std::nullopt;
    }
    return value;
}

bool safeRecordName(const std::string &name, const std::string &suffix)
{
    if (name.size() <= suffix.size() || name.size() > 128 || name.front() == '.') {
        return false;
    }
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-' || c == '~';
    });
}

} // namespace station::web
