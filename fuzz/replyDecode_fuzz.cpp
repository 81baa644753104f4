// Fuzz target of the station's reply decoders: any data after the result
// byte, as a gateway (or a broken one) may send it, shown by every decoder.
// The first byte picks the decoder. What is shown is never empty for data,
// a MAC is shown as six pairs only for six bytes, and the hex fallback is
// whole.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzzInput.h"
#include "wire/decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    constexpr catalogue::Decoder kDecoders[] = {catalogue::Decoder::kNone,    catalogue::Decoder::kMac,
                                                catalogue::Decoder::kVersion, catalogue::Decoder::kModel,
                                                catalogue::Decoder::kZwave,   catalogue::Decoder::kText};
    const catalogue::Decoder decoder = kDecoders[data[0] % std::size(kDecoders)];
    const std::span<const uint8_t> reply(data + 1, size - 1);

    const std::string shown = station::decodeData(decoder, reply);
    fuzzCheck(reply.empty() == shown.empty(), "data is shown, and nothing is shown for no data");
    if (decoder == catalogue::Decoder::kMac) {
        fuzzCheck(reply.empty() || shown.size() == (reply.size() == 6 ? 17 : 3 * reply.size() - 1),
                  "a MAC or whole hex");
    }
    fuzzCheck(station::hexText(reply).size() == (reply.empty() ? 0 : 3 * reply.size() - 1), "hex is whole");
    fuzzCheck(station::hexCompact(reply).size() == 2 * reply.size(), "compact hex is whole");

    if (const auto device = station::zwaveDevice(reply)) {
        // The fields shown again give the same device.
        const std::string again = device->mac + "|" + device->version + "|" + std::to_string(device->battery) + "|" +
                                  std::to_string(device->pir);
        const auto reread =
            station::zwaveDevice(std::span(reinterpret_cast<const uint8_t *>(again.data()), again.size()));
        fuzzCheck(reread && reread->mac == device->mac && reread->version == device->version &&
                      reread->battery == device->battery && reread->pir == device->pir,
                  "a decoded device reads back the same");
    }
    const std::string model = station::serviceModelName(reply);
    fuzzCheck(model.size() <= reply.size(), "the model name is within the data");
    return 0;
}
