// What a person types at the station, read by wire/input the same way for
// every command and for the page: gateways, labels, the slots file's lines,
// the page's --listen, MACs, models, test codes and names, --since dates.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "wire/input.h"

namespace {

using station::Target;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct TargetCase {
    const char *text;
    bool ok;
    const char *host;
    uint16_t port;
    const char *label;
};

// clang-format off
const TargetCase kTargets[] = {
    {"10.0.0.2", true, "10.0.0.2", 6666, ""},
    {"10.0.0.2:7000", true, "10.0.0.2", 7000, ""},
    {"10.213.0.2:65535", true, "10.213.0.2", 65535, ""},
    {"10.0.0.2=A3", true, "10.0.0.2", 6666, "A3"},
    {"gw-7.line:6666=slot-12", true, "gw-7.line", 6666, "slot-12"},
    {"gw_7", true, "gw_7", 6666, ""},
    {"[::1]:6666", true, "::1", 6666, ""},
    {"[::1]", true, "::1", 6666, ""},
    {"::1", true, "::1", 6666, ""},
    {"fe80::1:2=B1", true, "fe80::1:2", 6666, "B1"},
    {"[2001:db8::7]:7001=C", true, "2001:db8::7", 7001, "C"},
    {"fe80::1%eth0", true, "fe80::1%eth0", 6666, ""},
    {"[fe80::1%eth0.2]:6667", true, "fe80::1%eth0.2", 6667, ""},
    // Labels as the page and the slots file have always taken them: spaces,
    // UTF-8, up to 40 bytes.
    {"10.0.0.2=A 3", true, "10.0.0.2", 6666, "A 3"},
    {"10.0.0.2=Ligne 3 – poste 2", true, "10.0.0.2", 6666, "Ligne 3 – poste 2"},
    {"10.0.0.2=a=b", true, "10.0.0.2", 6666, "a=b"},
    {"10.0.0.2=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", true, "10.0.0.2", 6666,
     "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
    {"10.0.0.2=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", false, "", 0, ""},
    {"10.0.0.2=", false, "", 0, ""},
    {"10.0.0.2=A\tB", false, "", 0, ""},
    {"10.0.0.2=A\x7f", false, "", 0, ""},
    {"10.0.0.2=A\xc3", false, "", 0, ""},          // a UTF-8 sequence cut short
    {"10.0.0.2=\xc0\xae", false, "", 0, ""},        // an overlong '.'
    {"10.0.0.2=\xed\xa0\x80", false, "", 0, ""},    // a surrogate
    {"10.0.0.2=\xff", false, "", 0, ""},
    {"fe80::1%", false, "", 0, ""},
    {"fe80::1%et h0", false, "", 0, ""},
    {"fe80::1%a/b", false, "", 0, ""},
    {"", false, "", 0, ""},
    {":6666", false, "", 0, ""},
    {"10.0.0.2:", false, "", 0, ""},
    {"10.0.0.2:0", false, "", 0, ""},
    {"10.0.0.2:65536", false, "", 0, ""},
    {"10.0.0.2:66a", false, "", 0, ""},
    {"10.0.0.2:+66", false, "", 0, ""},
    {"300.1.1.1", false, "", 0, ""},
    {"10.0.0", false, "", 0, ""},
    {"[::1", false, "", 0, ""},
    {"[]:80", false, "", 0, ""},
    {"[::1]6666", false, "", 0, ""},
    {"[::1]:", false, "", 0, ""},
    {"[gw-7]:6666", false, "", 0, ""},
    {"[10.0.0.1]", false, "", 0, ""},
    {"::1:6666:zz", false, "", 0, ""},
    {"gw 7", false, "", 0, ""},
    {"host/../etc", false, "", 0, ""},
    {"<script>", false, "", 0, ""},
};
// clang-format on

TEST(InputTargets, ParsedOrRefusedWithWhatWasExpected)
{
    for (const TargetCase &c : kTargets) {
        Target t;
        std::string error;
        const bool ok = station::parseTarget(c.text, t, error);
        EXPECT_EQ(ok, c.ok) << "'" << c.text << "' " << error;
        if (ok && c.ok) {
            EXPECT_EQ(t.host, c.host) << c.text;
            EXPECT_EQ(t.port, c.port) << c.text;
            EXPECT_EQ(t.label, c.label) << c.text;
        } else if (!ok) {
            EXPECT_THAT(error, HasSubstr("expected")) << c.text;
        }
        // The address alone reads the same, whoever reads it.
        const std::string address = std::string(c.text).substr(0, std::string(c.text).find('='));
        std::string host;
        uint16_t port = 0;
        if (std::string(c.text).find('=') == std::string::npos) {
            EXPECT_EQ(station::parseAddress(address, host, port, error), c.ok) << c.text;
        }
    }
}

TEST(InputTargets, MessagesNameTheWrongPart)
{
    // clang-format off
    const std::pair<const char *, const char *> cases[] = {
        {"10.0.0.2:99999",  "bad port '99999' in '10.0.0.2:99999': expected 1 to 65535"},
        {"10.0.0.2:66x",    "bad port '66x' in '10.0.0.2:66x'"},
        {"10.0.0.2:",       "bad address '10.0.0.2:': the port is missing after ':'"},
        {"bad/host",        "bad host 'bad/host' in 'bad/host': expected HOST, HOST:PORT, [IPv6]:PORT"},
        {"300.1.1.1:6666",  "bad host '300.1.1.1'"},
        {"[::g]:6666",      "bad host '::g' in '[::g]:6666': expected"},
        {"[::1",            "bad address '[::1': expected"},
        {"10.0.0.2=",       "bad label in '10.0.0.2=': expected a label of 1 to 40 bytes after '='"},
        {"10.0.0.2=a\nb",   "bad label in '10.0.0.2=a\nb': expected a label without control characters"},
    };
    // clang-format on
    for (const auto &[text, message] : cases) {
        Target t;
        std::string error;
        EXPECT_FALSE(station::parseTarget(text, t, error)) << text;
        EXPECT_THAT(error, StartsWith(message)) << text;
    }
    // A request from the page cannot make a message of any length.
    Target t;
    std::string error;
    EXPECT_FALSE(station::parseTarget(std::string(5000, 'a') + "/", t, error));
    EXPECT_LT(error.size(), 400U);
}

TEST(InputTargets, SlotsFileLinesAreAnAddressAndTheRestALabel)
{
    struct Case {
        const char *line;
        bool slot;
        const char *host;
        uint16_t port;
        const char *label;
        const char *error; // "" when the line is accepted
    };
    // clang-format off
    const Case cases[] = {
        {"10.213.0.2 A1",              true,  "10.213.0.2", 6666, "A1",       ""},
        {"  10.213.1.2:6666   B 2  \r", true, "10.213.1.2", 6666, "B 2",      ""},
        {"[::1]:7000",                 true,  "::1",        7000, "",         ""},
        {"gw-7\tLigne 3 – poste 2",    true,  "gw-7",       6666, "Ligne 3 – poste 2", ""},
        {"# the station's gateways",   false, "", 0, "", ""},
        {"",                           false, "", 0, "", ""},
        {"   ",                        false, "", 0, "", ""},
        {"10.213.0.2:99999 A1",        false, "", 0, "", "bad port '99999'"},
        {"bad/host A3",                false, "", 0, "", "bad host 'bad/host'"},
        {"300.1.1.1 A4",               false, "", 0, "", "bad host '300.1.1.1'"},
        {"10.0.0.2 xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", false, "", 0, "", "bad label"},
    };
    // clang-format on
    for (const Case &c : cases) {
        std::string error;
        const auto target = station::parseSlotLine(c.line, error);
        EXPECT_EQ(target.has_value(), c.slot) << c.line << ": " << error;
        if (target) {
            EXPECT_EQ(target->host, c.host) << c.line;
            EXPECT_EQ(target->port, c.port) << c.line;
            EXPECT_EQ(target->label, c.label) << c.line;
        }
        if (*c.error != '\0') {
            EXPECT_THAT(error, StartsWith(c.error)) << c.line;
        } else {
            EXPECT_EQ(error, "") << c.line;
        }
    }
}

TEST(InputTargets, ThePageListensOnPort8080UnlessToldOtherwise)
{
    struct Case {
        const char *text;
        bool ok;
        const char *host;
        uint16_t port;
    };
    // clang-format off
    const Case cases[] = {
        {"127.0.0.1",      true,  "127.0.0.1", 8080},
        {"0.0.0.0:8000",   true,  "0.0.0.0",   8000},
        {"127.0.0.1:0",    true,  "127.0.0.1", 0},
        {"[::1]",          true,  "::1",       8080},
        {"[::1]:0",        true,  "::1",       0},
        {"::",             true,  "::",        8080},
        {"::0",            true,  "::0",       8080},  // a bare literal has no port
        {"localhost",      true,  "localhost", 8080},
        {"127.0.0.1:http", false, "", 0},
        {":8080",          false, "", 0},
        {":0",             false, "", 0},
        {"[]:0",           false, "", 0},
        {"300.0.0.1:8080", false, "", 0},
    };
    // clang-format on
    for (const Case &c : cases) {
        std::string host;
        uint16_t port = 1;
        std::string error;
        EXPECT_EQ(station::parseListen(c.text, host, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_THAT(error, StartsWith("--listen: ")) << c.text;
        }
    }
}

TEST(InputLabels, ShortPrintableUtf8Text)
{
    // clang-format off
    const std::pair<std::string, bool> cases[] = {
        {"A1", true}, {"Ligne 3 – poste 2", true}, {std::string(40, 'x'), true}, {"a b", true},
        {std::string(41, 'x'), false}, {"", false}, {"A1\nB2", false}, {std::string("A\0B", 3), false},
        {"A\x1b[31m", false}, {"\xe2\x80", false}, {"caf\xe9", false},
    };
    // clang-format on
    for (const auto &[label, ok] : cases) {
        std::string error;
        EXPECT_EQ(station::validLabel(label, error), ok) << label;
        EXPECT_EQ(error.empty(), ok) << label;
    }
}

TEST(InputMacs, ReadAsPeopleTypeThemAndSpeltAsTheRecordsSpellThem)
{
    // clang-format off
    const std::pair<const char *, std::optional<std::string>> cases[] = {
        {"02:47:57:04:04:00", "02:47:57:04:04:00"},
        {"02:47:57:0A:0b:FF", "02:47:57:0a:0b:ff"},
        {"02:47:57:04:04:0A", "02:47:57:04:04:0a"},
        {"02-47-57-04-04-00", "02:47:57:04:04:00"},
        {"024757040400",      "02:47:57:04:04:00"},
        {"024757040403",      "02:47:57:04:04:03"},
        {"02:47:57-04:04:00", std::nullopt},  // one separator throughout
        {"0247:5704:0400",    std::nullopt},
        {"0247570404 0a",     std::nullopt},
        {"02:47:57:04:04",    std::nullopt},
        {"02:47:57:04:04:03:00", std::nullopt},
        {"02:47:57:04:04:0g", std::nullopt},
        {"0247570404000",     std::nullopt},
        {"02.47.57.04.04.00", std::nullopt},
        {"../../etc/passwd",  std::nullopt},
        {"",                  std::nullopt},
    };
    // clang-format on
    for (const auto &[text, mac] : cases) {
        EXPECT_EQ(station::normaliseMac(text), mac) << text;
    }
}

TEST(InputModels, AnyCaseInTheCataloguesSpelling)
{
    // clang-format off
    const std::pair<const char *, const char *> cases[] = {
        {"GWM0202", "GWM0202"}, {"gwm0404", "GWM0404"}, {"Gwm0101", "GWM0101"}, {"gWM0303", "GWM0303"},
        {"GWM0505", ""}, {"GWM020", ""}, {"GWM02022", ""}, {"", ""}, {"auto", ""}, {" GWM0202", ""},
    };
    // clang-format on
    for (const auto &[text, model] : cases) {
        std::string out;
        std::string error;
        const bool ok = station::parseModel(text, out, error);
        EXPECT_EQ(ok, *model != '\0') << text;
        if (ok) {
            EXPECT_EQ(out, model) << text;
        } else {
            EXPECT_THAT(error, HasSubstr("unknown model '" + std::string(text) +
                                         "' (expected GWM0101, GWM0202, GWM0303 or GWM0404"));
        }
    }
}

TEST(InputTests, CodesInHexOrDecimal)
{
    // clang-format off
    const std::pair<const char *, std::optional<uint16_t>> cases[] = {
        {"0x0001", 0x0001}, {"0X0A01", 0x0A01}, {"0xffff", 0xFFFF}, {"0", 0}, {"257", 257}, {"65535", 0xFFFF},
        {"0x10000", std::nullopt}, {"65536", std::nullopt}, {"0x", std::nullopt}, {"", std::nullopt},
        {"-1", std::nullopt}, {"0x0g", std::nullopt}, {"1e3", std::nullopt}, {"0x00000001", std::nullopt},
        {" 1", std::nullopt},
    };
    // clang-format on
    for (const auto &[text, code] : cases) {
        EXPECT_EQ(station::parseCode(text), code) << text;
    }
}

TEST(InputTests, NamesOrCodesOfTheCatalogue)
{
    struct Case {
        const char *text;
        uint16_t code; // 0xFFFF: refused
        const char *error;
    };
    // clang-format off
    const Case cases[] = {
        {"mac",              0x0001, ""},
        {"model",            0x0005, ""},
        {"0x0001",           0x0001, ""},
        {"1",                0x0001, ""},
        {"zwave-exclude",    0x0503, ""},
        {"MAC",              0xFFFF, "unknown test 'MAC' (expected a command code such as 0x0001, or one of: model, mac,"},
        {"pign-gw",          0xFFFF, "unknown test 'pign-gw'"},
        {"",                 0xFFFF, "unknown test ''"},
        {"0x9999",           0xFFFF, "unknown test '0x9999': no gateway model answers code 0x9999"},
        {"0",                0xFFFF, "unknown test '0': no gateway model answers code 0x0000"},
        {"0x10000",          0xFFFF, "bad command code '0x10000' (expected 0x0000..0xffff"},
        {"1mac",             0xFFFF, "bad command code '1mac'"},
    };
    // clang-format on
    for (const Case &c : cases) {
        std::string error;
        const catalogue::Test *row = station::parseTest(c.text, error);
        if (c.code == 0xFFFF) {
            EXPECT_EQ(row, nullptr) << c.text;
            EXPECT_THAT(error, StartsWith(c.error)) << c.text;
        } else {
            ASSERT_NE(row, nullptr) << c.text << ": " << error;
            EXPECT_EQ(row->code, c.code) << c.text;
        }
    }
}

TEST(InputDates, SinceIsAUtcDateWithAnOptionalTime)
{
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"2026-12-10", "2026-12-10T00:00:00.000Z"},
        {"2026-12-10Z", "2026-12-10T00:00:00.000Z"},
        {"2026-12-10T08:30", "2026-12-10T08:30:00.000Z"},
        {"2026-12-10t08:30z", "2026-12-10T08:30:00.000Z"},
        {"2026-12-10 08:30:15", "2026-12-10T08:30:15.000Z"},
        {"2024-02-29T23:59:59Z", "2024-02-29T23:59:59.000Z"},
        {"2000-02-29", "2000-02-29T00:00:00.000Z"},
        {"2026-13-01", ""}, {"2026-02-29", ""}, {"1900-02-29", ""}, {"2026-12-32", ""}, {"2026-04-31", ""},
        {"2026-12-10T24:00", ""}, {"2026-12-10T08:60", ""}, {"2026-12-10T08", ""}, {"yesterday", ""}, {"", ""},
        {"2026/12/10", ""}, {"2026-12-10T08:30:15.5", ""}, {"2026-1-10", ""}, {"+026-12-10", ""},
    };
    // clang-format on
    for (const auto &[text, iso] : cases) {
        std::string out;
        std::string error;
        EXPECT_EQ(station::parseSince(text, out, error), !iso.empty()) << text;
        if (!iso.empty()) {
            EXPECT_EQ(out, iso) << text;
        } else {
            EXPECT_THAT(error, HasSubstr("is not a date; expected YYYY-MM-DD")) << text;
        }
    }
}

} // namespace
