// The file and shell helpers the handlers share: the hex dump, the LED
// brightness write, the first line of an information file or of a command.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "board/files.h"
#include "board/shell.h"
#include "capture.h"
#include "logText.h"
#include "sandbox.h"

namespace {

using sandbox::logPrefix;
using sandbox::maskLineNumbers;
using ::testing::HasSubstr;

const std::string kPrefix = logPrefix("src/peripher", "viewBuf");

std::string dump(const char *label, const std::vector<uint8_t> &bytes)
{
    sandbox::OutputCapture capture;
    viewBuf(label, bytes.data(), static_cast<uint16_t>(bytes.size()));
    return maskLineNumbers(capture.finish());
}

std::vector<uint8_t> counting(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

TEST(ViewBuf, EmptyBufferPrintsHeaderAndLineEnd) { EXPECT_EQ(dump("frame", {}), kPrefix + "frame(0) \n\r\n"); }

TEST(ViewBuf, SixteenBytesAreOneGroup)
{
    EXPECT_EQ(dump("rx", counting(16)),
              kPrefix + "rx(16) \n[00][01][02][03][04][05][06][07][08][09][0a][0b][0c][0d][0e][0f]\r\n");
}

TEST(ViewBuf, SeparatorLineBeforeEverySeventeenthByte)
{
    std::vector<uint8_t> bytes = counting(33);
    bytes[16] = 0xAB;
    const std::string text = dump("rx", bytes);
    const std::string group1 = "[00][01][02][03][04][05][06][07][08][09][0a][0b][0c][0d][0e][0f]";
    const std::string group2 = "[ab][11][12][13][14][15][16][17][18][19][1a][1b][1c][1d][1e][1f]";
    EXPECT_EQ(text, kPrefix + "rx(33) \n" + group1 + kPrefix + "\r\n\n" + group2 + kPrefix + "\r\n\n[20]\r\n");
}

class OperateLeds : public sandbox::SandboxTest {};

TEST_F(OperateLeds, WritesOneDigitOverWhatWasThere)
{
    const std::string path = sandbox::scratchDir() + "/led/brightness";
    struct Case {
        uint8_t value;
        const char *before;
        const char *after;
    };
    // clang-format off
    const Case cases[] = {
        {0, "1\n", "0"}, {1, "0", "1"}, {2, "", "1"}, {255, "255\n", "1"},
    };
    // clang-format on
    for (const Case &c : cases) {
        sandbox::writeFile(path, c.before);
        sandbox::OutputCapture capture;
        const int rc = operateLeds(path.c_str(), c.value);
        const std::string out = capture.finish();
        EXPECT_EQ(rc, 0) << "value " << int{c.value};
        EXPECT_EQ(sandbox::readFile(path), c.after) << "value " << int{c.value};
        EXPECT_EQ(out, "") << "value " << int{c.value};
    }
}

TEST_F(OperateLeds, UnopenableFileReturnsTheErrorNumber)
{
    const std::string path = sandbox::scratchDir() + "/no-such-led/brightness";
    sandbox::OutputCapture capture;
    const int rc = operateLeds(path.c_str(), 1);
    const std::string out = maskLineNumbers(capture.finish());
    EXPECT_EQ(rc, ENOENT);
    EXPECT_EQ(out, logPrefix("src/peripher", "operateLeds") + "Path:" + path + " Open Error" + std::strerror(ENOENT) +
                       ":.\r\n\n");
    EXPECT_FALSE(sandbox::exists(path));
}

TEST(OperateLedsNoPath, ReturnsOneAndLogsNothing)
{
    sandbox::OutputCapture capture;
    const int rc = operateLeds(nullptr, 1);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(rc, 1);
}

class GetInfoFromFile : public sandbox::SandboxTest {
protected:
    // A buffer of `size` bytes inside a larger one, so a write past `size`
    // shows in the rest.
    struct Read {
        int rc;
        std::string text;   // up to the first NUL within `size`
        bool untouchedTail; // nothing written at or after `size`
        std::string out;
    };
    Read read(const std::string &path, uint16_t size, const std::string &initial = "")
    {
        std::array<char, 512> buf{};
        buf.fill('#');
        std::memcpy(buf.data(), initial.c_str(), initial.size() + 1);
        sandbox::OutputCapture capture;
        const int rc = getInfoFromFile(path.c_str(), buf.data(), size);
        Read r{rc, std::string(buf.data(), strnlen(buf.data(), size)), true, maskLineNumbers(capture.finish())};
        for (size_t i = std::max<size_t>(size, initial.size() + 1); i < buf.size(); ++i) {
            r.untouchedTail = r.untouchedTail && buf[i] == '#';
        }
        return r;
    }
    const std::string prefix = logPrefix("src/peripher", "getInfoFromFile");
    const std::string path = sandbox::scratchDir() + "/info";
};

TEST_F(GetInfoFromFile, ReadsTheFirstLineWithinTheSize)
{
    struct Case {
        std::string content;
        uint16_t size;
        std::string expected;
    };
    const std::string longLine(300, 'v');
    // clang-format off
    const Case cases[] = {
        {"VERSION=1.0\nsecond\n", 256, "VERSION=1.0\n"},
        {"no newline", 256, "no newline"},
        {longLine + "\n", 256, std::string(255, 'v')},
        {"abcdef\n", 4, "abc"},
        {"abc\n", 4, "abc"},
        {"abc\n", 5, "abc\n"},
    };
    // clang-format on
    for (const Case &c : cases) {
        sandbox::writeFile(path, c.content);
        const Read r = read(path, c.size);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.text, c.expected) << "size " << c.size;
        EXPECT_TRUE(r.untouchedTail) << "size " << c.size;
        EXPECT_EQ(r.out, prefix + "Get Info[" + std::to_string(c.size) + "]:" + c.expected + "\r\n\n");
    }
}

TEST_F(GetInfoFromFile, MissingFileIsNotReadable)
{
    const Read r = read(path, 256, "before");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.text, "before");
    EXPECT_EQ(r.out, prefix + "Can't Access " + path + ".\r\n\n");
}

TEST_F(GetInfoFromFile, EmptyFileLeavesTheBuffer)
{
    sandbox::writeFile(path, "");
    const Read r = read(path, 256, "before");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "before");
    EXPECT_EQ(r.out, prefix + "Get Info[256]:before\r\n\n");
}

TEST_F(GetInfoFromFile, ReadableButUnopenableLeavesTheBuffer)
{
    // A socket file passes the read-access test, but opening it fails.
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << std::strerror(errno);
    const Read r = read(path, 256, "");
    close(fd);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(r.out, prefix + path + " Open Error:" + std::strerror(ENXIO) + "\n");
}

// shellFirstLine's destination has room for 255 bytes; the rest of a larger
// buffer shows whether anything was written beyond.
struct ShellLine {
    int rc;
    std::string text;
    bool untouchedTail;
};

ShellLine shellLine(const std::string &command)
{
    std::array<char, 400> dest{};
    dest.fill('#');
    std::memcpy(dest.data(), "untouched", 10);
    const int rc = shellFirstLine(command.c_str(), dest.data());
    ShellLine r{rc, std::string(dest.data(), strnlen(dest.data(), kShellLineRoom)), true};
    for (size_t i = kShellLineRoom; i < dest.size(); ++i) {
        r.untouchedTail = r.untouchedTail && dest[i] == '#';
    }
    return r;
}

TEST(ShellFirstLine, FirstLineOfTheOutput)
{
    struct Case {
        std::string command;
        int rc;
        std::string text;
    };
    // clang-format off
    const Case cases[] = {
        {"echo GWM0202", 0, "GWM0202"},
        {"printf 'no newline'", 0, "no newline"},
        {"printf 'one\\ntwo\\n'", 0, "one"},
        {"printf 'crlf\\r\\n'", 0, "crlf\r"},
        {"printf '\\n\\n'", 0, ""},
        {"printf '%300s\\n' '' | tr ' ' x", 0, std::string(254, 'x')},
        // Output long after the first line is not waited for.
        {"seq 1 500000", 0, "1"},
        {"true", -2, "untouched"},
        {"exit 3", -2, "untouched"},
    };
    // clang-format on
    for (const Case &c : cases) {
        const ShellLine r = shellLine(c.command);
        EXPECT_EQ(r.rc, c.rc) << c.command;
        EXPECT_EQ(r.text, c.text) << c.command;
        EXPECT_TRUE(r.untouchedTail) << c.command;
    }
}

TEST(ShellFirstLine, CommandThatCannotStartClearsTheDestination)
{
    // No descriptor left for the pipe: the command cannot be started.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 3;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const ShellLine r = shellLine("echo never");
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.text, "");
}

} // namespace
