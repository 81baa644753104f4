// Judging a passed test's data and duration against the line's profile.
#include <charconv>
#include <cstdio>
#include <fnmatch.h>

#include "catalogue.h"
#include "profile/profile.h"
#include "wire/decode.h"

namespace station {

namespace {

// A bound as the profile wrote it: "3.5", "20", "0.25".
std::string number(double value)
{
    std::array<char, 32> text{};
    const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() ? std::string(text.data(), end) : std::string("?");
}

std::string seconds(int ms)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.3f s", ms / 1000.0);
    return text.data();
}

int compareVersions(const std::vector<uint64_t> &a, const std::vector<uint64_t> &b)
{
    for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
        const uint64_t x = i < a.size() ? a[i] : 0;
        const uint64_t y = i < b.size() ? b[i] : 0;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

bool versionFits(const TextRule &rule, const std::string &text)
{
    switch (rule.kind) {
    case TextRule::Kind::kExact:
        return text == rule.want;
    case TextRule::Kind::kGlob:
        return fnmatch(rule.want.c_str(), text.c_str(), 0) == 0;
    case TextRule::Kind::kCompare: {
        const auto version = dottedVersion(text);
        if (!version) {
            return false;
        }
        const int c = compareVersions(*version, rule.version);
        if (rule.op == "<") {
            return c < 0;
        }
        if (rule.op == "<=") {
            return c <= 0;
        }
        if (rule.op == ">") {
            return c > 0;
        }
        if (rule.op == ">=") {
            return c >= 0;
        }
        if (rule.op == "==") {
            return c == 0;
        }
        return c != 0; // "!="
    }
    }
    return false;
}

// "want >= 20 and <= 80, marginal below 25" (with " s" for a duration).
std::string wanted(const Limit &limit)
{
    const std::string unit = limit.field.empty() ? " s" : "";
    std::string text = "want ";
    if (limit.min) {
        text += ">= " + number(*limit.min) + unit;
    }
    if (limit.max) {
        text += limit.min ? " and <= " : "<= ";
        text += number(*limit.max) + unit;
    }
    if (limit.marginalMin) {
        text += ", marginal below " + number(*limit.marginalMin) + unit;
    }
    if (limit.marginalMax) {
        text += limit.field.empty() ? ", marginal past " : ", marginal above ";
        text += number(*limit.marginalMax) + unit;
    }
    return text;
}

class Verdict {
public:
    explicit Verdict(Judgement &j) : j_(j) {}
    void add(const std::string &what, bool fits, bool marginal = false)
    {
        if (!j_.limits.empty()) {
            j_.limits += "; ";
        }
        j_.limits += what;
        if (!fits) {
            if (!j_.broken.empty()) {
                j_.broken += "; ";
            }
            j_.broken += what;
        }
        j_.failed = j_.failed || !fits;
        j_.marginal = !j_.failed && (j_.marginal || marginal);
    }

private:
    Judgement &j_;
};

} // namespace

Judgement judge(const Profile &profile, uint8_t model, uint16_t code, std::span<const uint8_t> data, int durationMs)
{
    Judgement judgement;
    Verdict verdict(judgement);
    if (code == catalogue::kMacQuery && !profile.macRanges.empty()) {
        const auto mac = macText(data);
        bool inside = false;
        std::string ranges;
        for (const MacRange &range : profile.macRanges) {
            if (!ranges.empty()) {
                ranges += " or ";
            }
            ranges += range.text;
            if (mac) {
                uint64_t value = 0;
                for (uint8_t b : data) {
                    value = value << 8 | b;
                }
                inside = inside || (value >= range.first && value <= range.last);
            }
        }
        verdict.add("mac " + mac.value_or(decodeData(catalogue::Decoder::kMac, data)) + ", want " + ranges, inside);
    }
    const ModelProfile *rules = profile.of(model);
    if (rules == nullptr) {
        return judgement;
    }
    for (const TextRule &rule : rules->texts) {
        if (rule.code != code) {
            continue;
        }
        const auto text = versionText(data);
        // Built piece by piece: GCC 12's optimiser takes a literal plus a
        // temporary for an overlapping copy (-Wrestrict, a false warning).
        std::string what = rule.test;
        what += ' ';
        if (text) {
            what += *text;
        } else {
            what += '\'';
            what += decodeData(catalogue::Decoder::kVersion, data);
            what += '\'';
        }
        what += ", want ";
        what += rule.want;
        verdict.add(what, text && versionFits(rule, *text));
    }
    for (const Limit &limit : rules->limits) {
        if (limit.code != code) {
            continue;
        }
        std::optional<double> value;
        std::string shown;
        if (limit.field.empty()) {
            value = durationMs / 1000.0;
            shown = limit.test + " took " + seconds(durationMs);
        } else {
            const auto device = zwaveDevice(data);
            if (device && (limit.field == "battery" || limit.field == "pir")) {
                value = limit.field == "battery" ? device->battery : device->pir;
                shown = limit.key + " " + number(*value);
            } else {
                shown = limit.key + " missing";
            }
        }
        const bool fits = value && (!limit.min || *value >= *limit.min) && (!limit.max || *value <= *limit.max);
        const bool marginal = value && ((limit.marginalMin && *value < *limit.marginalMin) ||
                                        (limit.marginalMax && *value > *limit.marginalMax));
        verdict.add(shown + ", " + wanted(limit), fits, marginal);
    }
    return judgement;
}

} // namespace station
