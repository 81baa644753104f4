// Fuzz target of the NXP commands' admission: request length, reply room and
// the MAC text that goes onto nxp_ucmd.sh's command line. The check itself
// is fuzzed against a reference, and every command is called with requests
// the reference refuses: those must come back with 0 and run nothing (an
// admitted request would run the script, so none is ever passed on).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzzInput.h"
#include "nxpDev.h"

namespace {

// The MAC text's field: 16 lower-case hex digits, then NUL.
constexpr size_t kMacEnd = kNxpMacOff + kDevMacTextSize;

bool macReference(const uint8_t *field)
{
    for (size_t i = 0; i + 1 < kDevMacTextSize; ++i) {
        if (std::strchr("0123456789abcdef", field[i]) == nullptr || field[i] == '\0') {
            return false;
        }
    }
    return field[kDevMacTextSize - 1] == '\0';
}

struct Command {
    uint16_t code;
    uint16_t reqMin;
    uint16_t capMin;
};
// Each command's minimum request and reply.
constexpr Command kCommands[] = {
    {0x1200, 19, 5}, {0x1202, 25, 1}, {0x1205, 19, 1}, {0x1203, 19, 1}, {0x1204, 20, 1}, {0x1210, 19, 1},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    const auto reqMin = static_cast<uint16_t>(in.upTo(40));
    const auto capMin = static_cast<uint16_t>(in.upTo(8));
    const auto cap = static_cast<uint16_t>(in.upTo(8));
    const uint8_t shape = in.byte();
    std::string bytes = in.bytes(64);
    // Most requests with a MAC text that nearly passes: hex digits, some
    // changed by the input.
    if (shape % 4 != 0 && bytes.size() >= kMacEnd) {
        for (size_t i = kNxpMacOff; i + 1 < kMacEnd; ++i) {
            if (static_cast<uint8_t>(bytes[i]) % 8 != 0) {
                bytes[i] = "0123456789abcdef"[static_cast<uint8_t>(bytes[i]) % 16];
            }
        }
        if (shape % 4 != 1) {
            bytes[kMacEnd - 1] = '\0';
        }
    }
    // Exactly the request's bytes, so a read past them is caught.
    const std::vector<uint8_t> req(bytes.begin(), bytes.end());
    const auto reqLen = static_cast<uint16_t>(req.size());
    std::vector<uint8_t> reply(cap == 0 ? 1 : cap, 0xA5);

    const bool macGood = reqLen >= kMacEnd && macReference(req.data() + kNxpMacOff);
    fuzzCheck(reqLen < kMacEnd || macTextValid(req.data() + kNxpMacOff) == macGood, "the MAC text check");

    const bool want = reqLen >= reqMin && cap >= capMin && macGood;
    const bool got =
        requestAdmitted("fuzz", req.empty() ? nullptr : req.data(), reqLen, reqMin, reply.data(), cap, capMin);
    fuzzCheck(got == want, "the admission");

    for (const Command &command : kCommands) {
        if (reqLen >= command.reqMin && cap >= command.capMin && macGood) {
            continue; // admitted: it would run the script
        }
        const int len = nxpDevCmdHandler(command.code, req.empty() ? nullptr : req.data(), reqLen, reply.data(), cap);
        fuzzCheck(len == 0, "a refused request gets no reply");
    }
    for (uint8_t b : reply) {
        fuzzCheck(b == 0xA5, "a refused request writes no reply");
    }
    return 0;
}
