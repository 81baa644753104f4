// The listener, the connection loop and the frame codec of the test service.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "frame.h"

struct PeripherCtx;

inline constexpr int kServerPort = 6666;
inline constexpr int kListenBacklog = 3;
inline constexpr size_t kRecvChunk = 2000;
inline constexpr int kIdleTimeoutSec = 60;
inline constexpr uint16_t kFirstUndispatchedCmd = 0x1200;
inline constexpr size_t kMsgPayloadRoom = 256;

// The accepted client; address and port in network byte order.
struct ClientInfo {
    int fd;
    uint32_t addr;
    uint16_t port;
};

// One parsed request.
struct MsgFrame {
    uint16_t cmd;
    uint16_t len; // as declared by the frame; payload holds at most its room
    std::array<uint8_t, kMsgPayloadRoom> payload;
};

// The byte-wise receive state of the one connection being served.
struct FrameRxState {
    uint8_t state; // 0 header, 1/2 code, 3/4 length, 7 payload, 8 checksum
    uint8_t sum;
    uint16_t len;
    uint16_t count;
    uint32_t fill; // counts up to a whole frame of the largest admitted payload
    std::array<uint8_t, kFrameMaxSize> buf;
};

// --- frame codec ---
void state_reset();
// Feeds one byte; returns the frame length when it completes a good frame.
int msg_frame_get(uint8_t byte, uint8_t *dest);
// Feeds a received chunk until a frame completes; returns its length or 0.
// `used`, when given, receives the number of bytes consumed, so the caller
// can feed the rest of the chunk again and lose no frame.
int msgComing(const uint8_t *bytes, int n, int *used = nullptr);
// Builds the reply frame (reply bit set) and sends it without waiting.
long msg_frame_put(int fd, uint16_t cmd, const uint8_t *payload, uint16_t n);
// The last completed frame, header to checksum.
const uint8_t *completedFrame();
const FrameRxState &frameRxState();

// --- listener and connection loop ---
int tcpServerLisener(int port);
int tcpServerAccept(int listenFd, ClientInfo *client);
void connectHandler(const ClientInfo &client);
int msgHandler(int fd);
int protcolAnlyse(const uint8_t *frame, uint32_t length, MsgFrame *msg);
int cmdForward(int fd, const MsgFrame &msg);
void ctxSendMsg(int fd, uint16_t cmd, const PeripherCtx &ctx);
