// The frame codec: requests arrive as a byte stream that may hold several
// frames, or part of one, per read; the receive state machine takes them one
// byte at a time and keeps a partial frame until its rest arrives. Replies
// are built with the layout of frame.h and sent without waiting.
#include "frameCodec.h"

#include <cstring>
#include <sys/socket.h>

#include "log.h"
#include "util/strings.h"

namespace {

// The codec's lines have always been part of the server's log.
constexpr char kLogModule[] = "src/tcpServer";

// Frame parser states.
constexpr uint8_t kStHeader = 0;
constexpr uint8_t kStCodeHi = 1;
constexpr uint8_t kStCodeLo = 2;
constexpr uint8_t kStLenHi = 3;
constexpr uint8_t kStLenLo = 4;
constexpr uint8_t kStPayload = 7;
constexpr uint8_t kStChecksum = 8;

// Reply frames hold at most 64 payload bytes; the buffer takes any 16-bit
// payload length all the same, so no caller can make it overflow.
constexpr size_t kTxBufSize = 0xFFFF + kFrameOverhead;
// One "0x%02x " item per frame byte in the send log, as many as fit.
constexpr size_t kHexTextSize = 512;

FrameRxState rxState;
std::array<uint8_t, kFrameMaxSize> rxFrame; // the last completed frame
std::array<uint8_t, kTxBufSize> txBuf;

void storeByte(uint8_t byte)
{
    // The length test keeps every admitted frame within the buffer; the
    // check guards the invariant, not a reachable path.
    if (rxState.fill < rxState.buf.size()) {
        rxState.buf[rxState.fill] = byte;
        ++rxState.fill;
    }
}

} // namespace

const uint8_t *completedFrame() { return rxFrame.data(); }
const FrameRxState &frameRxState() { return rxState; }

void state_reset()
{
    GW_LOG("Frame State Reset.\r\n\r\n\n");
    rxState.state = kStHeader;
    rxState.sum = 0;
    rxState.fill = 0;
    rxState.count = 0;
    rxState.len = 0;
}

int msg_frame_get(uint8_t byte, uint8_t *dest)
{
    switch (rxState.state) {
    case kStHeader:
        if (byte == kFrameHeader) {
            storeByte(byte);
            GW_LOG("Message Frame Header Received.\r\n\n");
            rxState.state = kStCodeHi;
        }
        return 0;
    case kStCodeHi:
    case kStCodeLo:
        storeByte(byte);
        rxState.sum ^= byte;
        ++rxState.state;
        return 0;
    case kStLenHi:
        rxState.len = static_cast<uint16_t>(byte << 8);
        storeByte(byte);
        rxState.sum ^= byte;
        rxState.state = kStLenLo;
        return 0;
    case kStLenLo:
        rxState.len = static_cast<uint16_t>(rxState.len | byte);
        storeByte(byte);
        rxState.sum ^= byte;
        GW_LOG("Receive Frame Length: %d\r\n\n", rxState.len);
        if (rxState.len > kFrameMaxPayload) {
            GW_LOG("Receive Frame Length too Long\r\n\n");
            state_reset();
            return 0;
        }
        rxState.state = rxState.len > 0 ? kStPayload : kStChecksum;
        return 0;
    case kStPayload:
        storeByte(byte);
        rxState.sum ^= byte;
        ++rxState.count;
        if (rxState.count == rxState.len) {
            rxState.state = kStChecksum;
        }
        return 0;
    case kStChecksum: {
        storeByte(byte);
        if (byte == rxState.sum) {
            const uint32_t length = rxState.fill;
            std::memcpy(dest, rxState.buf.data(), length);
            GW_LOG("Message Receive Check Sucess.\r\n\n");
            state_reset();
            return static_cast<int>(length);
        }
        GW_LOG("Message Receive Check Error Frame Sum 0x%02x, cal Sum 0x%02x.\r\n\n", byte, rxState.sum);
        state_reset();
        return 0;
    }
    default:
        state_reset();
        return 0;
    }
}

int msgComing(const uint8_t *bytes, int n, int *used)
{
    if (used != nullptr) {
        *used = n > 0 ? n : 0;
    }
    if (n <= 0) {
        return 0;
    }
    for (int i = 0; i < n; ++i) {
        GW_LOG("0x%02x\n\n", bytes[i]);
        const int frameLen = msg_frame_get(bytes[i], rxFrame.data());
        if (frameLen > 0) {
            if (used != nullptr) {
                *used = i + 1;
            }
            return frameLen;
        }
    }
    return 0;
}

long msg_frame_put(int fd, uint16_t cmd, const uint8_t *payload, uint16_t n)
{
    const size_t total = frameBuild(txBuf.data(), txBuf.size(), static_cast<uint16_t>(cmd | kReplyCodeBit), payload, n);

    char hex[kHexTextSize];
    GW_LOG("Frame Send: %s \r\n\n", hexItems(hex, sizeof hex, txBuf.data(), total));
    GW_LOG("Message Frame Sended\r\n\r\n\n");
    // MSG_NOSIGNAL: a station that reset the connection must not end the
    // service through SIGPIPE; the failed send is simply ignored.
    return send(fd, txBuf.data(), total, MSG_DONTWAIT | MSG_NOSIGNAL);
}
