// Fuzz target of the station's reply parser, with the oracle of the
// service's: every whole frame in the stream comes out, in order, whatever
// the reads cut it into and whatever noise and broken frames lie between
// (streamBuilder.h). Arbitrary bytes go through the parser first.
#include <cstddef>
#include <cstdint>

#include "fuzzInput.h"
#include "streamBuilder.h"
#include "wire/connection.h"

namespace {

// Bytes as they come, any number of frames or none: only the parser's own
// consistency is checked.
void arbitraryBytes(const uint8_t *data, size_t size)
{
    station::ReplyParser parser;
    size_t at = 0;
    size_t taken = 0;
    while (at < size) {
        const size_t n = std::min<size_t>(1 + data[at] % 64, size - at);
        parser.feed(data + at, n);
        at += n;
        while (const auto reply = parser.next()) {
            taken += reply->payload.size() + kFrameOverhead;
            fuzzCheck(taken <= size, "no more frame bytes come out than went in");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    arbitraryBytes(data, size);

    FuzzInput in(data, size);
    ChunkSizes chunks(in.u32(), 4096);
    const FrameStream stream = buildFrameStream(in, {.resyncsByteWise = true, .dropsOverlongHeader = false});

    station::ReplyParser parser;
    size_t found = 0;
    size_t at = 0;
    while (at < stream.bytes.size()) {
        const size_t n = std::min(chunks.next(), stream.bytes.size() - at);
        parser.feed(stream.bytes.data() + at, n);
        at += n;
        while (const auto reply = parser.next()) {
            fuzzCheck(found < stream.frames.size(), "no frame is found that was not sent");
            const std::vector<uint8_t> &want = stream.frames[found];
            fuzzCheck(reply->code == (want[1] << 8 | want[2]), "the reply's code");
            fuzzCheck(reply->payload.size() + kFrameOverhead == want.size(), "the reply's length");
            fuzzCheck(std::equal(reply->payload.begin(), reply->payload.end(), want.begin() + 5), "the reply's data");
            ++found;
        }
    }
    fuzzCheck(found == stream.frames.size(), "every whole frame is found");
    return 0;
}
