// Fuzz target of the route table reader (/proc/net/route, as the ping test of
// the default gateway reads it). The input is the table's text; a reference
// reading of it, line piece by line piece as fgets delivers them, says which
// gateway word must come out.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "fuzzInput.h"
#include "peripher/network.h"

namespace {

// fgets' piece size of the reader: longer lines come in several pieces.
constexpr size_t kPiece = 255;
// An interface name as the kernel limits it.
constexpr size_t kNameMax = 15;

// The gateway word of a piece that is a default route, if it is one.
std::optional<uint32_t> defaultRoute(const std::string &piece)
{
    const char *p = piece.c_str(); // up to a NUL, as sscanf reads it
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    if (*p == '\0') {
        return std::nullopt;
    }
    size_t nameLen = 0;
    while (p[nameLen] != '\0' && !std::isspace(static_cast<unsigned char>(p[nameLen])) && nameLen < kNameMax) {
        ++nameLen;
    }
    const char after = p[nameLen];
    if (after != ' ' && after != '\t') {
        return std::nullopt; // the name goes on beyond an interface name's length
    }
    unsigned long long destination = 0;
    unsigned long long gateway = 0;
    if (std::sscanf(p + nameLen, "%llX %llX", &destination, &gateway) != 2 || destination != 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(gateway);
}

std::optional<uint32_t> reference(const std::string &text)
{
    size_t at = 0;
    bool header = true;
    while (at < text.size()) {
        size_t end = at;
        while (end < text.size() && end - at < kPiece && text[end] != '\n') {
            ++end;
        }
        if (end < text.size() && end - at < kPiece) {
            ++end; // the newline belongs to the piece
        }
        const std::string piece = text.substr(at, end - at);
        at = end;
        if (header) {
            header = false;
            continue;
        }
        if (const auto gateway = defaultRoute(piece)) {
            return gateway;
        }
    }
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0; // fmemopen wants a buffer of at least one byte
    }
    std::string text(reinterpret_cast<const char *>(data), size);
    std::FILE *table = fmemopen(text.data(), text.size(), "r");
    fuzzCheck(table != nullptr, "fmemopen");
    uint32_t gateway = 0xDEADBEEF;
    const bool found = routeDefaultGateway(table, &gateway);
    std::fclose(table);

    const std::optional<uint32_t> want = reference(std::string(reinterpret_cast<const char *>(data), size));
    fuzzCheck(found == want.has_value(), "a default route is found exactly when the table holds one");
    fuzzCheck(!found || gateway == *want, "the first default route's gateway word");
    fuzzCheck(found || gateway == 0xDEADBEEF, "no default route leaves the output alone");
    return 0;
}
