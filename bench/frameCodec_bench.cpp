// Frame parsing and reply building, as the connection loop uses them. The
// parser prints one log line per received byte, as the gateway's log
// expects; the benchmarks send standard output to /dev/null, so they measure
// the formatting but not a terminal.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "frameCodec.h"
#include "tcpServer.h" // protcolAnlyse, MsgFrame, kRecvChunk
#include "wire/connection.h"

namespace {

// The service's printf goes to /dev/null; the benchmark's own report, on
// std::cout, keeps the original stream.
void quietStdout()
{
    static FILE *devNull = std::fopen("/dev/null", "w");
    if (devNull != nullptr) {
        stdout = devNull;
    }
}

// A 2000-byte read full of small requests, each fed and parsed in turn.
void BM_ParseChunkOfRequests(benchmark::State &state)
{
    quietStdout();
    std::vector<uint8_t> chunk;
    while (chunk.size() + 8 <= kRecvChunk) {
        const auto f = station::encodeRequest(0x0005, {0x01, 0x02});
        chunk.insert(chunk.end(), f.begin(), f.end());
    }
    state_reset();
    for (auto _ : state) {
        int off = 0;
        const int n = static_cast<int>(chunk.size());
        while (off < n) {
            int used = 0;
            const int len = msgComing(chunk.data() + off, n - off, &used);
            off += used;
            if (len > 0) {
                MsgFrame msg;
                benchmark::DoNotOptimize(protcolAnlyse(completedFrame(), static_cast<uint32_t>(len), &msg));
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(chunk.size()));
}
BENCHMARK(BM_ParseChunkOfRequests);

// Building and sending a full 64-byte reply.
void BM_SendReply(benchmark::State &state)
{
    quietStdout();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::vector<uint8_t> reply(64, 0x41);
    std::vector<uint8_t> sink(256);
    for (auto _ : state) {
        benchmark::DoNotOptimize(msg_frame_put(sv[0], 0x0005, reply.data(), 64));
        benchmark::DoNotOptimize(recv(sv[1], sink.data(), sink.size(), 0));
    }
    close(sv[0]);
    close(sv[1]);
}
BENCHMARK(BM_SendReply);

} // namespace
