// Board file helpers: hex dump of radio frames, sysfs LED brightness, first
// line of an information file.
#include "board/files.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "fdOwner.h"
#include "log.h"

namespace {

constexpr char kLogModule[] = "src/peripher";
constexpr size_t kBytesPerGroup = 16;
constexpr size_t kLedValueSize = 16;

} // namespace

void viewBuf(const char *label, const uint8_t *bytes, uint16_t count)
{
    GW_LOG("%s(%d) \n", label != nullptr ? label : "", count);
    for (size_t i = 0; i < count && bytes != nullptr; ++i) {
        if (i != 0 && i % kBytesPerGroup == 0) {
            GW_LOG("\r\n\n");
        }
        std::printf("[%02x]", bytes[i]);
    }
    std::puts("\r");
}

int operateLeds(const char *path, uint8_t value)
{
    if (path == nullptr) {
        return 1;
    }
    // The LED class takes 0 (off) or any brightness above; the gateway's
    // LEDs have one step, so everything non-zero means on.
    const int level = value >= 1 ? 1 : 0;

    // Write, create or truncate: the brightness file takes one digit.
    UniqueFile file(std::fopen(path, "w"));
    if (!file) {
        const int error = errno;
        GW_LOG("Path:%s Open Error%s:.\r\n\n", path, std::strerror(error));
        return error != 0 ? error : EIO;
    }
    std::array<char, kLedValueSize> text{};
    const int len = std::snprintf(text.data(), text.size(), "%d", level);
    // A failed write shows as an LED that stays dark; the operator judges
    // the LED by eye, so the outcome of the write is not examined here.
    std::fwrite(text.data(), 1, static_cast<size_t>(len), file.get());
    return 0;
}

int getInfoFromFile(const char *path, char *buffer, uint16_t size)
{
    if (path == nullptr || access(path, R_OK) != 0) {
        GW_LOG("Can't Access %s.\r\n\n", path != nullptr ? path : "");
        return -1;
    }
    UniqueFile file(std::fopen(path, "r"));
    if (!file) {
        GW_LOG("%s Open Error:%s\n", path, std::strerror(errno));
        return 0;
    }
    // fgets writes at most size bytes, the terminator included.
    if (size >= 1 && std::fgets(buffer, size, file.get()) == nullptr) {
        // Nothing read: the buffer keeps the caller's content.
    }
    file.reset();
    // Bounded by the size: the buffer holds a terminated line after a read,
    // and whatever the caller put there otherwise.
    GW_LOG("Get Info[%d]:%.*s\r\n\n", size, static_cast<int>(size), size >= 1 ? buffer : "");
    return 0;
}
