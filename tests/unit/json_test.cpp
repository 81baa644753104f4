// Typed reads of JSON members: types, ranges, missing members, and the
// output left alone on every failure.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "util/json.h"

namespace {

enum class Get { Integer, Int64, Uint64, Int, Uint32, Uint16, Uint8, Bool, Double, String, Dup, Copy };

constexpr std::array kAllGetters{Get::Integer, Get::Int64, Get::Uint64, Get::Int,    Get::Uint32, Get::Uint16,
                                 Get::Uint8,   Get::Bool,  Get::Double, Get::String, Get::Dup,    Get::Copy};

const char *nameOf(Get g)
{
    constexpr std::array kNames{"integer", "int64", "uint64", "int",    "uint32", "uint16",
                                "uint8",   "bool",  "double", "string", "dup",    "copy"};
    return kNames[static_cast<size_t>(g)];
}

// The output variable starts at a value no row expects, so a getter that
// wrote it on failure shows.
template <typename T>
std::string numeric(int (*getter)(const json_t *, const char *, T *), const json_t *obj, const char *key, T sentinel)
{
    T out = sentinel;
    const int rc = getter(obj, key, &out);
    std::string text = std::to_string(rc) + " ";
    if (out == sentinel) {
        return text + "untouched";
    }
    if constexpr (std::is_floating_point_v<T>) {
        std::array<char, 64> buf{};
        const auto end = std::to_chars(buf.data(), buf.data() + buf.size(), out).ptr;
        return text + std::string(buf.data(), end);
    } else {
        return text + std::to_string(out);
    }
}

constexpr char kFill = '#';
constexpr size_t kGuard = 8;

// "<result> <buffer up to its NUL>"; bytes past the given size must stay untouched.
std::string copied(const json_t *obj, const char *key, size_t size)
{
    std::string buf(size + kGuard, kFill);
    const int rc = json_obj_copy_string(obj, key, buf.data(), size);
    EXPECT_EQ(buf.substr(size), std::string(kGuard, kFill)) << "written beyond the given size";
    return std::to_string(rc) + " " + std::string(buf.data(), strnlen(buf.data(), size));
}

std::string text(const char *s) { return s != nullptr ? s : "null"; }

// One call of the getter, rendered as "<result> <output>".
std::string run(Get g, const json_t *obj, const char *key, size_t copySize)
{
    switch (g) {
    case Get::Integer:
        return numeric<int64_t>(json_obj_get_integer, obj, key, 0x5A5A5A5A5A5A5A5A);
    case Get::Int64:
        return numeric<int64_t>(json_obj_get_int64, obj, key, 0x5A5A5A5A5A5A5A5A);
    case Get::Uint64:
        return numeric<uint64_t>(json_obj_get_uint64, obj, key, 0xA5A5A5A5A5A5A5A5U);
    case Get::Int:
        return numeric<int32_t>(json_obj_get_int, obj, key, 0x5A5A5A5A);
    case Get::Uint32:
        return numeric<uint32_t>(json_obj_get_uint32, obj, key, 0xA5A5A5A5U);
    case Get::Uint16:
        return numeric<uint16_t>(json_obj_get_uint16, obj, key, 0xA5A5);
    case Get::Uint8:
        return numeric<uint8_t>(json_obj_get_uint8, obj, key, 0xA5);
    case Get::Bool:
        return numeric<uint8_t>(json_obj_get_bool, obj, key, 0xA5);
    case Get::Double:
        return numeric<double>(json_obj_get_double, obj, key, -12345.5);
    case Get::String:
        return text(json_obj_get_string(obj, key));
    case Get::Dup: {
        char *copy = json_obj_dup_string(obj, key);
        std::string result = text(copy);
        std::free(copy);
        return result;
    }
    case Get::Copy:
        return copied(obj, key, copySize);
    }
    return "?";
}

// What every getter gives when it fails.
std::string failure(Get g, size_t copySize)
{
    switch (g) {
    case Get::String:
    case Get::Dup:
        return "null";
    case Get::Copy:
        return "-1 " + std::string(copySize, kFill);
    default:
        return "-1 untouched";
    }
}

struct JsonDeleter {
    void operator()(json_t *j) const { json_decref(j); }
};
using Json = std::unique_ptr<json_t, JsonDeleter>;

Json parse(const char *text)
{
    json_error_t error{};
    Json doc(json_loads(text, JSON_DECODE_ANY, &error));
    EXPECT_TRUE(doc) << text << ": " << error.text;
    return doc;
}

struct Case {
    const char *json;
    Get getter;
    const char *key;
    std::string expected;
    size_t copySize = 0;
};

TEST(JsonGetters, ReadTypedMembersWithinRange)
{
    // clang-format off
    const Case cases[] = {
        // Integers: any 64-bit value, nothing else.
        {R"({"v":7})", Get::Integer, "v", "0 7"},
        {R"({"v":-9223372036854775808})", Get::Integer, "v", "0 -9223372036854775808"},
        {R"({"v":7.0})", Get::Integer, "v", "-1 untouched"},
        {R"({"v":"7"})", Get::Integer, "v", "-1 untouched"},
        {R"({"w":7})", Get::Integer, "v", "-1 untouched"},
        {R"({"v":7})", Get::Integer, nullptr, "-1 untouched"},
        {R"({"v":9223372036854775807})", Get::Int64, "v", "0 9223372036854775807"},
        {R"({"v":-1})", Get::Int64, "v", "0 -1"},
        {R"({"v":[7]})", Get::Int64, "v", "-1 untouched"},
        {R"({"v":9223372036854775807})", Get::Uint64, "v", "0 9223372036854775807"},
        {R"({"v":0})", Get::Uint64, "v", "0 0"},
        {R"({"v":-1})", Get::Uint64, "v", "-1 untouched"},
        {R"({"v":true})", Get::Uint64, "v", "-1 untouched"},
        // The Z-Wave device fields.
        {R"({"battery":7})", Get::Int, "battery", "0 7"},
        {R"({"battery":"7"})", Get::Int, "battery", "-1 untouched"},
        {R"({"battery":7.0})", Get::Int, "battery", "-1 untouched"},
        {R"({"pir":null})", Get::Int, "pir", "-1 untouched"},
        {R"({"pir":1})", Get::Int, "battery", "-1 untouched"},
        {R"({"v":2147483647})", Get::Int, "v", "0 2147483647"},
        {R"({"v":-2147483648})", Get::Int, "v", "0 -2147483648"},
        {R"({"v":2147483648})", Get::Int, "v", "-1 untouched"},
        {R"({"v":-2147483649})", Get::Int, "v", "-1 untouched"},
        {R"({"v":2147483648})", Get::Uint32, "v", "0 2147483648"},
        {R"({"v":4294967295})", Get::Uint32, "v", "0 4294967295"},
        {R"({"v":4294967296})", Get::Uint32, "v", "-1 untouched"},
        {R"({"v":-1})", Get::Uint32, "v", "-1 untouched"},
        {R"({"v":65535})", Get::Uint16, "v", "0 65535"},
        {R"({"v":65536})", Get::Uint16, "v", "-1 untouched"},
        {R"({"v":-1})", Get::Uint16, "v", "-1 untouched"},
        {R"({"v":0})", Get::Uint16, "v", "0 0"},
        {R"({"v":255})", Get::Uint8, "v", "0 255"},
        {R"({"v":256})", Get::Uint8, "v", "-1 untouched"},
        {R"({"v":-1})", Get::Uint8, "v", "-1 untouched"},
        {R"({"v":0})", Get::Uint8, "v", "0 0"},
        // Booleans: true, false, or the integers 0 and 1.
        {R"({"v":true})", Get::Bool, "v", "0 1"},
        {R"({"v":false})", Get::Bool, "v", "0 0"},
        {R"({"v":1})", Get::Bool, "v", "0 1"},
        {R"({"v":0})", Get::Bool, "v", "0 0"},
        {R"({"v":2})", Get::Bool, "v", "-1 untouched"},
        {R"({"v":-1})", Get::Bool, "v", "-1 untouched"},
        {R"({"v":null})", Get::Bool, "v", "-1 untouched"},
        {R"({"v":1.0})", Get::Bool, "v", "-1 untouched"},
        {R"({"v":"true"})", Get::Bool, "v", "-1 untouched"},
        // Doubles: integers and reals.
        {R"({"v":3})", Get::Double, "v", "0 3"},
        {R"({"v":1.5})", Get::Double, "v", "0 1.5"},
        {R"({"v":-2.25e3})", Get::Double, "v", "0 -2250"},
        {R"({"v":"3"})", Get::Double, "v", "-1 untouched"},
        {R"({"v":true})", Get::Double, "v", "-1 untouched"},
        {R"({"v":null})", Get::Double, "v", "-1 untouched"},
        // Strings.
        {R"({"mac":"00124b0001a2b3c4"})", Get::String, "mac", "00124b0001a2b3c4"},
        {R"({"mac":""})", Get::String, "mac", ""},
        {R"({"mac":7})", Get::String, "mac", "null"},
        {R"({"version":"1.2.3"})", Get::String, "mac", "null"},
        {R"({"version":"1.2.3"})", Get::Dup, "version", "1.2.3"},
        {R"({"version":1})", Get::Dup, "version", "null"},
        {R"({"version":null})", Get::Dup, "version", "null"},
        {R"({"s":"abc"})", Get::Copy, "s", "3 abc", 4},
        {R"({"s":"abc"})", Get::Copy, "s", "3 abc", 64},
        {R"({"s":"abc"})", Get::Copy, "s", "-1 ab", 3},
        {R"({"s":"abc"})", Get::Copy, "s", "-1 ", 1},
        {R"({"s":"abc"})", Get::Copy, "s", "-1 ", 0},
        {R"({"s":""})", Get::Copy, "s", "0 ", 1},
        {R"({"s":7})", Get::Copy, "s", "-1 ########", 8},
        {R"({"t":"abc"})", Get::Copy, "s", "-1 ####", 4},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(nameOf(c.getter)) + " " + c.json + " key " + text(c.key));
        const Json doc = parse(c.json);
        ASSERT_TRUE(doc);
        EXPECT_EQ(run(c.getter, doc.get(), c.key, c.copySize), c.expected);
        // The document stays the caller's: no reference taken or dropped.
        EXPECT_EQ(doc->refcount, 1U);
    }
}

TEST(JsonGetters, EveryGetterRefusesWhatIsNotAnObject)
{
    const char *notObjects[] = {R"([{"v":1}])", R"("v")", "1", "true", "null"};
    for (const Get g : kAllGetters) {
        SCOPED_TRACE(nameOf(g));
        EXPECT_EQ(run(g, nullptr, "v", 4), failure(g, 4)) << "null handle";
        for (const char *text : notObjects) {
            const Json doc = parse(text);
            ASSERT_TRUE(doc);
            EXPECT_EQ(run(g, doc.get(), "v", 4), failure(g, 4)) << text;
        }
    }
}

TEST(JsonGetters, StringsStayOwnedByTheDocumentAndCopiesByTheCaller)
{
    const Json doc = parse(R"({"mac":"00124b0001a2b3c4"})");
    ASSERT_TRUE(doc);
    const char *inside = json_obj_get_string(doc.get(), "mac");
    EXPECT_EQ(inside, json_string_value(json_object_get(doc.get(), "mac")));
    char *copy = json_obj_dup_string(doc.get(), "mac");
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, inside);
    EXPECT_STREQ(copy, inside);
    std::free(copy);
}

} // namespace
