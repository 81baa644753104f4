// The frame codec: requests arrive as a byte stream that may hold several
// frames, or part of one, per read; the receive state machine takes them one
// byte at a time and keeps a partial frame until its rest arrives. Replies
// are built with the layout of frame.h and sent whole: a station that is slow
// to read is waited for, a few seconds at most.
#include "frameCodec.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
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
// How long a reply may wait for a station that reads nothing.
constexpr int kSendWaitMs = 5000;

FrameRxState rxState;
std::array<uint8_t, kFrameMaxSize> rxFrame; // the last completed frame
std::array<uint8_t, kTxBufSize> txBuf;

long elapsedMs(const timespec &start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}

void storeByte(uint8_t byte)
{
    // The length test keeps every admitted frame within the buffer; the
    // check guards the invariant, not a reachable path.
    if (rxState.fill < rxState.buf.size()) {
        rxState.buf[rxState.fill] = byte;
        ++rxState.fill;
    }
}

// Sends the whole reply. MSG_DONTWAIT keeps one send from blocking the
// service; when the socket's buffer is full (a station that pipelines its
// requests and reads the replies later), the rest waits until the socket
// takes more, for at most kSendWaitMs in all. MSG_NOSIGNAL: a station that
// reset the connection must not end the service through SIGPIPE.
long sendWhole(int fd, const uint8_t *bytes, size_t total)
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    size_t sent = 0;
    while (sent < total) {
        const ssize_t n = send(fd, bytes + sent, total - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1; // the connection is gone
        }
        const long left = kSendWaitMs - elapsedMs(start);
        pollfd writable{fd, POLLOUT, 0};
        if (left <= 0 || (poll(&writable, 1, static_cast<int>(left)) < 0 && errno != EINTR)) {
            GW_LOG("Client Reads No Reply: %zu of %zu Bytes Sent in %d ms.\r\n\n", sent, total, kSendWaitMs);
            return -1;
        }
    }
    return static_cast<long>(total);
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
    return sendWhole(fd, txBuf.data(), total);
}
