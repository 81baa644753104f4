// The reply record of a test: the result byte, then the data cut to the
// reply buffer.
#include "peripher/resultReply.h"

#include <cstring>

#include "log.h"

namespace {

constexpr char kLogModule[] = "src/peripher";

} // namespace

int resInfoWrite(uint8_t *out, uint16_t cap, uint8_t result, const uint8_t *data, uint16_t dataLen)
{
    out[0] = result;
    int count = 1;
    if (data != nullptr && dataLen >= 1) {
        size_t k = dataLen;
        if (cap < size_t{dataLen} + 1) {
            k = cap - 1U;
        }
        std::memcpy(out + 1, data, k);
        count = 1 + static_cast<int>(k);
    }
    GW_LOG("Res:0x%x actualLength:%d.\r\n\n", result, count);
    return count;
}
