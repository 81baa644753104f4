// The line's profile: reading (every error named with its line and what is
// allowed) and judging a unit's replies by it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "catalogue.h"
#include "profile/profile.h"

namespace {

using station::judge;
using station::Profile;
using station::readProfile;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;

constexpr std::string_view kSample = R"toml(
[line]
mac_ranges = ["02:47:57:00:00:00-02:47:57:ff:ff:ff", "0A-1B-2C-00-00-01"]
serial = "^GW[0-9]{8}$"

[model.GWM0202]
sysversion = "2.3.7"
zwversion = ">= 7.16"
zbversion = "6.7.*"

[model.GWM0202.limits]
"zwave-include.battery" = { min = 20, marginal_min = 30 }
"modem-usb" = { max_s = 15.0 }
"ping-host" = { max_s = 3.5, marginal_s = 3.2 }
zwave-include.pir = { max = 1 }

[model.gwm0101]
sysversion = "1.0.*"
)toml";

Profile sample()
{
    std::vector<std::string> errors;
    auto profile = readProfile(kSample, "line.toml", errors);
    EXPECT_THAT(errors, testing::IsEmpty());
    return profile.value_or(Profile{});
}

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(ProfileRead, TheSampleReadsWhole)
{
    const Profile p = sample();
    ASSERT_EQ(p.macRanges.size(), 2U);
    EXPECT_EQ(p.macRanges[0].text, "02:47:57:00:00:00-02:47:57:ff:ff:ff");
    EXPECT_EQ(p.macRanges[1].text, "0a:1b:2c:00:00:01-0a:1b:2c:00:00:01");
    EXPECT_TRUE(p.serialFits("GW12345678"));
    EXPECT_FALSE(p.serialFits("GW1234567"));
    const station::ModelProfile *m = p.of(catalogue::kGwm0202);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->texts.size(), 3U);
    EXPECT_EQ(m->limits.size(), 4U);
    ASSERT_NE(p.of(catalogue::kGwm0101), nullptr); // the model's name in any case
    EXPECT_EQ(p.of(catalogue::kGwm0303), nullptr);
    EXPECT_EQ(p.hash.size(), 64U);
    EXPECT_EQ(station::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

struct BadCase {
    const char *name;
    std::string text;
    std::vector<std::string> errors; // each a piece of one error, in order
};

class ProfileRefused : public testing::TestWithParam<BadCase> {};

TEST_P(ProfileRefused, NamesEveryErrorWithItsLine)
{
    std::vector<std::string> errors;
    EXPECT_FALSE(readProfile(GetParam().text, "p.toml", errors));
    ASSERT_EQ(errors.size(), GetParam().errors.size()) << testing::PrintToString(errors);
    for (size_t i = 0; i < errors.size(); ++i) {
        EXPECT_THAT(errors[i], HasSubstr(GetParam().errors[i]));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ProfileRefused,
    testing::Values(
        BadCase{"NotToml", "[line\nserial = 1\n", {"p.toml:1:"}},
        BadCase{"UnknownTopKey", "[lines]\n", {"p.toml:1: unknown key 'lines'; allowed: line, model"}},
        BadCase{"UnknownLineKey",
                "[line]\nserials = \"x\"\n",
                {"p.toml:2: unknown key 'serials' in [line]; allowed: mac_ranges, serial"}},
        BadCase{"UnknownModel",
                "[model.GWM0999]\nsysversion = \"1\"\n",
                {"p.toml:1: unknown model 'GWM0999'; allowed: GWM0101, GWM0202, GWM0303, GWM0404"}},
        BadCase{"MisspeltTestAndATestOfAnotherModel",
                "[model.GWM0101]\nsysverion = \"1\"\nzwversion = \"7\"\n",
                {"p.toml:2: unknown key 'sysverion' in [model.GWM0101]; allowed: sysversion, limits",
                 "p.toml:3: unknown key 'zwversion'"}},
        BadCase{"MalformedRangesEachNamed",
                "[line]\nmac_ranges = [\"02:47:57:00:00:00-02:47:57\", \"02:47:57:00:00:09-02:47:57:00:00:01\", 7]\n",
                {"p.toml:2: malformed MAC range '02:47:57:00:00:00-02:47:57'", "the first not above the last",
                 "(not a string)"}},
        BadCase{"MalformedVersions",
                "[model.GWM0202]\nzwversion = \">= 7.x\"\nzbversion = \"\"\nsysversion = 2\n",
                {"p.toml:2: zwversion in [model.GWM0202]: '>= 7.x' wants a dotted version after '>='",
                 "p.toml:3: zbversion", "p.toml:4: sysversion in [model.GWM0202] wants a version in quotes"}},
        BadCase{"PatternTooLongToMatchSafely",
                "[line]\nserial = \"" + std::string(201, 'a') + "\"\n",
                {"p.toml:2: serial pattern is longer than 200 characters"}},
        BadCase{
            "BadPattern", "[line]\nserial = \"^GW[0-9\"\n", {"p.toml:2: serial '^GW[0-9' is not a regular expression"}},
        BadCase{"LimitOfAnUnknownTestAndField",
                "[model.GWM0202.limits]\nping = { max_s = 1 }\n\"zwave-include.batery\" = { min = 1 }\n"
                "\"ping-host.battery\" = { min = 1 }\n",
                {"p.toml:2: 'ping' in [model.GWM0202.limits] is no test of GWM0202; allowed: model, mac,",
                 "p.toml:3: 'zwave-include.batery' in [model.GWM0202.limits]: zwave-include has no field 'batery'; "
                 "allowed: battery, pir",
                 "p.toml:4: 'ping-host.battery' in [model.GWM0202.limits]: ping-host has no field 'battery'; "
                 "allowed: none"}},
        BadCase{"LimitKeysOfTheWrongKind",
                "[model.GWM0202.limits]\n\"ping-host\" = { max = 3 }\n\"zwave-include.pir\" = { max_s = 1 }\n",
                {"p.toml:2: unknown key 'max' in 'ping-host' of [model.GWM0202.limits] (a duration, in seconds); "
                 "allowed: min_s, max_s, marginal_s",
                 "p.toml:3: unknown key 'max_s' in 'zwave-include.pir' of [model.GWM0202.limits] (a field of the "
                 "data); allowed: min, max, marginal_min, marginal_max"}},
        BadCase{"BoundsThatCannotHold",
                "[model.GWM0202.limits]\n\"ping-host\" = { marginal_s = 3.2 }\n"
                "\"ping-gw\" = { max_s = 3.0, marginal_s = 3.2 }\n\"wan\" = { min_s = 2, max_s = 1 }\n"
                "\"modem-usb\" = { max_s = \"15\" }\n\"sim\" = {}\n",
                {"p.toml:2: 'ping-host' of [model.GWM0202.limits] sets no bound; want min_s or max_s",
                 "p.toml:3: 'ping-gw' of [model.GWM0202.limits]: marginal_s wants a max_s above it",
                 "p.toml:4: 'wan' of [model.GWM0202.limits]: its minimum is above its maximum",
                 "p.toml:5: max_s in 'modem-usb' of [model.GWM0202.limits] wants a number",
                 "p.toml:6: 'sim' of [model.GWM0202.limits] sets no bound"}},
        // Characters the TOML reader cannot classify safely, each refused
        // with its line wherever it stands; the first and last of each run.
        BadCase{"UnreadableCharacterInAComment",
                "[line]\n# Pr\xC3\xBC"
                "fplatz 3\n",
                {"p.toml:2: character U+00FC cannot be read in a profile"}},
        BadCase{"UnreadableCharacterAfterABareWord",
                "[line]\n0a1b\xCE\x9C\xCC\x99"
                "4es\n",
                {"p.toml:2: character U+039C"}},
        BadCase{"UnreadableRunEdges", "a = \"\xC2\xA1\xD2\x99\"\n", {"p.toml:1: character U+00A1"}},
        BadCase{"UnreadableCjkPunctuation", "\n\n# \xE3\x80\x81\n", {"p.toml:3: character U+3001"}},
        BadCase{"UnreadableLastOfTheHigh", "# \xEF\xBB\xBE\n", {"p.toml:1: character U+FEFE"}},
        BadCase{"ModelGivenTwiceInTwoSpellings",
                "[model.GWM0101]\n[model.gwm0101]\n",
                {"p.toml:2: model GWM0101 is given twice"}}),
    [](const testing::TestParamInfo<BadCase> &info) { return info.param.name; });

TEST(ProfileRead, CharactersTheReaderAnswersForAreLeftToIt)
{
    // No-break space, ideographic space and the byte order mark are answered
    // by the reader's table; U+049A and U+3058 sit just past the refused runs.
    for (const char *text : {"# \xC2\xA0\n", "# \xE3\x80\x80\n", "# \xD2\x9A \xE3\x81\x98 \xE2\xB1\x9D\n"}) {
        std::vector<std::string> errors;
        EXPECT_TRUE(readProfile(text, "p.toml", errors)) << text << testing::PrintToString(errors);
    }
}

TEST(ProfileRead, UnreadableFileIsNamed)
{
    std::vector<std::string> errors;
    EXPECT_FALSE(station::loadProfile("/nonexistent/line.toml", errors));
    EXPECT_THAT(errors, ElementsAre("/nonexistent/line.toml: cannot be read"));
    errors.clear();
    EXPECT_FALSE(station::loadProfile("/", errors));
    EXPECT_THAT(errors, ElementsAre("/: cannot be read"));
}

TEST(ProfileRead, TheFileIsKeptWithItsPathAndHash)
{
    const std::string path = testing::TempDir() + "/profile_test_line.toml";
    std::ofstream(path) << kSample;
    std::vector<std::string> errors;
    const auto p = station::loadProfile(path, errors);
    ASSERT_TRUE(p) << testing::PrintToString(errors);
    EXPECT_EQ(p->path, path);
    EXPECT_EQ(p->hash, station::sha256Hex(kSample));
}

struct JudgeCase {
    const char *name;
    uint8_t model;
    uint16_t code;
    std::vector<uint8_t> data;
    int durationMs;
    bool failed;
    bool marginal;
    std::string limits;
};

class ProfileJudges : public testing::TestWithParam<JudgeCase> {};

TEST_P(ProfileJudges, ValueAgainstItsLimit)
{
    const JudgeCase &c = GetParam();
    const auto j = judge(sample(), c.model, c.code, c.data, c.durationMs);
    EXPECT_EQ(j.failed, c.failed);
    EXPECT_EQ(j.marginal, c.marginal);
    EXPECT_EQ(j.limits, c.limits);
}

TEST(ProfileJudge, TheMessageOfAFailNamesOnlyWhatBrokeItsLimit)
{
    const auto j = judge(sample(), catalogue::kGwm0202, 0x0502, bytes("0a1b2c3d4e5f|6.81|19|0"), 9000);
    EXPECT_TRUE(j.failed);
    EXPECT_EQ(j.broken, "zwave-include.battery 19, want >= 20, marginal below 30");
}

constexpr uint8_t k202 = catalogue::kGwm0202;

INSTANTIATE_TEST_SUITE_P(
    Replies, ProfileJudges,
    testing::Values(
        JudgeCase{"ExactVersion", k202, 0x0002, bytes("2.3.7"), 10, false, false, "sysversion 2.3.7, want 2.3.7"},
        JudgeCase{"WrongVersion", k202, 0x0002, bytes("2.3.6\n"), 10, true, false, "sysversion 2.3.6, want 2.3.7"},
        JudgeCase{"NewerByNumbersNotByText", k202, 0x0004, bytes("7.9"), 10, true, false,
                  "zwversion 7.9, want >= 7.16"},
        JudgeCase{"ComparedVersionWithASuffix", k202, 0x0004, bytes("7.16.1-rc2"), 10, false, false,
                  "zwversion 7.16.1-rc2, want >= 7.16"},
        JudgeCase{"NoVersionAtAll", k202, 0x0004, bytes("unknown"), 10, true, false, "zwversion unknown, want >= 7.16"},
        JudgeCase{"BinaryIsNoVersion", k202, 0x0004, {0x07, 0x10}, 10, true, false, "zwversion '07 10', want >= 7.16"},
        JudgeCase{"Glob", k202, 0x0003, bytes("6.7.8"), 10, false, false, "zbversion 6.7.8, want 6.7.*"},
        JudgeCase{"GlobMissed", k202, 0x0003, bytes("6.8.0"), 10, true, false, "zbversion 6.8.0, want 6.7.*"},
        JudgeCase{
            "MacInsideTheLinesBlock",
            k202,
            0x0001,
            {0x02, 0x47, 0x57, 0x12, 0x34, 0x56},
            10,
            false,
            false,
            "mac 02:47:57:12:34:56, want 02:47:57:00:00:00-02:47:57:ff:ff:ff or 0a:1b:2c:00:00:01-0a:1b:2c:00:00:01"},
        JudgeCase{
            "MacOutside",
            catalogue::kGwm0303,
            0x0001,
            {0x02, 0x47, 0x58, 0, 0, 0},
            10,
            true,
            false,
            "mac 02:47:58:00:00:00, want 02:47:57:00:00:00-02:47:57:ff:ff:ff or 0a:1b:2c:00:00:01-0a:1b:2c:00:00:01"},
        JudgeCase{
            "MacOfASingleRangeEnd",
            k202,
            0x0001,
            {0x0a, 0x1b, 0x2c, 0, 0, 1},
            10,
            false,
            false,
            "mac 0a:1b:2c:00:00:01, want 02:47:57:00:00:00-02:47:57:ff:ff:ff or 0a:1b:2c:00:00:01-0a:1b:2c:00:00:01"},
        JudgeCase{"DurationInside",
                  k202,
                  0x0103,
                  {},
                  3200,
                  false,
                  false,
                  "ping-host took 3.200 s, want <= 3.5 s, marginal past 3.2 s"},
        JudgeCase{"DurationMarginal",
                  k202,
                  0x0103,
                  {},
                  3312,
                  false,
                  true,
                  "ping-host took 3.312 s, want <= 3.5 s, marginal past 3.2 s"},
        JudgeCase{"DurationTooSlow",
                  k202,
                  0x0103,
                  {},
                  3501,
                  true,
                  false,
                  "ping-host took 3.501 s, want <= 3.5 s, marginal past 3.2 s"},
        JudgeCase{"FieldsEachJudged", k202, 0x0502, bytes("0a1b2c3d4e5f|6.81|25|1"), 9000, false, true,
                  "zwave-include.battery 25, want >= 20, marginal below 30; zwave-include.pir 1, want <= 1"},
        JudgeCase{"OneFieldOutFailsTheTest", k202, 0x0502, bytes("0a1b2c3d4e5f|6.81|19|0"), 9000, true, false,
                  "zwave-include.battery 19, want >= 20, marginal below 30; zwave-include.pir 0, want <= 1"},
        JudgeCase{"FieldOfDataThatIsNoDevice", k202, 0x0502, bytes("garbage"), 9000, true, false,
                  "zwave-include.battery missing, want >= 20, marginal below 30; zwave-include.pir missing, want <= 1"},
        JudgeCase{"AnotherModelsRulesDoNotApply", catalogue::kGwm0303, 0x0002, bytes("9.9.9"), 10, false, false, ""},
        JudgeCase{"NoLimitForTheTest", k202, 0x0101, {}, 99999, false, false, ""}),
    [](const testing::TestParamInfo<JudgeCase> &info) { return info.param.name; });

} // namespace
