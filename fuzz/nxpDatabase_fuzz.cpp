// Fuzz target of the NXP device database: the radio service's file of 64
// slots of 256 bytes, read slot by slot into the device table, and the
// lookup of a device by its MAC text. The file is a memory file with the
// input's content; a model of the table, kept across inputs as the
// service's table is, says what a load must leave and a lookup must find.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "fuzzInput.h"
#include "nxpDev.h"

namespace {

constexpr size_t kFileMax = kDevSlotCount * kDevSlotSize;

struct ModelRecord {
    std::array<uint8_t, kDevSlotKept> slot{};
    std::string mac; // empty until a load fills the slot
};
std::array<ModelRecord, kDevSlotCount> model;

int databaseFd()
{
    static const int fd = memfd_create("nxp_local_data", MFD_CLOEXEC);
    fuzzCheck(fd >= 0, "memfd_create");
    return fd;
}

uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string macText(const uint8_t *mac)
{
    char text[kDevMacTextSize];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x%02x%02x", mac[4], mac[5], mac[6], mac[7], mac[0], mac[1],
                  mac[2], mac[3]);
    return text;
}

void checkLookup(const std::string &mac)
{
    uint16_t wantFirst = 0;
    uint16_t wantSecond = 0;
    int want = 0;
    for (const ModelRecord &rec : model) {
        if (rec.mac != mac) {
            continue;
        }
        if (rec.slot[kDevValidOff] != 0 && rec.slot[kDevConnectedOff] != 0) {
            want = 1;
            wantFirst = le16(rec.slot.data() + kDevFirstValueOff);
            wantSecond = le16(rec.slot.data() + kDevSecondValueOff);
        }
        break; // the first record with the MAC decides
    }
    uint16_t first = 0xA5A5;
    uint16_t second = 0xA5A5;
    fuzzCheck(checkConnected(mac.c_str(), &first, &second) == want, "the lookup's verdict");
    fuzzCheck(first == wantFirst && second == wantSecond, "the lookup's values");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    // Small inputs make whole files: the length is chosen, the content is
    // the rest of the input repeated, each slot changed by its number or not.
    const size_t fileLen = in.upTo(kFileMax + kDevSlotSize);
    const bool perSlot = in.byte() % 2 == 1;
    const uint8_t probe = in.byte();
    const std::string seed = in.rest();
    std::string content(fileLen, '\0');
    for (size_t i = 0; i < fileLen && !seed.empty(); ++i) {
        content[i] = static_cast<char>(seed[i % seed.size()] + (perSlot ? i / kDevSlotSize : 0));
    }

    const int fd = databaseFd();
    fuzzCheck(ftruncate(fd, 0) == 0 && pwrite(fd, content.data(), content.size(), 0) == static_cast<ssize_t>(fileLen),
              "the database file is written");
    const int got = loadDevSlots("load_dev_data", fd);

    const size_t whole = std::min(fileLen / kDevSlotSize, kDevSlotCount);
    for (size_t i = 0; i < whole; ++i) {
        const auto *slot = reinterpret_cast<const uint8_t *>(content.data() + i * kDevSlotSize);
        std::memcpy(model[i].slot.data(), slot, kDevSlotKept);
        model[i].mac = macText(slot + kDevMacOff);
    }
    fuzzCheck(got == (whole == kDevSlotCount ? 0 : -1), "a load fails exactly when a slot is short");

    // The MAC of one slot, of a slot the load left alone, and one no slot has.
    checkLookup(model[probe % kDevSlotCount].mac);
    checkLookup(model[(probe + whole) % kDevSlotCount].mac);
    checkLookup("00000000000000zz");
    return 0;
}
