// The station's shared text helpers: hex with and without blanks, text made
// valid UTF-8 (what the records, the page and every JSON output carry), and
// the wall clock as ISO 8601.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "wire/text.h"

namespace {

TEST(TextHex, TwoLowerCaseDigitsAByte)
{
    // clang-format off
    const struct {
        std::vector<uint8_t> data;
        const char *spaced;
        const char *compact;
    } cases[] = {
        {{}, "", ""},
        {{0x00}, "00", "00"},
        {{0x02, 0x47, 0xab}, "02 47 ab", "0247ab"},
        {{0xff, 0x0f, 0xf0, 0x10}, "ff 0f f0 10", "ff0ff010"},
    };
    // clang-format on
    for (const auto &c : cases) {
        EXPECT_EQ(station::hexText(c.data), c.spaced);
        EXPECT_EQ(station::hexCompact(c.data), c.compact);
    }
}

TEST(TextUtf8, TextFromOutsideBecomesValidUtf8WithoutNul)
{
    const std::string r = "\xef\xbf\xbd"; // U+FFFD
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"\xe2\x80\x93", "\xe2\x80\x93"},                // U+2013, three bytes
        {"\xf0\x9f\x94\xa7", "\xf0\x9f\x94\xa7"},        // U+1F527, four bytes
        {"\xff\xfe", r + r},
        {"a\xc3", "a" + r},                              // cut short
        {"\xc3" "a", r + "a"},                           // a lead without its continuation
        {"\x80", r},                                     // a lone continuation
        {"\xc0\xaf", r + r},                             // overlong '/'
        {"\xe0\x80\xaf", r + r + r},                     // overlong '/' in three bytes
        {"\xed\xa0\x80", r + r + r},                     // a surrogate
        {"\xf4\x90\x80\x80", r + r + r + r},             // past U+10FFFF
        {std::string("a\0b", 3), "a" + r + "b"},         // NUL
        {std::string("\0", 1), r},
    };
    // clang-format on
    for (const auto &[in, out] : cases) {
        EXPECT_EQ(station::cleanUtf8(in), out) << in;
        EXPECT_EQ(station::cleanUtf8(out), out) << "cleaning clean text changes nothing: " << in;
    }
}

TEST(TextTime, IsoTimeOfMilliseconds)
{
    // clang-format off
    const std::pair<int64_t, const char *> cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1, "1970-01-01T00:00:00.001Z"},
        {1796905845123, "2026-12-10T12:30:45.123Z"},
        {951782399999, "2000-02-28T23:59:59.999Z"},
        {951782400000, "2000-02-29T00:00:00.000Z"},
    };
    // clang-format on
    for (const auto &[ms, iso] : cases) {
        EXPECT_EQ(station::isoTime(ms), iso) << ms;
    }
    // The wall clock, not a monotonic one: a time of this century.
    const int64_t now = station::unixMsNow();
    EXPECT_GT(now, 1'700'000'000'000);
    EXPECT_EQ(station::isoTime(now).size(), 24U);
}

} // namespace
