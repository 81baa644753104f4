// The NXP device module: the radio service's device database, the six device
// commands with a stand-in nxp_ucmd.sh, and the waits that report callbacks
// (delivered by a second thread, as the radio service would) end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <jansson.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "logText.h"
#include "nxpDev.h"
#include "overlay.h"
#include "platform/tovak.h"
#include "sandbox.h"
#include "tools.h"
#include "util/condPair.h"
#include "virtualClock.h"

namespace {

using namespace std::chrono_literals;
using sandbox::occurrences;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

constexpr char kMac[] = "0011223344556677";
constexpr size_t kDbSize = 16384;
const std::string kTimedOut = std::to_string(ETIMEDOUT);

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// The 8 slot MAC bytes whose MAC text is `text`: digits 0..7 come from slot
// bytes 16..19, digits 8..15 from slot bytes 12..15.
std::array<uint8_t, 8> macBytes(const std::string &text)
{
    std::array<uint8_t, 8> bytes{};
    for (size_t i = 0; i < 8; ++i) {
        const auto value = static_cast<uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
        bytes[i < 4 ? i + 4 : i - 4] = value;
    }
    return bytes;
}

struct Device {
    size_t slot;
    std::string mac;
    uint8_t valid = 1;
    uint8_t connected = 1;
    uint16_t first = 0;  // slot bytes 8..9
    uint16_t second = 0; // slot bytes 6..7
};

// A database image of `size` bytes holding the devices. The bytes the module
// does not interpret are filled with noise.
std::string dbImage(const std::vector<Device> &devices, size_t size = kDbSize)
{
    std::string image(kDbSize, '\0');
    for (const Device &dev : devices) {
        const size_t off = dev.slot * 256;
        std::fill_n(image.begin() + static_cast<long>(off), 256, '\x5a');
        image[off + 0] = static_cast<char>(dev.valid);
        image[off + 3] = static_cast<char>(dev.connected);
        image[off + 6] = static_cast<char>(dev.second & 0xFF);
        image[off + 7] = static_cast<char>(dev.second >> 8);
        image[off + 8] = static_cast<char>(dev.first & 0xFF);
        image[off + 9] = static_cast<char>(dev.first >> 8);
        const auto mac = macBytes(dev.mac);
        std::copy(mac.begin(), mac.end(), image.begin() + static_cast<long>(off + 12));
    }
    image.resize(size);
    return image;
}

void writeDb(const std::string &image) { sandbox::writeFile(kDevDbPath, image); }

// Both log channels as "<function>() <message>": the service's own lines
// lose their module and source line, which the platform logger has not.
std::string messages(const std::string &out)
{
    static const std::regex prefix(R"(\[src/nxpDev\] (\w+\(\)) #\d+ )");
    return std::regex_replace(out, prefix, "$1 ");
}

// A request: type, then the 17-byte MAC field (the text and NUL padding, or
// exactly the bytes given when `field` has 17), then zeros up to `len`.
Bytes request(uint16_t type, const std::string &field, size_t len = 19)
{
    Bytes req(std::max<size_t>(len, 19), 0);
    req[0] = static_cast<uint8_t>(type & 0xFF);
    req[1] = static_cast<uint8_t>(type >> 8);
    std::copy_n(field.begin(), std::min<size_t>(field.size(), 17), req.begin() + 2);
    req.resize(len);
    return req;
}

Bytes meterRequest(const std::string &mac, uint8_t on)
{
    Bytes req = request(0x0003, mac, 20);
    req[19] = on;
    return req;
}

Bytes passwdRequest(const std::string &mac, int32_t passwd, uint16_t validity)
{
    Bytes req = request(0x0102, mac, 25);
    const auto pw = static_cast<uint32_t>(passwd);
    for (size_t i = 0; i < 4; ++i) {
        req[19 + i] = static_cast<uint8_t>(pw >> (8 * i));
    }
    req[23] = static_cast<uint8_t>(validity & 0xFF);
    req[24] = static_cast<uint8_t>(validity >> 8);
    return req;
}

constexpr uint8_t kUntouched = 0xEE;

struct Outcome {
    int ret;
    Bytes reply; // 8 bytes, kUntouched where nothing was written
    std::string log;
};

Outcome dispatch(uint16_t code, const Bytes &req, uint16_t cap = 8)
{
    Outcome o{0, Bytes(8, kUntouched), ""};
    sandbox::OutputCapture capture;
    o.ret = nxpDevCmdHandler(code, req.data(), static_cast<uint16_t>(req.size()), o.reply.data(), cap);
    o.log = messages(capture.finish());
    return o;
}

Bytes written(const Outcome &o) { return Bytes(o.reply.begin(), o.reply.begin() + std::max(o.ret, 0)); }

// The radio service's report thread: delivers one report as soon as a
// command waits for one, or gives up when stopped.
class ReportThread {
public:
    explicit ReportThread(std::function<void()> report)
        : thread_([this, report = std::move(report)] {
              while (!stop_) {
                  if (nxpDevWaiting() > 0) {
                      report();
                      delivered_ = true;
                      return;
                  }
                  std::this_thread::sleep_for(1ms);
              }
          })
    {
    }
    ~ReportThread() { stop(); }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool delivered() const { return delivered_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> delivered_{false};
    std::thread thread_;
};

// A lock's code-check report, as the radio service hands it over.
class Report {
public:
    explicit Report(const char *json) : json_(json_loads(json, 0, nullptr)) {}
    ~Report() { json_decref(json_); }
    Report(const Report &) = delete;
    Report &operator=(const Report &) = delete;
    void *get() const { return json_; }

private:
    json_t *json_;
};

class NxpTest : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        // The database's directory, in a private /etc: nothing lands on the machine.
        sandbox::overlayDir("/etc");
        sandbox::mountTmpfs("/etc/tovak");
        sandbox::setUpTools();
        sandbox::installTool("nxp_ucmd.sh");
        nxpDevInit();
    }
    void TearDown() override { condSetDeadlineDivisor(1); }

    // Connect polls every 500 ms: virtual time.
    sandbox::VirtualClock clock_;
};

// ---------------------------------------------------------------------------
// Device database
// ---------------------------------------------------------------------------

using NxpDb = NxpTest;

TEST(NxpMacText, SlotBytesGiveTheMacText)
{
    struct Case {
        std::array<uint8_t, 8> bytes; // slot bytes 12..19
        const char *text;
    };
    // clang-format off
    const Case cases[] = {
        {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}, "4455667700112233"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "0000000000000000"},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "ffffffffffffffff"},
        {{0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03, 0x04}, "01020304deadbeef"},
    };
    // clang-format on
    for (const Case &c : cases) {
        char text[17];
        std::memset(text, 'X', sizeof text);
        EXPECT_EQ(formatDevMac(c.bytes.data(), text, sizeof text), 16);
        EXPECT_STREQ(text, c.text);
    }
    // A smaller field is cut, and the result still tells the full length.
    char shortText[9];
    EXPECT_EQ(formatDevMac(cases[0].bytes.data(), shortText, sizeof shortText), 16);
    EXPECT_STREQ(shortText, "44556677");
}

TEST_F(NxpDb, FullFileLoadsEverySlot)
{
    writeDb(dbImage({{0, "0000000000000001", 1, 1, 1, 2}, {63, "ffffffffffffff00", 1, 1, 0xBEEF, 0xCAFE}}));
    sandbox::OutputCapture capture;
    const int loaded = load_dev_data();
    uint16_t first = 0;
    uint16_t second = 0;
    const int found = checkConnected("ffffffffffffff00", &first, &second);
    const std::string log = messages(capture.finish());

    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(first, 0xBEEF);
    EXPECT_EQ(second, 0xCAFE);
    EXPECT_THAT(log, Not(HasSubstr("Error")));
}

TEST_F(NxpDb, ShortFileRefreshesOnlyTheSlotsBeforeTheCut)
{
    const std::string a = "aaaaaaaaaaaaaaaa";
    const std::string b = "bbbbbbbbbbbbbbbb";
    const std::string c = "cccccccccccccccc";
    writeDb(dbImage({{62, a}, {63, b}}));
    ASSERT_EQ(load_dev_data(), 0);

    // Slot 62 now shows a disconnected device; slot 63 is one byte short.
    writeDb(dbImage({{62, a, 1, 0}, {63, c}}, kDbSize - 1));
    sandbox::OutputCapture capture;
    const int loaded = load_dev_data();
    const std::string log = messages(capture.finish());
    EXPECT_EQ(loaded, -1);
    EXPECT_EQ(occurrences(log, "load_dev_data() Read Error\r\n"), 1U);

    uint16_t first = 0;
    uint16_t second = 0;
    sandbox::OutputCapture quiet;
    const int foundA = checkConnected(a.c_str(), &first, &second);
    const int foundB = checkConnected(b.c_str(), &first, &second); // the record of the earlier load
    const int foundC = checkConnected(c.c_str(), &first, &second);
    quiet.finish();
    EXPECT_EQ(foundA, 0);
    EXPECT_EQ(foundB, 1);
    EXPECT_EQ(foundC, 0);
}

TEST_F(NxpDb, RecordMacTextFollowsTheSlotBytes)
{
    std::string image(kDbSize, '\0');
    const size_t off = 5 * 256;
    image[off] = 1;
    image[off + 3] = 1;
    const char mac[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    std::copy(std::begin(mac), std::end(mac), image.begin() + off + 12);
    image[0] = 1; // slot 0: valid and connected, MAC all zero
    image[3] = 1;
    writeDb(image);

    sandbox::OutputCapture capture;
    ASSERT_EQ(load_dev_data(), 0);
    uint16_t first = 0;
    uint16_t second = 0;
    const int swapped = checkConnected("4455667700112233", &first, &second);
    const int inOrder = checkConnected("0011223344556677", &first, &second);
    const int zero = checkConnected("0000000000000000", &first, &second);
    capture.finish();
    EXPECT_EQ(swapped, 1);
    EXPECT_EQ(inOrder, 0);
    EXPECT_EQ(zero, 1);
}

TEST_F(NxpDb, LookupAnswersFromTheFirstRecordWithTheMac)
{
    const std::string m = "00aabbccddeeff11";
    struct Case {
        const char *name;
        std::vector<Device> devices;
        std::string query;
        int result;
        uint16_t first;
        uint16_t second;
        size_t foundLines;
        size_t notFoundLines;
        size_t recordLines; // records examined
    };
    // clang-format off
    const Case cases[] = {
        {"valid and connected", {{2, m, 1, 1, 0x5678, 0x1234}}, m, 1, 0x5678, 0x1234, 1, 0, 3},
        {"valid, not connected", {{2, m, 1, 0, 0x5678, 0x1234}}, m, 0, 0, 0, 0, 1, 3},
        {"connected, not valid", {{2, m, 0, 1, 0x5678, 0x1234}}, m, 0, 0, 0, 0, 1, 3},
        {"lower duplicate not connected", {{3, m, 1, 0, 1, 2}, {7, m, 1, 1, 3, 4}}, m, 0, 0, 0, 0, 1, 4},
        {"lower duplicate decides the values", {{3, m, 1, 1, 1, 2}, {7, m, 1, 1, 3, 4}}, m, 1, 1, 2, 1, 0, 4},
        {"upper-case query", {{2, m, 1, 1, 1, 2}}, "00AABBCCDDEEFF11", 0, 0, 0, 0, 0, 64},
        {"absent", {{2, m, 1, 1, 1, 2}}, "1111111111111111", 0, 0, 0, 0, 0, 64},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeDb(dbImage(c.devices));
        uint16_t first = 0xFFFF;
        uint16_t second = 0xFFFF;
        sandbox::OutputCapture capture;
        const int loaded = load_dev_data();
        const int result = checkConnected(c.query.c_str(), &first, &second);
        const std::string log = messages(capture.finish());
        ASSERT_EQ(loaded, 0);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(second, c.second);
        EXPECT_EQ(occurrences(log, "checkConnected() Found\n"), c.foundLines);
        EXPECT_EQ(occurrences(log, "checkConnected() Not Found\n"), c.notFoundLines);
        EXPECT_EQ(occurrences(log, "checkConnected() MAC:"), c.recordLines);
        EXPECT_THAT(log, HasSubstr("checkConnected() MAC:0000000000000000, Valid:0, CMP Mac:" + c.query + "\n"));
        if (c.foundLines + c.notFoundLines > 0) {
            EXPECT_THAT(log, HasSubstr("checkConnected() MAC:" + m + ", Valid:" + std::to_string(c.devices[0].valid) +
                                       ", CMP Mac:" + m + "\n"));
        }
    }
}

TEST_F(NxpDb, OpenFailureIsRetriedOnTheNextLoad)
{
    sandbox::OutputCapture capture;
    const int missing = load_dev_data();
    const std::string log = messages(capture.finish());
    EXPECT_EQ(missing, -1);
    EXPECT_EQ(log, "load_dev_data() Open Error\r\n");

    writeDb(dbImage({{9, kMac}}));
    sandbox::OutputCapture again;
    const int loaded = load_dev_data();
    const int found = checkConnected(kMac, nullptr, nullptr);
    again.finish();
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(found, 1);
}

// ---------------------------------------------------------------------------
// Device commands
// ---------------------------------------------------------------------------

using NxpCmd = NxpTest;

TEST_F(NxpCmd, ShortRequestOrReplyIsRefusedBeforeAnythingRuns)
{
    struct Case {
        uint16_t code;
        const char *handler;
        size_t minReq;
        uint16_t minCap;
        int replyLen;
        size_t scriptCalls;
    };
    // clang-format off
    const Case cases[] = {
        {0x1200, "cmd_request_connect", 19, 5, 5, 1},     {0x1202, "cmd_request_lockPasswdAdd", 25, 1, 1, 1},
        {0x1205, "cmd_request_lockCodeCheck", 19, 1, 1, 0}, {0x1203, "cmd_request_factReset", 19, 1, 1, 1},
        {0x1204, "cmd_request_meteronoff", 20, 1, 1, 1},  {0x1210, "cmd_request_devDel", 19, 1, 1, 1},
    };
    // clang-format on
    writeDb(dbImage({{0, kMac}}));
    condSetDeadlineDivisor(1000); // the waits of the accepted requests time out at once
    for (const Case &c : cases) {
        SCOPED_TRACE(c.handler);
        sandbox::clearToolCalls();
        const std::string name = std::string(c.handler) + "() ";

        for (const size_t len : {size_t{0}, size_t{18}, c.minReq - 1}) {
            const Outcome o = dispatch(c.code, request(1, kMac, len), c.minCap);
            EXPECT_EQ(o.ret, 0) << len;
            EXPECT_EQ(o.log, name + "Input data length small\n") << len;
            EXPECT_THAT(o.reply, Each(kUntouched));
        }
        for (const uint16_t cap : {uint16_t{0}, static_cast<uint16_t>(c.minCap - 1)}) {
            const Outcome o = dispatch(c.code, request(1, kMac, c.minReq), cap);
            EXPECT_EQ(o.ret, 0) << cap;
            EXPECT_EQ(o.log, name + "Output data length small\n") << cap;
            EXPECT_THAT(o.reply, Each(kUntouched));
        }
        EXPECT_THAT(sandbox::toolCalls(), IsEmpty());

        const Outcome o = dispatch(c.code, request(1, kMac, c.minReq), c.minCap);
        EXPECT_EQ(o.ret, c.replyLen);
        EXPECT_EQ(sandbox::toolCalls().size(), c.scriptCalls);
    }
}

TEST_F(NxpCmd, CommandsRunTheirScriptLines)
{
    // The script's exit status says nothing about the device.
    sandbox::installTool("nxp_ucmd.sh", "exit 1");
    writeDb(dbImage({{4, kMac, 1, 1, 0x0201, 0x0403}}));
    struct Case {
        const char *name;
        uint16_t code;
        Bytes req;
        std::string scriptLine;
        Bytes reply;
        std::string logged;
    };
    // clang-format off
    const Case cases[] = {
        {"connect", 0x1200, request(0x0a1b, kMac), "nxp_ucmd.sh permit 0a1b 0011223344556677", {0, 1, 2, 3, 4},
         "cmd_request_connect() NXP Type:0a1b, MAC:0011223344556677\n"},
        {"remove", 0x1210, request(0xABCD, kMac), "nxp_ucmd.sh remove abcd 0011223344556677", {0},
         "cmd_request_devDel() NXP Type:abcd, MAC:0011223344556677\n"},
        {"meter on (5)", 0x1204, meterRequest(kMac, 5), "nxp_ucmd.sh onoff 0011223344556677 1", {0},
         "cmd_request_meteronoff() Shell:nxp_ucmd.sh onoff 0011223344556677 1"},
        {"meter on (0x80)", 0x1204, meterRequest(kMac, 0x80), "nxp_ucmd.sh onoff 0011223344556677 1", {0},
         "cmd_request_meteronoff() NXP Type:0003, MAC:0011223344556677\n"},
        {"meter off", 0x1204, meterRequest(kMac, 0), "nxp_ucmd.sh onoff 0011223344556677 0", {0},
         "cmd_request_meteronoff() Shell:nxp_ucmd.sh onoff 0011223344556677 0"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sandbox::clearToolCalls();
        const Outcome o = dispatch(c.code, c.req);
        EXPECT_EQ(written(o), c.reply);
        EXPECT_THAT(sandbox::toolCalls(), ElementsAre(c.scriptLine));
        EXPECT_THAT(o.log, HasSubstr(c.logged));
    }
}

TEST_F(NxpCmd, ConnectFindsTheDeviceAtTheThirdPoll)
{
    writeDb(dbImage({{6, kMac, 1, 0}}));
    clock_.at(1000 * sandbox::kUsPerMs, [] {
        // The radio service marks the device connected: values 34 12 78 56.
        std::string image = dbImage({{6, kMac, 1, 1}});
        const char values[] = {0x34, 0x12, 0x78, 0x56};
        std::copy(std::begin(values), std::end(values), image.begin() + 6 * 256 + 6);
        writeDb(image);
    });
    const Outcome o = dispatch(0x1200, request(0x0001, kMac));
    EXPECT_EQ(o.ret, 5);
    EXPECT_THAT(written(o), ElementsAre(0x00, 0x78, 0x56, 0x34, 0x12));
    EXPECT_THAT(clock_.sleeps(), ElementsAre(500000U, 500000U));
    EXPECT_EQ(occurrences(o.log, "checkConnected() Not Found\n"), 2U);
    EXPECT_EQ(occurrences(o.log, "checkConnected() Found\n"), 1U);
    EXPECT_THAT(sandbox::toolCalls(), ElementsAre("nxp_ucmd.sh permit 0001 0011223344556677"));
}

TEST_F(NxpCmd, ConnectGivesUpAfterOneHundredPolls)
{
    // No database at all: each load fails, and the poll goes on.
    const Outcome o = dispatch(0x1200, request(0x0001, kMac));
    EXPECT_EQ(o.ret, 5);
    EXPECT_THAT(written(o), ElementsAre(1, 0, 0, 0, 0));
    EXPECT_THAT(clock_.sleeps(), ElementsAreArray(std::vector<uint64_t>(100, 500000U)));
    EXPECT_EQ(occurrences(o.log, "load_dev_data() Open Error\r\n"), 100U);
}

TEST_F(NxpCmd, CodesOutsideTheTableAreNotDispatched)
{
    for (const uint16_t code : {uint16_t{0x1201}, uint16_t{0x0005}, uint16_t{0x1211}}) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "nxpDevCmdHandler() No Matched Function,CMD:%04x\n", code);
        const Outcome o = dispatch(code, passwdRequest(kMac, 1, 1));
        EXPECT_EQ(o.ret, 0);
        EXPECT_EQ(o.log, expected);
        EXPECT_THAT(o.reply, Each(kUntouched));
    }
    EXPECT_THAT(sandbox::toolCalls(), IsEmpty());
}

TEST_F(NxpCmd, HostileMacTextNeverReachesTheShell)
{
    using namespace std::string_literals;
    const std::string fields[] = {
        "0011223344556677x"s,                  // no NUL at byte 18
        "001122;reboot;77\0"s,                 // command separator
        "0011'22\"33445566\0"s,                // quotes
        "00112233 4455667\0"s,                 // space
        "$(touch /tmp/pw)\0"s,                 // command substitution
        "00112233AABBCCDD\0"s,                 // upper case
        "0011223344556g77\0"s,                 // not hexadecimal
        "001122334455667\0\0"s,                // 15 digits
        "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"s, // empty
    };
    condSetDeadlineDivisor(1000);
    for (const uint16_t code : {0x1200, 0x1202, 0x1205, 0x1203, 0x1204, 0x1210}) {
        for (const std::string &field : fields) {
            ASSERT_EQ(field.size(), 17U);
            Bytes req = request(0x0001, "", 25);
            std::copy(field.begin(), field.end(), req.begin() + 2);
            const Outcome o = dispatch(code, req);
            SCOPED_TRACE(::testing::Message() << std::hex << code << " " << field.c_str());
            EXPECT_EQ(o.ret, 0);
            EXPECT_THAT(o.log, HasSubstr("MAC text refused"));
            EXPECT_THAT(o.log, Not(HasSubstr("NXP Type")));
            EXPECT_THAT(o.reply, Each(kUntouched));
        }
    }
    EXPECT_THAT(sandbox::toolCalls(), IsEmpty());
    EXPECT_FALSE(sandbox::exists("/tmp/pw"));
}

// ---------------------------------------------------------------------------
// Waits for the devices' reports
// ---------------------------------------------------------------------------

TEST_F(NxpCmd, PasswordConfirmedDuringTheFirstWait)
{
    ReportThread radio([] { cmd_result_addPsswd("lock", nullptr, kMac, nullptr); });
    const long before = static_cast<long>(std::time(nullptr));
    const Outcome o = dispatch(0x1202, passwdRequest(kMac, -1, 3600)); // password bytes FF FF FF FF
    const long after = static_cast<long>(std::time(nullptr));
    radio.stop();

    EXPECT_EQ(o.ret, 1);
    EXPECT_THAT(written(o), ElementsAre(0));
    EXPECT_EQ(occurrences(o.log, "Password Add Result:"), 1U);
    EXPECT_EQ(occurrences(o.log, "cmd_request_lockPasswdAdd() Password Add Result:0\n\n"), 1U);
    EXPECT_EQ(occurrences(o.log, "cmd_request_lockPasswdAdd() Password Check Success\n\n"), 1U);

    const auto calls = sandbox::toolCalls();
    ASSERT_EQ(calls.size(), 1U);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(calls[0], m, std::regex(R"(nxp_ucmd\.sh passwdadd 0011223344556677 -1 (\d+) (\d+))")))
        << calls[0];
    const long start = std::stol(m[1]);
    const long end = std::stol(m[2]);
    EXPECT_GE(start, before);
    EXPECT_LE(start, after);
    EXPECT_EQ(end - start, 3600);
    EXPECT_THAT(o.log, HasSubstr("cmd_request_lockPasswdAdd() NXP Type:0102, MAC:0011223344556677\n,start Time:" +
                                 std::to_string(start) + ", end Time:" + std::to_string(end)));
}

TEST_F(NxpCmd, PasswordConfirmedBeforeTheFirstWaitStillCounts)
{
    // The script holds the command until the lock's confirmation was
    // delivered, so the confirmation's signal finds nobody waiting.
    const std::string go = sandbox::scratchDir() + "/go";
    sandbox::installTool("nxp_ucmd.sh",
                         "i=0; while [ ! -e " + go + " ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done");
    condSetDeadlineDivisor(1000);
    std::atomic<int> waitingAtDelivery{-1};
    std::thread radio([&] {
        for (int i = 0; i < 10000; ++i) {
            const auto calls = sandbox::toolCalls();
            if (!calls.empty()) {
                waitingAtDelivery = nxpDevWaiting();
                cmd_result_addPsswd("lock", nullptr, kMac, nullptr);
                break;
            }
            std::this_thread::sleep_for(1ms);
        }
        sandbox::writeFile(go, "");
    });
    const Outcome o = dispatch(0x1202, passwdRequest(kMac, 4321, 60));
    radio.join();

    EXPECT_EQ(waitingAtDelivery, 0);
    EXPECT_THAT(written(o), ElementsAre(0));
    EXPECT_EQ(occurrences(o.log, "Password Add Result:"), 1U);
    EXPECT_EQ(occurrences(o.log, "Password Add Result:" + kTimedOut + "\n\n"), 1U);
    EXPECT_EQ(occurrences(o.log, "Password Check Success\n\n"), 1U);
}

TEST_F(NxpCmd, ConfirmationOfAnEarlierCommandDoesNotCount)
{
    condSetDeadlineDivisor(1000);
    sandbox::OutputCapture quiet;
    cmd_result_addPsswd("lock", nullptr, kMac, nullptr);
    quiet.finish();
    const Outcome o = dispatch(0x1202, passwdRequest(kMac, 1234, 60));
    EXPECT_THAT(written(o), ElementsAre(1));
    EXPECT_EQ(occurrences(o.log, "Password Add Result:" + kTimedOut + "\n\n"), 3U);
    EXPECT_EQ(occurrences(o.log, "Password Add Result:"), 3U);
    EXPECT_EQ(occurrences(o.log, "Password Check Success"), 0U);
}

TEST_F(NxpCmd, AnotherReportWakesThePasswordWaitWithoutConfirmingIt)
{
    condSetDeadlineDivisor(100); // 17 s becomes 170 ms
    ReportThread radio([] { cmd_result_factReset("lock", nullptr, kMac, nullptr); });
    const Outcome o = dispatch(0x1202, passwdRequest(kMac, 1234, 60));
    radio.stop();
    ASSERT_TRUE(radio.delivered());
    EXPECT_THAT(written(o), ElementsAre(1));
    EXPECT_EQ(occurrences(o.log, "Password Add Result:0\n\n"), 1U);
    EXPECT_EQ(occurrences(o.log, "Password Add Result:" + kTimedOut + "\n\n"), 2U);
    EXPECT_EQ(occurrences(o.log, "Password Check Success"), 0U);
}

TEST_F(NxpCmd, CodeCheckEndsOnlyWithASignal)
{
    Report pass1(R"({"pass":1})");
    Report pass0(R"({"pass":0})");
    Report noPass(R"({"code":1})");
    struct Case {
        const char *name;
        std::function<void()> report;
        bool wakes;
    };
    // clang-format off
    const Case cases[] = {
        {"code check, pass 1", [&] { cmd_result_codeCheck("lock", nullptr, kMac, pass1.get()); }, true},
        {"code check, pass 0", [&] { cmd_result_codeCheck("lock", nullptr, kMac, pass0.get()); }, false},
        {"code check, no pass", [&] { cmd_result_codeCheck("lock", nullptr, kMac, noPass.get()); }, false},
        {"factory reset", [] { cmd_result_factReset("lock", nullptr, kMac, nullptr); }, true},
        {"password added", [] { cmd_result_addPsswd("lock", nullptr, kMac, nullptr); }, true},
        {"meter switched", [] { cmd_result_meterOnoff("meter", nullptr, kMac, nullptr); }, false},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A wake-up comes at once; a time-out is shortened (55 s become 550 ms).
        condSetDeadlineDivisor(c.wakes ? 1 : 100);
        ReportThread radio(c.report);
        const Outcome o = dispatch(0x1205, request(0x0002, kMac));
        radio.stop();
        ASSERT_TRUE(radio.delivered());
        EXPECT_THAT(written(o), ElementsAre(c.wakes ? 0 : 1));
        EXPECT_THAT(o.log, HasSubstr("cmd_request_lockCodeCheck() Code Chekc Result:" +
                                     (c.wakes ? std::string("0") : kTimedOut) + "\n\n"));
    }
    EXPECT_THAT(sandbox::toolCalls(), IsEmpty());
}

TEST_F(NxpCmd, ReportWithNobodyWaitingIsLost)
{
    condSetDeadlineDivisor(1000);
    sandbox::OutputCapture quiet;
    cmd_result_factReset("lock", nullptr, kMac, nullptr);
    quiet.finish();
    const Outcome o = dispatch(0x1205, request(0x0002, kMac));
    EXPECT_THAT(written(o), ElementsAre(1));
}

TEST_F(NxpCmd, FactoryResetWaitsForTheDeviceReport)
{
    struct Case {
        bool reported;
        uint8_t result;
        std::string logged;
    };
    // clang-format off
    const Case cases[] = {
        {true, 0, "cmd_request_factReset() Factory Reset Result:0\n\n"},
        {false, 1, "cmd_request_factReset() Factory Reset Result:" + kTimedOut + "\n\n"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reported);
        sandbox::clearToolCalls();
        condSetDeadlineDivisor(c.reported ? 1 : 1000);
        std::unique_ptr<ReportThread> radio;
        if (c.reported) {
            radio = std::make_unique<ReportThread>([] { cmd_result_factReset("lock", nullptr, kMac, nullptr); });
        }
        const Outcome o = dispatch(0x1203, request(0x0002, kMac));
        radio.reset();
        EXPECT_THAT(written(o), ElementsAre(c.result));
        EXPECT_THAT(o.log, HasSubstr(c.logged));
        EXPECT_THAT(sandbox::toolCalls(), ElementsAre("nxp_ucmd.sh factreset 0011223344556677"));
    }
}

// ---------------------------------------------------------------------------
// Report callbacks and the platform layer
// ---------------------------------------------------------------------------

TEST(NxpCallbacks, PrintTheirBanners)
{
    nxpDevInit();
    Report code(R"({"pass":7})");
    const std::string eq33(33, '='), eq38(38, '='), eq39(39, '=');
    struct Case {
        const char *name;
        std::function<void()> call;
        std::string printed;
    };
    // clang-format off
    const Case cases[] = {
        {"addPsswd", [] { cmd_result_addPsswd("radio", nullptr, kMac, nullptr); },
         "cmd_result_addPsswd() " + eq38 + "\n\n" + "cmd_result_addPsswd() From:radio, mac:0011223344556677\n\n" +
             "cmd_result_addPsswd() " + eq38 + "\n\n"},
        {"addPsswd without texts", [] { cmd_result_addPsswd(nullptr, nullptr, nullptr, nullptr); },
         "cmd_result_addPsswd() " + eq38 + "\n\n" + "cmd_result_addPsswd() From:, mac:\n\n" +
             "cmd_result_addPsswd() " + eq38 + "\n\n"},
        {"meterOnoff", [] { cmd_result_meterOnoff("radio", nullptr, kMac, nullptr); },
         "cmd_result_meterOnoff() " + eq39 + "\n\n"},
        {"factReset", [] { cmd_result_factReset("radio", nullptr, kMac, nullptr); },
         "cmd_result_factReset() " + eq33 + "\n\n" + "cmd_result_factReset() " + eq33 + "\n\n"},
        {"codeCheck", [&] { cmd_result_codeCheck("radio", nullptr, kMac, code.get()); },
         "cmd_result_codeCheck() " + eq38 + "\n\n" + "cmd_result_codeCheck() From:radio, code:7\n\n" +
             "cmd_result_codeCheck() " + eq38 + "\n\n"},
    };
    // clang-format on
    for (const Case &c : cases) {
        sandbox::OutputCapture capture;
        c.call();
        const std::string printed = messages(capture.finish());
        EXPECT_EQ(printed, c.printed) << c.name;
    }
}

TEST(NxpPlatform, ReportIntegerMember)
{
    struct Case {
        const char *json; // nullptr: no report
        int value;
    };
    // clang-format off
    const Case cases[] = {
        {R"({"pass":1})", 1},      {R"({"pass":0})", 0},   {R"({"pass":-7})", -7},
        {R"({})", 0},              {R"({"pass":"1"})", 0}, {R"({"pass":1.0})", 0},
        {R"({"pass":4294967297})", 0}, {R"([1])", 0},      {nullptr, 0},
    };
    // clang-format on
    for (const Case &c : cases) {
        Report report(c.json != nullptr ? c.json : "null");
        EXPECT_EQ(json_get_int(c.json != nullptr ? report.get() : nullptr, "pass"), c.value)
            << (c.json != nullptr ? c.json : "no report");
    }
}

} // namespace
