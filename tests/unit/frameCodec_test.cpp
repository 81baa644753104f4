// The byte-wise frame parser and the reply builder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "capture.h"
#include "frameCodec.h"
#include "logText.h"
#include "tcpServer.h" // protcolAnlyse, MsgFrame
#include "wire/connection.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;

Bytes frame(uint16_t code, const Bytes &payload = {}) { return station::encodeRequest(code, payload); }

// Feeds the bytes in chunks of the given sizes (cycled) and collects every
// completed frame, feeding the rest of a chunk again after each one.
std::vector<Bytes> feedChunks(const Bytes &bytes, const std::vector<size_t> &sizes)
{
    std::vector<Bytes> frames;
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
        const size_t n = std::min(sizes[i % sizes.size()], bytes.size() - at);
        size_t off = 0;
        while (off < n) {
            int used = 0;
            const int len = msgComing(bytes.data() + at + off, static_cast<int>(n - off), &used);
            off += static_cast<size_t>(used);
            if (len > 0) {
                const uint8_t *f = completedFrame();
                frames.emplace_back(f, f + len);
            }
        }
        at += n;
    }
    return frames;
}

class FrameCodec : public ::testing::Test {
protected:
    void SetUp() override
    {
        sandbox::OutputCapture quiet;
        state_reset();
    }
};

TEST_F(FrameCodec, ModelRequestCompletesOnItsLastByte)
{
    const Bytes req{0xFE, 0x00, 0x05, 0x00, 0x00, 0x05};
    sandbox::OutputCapture out;
    std::vector<int> results;
    Bytes dest(16, 0xAA);
    for (uint8_t b : req) {
        results.push_back(msg_frame_get(b, dest.data()));
    }
    out.finish();
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0, 0, 0, 6}));
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 6), req);
    EXPECT_EQ(dest[6], 0xAA) << "nothing beyond the frame is written";
}

TEST_F(FrameCodec, LogLinesOfOneGoodFrameAreExact)
{
    sandbox::OutputCapture out;
    const Bytes req{0xFE, 0x00, 0x05, 0x00, 0x00, 0x05};
    int used = 0;
    const int len = msgComing(req.data(), static_cast<int>(req.size()), &used);
    const std::string text = out.finish();
    EXPECT_EQ(len, 6);
    EXPECT_EQ(used, 6);
    EXPECT_EQ(sandbox::maskLineNumbers(text), "[src/tcpServer] msgComing() #N 0xfe\n\n"
                                              "[src/tcpServer] msg_frame_get() #N Message Frame Header Received.\r\n\n"
                                              "[src/tcpServer] msgComing() #N 0x00\n\n"
                                              "[src/tcpServer] msgComing() #N 0x05\n\n"
                                              "[src/tcpServer] msgComing() #N 0x00\n\n"
                                              "[src/tcpServer] msgComing() #N 0x00\n\n"
                                              "[src/tcpServer] msg_frame_get() #N Receive Frame Length: 0\r\n\n"
                                              "[src/tcpServer] msgComing() #N 0x05\n\n"
                                              "[src/tcpServer] msg_frame_get() #N Message Receive Check Sucess.\r\n\n"
                                              "[src/tcpServer] state_reset() #N Frame State Reset.\r\n\r\n\n");
}

struct ParseCase {
    const char *name;
    Bytes input;
    std::vector<Bytes> frames; // completed frames, in order
    const char *logged;        // a message that must appear ("" for none)
};

std::string caseName(const ::testing::TestParamInfo<ParseCase> &info) { return info.param.name; }
void PrintTo(const ParseCase &c, std::ostream *os) { *os << c.name; }

class FrameParse : public FrameCodec, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(FrameParse, WholeChunkAndEveryChunking)
{
    const ParseCase &c = GetParam();
    // All at once, byte by byte, and in random chunks of 1 to 4 bytes.
    std::mt19937 rng(7);
    std::vector<size_t> random;
    for (int i = 0; i < 64; ++i) {
        random.push_back(1 + rng() % 4);
    }
    for (const auto &sizes : {std::vector<size_t>{c.input.size() + 1}, std::vector<size_t>{1}, random}) {
        state_reset();
        sandbox::OutputCapture out;
        const auto frames = feedChunks(c.input, sizes);
        const std::string log = out.finish();
        EXPECT_EQ(frames, c.frames) << "chunk sizes starting " << sizes[0];
        EXPECT_THAT(log, HasSubstr(c.logged));
        EXPECT_EQ(frameRxState().state, 0) << "parser back in its header state";
    }
}

const Bytes kModelReq{0xFE, 0x00, 0x05, 0x00, 0x00, 0x05};
const Bytes kWithFe = frame(0x0101, {0xFE, 0xFE, 0x01});

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, FrameParse,
    ::testing::Values(
        ParseCase{"Plain", kModelReq, {kModelReq}, "Message Receive Check Sucess."},
        ParseCase{"GarbageBeforeHeader", Bytes{0x00, 0x11, 0x22, 0xFE, 0x00, 0x05, 0x00, 0x00, 0x05}, {kModelReq}, ""},
        ParseCase{"FeInsidePayload", kWithFe, {kWithFe}, ""},
        ParseCase{"WrongChecksum", Bytes{0xFE, 0x00, 0x05, 0x00, 0x00, 0x06}, {},
                  "Message Receive Check Error Frame Sum 0x06, cal Sum 0x05.\r\n\n"},
        // XOR taken over the header as well: FE ^ 05 = FB.
        ParseCase{"ChecksumOverHeader", Bytes{0xFE, 0x00, 0x05, 0x00, 0x00, 0xFB}, {},
                  "Message Receive Check Error Frame Sum 0xfb, cal Sum 0x05.\r\n\n"},
        ParseCase{"BadFrameThenGoodOne",
                  Bytes{0xFE, 0x00, 0x05, 0x00, 0x00, 0x99, 0xFE, 0x00, 0x05, 0x00, 0x00, 0x05}, {kModelReq}, ""},
        ParseCase{"TwoFramesBothKept",
                  [] {
                      Bytes b = frame(0x0001);
                      const Bytes second = frame(0x0002, {1, 2});
                      b.insert(b.end(), second.begin(), second.end());
                      return b;
                  }(),
                  {frame(0x0001), frame(0x0002, {1, 2})}, ""},
        ParseCase{"LengthTooLong", Bytes{0xFE, 0x00, 0x05, 0xFF, 0xFB, 0xFE, 0x00, 0x05, 0x00, 0x00, 0x05},
                  {kModelReq}, "Receive Frame Length: 65531\r\n\n[src/tcpServer] msg_frame_get() #"}),
    caseName);
// clang-format on

TEST_F(FrameCodec, LengthTooLongIsRejectedRightAfterTheLengthBytes)
{
    sandbox::OutputCapture out;
    const Bytes head{0xFE, 0x00, 0x05, 0xFF, 0xFB};
    const int len = msgComing(head.data(), static_cast<int>(head.size()));
    EXPECT_EQ(len, 0);
    EXPECT_THAT(out.finish(), HasSubstr("Receive Frame Length too Long\r\n\n"));
    EXPECT_EQ(frameRxState().state, 0);
    EXPECT_EQ(frameRxState().fill, 0U);
}

TEST_F(FrameCodec, LargestAdmittedFrameIsKeptWhole)
{
    Bytes payload(kFrameMaxPayload);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 7);
    }
    const Bytes big = frame(0x0102, payload);
    ASSERT_EQ(big.size(), 65536U);
    sandbox::OutputCapture quiet;
    // Fed in 2000-byte chunks as the connection reads them.
    const auto frames = feedChunks(big, {2000});
    MsgFrame msg{};
    const int rc = protcolAnlyse(completedFrame(), 65536, &msg);
    quiet.finish();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0], big);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(msg.cmd, 0x0102);
    EXPECT_EQ(msg.len, 0xFFFA);
    EXPECT_EQ(Bytes(msg.payload.begin(), msg.payload.end()), Bytes(payload.begin(), payload.begin() + 256));
}

TEST_F(FrameCodec, PartialFrameCarriesOverToTheNextChunk)
{
    sandbox::OutputCapture quiet;
    const Bytes f = frame(0x0701, {9, 8, 7});
    const Bytes head(f.begin(), f.begin() + 4);
    const Bytes rest(f.begin() + 4, f.end());
    const int first = msgComing(head.data(), static_cast<int>(head.size()));
    const int second = msgComing(rest.data(), static_cast<int>(rest.size()));
    quiet.finish();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, static_cast<int>(f.size()));
    EXPECT_EQ(Bytes(completedFrame(), completedFrame() + f.size()), f);
}

TEST_F(FrameCodec, EmptyOrFailedReadYieldsNothing)
{
    sandbox::OutputCapture out;
    int used = 99;
    const int empty = msgComing(nullptr, 0, &used);
    const int failed = msgComing(nullptr, -1, &used);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(empty, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(used, 0);
}

TEST(FrameParseAnalyse, TooShortAndPayloadRoom)
{
    sandbox::OutputCapture out;
    MsgFrame msg{};
    const Bytes tiny{0xFE, 0x00};
    const int shortRc = protcolAnlyse(tiny.data(), 2, &msg);
    const Bytes one = frame(0x0203, {0x5A});
    const int rc = protcolAnlyse(one.data(), static_cast<uint32_t>(one.size()), &msg);
    const std::string log = out.finish();
    EXPECT_EQ(shortRc, -1);
    EXPECT_THAT(log, HasSubstr("Frame Get Length too Short.\r\n\n"));
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(msg.cmd, 0x0203);
    EXPECT_EQ(msg.len, 1);
    EXPECT_EQ(msg.payload[0], 0x5A);
    EXPECT_THAT(log, HasSubstr("Frame Get CMD:0x0203, Payload Length:1\r\n\n"));
}

struct PutCase {
    uint16_t code;
    Bytes payload;
    Bytes wire;
};

TEST(FramePut, RepliesAreBuiltByteForByte)
{
    // clang-format off
    const PutCase cases[] = {
        {0x0005, {0x00, 0x41, 0x42}, {0xFE, 0x80, 0x05, 0x00, 0x03, 0x00, 0x41, 0x42, 0x85}},
        {0x0101, {0x01}, {0xFE, 0x81, 0x01, 0x00, 0x01, 0x01, 0x80}},
        {0x0701, {0x00}, {0xFE, 0x87, 0x01, 0x00, 0x01, 0x00, 0x87}},
    };
    // clang-format on
    for (const PutCase &c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        sandbox::OutputCapture out;
        const long sent = msg_frame_put(sv[0], c.code, c.payload.data(), static_cast<uint16_t>(c.payload.size()));
        const std::string log = out.finish();
        EXPECT_EQ(sent, static_cast<long>(c.wire.size()));
        Bytes got(128);
        const ssize_t n = recv(sv[1], got.data(), got.size(), 0);
        got.resize(n > 0 ? static_cast<size_t>(n) : 0);
        EXPECT_EQ(got, c.wire);
        EXPECT_THAT(log, HasSubstr("Frame Send: " + sandbox::hexBytes(c.wire, "0x", " ") + " \r\n\n"));
        EXPECT_THAT(log, HasSubstr("Message Frame Sended\r\n\r\n\n"));
        close(sv[0]);
        close(sv[1]);
    }
}

TEST(FramePut, SendLogShowsAtMost102Items)
{
    Bytes payload(200, 0x33);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    sandbox::OutputCapture out;
    msg_frame_put(sv[0], 0x0001, payload.data(), static_cast<uint16_t>(payload.size()));
    const std::string text = out.finish();
    const auto start = text.find("Frame Send: ");
    const auto end = text.find(" \r\n\n", start);
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(end - (start + 12), 510U) << "102 items of 5 characters";
    close(sv[0]);
    close(sv[1]);
}

// A frame larger than the socket can take at once is sent whole once the
// peer starts reading; the send does not give up at the first full buffer.
TEST(FramePut, FrameLargerThanTheSocketBufferIsSentWholeToALateReader)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const Bytes payload(60000, 0x5A);

    Bytes got;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::array<uint8_t, 4096> chunk{};
        for (;;) {
            const ssize_t n = recv(sv[1], chunk.data(), chunk.size(), 0);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        }
    });
    sandbox::OutputCapture quiet;
    const long sent = msg_frame_put(sv[0], 0x0001, payload.data(), static_cast<uint16_t>(payload.size()));
    quiet.finish();
    shutdown(sv[0], SHUT_WR);
    reader.join();
    EXPECT_EQ(sent, static_cast<long>(payload.size() + kFrameOverhead));
    ASSERT_EQ(got.size(), payload.size() + kFrameOverhead);
    EXPECT_EQ(Bytes(got.begin() + 5, got.end() - 1), payload);
    close(sv[0]);
    close(sv[1]);
}

TEST(FramePut, SendToResetPeerDoesNotRaiseSigpipe)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    const uint8_t b = 0;
    sandbox::OutputCapture quiet;
    // Without MSG_NOSIGNAL this would end the test process.
    const long sent = msg_frame_put(sv[0], 0x0001, &b, 1);
    quiet.finish();
    EXPECT_LT(sent, 0);
    close(sv[0]);
}

} // namespace
