// The frame format spoken on TCP port 6666, the same in both directions:
//
//   FE | code hi | code lo | len hi | len lo | payload (len bytes) | xor
//
// The checksum is the XOR of every byte after the header. A reply carries
// the request's code with bit 0x80 set in its high byte. This header is
// shared by the service and the test station's client.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint8_t kFrameHeader = 0xFE;
inline constexpr size_t kFrameOverhead = 6;          // header, code, length, checksum
inline constexpr uint16_t kFrameMaxPayload = 0xFFFA; // largest length a receiver admits
inline constexpr size_t kFrameMaxSize = kFrameMaxPayload + kFrameOverhead;
inline constexpr uint16_t kReplyCodeBit = 0x8000;

// XOR of the bytes, as the checksum counts them.
constexpr uint8_t frameXor(const uint8_t *bytes, size_t n, uint8_t sum = 0)
{
    for (size_t i = 0; i < n; ++i) {
        sum = static_cast<uint8_t>(sum ^ bytes[i]);
    }
    return sum;
}

// Builds one frame with the code exactly as given (the caller sets the reply
// bit). Returns the frame's length, or 0 when it doesn't fit the output.
constexpr size_t frameBuild(uint8_t *out, size_t cap, uint16_t code, const uint8_t *payload, uint16_t n)
{
    const size_t total = size_t{n} + kFrameOverhead;
    if (total > cap) {
        return 0;
    }
    out[0] = kFrameHeader;
    out[1] = static_cast<uint8_t>(code >> 8);
    out[2] = static_cast<uint8_t>(code & 0xFF);
    out[3] = static_cast<uint8_t>(n >> 8);
    out[4] = static_cast<uint8_t>(n & 0xFF);
    for (size_t i = 0; i < n; ++i) {
        out[5 + i] = payload[i];
    }
    out[5 + n] = frameXor(out + 1, size_t{n} + 4);
    return total;
}
