// The identity queries: the MAC address of eth0 and the version files of the
// build and of the radio co-processors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "handlerCall.h"
#include "logText.h"
#include "network.h"
#include "overlay.h"
#include "peripher/identity.h"
#include "peripher/peripher.h"
#include "sandbox.h"

namespace {

using sandbox::callHandler;
using sandbox::logPrefix;
using sandbox::maskLineNumbers;
using ::testing::HasSubstr;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

class MacQuery : public sandbox::SandboxTest {};

TEST_F(MacQuery, RepliesTheSixAddressBytesOfEth0)
{
    sandbox::addVeth("eth0", "00:11:22:33:44:55", "eth0-peer");
    const auto r = callHandler(cmd_request_mac);
    EXPECT_EQ(r.len, 7);
    EXPECT_EQ(r.reply, (Bytes{0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_FALSE(r.wroteBeyond);
    const std::string p = logPrefix("src/peripher", "cmd_request_mac");
    EXPECT_THAT(maskLineNumbers(r.out),
                HasSubstr(p + "cmd request Function Mac.\r\n\n" + p + "Mac:00:11:22:33:44:55 \r\n\n" + p +
                          "MAC Function Get Mac Success, buffLen:7.\r\n\n"));
}

TEST_F(MacQuery, UpperCaseHexInTheLog)
{
    sandbox::addVeth("eth0", "02:ab:cd:ef:0a:1b", "eth0-peer");
    const auto r = callHandler(cmd_request_mac);
    EXPECT_EQ(r.reply, (Bytes{0x00, 0x02, 0xab, 0xcd, 0xef, 0x0a, 0x1b}));
    EXPECT_THAT(r.out, HasSubstr("Mac:02:AB:CD:EF:0A:1B \r\n\n"));
}

TEST_F(MacQuery, SmallCapacityFailsWithTheBytesThatFit)
{
    sandbox::addVeth("eth0", "00:11:22:33:44:55", "eth0-peer");
    const auto r = callHandler(cmd_request_mac, 5);
    EXPECT_EQ(r.len, 5);
    EXPECT_EQ(r.reply, (Bytes{0x01, 0x00, 0x11, 0x22, 0x33}));
    EXPECT_FALSE(r.wroteBeyond);
    EXPECT_THAT(r.out, HasSubstr("MAC Buffer Too Less: Length 7.\r\n\n"));
}

TEST_F(MacQuery, NoEth0GivesNoReply)
{
    const auto r = callHandler(cmd_request_mac);
    EXPECT_EQ(r.len, 0);
    EXPECT_FALSE(r.wroteBeyond);
    EXPECT_THAT(maskLineNumbers(r.out), HasSubstr(logPrefix("src/peripher", "cmd_request_mac") +
                                                  "ioctl Operate Error:" + std::strerror(ENODEV) + "\r\n\n"));
}

// The version files live under /etc; an overlay keeps the test's files in
// the sandbox.
class VersionQuery : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override { sandbox::overlayDir("/etc"); }
};

struct VersionCase {
    const char *name;
    CmdHandler handler;
    const char *function;
    const char *path;
    std::string content;
    int cap;
    Bytes reply;
};

Bytes textReply(const std::string &text, bool withNul = true)
{
    Bytes bytes;
    bytes.reserve(text.size() + 2);
    bytes.push_back(0x00);
    for (const char ch : text) {
        bytes.push_back(static_cast<uint8_t>(ch));
    }
    if (withNul) {
        bytes.push_back(0x00);
    }
    return bytes;
}

constexpr char kBuild[] = "/etc/tovak_build";
constexpr char kZigbee[] = "/etc/config/tovak/amber/version";
constexpr char kZwave[] = "/etc/config/tovak/zwdev/version";

TEST_F(VersionQuery, VersionBetweenTheDelimiters)
{
    const std::string v63(63, '7');
    const std::string v62(62, '6');
    // clang-format off
    const VersionCase cases[] = {
        {"build with suffix", cmd_request_sysversion, "cmd_request_sysversion", kBuild,
         "BUILD_VERSION=V1.1.3-20200619\n", 64, textReply("V1.1.3")},
        {"build without suffix keeps the newline", cmd_request_sysversion, "cmd_request_sysversion", kBuild,
         "BUILD_VERSION=V1.1.3\n", 64, textReply("V1.1.3\n")},
        {"second line ignored", cmd_request_sysversion, "cmd_request_sysversion", kBuild,
         "BUILD=2.0-rc\nBUILD=3.0-rc\n", 64, textReply("2.0")},
        {"zigbee", cmd_request_zbversion, "cmd_request_zbversion", kZigbee, "version:6.7.8,build 12\n", 64,
         textReply("6.7.8")},
        {"zigbee leading commas skipped", cmd_request_zbversion, "cmd_request_zbversion", kZigbee,
         "version:,,6.7.9,x", 64, textReply("6.7.9")},
        {"zwave without suffix", cmd_request_zwversion, "cmd_request_zwversion", kZwave, "ZW:7.15", 64,
         textReply("7.15")},
        {"62 characters fit with the NUL", cmd_request_sysversion, "cmd_request_sysversion", kBuild,
         "V=" + v62 + "-x\n", 64, textReply(v62)},
        {"capacity 5 cuts, result stays 0", cmd_request_zwversion, "cmd_request_zwversion", kZwave,
         "ZW:7.15,x\n", 5, textReply("7.15", false)},
    };
    // clang-format on
    for (const VersionCase &c : cases) {
        SCOPED_TRACE(c.name);
        sandbox::writeFile(c.path, c.content);
        const auto r = callHandler(c.handler, c.cap);
        EXPECT_EQ(r.len, static_cast<int>(c.reply.size()));
        EXPECT_EQ(r.reply, c.reply);
        EXPECT_FALSE(r.wroteBeyond);
        const Bytes &b = c.reply;
        const std::string text(b.begin() + 1, std::find(b.begin() + 1, b.end(), 0));
        EXPECT_THAT(maskLineNumbers(r.out),
                    HasSubstr(logPrefix("src/peripher", c.function) + "Systerm Information:" + text));
    }
}

TEST_F(VersionQuery, LongVersionIsCutAtTheCapacityWithoutNul)
{
    const std::string p = logPrefix("src/peripher", "cmd_request_sysversion");
    for (const size_t len : {63U, 64U, 200U, 300U}) {
        SCOPED_TRACE(len);
        const std::string version(len, 'a');
        sandbox::writeFile(kBuild, "BUILD_VERSION=" + version + "-suffix\n");
        const auto r = callHandler(cmd_request_sysversion);
        EXPECT_EQ(r.len, 64);
        EXPECT_EQ(r.reply, textReply(std::string(63, 'a'), false));
        EXPECT_FALSE(r.wroteBeyond);
        EXPECT_THAT(maskLineNumbers(r.out), HasSubstr(p + "Buffer Length Too Less Actual Length:64\r\n\n"));
    }
}

TEST_F(VersionQuery, ShortVersionIsNotReportedAsCut)
{
    sandbox::writeFile(kBuild, "BUILD_VERSION=1.0-x\n");
    const auto r = callHandler(cmd_request_sysversion);
    EXPECT_THAT(r.out, Not(HasSubstr("Buffer Length Too Less")));
    EXPECT_THAT(maskLineNumbers(r.out), HasSubstr(logPrefix("src/peripher", "cmd_request_sysversion") +
                                                  "cmd request Function Sysversion.\r\n\n"));
}

TEST_F(VersionQuery, NoVersionFieldFailsWithOneByte)
{
    struct Case {
        const char *name;
        CmdHandler handler;
        const char *path;
        const char *content; // nullptr: no file
        const char *log;
    };
    // clang-format off
    const Case cases[] = {
        {"missing build file", cmd_request_sysversion, kBuild, nullptr, "Can't Access /etc/tovak_build.\r\n\n"},
        {"missing zigbee file", cmd_request_zbversion, kZigbee, nullptr,
         "Can't Access /etc/config/tovak/amber/version.\r\n\n"},
        {"missing zwave file", cmd_request_zwversion, kZwave, nullptr,
         "Can't Access /etc/config/tovak/zwdev/version.\r\n\n"},
        {"empty file", cmd_request_sysversion, kBuild, "", "Version Not Found In /etc/tovak_build.\r\n\n"},
        {"no first delimiter", cmd_request_sysversion, kBuild, "V1.1.3-20200619\n",
         "Version Not Found In /etc/tovak_build.\r\n\n"},
        {"nothing after it", cmd_request_zbversion, kZigbee, "version:", "Version Not Found In"},
        {"only the newline after it", cmd_request_zwversion, kZwave, "version:\n", "Version Not Found In"},
        {"only suffix delimiters after it", cmd_request_zwversion, kZwave, "version:,,,", "Version Not Found In"},
        {"only delimiters", cmd_request_sysversion, kBuild, "===\n", "Version Not Found In"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(c.path);
        if (c.content != nullptr) {
            sandbox::writeFile(c.path, c.content);
        }
        const auto r = callHandler(c.handler);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x01});
        EXPECT_FALSE(r.wroteBeyond);
        EXPECT_THAT(r.out, HasSubstr(c.log));
        EXPECT_THAT(r.out, Not(HasSubstr("Systerm Information")));
    }
}

TEST_F(VersionQuery, FileThatPassesAccessButCannotBeOpenedFails)
{
    sandbox::mkdirs("/etc/config/tovak/amber");
    unlink(kZigbee);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kZigbee, sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << std::strerror(errno);
    const auto r = callHandler(cmd_request_zbversion);
    close(fd);
    EXPECT_EQ(r.reply, Bytes{0x01});
    EXPECT_THAT(r.out, HasSubstr(std::string(kZigbee) + " Open Error:"));
}

} // namespace
