// The frame codec of the test service: the byte-wise receive state machine
// that finds request frames in what a station sends, and the builder and
// sender of reply frames.
#pragma once

#include <array>
#include <cstdint>

#include "frame.h"

// The byte-wise receive state of the one connection being served.
struct FrameRxState {
    uint8_t state; // 0 header, 1/2 code, 3/4 length, 7 payload, 8 checksum
    uint8_t sum;
    uint16_t len;
    uint16_t count;
    uint32_t fill; // counts up to a whole frame of the largest admitted payload
    std::array<uint8_t, kFrameMaxSize> buf;
};

void state_reset();
// Feeds one byte; returns the frame length when it completes a good frame.
int msg_frame_get(uint8_t byte, uint8_t *dest);
// Feeds a received chunk until a frame completes; returns its length or 0.
// `used`, when given, receives the number of bytes consumed, so the caller
// can feed the rest of the chunk again and lose no frame.
int msgComing(const uint8_t *bytes, int n, int *used = nullptr);
// Builds the reply frame (reply bit set) and sends it whole, waiting (5 s at
// most) while the socket's buffer is full. Returns the frame's length, or -1
// when the connection failed or the client read nothing for that long.
long msg_frame_put(int fd, uint16_t cmd, const uint8_t *payload, uint16_t n);
// The last completed frame, header to checksum.
const uint8_t *completedFrame();
const FrameRxState &frameRxState();
