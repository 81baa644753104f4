// A byte stream for the frame parsers with a known answer: whole frames
// (built by the station's encoder) between noise and broken frames, and the
// list of the frames a parser must find in it, in order.
//
// The answer is exact because nothing around the frames can start a frame
// of its own: noise never holds the header byte 0xFE, and a broken frame is
// a complete frame with a wrong checksum (or, for the service, a header
// declaring more than the largest admitted payload, which the service drops
// at its length bytes). A parser that resyncs byte by byte after a bad
// checksum, as the station's does, gets broken frames without 0xFE after
// their header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame.h"
#include "fuzzInput.h"
#include "wire/connection.h"

struct FrameStream {
    std::vector<uint8_t> bytes;
    std::vector<std::vector<uint8_t>> frames; // each whole, header to checksum
};

struct StreamRules {
    bool resyncsByteWise;     // broken frames hold no 0xFE after their header
    bool dropsOverlongHeader; // a header with a length above the largest is dropped
};

namespace streamDetail {

// Keeps the stream within reach of a fuzzer's run time.
inline constexpr size_t kStreamBudget = 140000;

inline uint8_t notHeader(uint8_t b) { return b == kFrameHeader ? 0x7E : b; }

// The payload: short ones from the input, long ones a pattern seeded by it.
inline std::vector<uint8_t> payloadFrom(FuzzInput &in, bool noHeaderByte)
{
    const uint8_t kind = in.byte();
    std::vector<uint8_t> payload;
    if (kind % 8 == 0) {
        const size_t n = in.upTo(kFrameMaxPayload);
        const uint8_t seed = in.byte();
        payload.resize(n);
        for (size_t i = 0; i < n; ++i) {
            payload[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
        }
    } else {
        const std::string text = in.run(kind);
        payload.assign(text.begin(), text.end());
    }
    if (noHeaderByte) {
        for (uint8_t &b : payload) {
            b = notHeader(b);
        }
    }
    return payload;
}

} // namespace streamDetail

inline FrameStream buildFrameStream(FuzzInput &in, const StreamRules &rules)
{
    using namespace streamDetail;
    FrameStream out;
    while (!in.empty() && out.bytes.size() < kStreamBudget) {
        const uint8_t op = in.byte();
        switch (op % 4) {
        case 0: { // noise
            for (char c : in.run(op / 4)) {
                out.bytes.push_back(notHeader(static_cast<uint8_t>(c)));
            }
            break;
        }
        case 1: { // a broken frame: its checksum is off
            auto code = in.u16();
            std::vector<uint8_t> payload = payloadFrom(in, rules.resyncsByteWise);
            if (rules.resyncsByteWise) {
                // No 0xFE in the code or the length bytes either.
                code = static_cast<uint16_t>(notHeader(static_cast<uint8_t>(code >> 8)) << 8 |
                                             notHeader(static_cast<uint8_t>(code)));
                if (payload.size() > 0xFD) {
                    payload.resize(0xFD);
                }
            }
            std::vector<uint8_t> frame = station::encodeRequest(code, payload);
            const uint8_t good = frame.back();
            auto wrong = static_cast<uint8_t>(good ^ (1 + in.byte() % 255));
            if (rules.resyncsByteWise && wrong == kFrameHeader) {
                wrong = good == 0x7E ? 0x7D : 0x7E;
            }
            frame.back() = wrong;
            out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
            break;
        }
        case 2: { // a header declaring more than the largest payload
            if (rules.dropsOverlongHeader) {
                const uint16_t code = in.u16();
                const auto len = static_cast<uint16_t>(kFrameMaxPayload + 1 + in.byte() % (0xFFFF - kFrameMaxPayload));
                const uint8_t header[] = {kFrameHeader, static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code),
                                          static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
                out.bytes.insert(out.bytes.end(), std::begin(header), std::end(header));
                break;
            }
            [[fallthrough]];
        }
        default: { // a whole frame
            const uint16_t code = in.u16();
            std::vector<uint8_t> frame = station::encodeRequest(code, payloadFrom(in, false));
            out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
            out.frames.push_back(std::move(frame));
            break;
        }
        }
    }
    return out;
}

// Chunk sizes as reads deliver them, from a small generator seeded by the
// input: tiny chunks (1 to 4 bytes) or reads of up to `largest` bytes.
class ChunkSizes {
public:
    ChunkSizes(uint32_t seed, size_t largest) : state_(seed | 1), largest_((seed & 0x100) != 0 ? 4 : largest) {}
    size_t next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return 1 + state_ % largest_;
    }

private:
    uint32_t state_;
    size_t largest_;
};
