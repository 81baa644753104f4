// Reading a line's profile (TOML, through toml++) into checked rules.
#include "profile/profile.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <openssl/evp.h>

// Parse errors come back as values: one file, every error collected.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "catalogue.h"
#include "wire/input.h"

namespace station {

namespace {

// The numeric fields of a decoder's data that a limit may name.
struct Field {
    catalogue::Decoder decoder;
    std::string_view name;
};
constexpr std::array kFields{
    Field{catalogue::Decoder::kZwave, "battery"},
    Field{catalogue::Decoder::kZwave, "pir"},
};

constexpr size_t kSerialPatternMax = 200;
constexpr std::array<std::string_view, 3> kDurationKeys{"min_s", "max_s", "marginal_s"};
constexpr std::array<std::string_view, 4> kFieldKeys{"min", "max", "marginal_min", "marginal_max"};
constexpr std::array<std::string_view, 6> kCompareOps{">=", "<=", "==", "!=", ">", "<"};

template <typename Names>
std::string joined(const Names &names)
{
    std::string all;
    for (const auto &name : names) {
        if (!all.empty()) {
            all += ", ";
        }
        all += name;
    }
    return all;
}

std::string modelNames()
{
    std::vector<std::string_view> names;
    for (const auto &m : catalogue::kModels) {
        names.push_back(m.name);
    }
    return joined(names);
}

// Collects the errors of one file, each with its line, and hands them over
// in the file's order (a TOML table keeps its keys sorted, not as written).
class Errors {
public:
    Errors(std::string_view source, std::vector<std::string> &out) : source_(source), out_(out) {}
    Errors(const Errors &) = delete;
    Errors &operator=(const Errors &) = delete;
    ~Errors()
    {
        std::stable_sort(found_.begin(), found_.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        for (auto &[line, text] : found_) {
            out_.push_back(std::move(text));
        }
    }
    void add(const toml::source_region &where, const std::string &message)
    {
        std::string text(source_);
        if (where.begin.line > 0) {
            text += ':';
            text += std::to_string(where.begin.line);
        }
        text += ": ";
        text += message;
        found_.emplace_back(where.begin.line, std::move(text));
    }
    int count() const { return static_cast<int>(found_.size()); }

private:
    std::string_view source_;
    std::vector<std::string> &out_;
    std::vector<std::pair<toml::source_index, std::string>> found_;
};

// "[model.GWM0202.limits]" and the like, for messages.
std::string where(std::string_view table) { return "[" + std::string(table) + "]"; }

std::optional<uint64_t> macNumber(const std::string &text)
{
    const auto mac = normaliseMac(text);
    if (!mac) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : *mac) {
        if (c != ':') {
            value = value << 4 | static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
    }
    return value;
}

std::string macOf(uint64_t value)
{
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int shift = 40; shift >= 0; shift -= 8) {
        if (!text.empty()) {
            text += ':';
        }
        text += kDigits[(value >> (shift + 4)) & 0xF];
        text += kDigits[(value >> shift) & 0xF];
    }
    return text;
}

void readLine(const toml::table &line, Profile &profile, Errors &errors)
{
    static constexpr std::array<std::string_view, 2> kKeys{"mac_ranges", "serial"};
    for (const auto &[key, node] : line) {
        if (key == "mac_ranges") {
            const toml::array *ranges = node.as_array();
            if (ranges == nullptr) {
                errors.add(node.source(), "mac_ranges wants a list of ranges such as "
                                          "[\"02:47:57:00:00:00-02:47:57:ff:ff:ff\"]");
                continue;
            }
            for (const toml::node &item : *ranges) {
                const auto text = item.value<std::string>();
                const size_t dash = text ? text->find('-', 1) : std::string::npos;
                std::optional<uint64_t> first, last;
                if (text) {
                    // A range is two MACs around one '-', or one MAC alone; a
                    // MAC itself parted by '-' has five of them.
                    if (std::count(text->begin(), text->end(), '-') == 1) {
                        first = macNumber(text->substr(0, dash));
                        last = macNumber(text->substr(dash + 1));
                    } else {
                        first = last = macNumber(*text);
                    }
                }
                if (!first || !last || *first > *last) {
                    errors.add(item.source(), "malformed MAC range " +
                                                  (text ? "'" + *text + "'" : std::string("(not a string)")) +
                                                  ": want FIRST-LAST, two MACs such as "
                                                  "02:47:57:00:00:00-02:47:57:ff:ff:ff, the first not above the last");
                    continue;
                }
                std::string normal = macOf(*first);
                normal += '-';
                normal += macOf(*last);
                profile.macRanges.push_back(MacRange{*first, *last, normal});
            }
        } else if (key == "serial") {
            const auto pattern = node.value<std::string>();
            if (!pattern) {
                errors.add(node.source(), "serial wants a regular expression in quotes, such as \"^GW[0-9]{8}$\"");
                continue;
            }
            // The pattern is compiled and matched by recursion: a bound on
            // its length keeps a mistyped one from exhausting the stack.
            if (pattern->size() > kSerialPatternMax) {
                errors.add(node.source(),
                           "serial pattern is longer than " + std::to_string(kSerialPatternMax) + " characters");
                continue;
            }
            try {
                profile.serial.emplace(*pattern, std::regex::ECMAScript);
                profile.serialPattern = *pattern;
            } catch (const std::regex_error &e) {
                errors.add(node.source(), "serial '" + *pattern + "' is not a regular expression: " + e.what());
            }
        } else {
            errors.add(key.source(),
                       "unknown key '" + std::string(key.str()) + "' in [line]; allowed: " + joined(kKeys));
        }
    }
}

// A version rule: "2.3.7" exact, "6.7.*" a glob, ">= 7.16" a comparison.
bool readTextRule(std::string_view want, TextRule &rule, std::string &error)
{
    rule.want = std::string(want);
    for (std::string_view op : kCompareOps) {
        if (want.substr(0, op.size()) == op) {
            std::string_view rest = want.substr(op.size());
            while (!rest.empty() && rest.front() == ' ') {
                rest.remove_prefix(1);
            }
            const auto version = dottedVersion(rest);
            // The version compared with is all digits and dots.
            if (!version || rest.find_first_not_of("0123456789.") != std::string_view::npos || rest.back() == '.') {
                error = "'" + rule.want + "' wants a dotted version after '" + std::string(op) + "', such as '" +
                        std::string(op) + " 7.16'";
                return false;
            }
            rule.kind = TextRule::Kind::kCompare;
            rule.op = std::string(op);
            rule.version = *version;
            return true;
        }
    }
    if (want.empty()) {
        error = "an empty version matches nothing a gateway reports";
        return false;
    }
    rule.kind = want.find_first_of("*?[") != std::string_view::npos ? TextRule::Kind::kGlob : TextRule::Kind::kExact;
    return true;
}

bool isOneOf(std::string_view key, std::span<const std::string_view> names)
{
    return std::find(names.begin(), names.end(), key) != names.end();
}

// One limit's table: { max_s = 3.5, marginal_s = 3.2 } or { min = 20 }.
void readLimit(const toml::table &bounds, const std::string &context, Limit &limit, Errors &errors)
{
    const bool duration = limit.field.empty();
    const std::span<const std::string_view> keys =
        duration ? std::span<const std::string_view>(kDurationKeys) : std::span<const std::string_view>(kFieldKeys);
    const int before = errors.count();
    for (const auto &[key, node] : bounds) {
        if (!isOneOf(key.str(), keys)) {
            errors.add(key.source(), "unknown key '" + std::string(key.str()) + "' in " + context +
                                         (duration ? " (a duration, in seconds)" : " (a field of the data)") +
                                         "; allowed: " + joined(keys));
            continue;
        }
        const auto value = node.value<double>();
        if (!value || !std::isfinite(*value)) {
            errors.add(node.source(), std::string(key.str()) + " in " + context + " wants a number");
            continue;
        }
        if (key == "min" || key == "min_s") {
            limit.min = value;
        } else if (key == "max" || key == "max_s") {
            limit.max = value;
        } else if (key == "marginal_min") {
            limit.marginalMin = value;
        } else {
            limit.marginalMax = value; // marginal_max, marginal_s
        }
    }
    if (errors.count() != before) {
        return;
    }
    const auto &where = bounds.source();
    if (!limit.min && !limit.max) {
        errors.add(where, context + " sets no bound; want " + (duration ? "min_s or max_s" : "min or max"));
    } else if (limit.min && limit.max && *limit.min > *limit.max) {
        errors.add(where, context + ": its minimum is above its maximum");
    } else if (limit.marginalMax &&
               (!limit.max || *limit.marginalMax >= *limit.max || (limit.min && *limit.marginalMax < *limit.min))) {
        errors.add(where, context + ": " + (duration ? "marginal_s" : "marginal_max") + " wants a " +
                              (duration ? "max_s" : "max") + " above it" +
                              (limit.min ? " and a minimum below it" : ""));
    } else if (limit.marginalMin &&
               (!limit.min || *limit.marginalMin <= *limit.min || (limit.max && *limit.marginalMin > *limit.max))) {
        errors.add(where, context + ": marginal_min wants a min below it" + (limit.max ? " and a max above it" : ""));
    }
}

void readLimits(const toml::table &limits, uint8_t bit, std::string_view model, ModelProfile &out, Errors &errors)
{
    const std::string table = "model." + std::string(model) + ".limits";
    std::vector<std::string_view> planNames;
    for (const catalogue::Test *t : catalogue::plan(bit)) {
        if (std::find(planNames.begin(), planNames.end(), t->name) == planNames.end()) {
            planNames.push_back(t->name);
        }
    }
    // "test.field" in quotes is one key; written bare, TOML makes it a
    // table of the test holding a table per field. Both mean the same.
    std::vector<std::pair<std::string, const toml::node *>> entries;
    for (const auto &[key, node] : limits) {
        const std::string name(key.str());
        const toml::table *inner = node.as_table();
        const bool ofFields =
            inner != nullptr && !inner->empty() && name.find('.') == std::string::npos &&
            std::all_of(inner->begin(), inner->end(), [](const auto &kv) { return kv.second.is_table(); });
        if (ofFields) {
            for (const auto &[field, bounds] : *inner) {
                entries.emplace_back(name + "." + std::string(field.str()), &bounds);
            }
        } else {
            entries.emplace_back(name, &node);
        }
    }
    for (const auto &[key, node] : entries) {
        Limit limit;
        limit.key = key;
        limit.line = node->source().begin.line;
        const size_t dot = key.find('.');
        limit.test = key.substr(0, dot);
        limit.field = dot == std::string::npos ? "" : key.substr(dot + 1);
        const catalogue::Test *test = catalogue::findName(limit.test, bit);
        if (test == nullptr) {
            errors.add(node->source(), "'" + limit.test + "' in " + where(table) + " is no test of " +
                                           std::string(model) + "; allowed: " + joined(planNames));
            continue;
        }
        limit.code = test->code;
        if (!limit.field.empty()) {
            std::vector<std::string_view> fields;
            for (const Field &f : kFields) {
                if (f.decoder == test->decoder) {
                    fields.push_back(f.name);
                }
            }
            if (std::find(fields.begin(), fields.end(), limit.field) == fields.end()) {
                errors.add(node->source(),
                           "'" + key + "' in " + where(table) + ": " + limit.test + " has no field '" + limit.field +
                               "'; allowed: " +
                               (fields.empty() ? "none (its data has no numbers), or the test alone for its duration"
                                               : joined(fields)));
                continue;
            }
        }
        const toml::table *bounds = node->as_table();
        if (bounds == nullptr) {
            errors.add(node->source(),
                       "'" + key + "' in " + where(table) + " wants a table such as " +
                           (limit.field.empty() ? "{ max_s = 3.5, marginal_s = 3.2 }" : "{ min = 20 }"));
            continue;
        }
        const int before = errors.count();
        readLimit(*bounds, "'" + key + "' of " + where(table), limit, errors);
        if (errors.count() == before) {
            out.limits.push_back(limit);
        }
    }
}

void readModel(const toml::table &table, uint8_t bit, std::string_view model, ModelProfile &out, Errors &errors)
{
    const std::string name = "model." + std::string(model);
    std::vector<std::string_view> allowed;
    for (const catalogue::Test *t : catalogue::plan(bit)) {
        if (t->decoder == catalogue::Decoder::kVersion) {
            allowed.push_back(t->name);
        }
    }
    allowed.push_back("limits");
    for (const auto &[key, node] : table) {
        const std::string_view k = key.str();
        if (k == "limits") {
            if (const toml::table *limits = node.as_table()) {
                readLimits(*limits, bit, model, out, errors);
            } else {
                errors.add(node.source(), "limits in " + where(name) + " wants a table");
            }
            continue;
        }
        const catalogue::Test *test = catalogue::findName(k, bit);
        if (test == nullptr || test->decoder != catalogue::Decoder::kVersion) {
            errors.add(key.source(),
                       "unknown key '" + std::string(k) + "' in " + where(name) + "; allowed: " + joined(allowed));
            continue;
        }
        const auto want = node.value<std::string>();
        if (!want) {
            errors.add(node.source(), std::string(k) + " in " + where(name) +
                                          " wants a version in quotes: \"2.3.7\", \"6.7.*\" or \">= 7.16\"");
            continue;
        }
        TextRule rule;
        rule.code = test->code;
        rule.line = node.source().begin.line;
        rule.test = std::string(k);
        std::string error;
        if (!readTextRule(*want, rule, error)) {
            errors.add(node.source(), std::string(k) + " in " + where(name) + ": " + error);
            continue;
        }
        out.texts.push_back(rule);
    }
    const auto byLine = [](const auto &a, const auto &b) { return a.line < b.line; };
    std::stable_sort(out.texts.begin(), out.texts.end(), byLine);
    std::stable_sort(out.limits.begin(), out.limits.end(), byLine);
}

} // namespace

const ModelProfile *Profile::of(uint8_t model) const
{
    for (const ModelProfile &m : models) {
        if (m.model == model) {
            return &m;
        }
    }
    return nullptr;
}

bool Profile::serialFits(const std::string &serialNumber) const
{
    return !serial || std::regex_search(serialNumber, *serial);
}

std::optional<std::vector<uint64_t>> dottedVersion(std::string_view text)
{
    std::vector<uint64_t> numbers;
    size_t i = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        uint64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value);
        if (ec != std::errc()) {
            return std::nullopt; // a number too long for any version
        }
        numbers.push_back(value);
        i = static_cast<size_t>(end - text.data());
        if (i + 1 < text.size() && text[i] == '.' && text[i + 1] >= '0' && text[i + 1] <= '9') {
            ++i;
        } else {
            break;
        }
    }
    if (numbers.empty()) {
        return std::nullopt;
    }
    return numbers;
}

std::string sha256Hex(std::string_view bytes)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
        return "";
    }
    constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0xF];
    }
    return hex;
}

namespace {

// Debian's TOML reader (toml++ 3.3) asks of some non-ASCII characters
// whether they are whitespace, and its table for that question has holes:
// for the code points below it runs off the end of a switch the compiler was
// told can never be reached, so what it then does is anyone's guess. A
// profile is ASCII by nature (MACs, versions, patterns, test names), so these
// characters are refused before the reader sees them, wherever they stand,
// comments included, with the line they are on.
struct CodeRange {
    char32_t first;
    char32_t last;
};
constexpr std::array<CodeRange, 4> kUnreadable{{
    {0x00A1, 0x0499},
    {0x2C5E, 0x2FFF}, // U+3000 is whitespace, and answered
    {0x3001, 0x3057},
    {0xFB26, 0xFEFE},
}};

// The first character of kUnreadable in the text and its line, if any.
// Malformed UTF-8 is left to the reader, which names it itself.
std::optional<std::pair<char32_t, unsigned int>> unreadableCharacter(std::string_view text)
{
    unsigned int line = 1;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            line += lead == '\n' ? 1U : 0U;
            ++i;
            continue;
        }
        const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        char32_t code = length == 4 ? lead & 0x07U : length == 3 ? lead & 0x0FU : lead & 0x1FU;
        bool whole = length > 1 && i + length <= text.size();
        for (size_t k = 1; whole && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            whole = (next & 0xC0U) == 0x80U;
            code = (code << 6U) | (next & 0x3FU);
        }
        if (!whole) {
            ++i;
            continue;
        }
        for (const CodeRange &range : kUnreadable) {
            if (code >= range.first && code <= range.last) {
                return std::pair{code, line};
            }
        }
        i += length;
    }
    return std::nullopt;
}

} // namespace

std::optional<Profile> readProfile(std::string_view text, std::string_view source, std::vector<std::string> &errors)
{
    Errors errs(source, errors);
    if (const auto bad = unreadableCharacter(text)) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned int>(bad->first));
        toml::source_region where;
        where.begin.line = bad->second;
        errs.add(where, std::string("character ") + code +
                            " cannot be read in a profile; write the profile in ASCII (comments too)");
        return std::nullopt;
    }
    toml::parse_result parsed = toml::parse(text, source);
    if (!parsed) {
        const toml::parse_error &error = parsed.error();
        errs.add(error.source(), std::string(error.description()));
        return std::nullopt;
    }
    Profile profile;
    profile.hash = sha256Hex(text);
    static constexpr std::array<std::string_view, 2> kTop{"line", "model"};
    for (const auto &[key, node] : parsed.table()) {
        if (key == "line" && node.is_table()) {
            readLine(*node.as_table(), profile, errs);
        } else if (key == "model" && node.is_table()) {
            for (const auto &[model, modelNode] : *node.as_table()) {
                const uint8_t bit = catalogue::modelBit(model.str());
                const std::string_view name = catalogue::modelName(bit);
                if (bit == 0) {
                    errs.add(model.source(),
                             "unknown model '" + std::string(model.str()) + "'; allowed: " + modelNames());
                } else if (!modelNode.is_table()) {
                    errs.add(modelNode.source(), "model." + std::string(name) + " wants a table");
                } else if (profile.of(bit) != nullptr) {
                    errs.add(model.source(), "model " + std::string(name) + " is given twice");
                } else {
                    ModelProfile m;
                    m.model = bit;
                    readModel(*modelNode.as_table(), bit, name, m, errs);
                    profile.models.push_back(std::move(m));
                }
            }
        } else if (key == "line" || key == "model") {
            errs.add(node.source(), std::string(key.str()) + " wants a table: [" + std::string(key.str()) + "]");
        } else {
            errs.add(key.source(), "unknown key '" + std::string(key.str()) + "'; allowed: " + joined(kTop));
        }
    }
    if (errs.count() != 0) {
        return std::nullopt;
    }
    return profile;
}

std::optional<Profile> loadProfile(const std::string &path, std::vector<std::string> &errors)
{
    std::error_code ec;
    std::ifstream in;
    if (std::filesystem::is_regular_file(path, ec)) {
        in.open(path, std::ios::binary);
    }
    std::ostringstream bytes;
    if (!in || !(bytes << in.rdbuf())) {
        errors.push_back(path + ": cannot be read");
        return std::nullopt;
    }
    const std::string text = std::move(bytes).str();
    auto profile = readProfile(text, path, errors);
    if (profile) {
        profile->path = path;
    }
    return profile;
}

} // namespace station
