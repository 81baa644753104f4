// The records' spelling of what the engine reports: times, hex, UTF-8 text,
// XML text, MACs and addresses (see text.h).
#include "records/text.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace station::records {

std::string isoTime(int64_t unixMs)
{
    if (unixMs <= 0) {
        unixMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
    }
    time_t secs = static_cast<time_t>(unixMs / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(unixMs % 1000));
    return buf;
}

std::string hexOf(const std::vector<uint8_t> &data)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : data) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xf];
    }
    return out;
}

// Text from a gateway may hold anything. The records keep it as UTF-8: a
// byte that does not start a well-formed sequence becomes U+FFFD (the raw
// bytes stay in data_hex). Jansson refuses strings that are not UTF-8, so
// without this one odd byte would cost the whole line.
std::string cleanUtf8(std::string_view in)
{
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        auto c = static_cast<unsigned char>(in[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
        bool ok = len > 0 && i + len <= in.size();
        uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
        for (size_t k = 1; ok && k < len; ++k) {
            auto cc = static_cast<unsigned char>(in[i + k]);
            ok = (cc & 0xc0) == 0x80;
            cp = (cp << 6) | (cc & 0x3f);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
                   (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff)) {
            ok = false;
        }
        if (ok) {
            out.append(in.substr(i, len));
            i += len;
        } else {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    return out;
}

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
// finds it by index; anything else is kept as it came. The same rule as
// the parser of a MAC a user types.
std::string macOf(const std::string &mac)
{
    std::string hex;
    for (char c : mac) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c != ':' && c != '-') {
            return cleanUtf8(mac);
        }
    }
    if (hex.size() != 12) {
        return cleanUtf8(mac);
    }
    std::string norm;
    for (size_t i = 0; i < 12; i += 2) {
        norm += (i > 0 ? ":" : "") + hex.substr(i, 2);
    }
    return norm;
}

std::string address(const GatewayInfo &g)
{
    std::string host = g.host.find(':') != std::string::npos ? "[" + g.host + "]" : g.host;
    return host + ":" + std::to_string(g.port);
}

} // namespace station::records
