// The records' spelling of what the engine reports: times, hex, UTF-8 text,
// XML text, MACs and addresses (see text.h).
#include "records/text.h"

#include "wire/input.h"

#include <cstdio>
#include <ctime>

namespace station::records {

std::string recordTime(int64_t unixMs) { return isoTime(unixMs > 0 ? unixMs : unixMsNow()); }

// Text for XML 1.0: escaped, and the control characters XML cannot carry at
// all (even as references) shown as \xNN.
std::string xmlText(std::string_view raw)
{
    std::string in = cleanUtf8(raw);
    std::string out;
    for (char ch : in) {
        auto c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    return out;
}

// The MAC in the records' one spelling, "02:47:57:04:04:00" (any case, with
// or without colons or dashes, as the gateway gave it), so `report --mac`
// finds it by index; anything else is kept as it came (cleaned). The same
// rule as the parser of a MAC a user types.
std::string macOf(const std::string &mac)
{
    const std::optional<std::string> norm = normaliseMac(mac);
    return norm ? *norm : cleanUtf8(mac);
}

std::string address(const GatewayInfo &g)
{
    std::string host = g.host.find(':') != std::string::npos ? "[" + g.host + "]" : g.host;
    return host + ":" + std::to_string(g.port);
}

} // namespace station::records
