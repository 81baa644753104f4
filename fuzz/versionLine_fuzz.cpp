// Fuzz target of the split of a version file's first line (the build, Zigbee
// and Z-Wave version queries), checked against a reference of the two
// strtok steps: skip the first delimiters, the key, one delimiter, skip the
// second delimiters, the version up to the next one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzzInput.h"
#include "peripher/identity.h"

namespace {

struct Delims {
    const char *first;
    const char *second;
};
// The version files' delimiters, and a few others the split must take as well.
constexpr Delims kDelims[] = {{"=", "-"}, {":", ","}, {"=:", "-,\n"}, {"", ""}, {"\n", "="}};

// The line as the query reads it: the first line of the file, at most 255
// characters (fgets into 256 bytes).
constexpr size_t kLineRoom = 255;

// Offset and length of the version in the line, or npos.
std::pair<size_t, size_t> reference(std::string_view line, std::string_view first, std::string_view second)
{
    constexpr auto none = std::make_pair(std::string_view::npos, size_t{0});
    size_t at = line.find_first_not_of(first);
    if (at == std::string_view::npos) {
        return none; // no key
    }
    at = line.find_first_of(first, at);
    if (at == std::string_view::npos) {
        return none; // the key runs to the end: nothing after it
    }
    at = line.find_first_not_of(second, at + 1);
    if (at == std::string_view::npos) {
        return none;
    }
    const size_t end = line.find_first_of(second, at);
    const size_t len = (end == std::string_view::npos ? line.size() : end) - at;
    if (line[at] == '\n') {
        return none; // only the newline after the delimiter
    }
    return {at, len};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    const Delims &delims = kDelims[in.byte() % std::size(kDelims)];
    std::string text = in.bytes(kLineRoom);
    const std::string_view line(text.c_str()); // up to a NUL, as the C string ends

    const auto [at, len] = reference(line, delims.first, delims.second);
    const char *version = versionFromLine(text.data(), delims.first, delims.second);
    if (at == std::string_view::npos) {
        fuzzCheck(version == nullptr, "no version where the line names none");
        return 0;
    }
    fuzzCheck(version == text.data() + at, "the version starts after the key and its delimiter");
    fuzzCheck(std::strlen(version) == len, "the version ends at the second delimiter");
    return 0;
}
