// The reply record of a test: the result byte, then any data.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "peripher/peripher.h"

// Writes the result byte, then as much of the data as the capacity leaves
// room for; returns the number of bytes written.
int resInfoWrite(uint8_t *out, uint16_t cap, uint8_t result, const uint8_t *data, uint16_t dataLen);

// Builds the result byte with resInfoWrite in a one-byte record and copies
// it into the reply buffer. Returns 1, or 0 (no reply, nothing written) for a
// buffer without room.
inline int replyResultByte(uint8_t *reply, int cap, uint8_t result)
{
    std::array<uint8_t, 1> record{};
    const int len = resInfoWrite(record.data(), static_cast<uint16_t>(record.size()), result, nullptr, 0);
    if (cap < len) {
        return 0;
    }
    std::memcpy(reply, record.data(), static_cast<size_t>(len));
    return len;
}
