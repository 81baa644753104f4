// Fuzz target of the service's frame receive path with the rule it must
// keep as the oracle: every whole frame the station sent is answered, in
// order, whatever the reads cut it into and whatever noise and broken
// frames lie between. The stream is built from the input (streamBuilder.h)
// and fed in chunks the way the connection loop feeds what recv() gave.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzzInput.h"
#include "streamBuilder.h"
#include "tcpServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    ChunkSizes chunks(in.u32(), kRecvChunk);
    const FrameStream stream = buildFrameStream(in, {.resyncsByteWise = false, .dropsOverlongHeader = true});

    state_reset();
    size_t found = 0;
    size_t at = 0;
    while (at < stream.bytes.size()) {
        const size_t n = std::min(chunks.next(), stream.bytes.size() - at);
        const uint8_t *chunk = stream.bytes.data() + at;
        // The connection loop: feed the rest of the chunk until no frame completes.
        size_t offset = 0;
        do {
            int used = 0;
            const int len = msgComing(chunk + offset, static_cast<int>(n - offset), &used);
            fuzzCheck(used > 0 && static_cast<size_t>(used) <= n - offset, "the parser makes progress in the chunk");
            offset += static_cast<size_t>(used);
            if (len <= 0) {
                fuzzCheck(offset == n, "a chunk without a frame is consumed whole");
                break;
            }
            fuzzCheck(found < stream.frames.size(), "no frame is found that was not sent");
            const std::vector<uint8_t> &want = stream.frames[found];
            fuzzCheck(static_cast<size_t>(len) == want.size(), "the frame's length");
            fuzzCheck(std::memcmp(completedFrame(), want.data(), want.size()) == 0, "the frame's bytes");
            MsgFrame msg;
            fuzzCheck(protcolAnlyse(completedFrame(), static_cast<uint32_t>(len), &msg) == 0, "the frame parses");
            fuzzCheck(msg.cmd == (want[1] << 8 | want[2]), "the request's code");
            const size_t payloadLen = want.size() - kFrameOverhead;
            fuzzCheck(msg.len == payloadLen, "the request's length");
            const size_t kept = std::min(payloadLen, msg.payload.size());
            fuzzCheck(std::memcmp(msg.payload.data(), want.data() + 5, kept) == 0, "the request's payload");
            ++found;
        } while (offset < n);
        at += n;
    }
    fuzzCheck(found == stream.frames.size(), "every whole frame is found");
    fuzzCheck(frameRxState().state == 0 && frameRxState().fill == 0, "the parser waits for a header at the end");
    return 0;
}
