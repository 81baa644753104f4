// The readers of what a person types at the station (see input.h).
#include "wire/input.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "wire/text.h"

namespace station {

namespace {

const char *const kAddressForms = "expected HOST, HOST:PORT, [IPv6]:PORT or an IPv6 literal, e.g. 10.0.0.2:6666 or "
                                  "[::1]:6666";

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool allDigits(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), isDigit); }

// 1..65535 in decimal digits; 0 too when `zeroAllowed`.
bool parsePort(const std::string &text, uint16_t &port, bool zeroAllowed)
{
    if (!allDigits(text) || text.size() > 5) {
        return false;
    }
    const unsigned long value = std::stoul(text);
    if ((value == 0 && !zeroAllowed) || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// An IPv6 address, with an optional zone ("fe80::1%eth0": the interface a
// link-local address is reached through).
bool isIpv6Literal(const std::string &text)
{
    const auto percent = text.find('%');
    const std::string address = text.substr(0, percent);
    if (percent != std::string::npos) {
        const std::string zone = text.substr(percent + 1);
        if (zone.empty() || zone.size() > 15) {
            return false;
        }
        for (char c : zone) {
            if (!isLetter(c) && !isDigit(c) && c != '.' && c != '-' && c != '_') {
                return false;
            }
        }
    }
    in6_addr addr{};
    return inet_pton(AF_INET6, address.c_str(), &addr) == 1;
}

// A host name or an IPv4 address.
bool isHostName(const std::string &text)
{
    if (text.empty() || text.size() > 253) {
        return false;
    }
    bool digitsAndDots = true;
    for (char c : text) {
        if (!isDigit(c) && !isLetter(c) && c != '.' && c != '-' && c != '_') {
            return false;
        }
        digitsAndDots = digitsAndDots && (isDigit(c) || c == '.');
    }
    if (digitsAndDots) {
        in_addr addr{};
        return inet_pton(AF_INET, text.c_str(), &addr) == 1;
    }
    return true;
}

// The text shown back in a message: bounded, so a page's request cannot make
// a message of any length.
// (Appended piece by piece: GCC 12's optimiser takes "'" + text for an
// overlapping copy, -Wrestrict, a known false warning.)
std::string quoted(const std::string &text)
{
    std::string out = "'";
    out.append(text, 0, 80);
    out += '\'';
    return out;
}

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool validUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        size_t n = 0;
        unsigned cp = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            n = 1;
            cp = b & 0x1Fu;
        } else if ((b & 0xF0) == 0xE0) {
            n = 2;
            cp = b & 0x0Fu;
        } else if ((b & 0xF8) == 0xF0) {
            n = 3;
            cp = b & 0x07u;
        } else {
            return false;
        }
        if (i + n >= text.size()) {
            return false;
        }
        for (size_t k = 1; k <= n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) {
                return false;
            }
            cp = cp << 6 | (c & 0x3Fu);
        }
        static constexpr unsigned kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n + 1;
    }
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

// "model, mac, sysversion, ...": every short name once, in catalogue order.
std::string knownNames()
{
    std::string names;
    for (size_t i = 0; i < catalogue::kTests.size(); ++i) {
        if (i > 0 && catalogue::kTests[i - 1].code == catalogue::kTests[i].code) {
            continue;
        }
        names += (names.empty() ? "" : ", ") + std::string(catalogue::kTests[i].name);
    }
    return names;
}

} // namespace

bool parseAddress(const std::string &text, std::string &host, uint16_t &port, std::string &error, uint16_t defaultPort)
{
    host.clear();
    port = defaultPort;
    const std::string bad = "bad address " + quoted(text) + ": ";
    std::string name;
    std::string portText;
    bool hasPort = false;
    bool v6 = false;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) {
            error = bad + kAddressForms;
            return false;
        }
        name = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = bad + kAddressForms;
                return false;
            }
            hasPort = true;
            portText = rest.substr(1);
        }
        v6 = true;
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        name = text; // a bare IPv6 literal carries no port
        v6 = true;
    } else if (const auto colon = text.find(':'); colon != std::string::npos) {
        name = text.substr(0, colon);
        hasPort = true;
        portText = text.substr(colon + 1);
    } else {
        name = text;
    }
    if (hasPort && portText.empty()) {
        error = bad + "the port is missing after ':' (" + kAddressForms + ")";
        return false;
    }
    uint16_t parsedPort = defaultPort;
    if (hasPort && !parsePort(portText, parsedPort, false)) {
        error = "bad port " + quoted(portText) + " in " + quoted(text) + ": expected 1 to 65535";
        return false;
    }
    if (v6 ? !isIpv6Literal(name) : !isHostName(name)) {
        error = name.empty() ? bad + kAddressForms
                             : "bad host " + quoted(name) + " in " + quoted(text) + ": " + kAddressForms;
        return false;
    }
    host = name;
    port = parsedPort;
    return true;
}

bool parseListen(const std::string &text, std::string &host, uint16_t &port, std::string &error)
{
    // Any free port: ":0", which the address's own reading refuses (a bare
    // IPv6 literal such as "::0" has no port).
    std::string address = text;
    const bool anyPort =
        !address.empty() &&
        (address.front() == '[' ? address.ends_with("]:0")
                                : address.ends_with(":0") && std::count(address.begin(), address.end(), ':') == 1);
    if (anyPort) {
        address.resize(address.size() - 2);
    }
    if (!parseAddress(address, host, port, error, 8080)) {
        error = "--listen: " + error;
        return false;
    }
    if (anyPort) {
        port = 0;
    }
    return true;
}

bool validOperatorId(const std::string &id, std::string &error)
{
    if (id.empty() || id.size() > 64) {
        error = "expected an operator id of 1 to 64 characters";
        return false;
    }
    if (id.front() == ' ' || id.back() == ' ') {
        error = "an operator id has no blank at either end";
        return false;
    }
    for (unsigned char c : id) {
        if (c < 0x20 || c == 0x7F) {
            error = "an operator id has no control characters";
            return false;
        }
    }
    if (cleanUtf8(id) != id) {
        error = "an operator id is UTF-8 text";
        return false;
    }
    return true;
}

bool validSerial(const std::string &serial, std::string &error)
{
    if (serial.empty() || serial.size() > 64) {
        error = "expected a serial number of 1 to 64 characters";
        return false;
    }
    for (char c : serial) {
        if (c <= 0x20 || c >= 0x7F) {
            error = "expected a serial number of printable characters without blanks";
            return false;
        }
    }
    return true;
}

bool validLabel(const std::string &label, std::string &error)
{
    if (label.empty() || label.size() > 40) {
        error = "expected a label of 1 to 40 bytes";
        return false;
    }
    for (char c : label) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            error = "expected a label without control characters";
            return false;
        }
    }
    if (!validUtf8(label)) {
        error = "expected a label in UTF-8";
        return false;
    }
    return true;
}

bool parseTarget(const std::string &text, Target &target, std::string &error)
{
    const auto equals = text.find('=');
    Target parsed;
    if (!parseAddress(text.substr(0, equals), parsed.host, parsed.port, error)) {
        return false;
    }
    if (equals != std::string::npos) {
        parsed.label = text.substr(equals + 1);
        if (!validLabel(parsed.label, error)) {
            error = "bad label in " + quoted(text) + ": " + error + " after '='";
            return false;
        }
    }
    target = parsed;
    return true;
}

std::optional<Target> parseSlotLine(const std::string &line, std::string &error)
{
    const std::string text = trim(line);
    if (text.empty() || text.front() == '#') {
        return std::nullopt;
    }
    const auto space = text.find_first_of(" \t");
    const std::string label = space == std::string::npos ? "" : trim(text.substr(space));
    Target target;
    if (!parseAddress(text.substr(0, space), target.host, target.port, error)) {
        return std::nullopt;
    }
    if (!label.empty() && !validLabel(label, error)) {
        error = "bad label " + quoted(label) + ": " + error;
        return std::nullopt;
    }
    target.label = label;
    return target;
}

std::optional<std::string> normaliseMac(const std::string &text)
{
    std::string digits;
    if (text.size() == 17) {
        const char sep = text[2];
        if (sep != ':' && sep != '-') {
            return std::nullopt;
        }
        for (size_t i = 0; i < text.size(); ++i) {
            if (i % 3 != 2) {
                digits += text[i];
            } else if (text[i] != sep) {
                return std::nullopt;
            }
        }
    } else if (text.size() == 12) {
        digits = text;
    } else {
        return std::nullopt;
    }
    std::string mac;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (!isHex(digits[i])) {
            return std::nullopt;
        }
        if (i > 0 && i % 2 == 0) {
            mac += ':';
        }
        mac += lower(digits[i]);
    }
    return mac;
}

bool parseModel(const std::string &text, std::string &model, std::string &error)
{
    const uint8_t bit = catalogue::modelBit(text);
    if (bit == 0) {
        error = "unknown model " + quoted(text) + " (expected " + std::string(catalogue::kModelList) + ", in any case)";
        return false;
    }
    model = std::string(catalogue::modelName(bit));
    return true;
}

std::optional<uint16_t> parseCode(const std::string &text)
{
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long value = 0;
    for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        const char c = text[i];
        if (hex && isHex(c)) {
            value = value * 16 + static_cast<unsigned long>(isDigit(c) ? c - '0' : lower(c) - 'a' + 10);
        } else if (!hex && isDigit(c)) {
            value = value * 10 + static_cast<unsigned long>(c - '0');
        } else {
            return std::nullopt;
        }
    }
    if (value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

const catalogue::Test *parseTest(const std::string &text, std::string &error)
{
    if (!text.empty() && isDigit(text[0])) {
        const auto code = parseCode(text);
        if (!code) {
            error = "bad command code " + quoted(text) + " (expected 0x0000..0xffff, hexadecimal with 0x or decimal)";
            return nullptr;
        }
        const catalogue::Test *row = catalogue::findAny(*code);
        if (row == nullptr) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%04x", *code);
            error = "unknown test " + quoted(text) + ": no gateway model answers code " + hex +
                    " (`gwtest codes` lists the catalogue)";
        }
        return row;
    }
    const catalogue::Test *row = catalogue::findName(text);
    if (row == nullptr) {
        error = "unknown test " + quoted(text) +
                " (expected a command code such as 0x0001, or one of: " + knownNames() + ")";
    }
    return row;
}

bool parseSince(const std::string &text, std::string &iso, std::string &error)
{
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) {
        t.pop_back();
    }
    // The date, then T or a space, hours:minutes and optionally :seconds.
    const std::string date = t.substr(0, 10);
    const std::string rest = t.size() > 10 ? t.substr(10) : "";
    bool ok = date.size() == 10 && date[4] == '-' && date[7] == '-' && allDigits(date.substr(0, 4)) &&
              allDigits(date.substr(5, 2)) && allDigits(date.substr(8, 2));
    std::string hh = "00", mm = "00", ss = "00";
    if (ok && !rest.empty()) {
        ok = (rest[0] == 'T' || rest[0] == 't' || rest[0] == ' ') && (rest.size() == 6 || rest.size() == 9) &&
             rest[3] == ':' && (rest.size() == 6 || rest[6] == ':');
        if (ok) {
            hh = rest.substr(1, 2);
            mm = rest.substr(4, 2);
            ss = rest.size() == 9 ? rest.substr(7, 2) : "00";
            ok = allDigits(hh) && allDigits(mm) && allDigits(ss);
        }
    }
    if (ok) {
        const int y = std::stoi(date.substr(0, 4));
        const int mo = std::stoi(date.substr(5, 2));
        const int d = std::stoi(date.substr(8, 2));
        static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        ok = mo >= 1 && mo <= 12 && d >= 1 && d <= kDays[mo - 1] && !(mo == 2 && d == 29 && !leap) &&
             std::stoi(hh) < 24 && std::stoi(mm) < 60 && std::stoi(ss) < 60;
    }
    if (!ok) {
        error = "--since: " + quoted(text) +
                " is not a date; expected YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS (UTC)";
        return false;
    }
    iso = date + "T" + hh + ":" + mm + ":" + ss + ".000Z";
    return true;
}

} // namespace station
