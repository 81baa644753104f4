// Reply data as the station shows it: the bytes real gateways send (cut,
// short and malformed ones too), decoded by the catalogue's decoders, with
// text or hex where the data does not fit.
#include "wire/decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using catalogue::Decoder;
using Bytes = std::vector<uint8_t>;

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }
Bytes textNul(const std::string &s)
{
    Bytes b = text(s);
    b.push_back(0);
    return b;
}

struct DecodeCase {
    const char *name;
    Decoder decoder;
    Bytes data; // the reply after its result byte
    std::string shown;
};

void PrintTo(const DecodeCase &c, std::ostream *os) { *os << c.name; }

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, ShowsWhatAPersonReads)
{
    const DecodeCase &c = GetParam();
    EXPECT_EQ(station::decodeData(c.decoder, c.data), c.shown);
}

const std::string k63(63, 'v');

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Replies, Decode,
    ::testing::Values(
        // eth0's six address bytes.
        DecodeCase{"MacOfTheLine", Decoder::kMac, {0x02, 0x47, 0x57, 0x04, 0x04, 0x00}, "02:47:57:04:04:00"},
        DecodeCase{"MacUpperDigitsShownLower", Decoder::kMac, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, "aa:bb:cc:dd:ee:ff"},
        DecodeCase{"MacOfPrintableBytesStaysAMac", Decoder::kMac, text("GWM020"), "47:57:4d:30:32:30"},
        DecodeCase{"MacCutByASmallBuffer", Decoder::kMac, {0x00, 0x11, 0x22, 0x33}, "00 11 22 33"},
        DecodeCase{"MacTooLong", Decoder::kMac, {1, 2, 3, 4, 5, 6, 7}, "01 02 03 04 05 06 07"},
        // Version queries: the text and its NUL, the file's newline when no
        // delimiter followed the version, 63 characters without NUL when cut.
        DecodeCase{"Version", Decoder::kVersion, textNul("V1.1.3"), "V1.1.3"},
        DecodeCase{"VersionWithTheFilesNewline", Decoder::kVersion, textNul("7.15\n"), "7.15"},
        DecodeCase{"VersionWithCrLf", Decoder::kVersion, textNul("6.7.8\r\n"), "6.7.8"},
        DecodeCase{"VersionCutWithoutNul", Decoder::kVersion, text(k63), k63},
        DecodeCase{"VersionEmpty", Decoder::kVersion, {0x00}, "00"},
        DecodeCase{"VersionBinary", Decoder::kVersion, {0xFF, 0xFE, 0x00}, "ff fe 00"},
        DecodeCase{"VersionNewlineInside", Decoder::kVersion, textNul("1.0\nx"), "1.0\\nx"},
        // The model query: the file's line as stored, its newline and a NUL.
        DecodeCase{"ModelLowerCaseWithNewline", Decoder::kModel, textNul("gwm0202\n"), "gwm0202"},
        DecodeCase{"ModelWithoutNewline", Decoder::kModel, textNul("GWM0303"), "GWM0303"},
        DecodeCase{"ModelCutAt63", Decoder::kModel, text(k63), k63},
        DecodeCase{"ModelWithCarriageReturnShown", Decoder::kModel, textNul("gwm0202\r\n"), "gwm0202\\r\\n"},
        DecodeCase{"ModelOnlyANewline", Decoder::kModel, textNul("\n"), "\\n"},
        DecodeCase{"ModelBinary", Decoder::kModel, {0x80, 0x00}, "80 00"},
        DecodeCase{"ModelTrailingBytesAfterTheLine", Decoder::kModel, text("gwm0202\nxx"), "gwm0202\\nxx"},
        // The Z-Wave inclusion: mac|version|battery|pir, no NUL.
        DecodeCase{"ZwaveDevice", Decoder::kZwave, text("0a1b2c3d4e5f|6.81|80|0"), "mac 0a1b2c3d4e5f, version 6.81, battery 80, pir 0"},
        DecodeCase{"ZwaveUnparsedList", Decoder::kZwave, text("||0|0"), "mac (none), version (none), battery 0, pir 0"},
        DecodeCase{"ZwaveNegativeAndLargest", Decoder::kZwave, text("a|b|-5|2147483647"), "mac a, version b, battery -5, pir 2147483647"},
        DecodeCase{"ZwaveBarInTheVersion", Decoder::kZwave, text("0a1b|1|2|80|1"), "mac 0a1b, version 1|2, battery 80, pir 1"},
        DecodeCase{"ZwaveCutBeforePir", Decoder::kZwave, text("0a1b|1.2|80"), "0a1b|1.2|80"},
        DecodeCase{"ZwaveCutInsidePir", Decoder::kZwave, text("0a1b|1.2|80|"), "0a1b|1.2|80|"},
        DecodeCase{"ZwaveNumberTooLarge", Decoder::kZwave, text("a|b|99999999999|0"), "a|b|99999999999|0"},
        DecodeCase{"ZwaveNumberNotDecimal", Decoder::kZwave, text("a|b|8x|0"), "a|b|8x|0"},
        DecodeCase{"ZwaveOnlyBars", Decoder::kZwave, text("|||"), "|||"},
        DecodeCase{"ZwaveOneBar", Decoder::kZwave, text("|"), "|"},
        DecodeCase{"ZwaveBinary", Decoder::kZwave, {0x01, '|', 0x02}, "01 7c 02"},
        // Data where none is expected, and plain text.
        DecodeCase{"NoData", Decoder::kNone, {}, ""},
        DecodeCase{"NoDataForAMac", Decoder::kMac, {}, ""},
        DecodeCase{"UnexpectedText", Decoder::kNone, textNul("abc"), "abc"},
        DecodeCase{"TextWithNulInside", Decoder::kText, {'a', 0x00, 'b'}, "61 00 62"},
        DecodeCase{"LoneNul", Decoder::kText, {0x00}, "00"}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

TEST(DecodeModel, AsTheServiceMatchesIt)
{
    // clang-format off
    const std::pair<Bytes, std::string> cases[] = {
        {textNul("gwm0202\n"), "GWM0202"},
        {textNul("gwm0202\r\n"), "GWM0202\r"},
        {textNul("gwm0101\ngwm0202"), "GWM0101"},
        {text(k63), std::string(63, 'V')},
        {{}, ""},
        {{0x00, 'x'}, ""},
    };
    // clang-format on
    for (const auto &[data, name] : cases) {
        EXPECT_EQ(station::serviceModelName(data), name);
    }
    EXPECT_EQ(catalogue::modelBit(station::serviceModelName(textNul("gwm0404\n"))), catalogue::kGwm0404);
    EXPECT_EQ(catalogue::modelBit(station::serviceModelName(textNul("gwm0404\r\n"))), 0)
        << "a model the service matches to none of its tables";
}

TEST(DecodeZwave, FieldsForRecords)
{
    const auto device = station::zwaveDevice(text("0a1b|1.2|80|0"));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->mac, "0a1b");
    EXPECT_EQ(device->version, "1.2");
    EXPECT_EQ(device->battery, 80) << "battery comes before pir";
    EXPECT_EQ(device->pir, 0);
}

} // namespace
