// Fuzz target of the line's profile reader: any text as a profile file, then
// a reply judged by what was read. A profile is either read whole with no
// error, or refused with every error named after the file; judging never
// fails a unit twice over (a marginal pass is a pass) and names a limit
// whenever it fails one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue.h"
#include "fuzzInput.h"
#include "profile/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    const uint8_t model = catalogue::kModels[in.byte() % catalogue::kModels.size()].model;
    const uint16_t code = catalogue::kTests[in.upTo(catalogue::kTests.size() - 1)].code;
    const int durationMs = static_cast<int>(in.u16()) * 4;
    const std::string reply = in.bytes(in.upTo(24));
    const std::string text = in.bytes(in.left());

    std::vector<std::string> errors;
    const auto profile = station::readProfile(text, "fuzz.toml", errors);
    fuzzCheck(profile.has_value() == errors.empty(), "read whole, or refused with its errors");
    for (const std::string &error : errors) {
        fuzzCheck(error.rfind("fuzz.toml", 0) == 0, "every error names the file");
    }
    if (!profile) {
        return 0;
    }
    fuzzCheck(profile->hash.size() == 64, "a SHA-256 of the text");
    const auto j = station::judge(*profile, model, code,
                                  std::span(reinterpret_cast<const uint8_t *>(reply.data()), reply.size()), durationMs);
    fuzzCheck(!(j.failed && j.marginal), "a marginal pass is a pass");
    fuzzCheck(j.failed == !j.broken.empty(), "a failed limit is named");
    fuzzCheck(j.broken.empty() || !j.limits.empty(), "what broke is among the limits applied");
    profile->serialFits(reply);
    return 0;
}
