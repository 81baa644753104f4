// The data of a gateway's reply (the bytes after the result byte) as a
// person reads it, by the catalogue's decoder of the test: the MAC as
// 02:47:57:04:04:00, a version or the model without NUL and newline, the
// included Z-Wave device's fields. Data that does not fit its decoder (cut,
// short, binary) falls back to text, else to hex; nothing here fails.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "catalogue.h"
#include "wire/text.h"

namespace station {

using Bytes = std::span<const uint8_t>;

// Six bytes: "02:47:57:04:04:00".
std::optional<std::string> macText(Bytes data);

// A version query's text: its NUL and a trailing line end dropped; printable.
std::optional<std::string> versionText(Bytes data);

// The model file's line as the service sent it: up to the first NUL and the
// first newline, printable, case as stored ("gwm0202").
std::optional<std::string> modelText(Bytes data);

// The model as the service matches it: up to the first NUL, upper case, cut
// at the first newline ("GWM0202"); other control bytes kept, so that
// "gwm0202\r\n" gives a name no model has.
std::string serviceModelName(Bytes data);

// The device the Z-Wave inclusion reports: "mac|version|battery|pir".
struct ZwaveDevice {
    std::string mac;
    std::string version;
    int battery = 0;
    int pir = 0;
};
std::optional<ZwaveDevice> zwaveDevice(Bytes data);
std::string zwaveText(const ZwaveDevice &device);

// Printable text, a trailing NUL allowed and line ends shown as \n and \r;
// empty when the data holds other bytes or nothing.
std::optional<std::string> plainText(Bytes data);

// The decoded text of a reply's data: the decoder's reading, else plain
// text, else hex; "" when there is no data.
std::string decodeData(catalogue::Decoder decoder, Bytes data);

} // namespace station
