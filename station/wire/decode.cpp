// Reply data as a person reads it.
#include "wire/decode.h"

#include <charconv>
#include <climits>
#include <string_view>

namespace station {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

bool printable(uint8_t c) { return c >= 0x20 && c < 0x7F; }

// The bytes without one trailing NUL.
Bytes withoutNul(Bytes data) { return !data.empty() && data.back() == 0 ? data.first(data.size() - 1) : data; }

// Non-empty and every byte printable: the bytes as text.
std::optional<std::string> printableText(Bytes data)
{
    if (data.empty()) {
        return std::nullopt;
    }
    std::string text;
    for (uint8_t c : data) {
        if (!printable(c)) {
            return std::nullopt;
        }
        text += static_cast<char>(c);
    }
    return text;
}

// A decimal 32-bit integer, an optional minus sign first, nothing else.
std::optional<int> decimal(std::string_view text)
{
    if (text.empty() || text == "-") {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<std::string> macText(Bytes data)
{
    if (data.size() != 6) {
        return std::nullopt;
    }
    std::string text;
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            text += ':';
        }
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0xF];
    }
    return text;
}

std::optional<std::string> versionText(Bytes data)
{
    Bytes text = withoutNul(data);
    // The file's newline stays in the version when no delimiter follows it.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text = text.first(text.size() - 1);
    }
    return printableText(text);
}

std::optional<std::string> modelText(Bytes data)
{
    size_t n = 0;
    while (n < data.size() && data[n] != 0 && data[n] != '\n') {
        ++n;
    }
    // After the line, only its newline and the NUL may follow.
    for (size_t i = n; i < data.size(); ++i) {
        if (data[i] != '\n' && data[i] != 0) {
            return std::nullopt;
        }
        if (data[i] == 0) {
            break;
        }
    }
    return printableText(data.first(n));
}

std::string serviceModelName(Bytes data)
{
    std::string name;
    for (uint8_t c : data) {
        if (c == 0 || c == '\n') {
            break;
        }
        name += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
    }
    return name;
}

std::optional<ZwaveDevice> zwaveDevice(Bytes data)
{
    const auto all = printableText(withoutNul(data));
    if (!all) {
        return std::nullopt;
    }
    // The two numbers are the last fields; the version may hold a bar, the
    // MAC text does not.
    const std::string_view text(*all);
    const size_t pirBar = text.rfind('|');
    if (pirBar == std::string_view::npos || pirBar == 0) {
        return std::nullopt;
    }
    const size_t batteryBar = text.rfind('|', pirBar - 1);
    if (batteryBar == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t macBar = text.find('|');
    if (macBar == batteryBar) {
        return std::nullopt;
    }
    const auto battery = decimal(text.substr(batteryBar + 1, pirBar - batteryBar - 1));
    const auto pir = decimal(text.substr(pirBar + 1));
    if (!battery || !pir) {
        return std::nullopt;
    }
    ZwaveDevice device;
    device.mac = std::string(text.substr(0, macBar));
    device.version = std::string(text.substr(macBar + 1, batteryBar - macBar - 1));
    device.battery = *battery;
    device.pir = *pir;
    return device;
}

std::string zwaveText(const ZwaveDevice &device)
{
    const auto shown = [](const std::string &s) { return s.empty() ? std::string("(none)") : s; };
    return "mac " + shown(device.mac) + ", version " + shown(device.version) + ", battery " +
           std::to_string(device.battery) + ", pir " + std::to_string(device.pir);
}

std::optional<std::string> plainText(Bytes data)
{
    const Bytes body = withoutNul(data);
    if (body.empty()) {
        return std::nullopt;
    }
    std::string text;
    for (uint8_t c : body) {
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (printable(c)) {
            text += static_cast<char>(c);
        } else {
            return std::nullopt;
        }
    }
    return text;
}

std::string decodeData(catalogue::Decoder decoder, Bytes data)
{
    if (data.empty()) {
        return "";
    }
    std::optional<std::string> decoded;
    switch (decoder) {
    case catalogue::Decoder::kMac:
        // Binary: never read as text.
        return macText(data).value_or(hexText(data));
    case catalogue::Decoder::kVersion:
        decoded = versionText(data);
        break;
    case catalogue::Decoder::kModel:
        decoded = modelText(data);
        break;
    case catalogue::Decoder::kZwave:
        if (const auto device = zwaveDevice(data)) {
            decoded = zwaveText(*device);
        }
        break;
    case catalogue::Decoder::kNone:
    case catalogue::Decoder::kText:
        break;
    }
    if (!decoded) {
        decoded = plainText(data);
    }
    return decoded.value_or(hexText(data));
}

} // namespace station
