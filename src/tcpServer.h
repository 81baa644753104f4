// The listener, the connection loop and the request path of the test
// service: a frame the codec completed is parsed into a request and
// forwarded to the dispatcher, whose reply goes back as a frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "frameCodec.h"

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

int tcpServerLisener(int port);
int tcpServerAccept(int listenFd, ClientInfo *client);
void connectHandler(const ClientInfo &client);
int msgHandler(int fd);
int protcolAnlyse(const uint8_t *frame, uint32_t length, MsgFrame *msg);
// Dispatches a request and sends its reply, if any. -1 when a reply could not
// be sent whole (the connection is then closed), else 0.
int cmdForward(int fd, const MsgFrame &msg);
long ctxSendMsg(int fd, uint16_t cmd, const PeripherCtx &ctx);
