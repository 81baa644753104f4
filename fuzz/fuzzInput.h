// Reading a fuzz input as a sequence of choices: bytes, small numbers and
// runs of bytes, taken from the front. An exhausted input gives zeros and
// empty runs, so every target can read what it needs without checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    size_t left() const { return size_ - at_; }

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() << 8 | byte()); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) << 16 | u16(); }
    // A number from 0 to max.
    size_t upTo(size_t max) { return max == 0 ? 0 : u32() % (max + 1); }

    // The next n bytes (fewer when the input ends).
    std::string bytes(size_t n)
    {
        const size_t take = n < left() ? n : left();
        std::string out(reinterpret_cast<const char *>(data_ + at_), take);
        at_ += take;
        return out;
    }
    // A run of at most max bytes, its length read first.
    std::string run(size_t max) { return bytes(upTo(max)); }
    // Everything not read yet.
    std::string rest() { return bytes(left()); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// A broken oracle: says which and stops the run, so libFuzzer saves the input.
[[noreturn]] inline void fuzzFail(const char *what)
{
    std::fprintf(stderr, "fuzz oracle failed: %s\n", what);
    std::abort();
}

inline void fuzzCheck(bool ok, const char *what)
{
    if (!ok) {
        fuzzFail(what);
    }
}
