// The line's profile: what a good unit's data is, beyond the result byte.
// A TOML file a factory's quality engineer writes once per line:
//
//   [line]
//   mac_ranges = ["02:47:57:00:00:00-02:47:57:ff:ff:ff"]  # the blocks this line may ship
//   serial = "^GW[0-9]{8}$"                               # a scanned serial number
//
//   [model.GWM0202]
//   sysversion = "2.3.7"     # exact text
//   zwversion = ">= 7.16"    # a comparison of dotted versions
//   zbversion = "6.7.*"      # a glob
//
//   [model.GWM0202.limits]
//   "zwave-include.battery" = { min = 20 }             # a field of the decoded data
//   "modem-usb" = { max_s = 15.0 }                     # a duration: slower fails
//   "ping-host" = { max_s = 3.5, marginal_s = 3.2 }    # past marginal: passes, marked marginal
//
// Reading refuses the whole file at its first look: every unknown key,
// model, test or field, every malformed range, version or pattern is named
// with its line, together with the names allowed there. Judging never
// fails: it says which limits applied, with the values they judged.
#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace station {

// A block of MACs, both ends included, as 48-bit numbers.
struct MacRange {
    uint64_t first = 0;
    uint64_t last = 0;
    std::string text; // as the profile writes it, normalised: "02:47:57:00:00:00-02:47:57:ff:ff:ff"
};

// What a test's text (a version) must be.
struct TextRule {
    enum class Kind : uint8_t { kExact, kGlob, kCompare };
    uint16_t code = 0;
    std::string test; // "sysversion"
    Kind kind = Kind::kExact;
    std::string want; // as written: "2.3.7", "6.7.*", ">= 7.16"
    // kCompare: the operator ("<", "<=", ">", ">=", "==", "!=") and the version.
    std::string op;
    std::vector<uint64_t> version;
    unsigned line = 0; // in the profile
};

// A number's bounds: a field of the decoded data, or a test's duration in
// seconds. A value inside [min, max] passes; inside the marginal band (below
// marginalMin, above marginalMax) it passes marked marginal.
struct Limit {
    uint16_t code = 0;
    std::string key;   // as written: "ping-host", "zwave-include.battery"
    std::string test;  // "ping-host"
    std::string field; // "battery"; "" for the duration
    std::optional<double> min, max, marginalMin, marginalMax;
    unsigned line = 0; // in the profile
};

// A model's rules, in the profile's order.
struct ModelProfile {
    uint8_t model = 0; // the catalogue's bit
    std::vector<TextRule> texts;
    std::vector<Limit> limits;
};

struct Profile {
    std::string path; // as given
    std::string hash; // SHA-256 of the file's bytes, lower-case hex
    std::vector<MacRange> macRanges;
    std::string serialPattern; // as written; "" when any serial number goes
    std::optional<std::regex> serial;
    std::vector<ModelProfile> models;

    const ModelProfile *of(uint8_t model) const;
    // Whether a scanned serial number is what the line's labels look like.
    bool serialFits(const std::string &serialNumber) const;
};

// Reads a profile from its text; `source` names it in the errors. Every
// error is added to `errors` ("profile.toml:7: unknown key 'sysverion' in
// [model.GWM0202]; allowed: sysversion, zbversion, zwversion, limits").
std::optional<Profile> readProfile(std::string_view text, std::string_view source, std::vector<std::string> &errors);
// Reads the file at `path` (its hash taken over the bytes read).
std::optional<Profile> loadProfile(const std::string &path, std::vector<std::string> &errors);

// SHA-256 of bytes, lower-case hex.
std::string sha256Hex(std::string_view bytes);

// The profile's word on one passed test of a unit.
struct Judgement {
    bool failed = false;   // a value lies outside its limit
    bool marginal = false; // passed, but a value lies in a marginal band (false when failed)
    // Every limit applied, with the value it judged ("sysversion 2.3.6, want
    // 2.3.7"), joined by "; "; empty when the profile has none for the test.
    std::string limits;
    // The limits a value broke, as in `limits`: the failed test's message.
    std::string broken;
};
Judgement judge(const Profile &profile, uint8_t model, uint16_t code, std::span<const uint8_t> data, int durationMs);

// A dotted version's numbers ("7.16.2-rc1" is 7, 16, 2: the leading dotted
// digits); nullopt when the text does not start with a digit.
std::optional<std::vector<uint64_t>> dottedVersion(std::string_view text);

} // namespace station
