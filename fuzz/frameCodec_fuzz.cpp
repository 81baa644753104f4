// Fuzz target of the frame parser: the input is cut into chunks as reads
// would deliver them (chunk sizes taken from the input itself) and fed
// through the parser the way the connection loop does; every completed frame
// is parsed into a request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "frameCodec.h"
#include "tcpServer.h" // protcolAnlyse, MsgFrame, kRecvChunk

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    state_reset();
    size_t at = 0;
    while (at < size) {
        // One byte picks the size of the next chunk (1..2000, as recv() gives).
        const size_t want = 1 + (size_t{data[at]} * 8) % kRecvChunk;
        ++at;
        const size_t n = want < size - at ? want : size - at;
        size_t off = 0;
        while (off < n) {
            int used = 0;
            const int len = msgComing(data + at + off, static_cast<int>(n - off), &used);
            if (used <= 0 || static_cast<size_t>(used) > n - off) {
                std::abort(); // the parser must always make progress within the chunk
            }
            off += static_cast<size_t>(used);
            if (len > 0) {
                if (len < static_cast<int>(kFrameOverhead) || static_cast<size_t>(len) > kFrameMaxSize) {
                    std::abort();
                }
                MsgFrame msg;
                if (protcolAnlyse(completedFrame(), static_cast<uint32_t>(len), &msg) != 0) {
                    std::abort();
                }
            }
        }
        at += n;
    }
    return 0;
}
