// Hex, UTF-8 cleaning and the wall clock (see text.h).
#include "wire/text.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace station {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

} // namespace

std::string hexText(std::span<const uint8_t> data)
{
    std::string out;
    out.reserve(data.size() * 3);
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            out += ' ';
        }
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
    }
    return out;
}

std::string hexCompact(std::span<const uint8_t> data)
{
    std::string out;
    out.reserve(data.size() * 2);
    for (uint8_t b : data) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

std::string cleanUtf8(std::string_view text)
{
    static constexpr std::string_view kReplacement = "\xef\xbf\xbd"; // U+FFFD
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t point = 0;
        if (lead < 0x80) {
            length = 1;
            point = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07u;
        }
        bool ok = length > 0 && i + length <= text.size();
        for (size_t k = 1; ok && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3Fu);
        }
        static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (point < kLeast[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF || point == 0)) {
            ok = false;
        }
        if (ok) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

int64_t unixMsNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string isoTime(int64_t unixMs)
{
    const auto secs = static_cast<time_t>(unixMs / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(unixMs % 1000));
    return buf;
}

} // namespace station
