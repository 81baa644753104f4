// Checks of addresses, labels, slot ids, MACs and record names; the slots file.
#include "front/web/slots.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace station::web {

namespace {

bool isHostChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_'; }

bool isV6Char(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.'; }

bool parsePort(const std::string &text, uint16_t &port)
{
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

std::string trim(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

} // namespace

bool parseAddress(const std::string &text, std::string &host, uint16_t &port, std::string &error)
{
    const std::string expected = "expected HOST, HOST:PORT, [IPV6] or [IPV6]:PORT";
    port = 6666;
    host.clear();
    if (text.empty() || text.size() > 255) {
        error = "bad address '" + text.substr(0, 64) + "': " + expected;
        return false;
    }
    std::string portText;
    bool v6 = false;
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close == 1) {
            error = "bad address '" + text + "': " + expected;
            return false;
        }
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "bad address '" + text + "': " + expected;
                return false;
            }
            portText = rest.substr(1);
            if (portText.empty()) {
                error = "bad address '" + text + "': the port is missing after ':' (" + expected + ")";
                return false;
            }
        }
        v6 = true;
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        host = text; // a bare IPv6 literal carries no port
        v6 = true;
    } else if (const auto colon = text.find(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (portText.empty()) {
            error = "bad address '" + text + "': the port is missing after ':' (" + expected + ")";
            return false;
        }
    } else {
        host = text;
    }
    if (!portText.empty() && !parsePort(portText, port)) {
        error = "bad port '" + portText + "' in '" + text + "': expected 1 to 65535";
        return false;
    }
    // An IPv6 literal may name its interface after '%' (fe80::1%eth0).
    const auto zone = v6 ? host.find('%') : std::string::npos;
    const auto literalEnd = zone == std::string::npos ? host.end() : host.begin() + static_cast<long>(zone);
    const bool charsOk =
        !host.empty() && std::all_of(host.begin(), literalEnd, v6 ? isV6Char : isHostChar) &&
        (zone == std::string::npos || (zone + 1 < host.size() && std::all_of(literalEnd + 1, host.end(), isHostChar)));
    if (!charsOk || (v6 && host.find(':') == std::string::npos)) {
        error = "bad host '" + host + "' in '" + text + "': " + expected;
        host.clear();
        return false;
    }
    return true;
}

bool parseListen(const std::string &text, std::string &host, uint16_t &port, std::string &error)
{
    std::string address = text;
    const bool anyPort = address.size() > 2 && address.ends_with(":0");
    if (anyPort) {
        address.resize(address.size() - 2);
    }
    const bool bracketed = !address.empty() && address.front() == '[';
    const bool hasPort =
        bracketed ? address.find("]:") != std::string::npos : std::count(address.begin(), address.end(), ':') == 1;
    if (!parseAddress(address, host, port, error)) {
        error = "--listen: " + error;
        return false;
    }
    if (anyPort) {
        port = 0;
    } else if (!hasPort) {
        port = 8080;
    }
    return true;
}

bool validLabel(const std::string &label, std::string &error)
{
    if (label.empty() || label.size() > 40) {
        error = "a label has 1 to 40 characters";
        return false;
    }
    for (char c : label) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            error = "a label holds no control characters";
            return false;
        }
    }
    return true;
}

std::optional<Target> parseSlotLine(const std::string &line, std::string &error)
{
    const std::string text = trim(line);
    if (text.empty() || text.front() == '#') {
        return std::nullopt;
    }
    const auto space = text.find_first_of(" \t");
    const std::string address = text.substr(0, space);
    const std::string label = space == std::string::npos ? "" : trim(text.substr(space));
    Target target;
    if (!parseAddress(address, target.host, target.port, error)) {
        return std::nullopt;
    }
    if (!label.empty() && !validLabel(label, error)) {
        error = "bad label '" + label + "': " + error;
        return std::nullopt;
    }
    target.label = label;
    return target;
}

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

std::optional<std::string> normalizeMac(const std::string &text)
{
    std::string digits;
    if (text.size() == 17) {
        const char sep = text[2];
        if (sep != ':' && sep != '-') {
            return std::nullopt;
        }
        for (size_t i = 0; i < text.size(); ++i) {
            if (i % 3 == 2) {
                if (text[i] != sep) {
                    return std::nullopt;
                }
            } else {
                digits += text[i];
            }
        }
    } else if (text.size() == 12) {
        digits = text;
    } else {
        return std::nullopt;
    }
    std::string mac;
    for (size_t i = 0; i < digits.size(); ++i) {
        const auto c = static_cast<unsigned char>(digits[i]);
        if (std::isxdigit(c) == 0) {
            return std::nullopt;
        }
        if (i > 0 && i % 2 == 0) {
            mac += ':';
        }
        mac += static_cast<char>(std::tolower(c));
    }
    return mac;
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
