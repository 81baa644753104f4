// Z-Wave include and exclude against a stand-in peripheral command script
// whose getlist action prints the device list the test gives it; the 12 s
// waits run on the virtual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "handlerCall.h"
#include "logText.h"
#include "peripher/zwave.h"
#include "sandbox.h"
#include "shellLog.h"
#include "tools.h"
#include "virtualClock.h"

namespace {

using sandbox::callHandler;
using sandbox::kUsPerSec;
using sandbox::logPrefix;
using sandbox::maskLineNumbers;
using sandbox::missingInOrder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kSettleUs = 12 * kUsPerSec;
const std::string kIncludeP = logPrefix("src/peripher", "cmd_request_zwave_include_and_query");

// The result byte of a pass, then the text. (Sized first: GCC 12 takes an
// insert behind a one-byte vector for a read out of bounds.)
Bytes passWith(const std::string &text)
{
    Bytes reply(1 + text.size(), 0x00);
    std::copy(text.begin(), text.end(), reply.begin() + 1);
    return reply;
}

class ZwaveTest : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        sandbox::setUpTools();
        // include and exclude do nothing here; the test sets the list the
        // radio ends up with. exclude counts its calls, and from the
        // `emptyAfter`-th on the list reads empty.
        sandbox::installTool("tovak_peripheralcmd.sh",
                             "case \"$1\" in\n"
                             "  exclude) n=$(( $(cat '" +
                                 countPath() +
                                 "' 2>/dev/null || echo 0) + 1 ))\n"
                                 "    echo $n > '" +
                                 countPath() +
                                 "' ;;\n"
                                 "  getlist) n=$(cat '" +
                                 countPath() +
                                 "' 2>/dev/null || echo 0)\n"
                                 "    after=$(cat '" +
                                 emptyAfterPath() +
                                 "' 2>/dev/null || echo 0)\n"
                                 "    if [ \"$after\" -gt 0 ] && [ \"$n\" -ge \"$after\" ]; then echo '[]'\n"
                                 "    elif [ -f '" +
                                 listPath() + "' ]; then cat '" + listPath() +
                                 "'; fi ;;\n"
                                 "esac\n"
                                 "exit 0");
    }

    static std::string listPath() { return sandbox::scratchDir() + "/zwave.list"; }
    static std::string countPath() { return sandbox::scratchDir() + "/zwave.excludes"; }
    static std::string emptyAfterPath() { return sandbox::scratchDir() + "/zwave.emptyAfter"; }

    // What getlist prints: the text as it stands, or nothing at all.
    static void setList(const std::optional<std::string> &output)
    {
        unlink(listPath().c_str());
        if (output) {
            sandbox::writeFile(listPath(), *output);
        }
    }
    static void emptyAfterExcludes(int n)
    {
        unlink(countPath().c_str());
        sandbox::writeFile(emptyAfterPath(), std::to_string(n) + "\n");
    }
};

// ---------------------------------------------------------------------------
// Inclusion

struct ListCase {
    const char *name;
    std::optional<std::string> output; // what getlist prints; nullopt: nothing
    Bytes reply;
};

void PrintTo(const ListCase &c, std::ostream *os) { *os << c.name; }

const std::string kLong(300, 'x');

// clang-format off
const ListCase kListCases[] = {
    {"EmptyList", "[]\n", {0x01}},
    {"OneDevice", R"([{"mac":"0a1b","version":"1.2","pir":0,"battery":80}])"
                  "\n",
     passWith("0a1b|1.2|80|0")},
    {"NoTrailingNewline", R"([{"mac":"0a1b","version":"1.2","pir":1,"battery":80}])", passWith("0a1b|1.2|80|1")},
    // The last element is reported; its missing battery keeps the first's.
    {"TwoDevicesSecondWithoutBattery",
     R"([{"mac":"aa","version":"1","pir":1,"battery":50},{"mac":"bb","version":"2","pir":0}])"
     "\n",
     passWith("bb|2|50|0")},
    {"SecondWithoutTexts",
     R"([{"mac":"aa","version":"1","pir":1,"battery":50},{"mac":null,"pir":0,"battery":3}])"
     "\n",
     passWith("aa|1|3|0")},
    {"BatteryAsString", R"([{"mac":"cc","version":"3","pir":1,"battery":"7"}])"
                        "\n",
     passWith("cc|3|0|1")},
    {"BatteryAsReal", R"([{"mac":"cc","version":"3","pir":1,"battery":7.0}])"
                      "\n",
     passWith("cc|3|0|1")},
    {"BatteryBeyond32Bits", R"([{"mac":"cc","version":"3","pir":-1,"battery":4294967296}])"
                            "\n",
     passWith("cc|3|0|-1")},
    {"ElementsThatAreNoObjects", R"([7,{"mac":"dd","version":"4","pir":1,"battery":9},"x",null])"
                                 "\n",
     passWith("dd|4|9|1")},
    // Not the text "[]": parsed, no element, empty fields.
    {"EmptyListWithSpace", "[ ]\n", passWith("||0|0")},
    {"InvalidJson", "{\"mac\": \n", passWith("||0|0")},
    {"ObjectInsteadOfArray", R"({"mac":"ee","version":"5","pir":1,"battery":9})"
                             "\n",
     passWith("||0|0")},
    {"ListOnSeveralLines", "[\n  {\"mac\":\"ff\",\"version\":\"6\",\"pir\":1,\"battery\":9}\n]\n", passWith("||0|0")},
    // A list longer than the line buffer is cut and no longer parses.
    {"LineLongerThanTheBuffer", R"([{"mac":")" + kLong + R"(","version":"1","pir":1,"battery":9}])"
                                                         "\n",
     passWith("||0|0")},
    {"NoOutput", std::nullopt, passWith("||0|0")},
    {"EmptyLine", "\n", passWith("||0|0")},
};
// clang-format on

class ZwaveInclude : public ZwaveTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ZwaveInclude, ReportsTheLastDeviceOfTheList)
{
    const ListCase &c = GetParam();
    setList(std::nullopt);
    sandbox::VirtualClock clock;
    // The device joins while the service waits; the list is read after.
    std::vector<std::string> callsDuringWait;
    clock.at(kSettleUs, [&] {
        callsDuringWait = sandbox::toolCalls();
        setList(c.output);
    });
    const auto r = callHandler(cmd_request_zwave_include_and_query);

    EXPECT_EQ(r.len, static_cast<int>(c.reply.size()));
    EXPECT_EQ(r.reply, c.reply);
    EXPECT_FALSE(r.wroteBeyond);
    EXPECT_THAT(clock.sleeps(), ElementsAre(kSettleUs));
    EXPECT_THAT(callsDuringWait, ElementsAre("tovak_peripheralcmd.sh include"));
    EXPECT_THAT(sandbox::toolCalls(), ElementsAre("tovak_peripheralcmd.sh include", "tovak_peripheralcmd.sh getlist"));

    // The first line as read, at most 254 characters, newline removed.
    std::string line = c.output.value_or("");
    line = line.substr(0, line.find('\n')).substr(0, 254);
    std::vector<std::string> pieces{kIncludeP + "cmd ZWave Include ....\r\n\n",
                                    kIncludeP + "out is [" + line + "] \r\n\n"};
    if (c.reply[0] == 0x00) {
        pieces.push_back(kIncludeP + "RET: <" + std::string(c.reply.begin() + 1, c.reply.end()) + ">\r\n\n");
    }
    pieces.push_back("Res:0x" + std::to_string(c.reply[0]) + " actualLength:" + std::to_string(c.reply.size()) +
                     ".\r\n\n");
    EXPECT_EQ(missingInOrder(maskLineNumbers(r.out), pieces), "");
    if (c.reply[0] != 0x00) {
        EXPECT_THAT(r.out, Not(HasSubstr("RET:")));
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(GetList, ZwaveInclude, ::testing::ValuesIn(kListCases),
                         [](const ::testing::TestParamInfo<ListCase> &info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ZwaveTest, CommandLinesByteForByte)
{
    setList("[]\n");
    sandbox::recordShellCommands();
    sandbox::VirtualClock clock;
    callHandler(cmd_request_zwave_include_and_query);
    EXPECT_THAT(sandbox::shellCommands(),
                ElementsAre("tovak_peripheralcmd.sh include", "tovak_peripheralcmd.sh getlist"));
    sandbox::clearShellCommands();
    callHandler(cmd_request_zwave_exclude);
    EXPECT_THAT(sandbox::shellCommands(),
                ElementsAre("tovak_peripheralcmd.sh exclude", "tovak_peripheralcmd.sh getlist"));
}

// Texts are held in 32-byte fields and the reply in the 64-byte buffer: a
// long description is cut at both, and nothing is written beyond either.
TEST_F(ZwaveTest, LongFieldsAndReplyAreCut)
{
    const std::string mac(40, 'm');
    const std::string version(40, 'v');
    setList(R"([{"mac":")" + mac + R"(","version":")" + version +
            R"(","pir":2147483647,"battery":-2147483648}])"
            "\n");
    const std::string text = std::string(31, 'm') + "|" + std::string(31, 'v') + "|-2147483648|2147483647";

    struct CapCase {
        int cap;
        int len;
    };
    for (const CapCase c : {CapCase{64, 64}, CapCase{20, 20}, CapCase{1, 1}, CapCase{0, 0}}) {
        SCOPED_TRACE(c.cap);
        sandbox::VirtualClock clock;
        const auto r = callHandler(cmd_request_zwave_include_and_query, c.cap);
        EXPECT_EQ(r.len, c.len);
        EXPECT_FALSE(r.wroteBeyond);
        if (c.len > 0) {
            EXPECT_EQ(r.reply, passWith(text.substr(0, static_cast<size_t>(c.len - 1))));
        }
        // The log has the whole text.
        EXPECT_THAT(r.out, HasSubstr("RET: <" + text + ">\r\n\n"));
    }
}

TEST_F(ZwaveTest, ReplyOfSixtyThreeCharactersIsNotCut)
{
    // 30 + 1 + 26 + 1 + 3 + 1 + 1 = 63 characters.
    const std::string mac(30, 'a');
    const std::string version(26, 'b');
    setList(R"([{"mac":")" + mac + R"(","version":")" + version + R"(","pir":1,"battery":100}])");
    sandbox::VirtualClock clock;
    const auto r = callHandler(cmd_request_zwave_include_and_query);
    const std::string text = mac + "|" + version + "|100|1";
    ASSERT_EQ(text.size(), 63U);
    EXPECT_EQ(r.len, 64);
    EXPECT_EQ(r.reply, passWith(text));
}

// ---------------------------------------------------------------------------
// Exclusion

TEST_F(ZwaveTest, ExclusionStopsAtTheFirstEmptyList)
{
    struct Case {
        int emptyAfter; // 0: never
        std::string otherwise;
        int attempts;
        uint8_t result;
    };
    const std::string device = R"([{"mac":"0a1b","version":"1.2","pir":0,"battery":80}])";
    // clang-format off
    const Case cases[] = {
        {1, device, 1, 0x00},
        {3, device, 3, 0x00},
        {5, device, 5, 0x00},
        {6, device, 5, 0x01},
        {0, device, 5, 0x01},
        {0, "[ ]", 5, 0x01}, // not the text "[]"
        {0, "", 5, 0x01},    // no output counts as not empty
    };
    // clang-format on
    const std::string p = logPrefix("src/peripher", "cmd_request_zwave_exclude");
    for (const Case &c : cases) {
        SCOPED_TRACE("empty after " + std::to_string(c.emptyAfter) + " exclusions, otherwise \"" + c.otherwise + "\"");
        emptyAfterExcludes(c.emptyAfter);
        setList(c.otherwise.empty() ? std::nullopt : std::optional<std::string>(c.otherwise + "\n"));
        sandbox::clearToolCalls();
        sandbox::VirtualClock clock;
        const auto r = callHandler(cmd_request_zwave_exclude);

        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{c.result});
        EXPECT_FALSE(r.wroteBeyond);
        EXPECT_EQ(clock.sleeps(), std::vector<uint64_t>(static_cast<size_t>(c.attempts), kSettleUs));
        std::vector<std::string> calls;
        std::vector<std::string> pieces{p + "cmd ZWave Exclude ....\r\n\n"};
        for (int attempt = 1; attempt <= c.attempts; ++attempt) {
            calls.emplace_back("tovak_peripheralcmd.sh exclude");
            calls.emplace_back("tovak_peripheralcmd.sh getlist");
            const bool empty = c.emptyAfter > 0 && attempt >= c.emptyAfter;
            pieces.push_back(p + "out is [" + (empty ? std::string("[]") : c.otherwise) + "] \r\n\n");
        }
        pieces.push_back("Res:0x" + std::to_string(c.result) + " actualLength:1.\r\n\n");
        EXPECT_EQ(sandbox::toolCalls(), calls);
        EXPECT_EQ(missingInOrder(maskLineNumbers(r.out), pieces), "") << r.out;
    }
}

} // namespace
