// The device model, the model query and the command tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "capture.h"
#include "peripher/identity.h"
#include "peripher/peripher.h"
#include "peripher/resultReply.h"
#include "sandbox.h"
#include "util/strings.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

constexpr char kModelPath[] = "/tmp/sysinfo/model";

class Dispatch : public sandbox::SandboxTest {
protected:
    // Initialises a context from the model file as a connection does.
    std::string initModel(std::string *log = nullptr)
    {
        sandbox::OutputCapture out;
        ctxPeripherInit(&ctx);
        const std::string text = out.finish();
        if (log != nullptr) {
            *log = text;
        }
        return ctx.model.data();
    }

    PeripherCtx ctx{};
};

struct ModelCase {
    const char *name;
    const char *file; // nullptr: no model file
    const char *model;
};

class ModelFromFile : public Dispatch, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelFromFile, ContextHoldsTheUpperCaseFirstLine)
{
    const ModelCase &c = GetParam();
    if (c.file != nullptr) {
        sandbox::writeFile(kModelPath, c.file);
    }
    std::string log;
    EXPECT_EQ(initModel(&log), c.model);
    EXPECT_EQ(ctx.replyCap, 64);
    EXPECT_EQ(ctx.replyLen, 0);
    EXPECT_THAT(log, HasSubstr(std::string("Device Model:") + c.model + "\n\n"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, ModelFromFile,
    ::testing::Values(ModelCase{"LowerCaseWithNewline", "gwm0303\n", "GWM0303"},
                      ModelCase{"CarriageReturnKept", "GWM0202\r\n", "GWM0202\r"},
                      ModelCase{"TrailingBlankKept", "GWM0202 \n", "GWM0202 "},
                      ModelCase{"OnlyTheFirstLine", "gwm0101\ngwm0202\n", "GWM0101"},
                      ModelCase{"EmptyFile", "", ""},
                      ModelCase{"OnlyANewline", "\n", ""},
                      ModelCase{"Missing", nullptr, ""},
                      ModelCase{"LongLineCutAt63", "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopq",
                                "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJK"}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

void PrintTo(const ModelCase &c, std::ostream *os) { *os << c.name; }

TEST_F(Dispatch, MissingModelFileLogsTheQueryFailure)
{
    std::string log;
    initModel(&log);
    EXPECT_THAT(log, HasSubstr("Path:/tmp/sysinfo/model Can not Find.\r\n\n"));
    EXPECT_THAT(log, HasSubstr("Device Model:\n\n"));
}

struct QueryCase {
    const char *name;
    const char *file;
    int cap;
    Bytes reply;
    const char *logged;
};

class ModelQuery : public Dispatch, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(ModelQuery, ReplyBytes)
{
    const QueryCase &c = GetParam();
    if (c.file != nullptr) {
        sandbox::writeFile(kModelPath, c.file);
    }
    Bytes reply(80, 0xEE);
    sandbox::OutputCapture out;
    const int len = cmd_request_model(reply.data(), c.cap);
    const std::string log = out.finish();
    ASSERT_GT(len, 0);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + len), c.reply);
    EXPECT_EQ(reply[static_cast<size_t>(len)], 0xEE) << "nothing written beyond the reply";
    EXPECT_THAT(log, HasSubstr("cmd request Function model.\r\n\n"));
    EXPECT_THAT(log, HasSubstr(c.logged));
}

const std::string k63(63, 'x');

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, ModelQuery,
    ::testing::Values(
        QueryCase{"SevenCharactersAndNewline", "gwm0202\n", 64, Bytes{0, 'g', 'w', 'm', '0', '2', '0', '2', '\n', 0},
                  "Get Model Path:/tmp/sysinfo/model, Model(10):gwm0202\n.\r\n\n"},
        QueryCase{"LongLineCutToTheCapacity", k63.c_str(), 64,
                  [] {
                      Bytes b{0};
                      b.insert(b.end(), 63, 'x');
                      return b;
                  }(),
                  "Buffer Length Too Less Actual Length:64\r\n\n"},
        QueryCase{"LongLineWholeWithRoom", k63.c_str(), 65,
                  [] {
                      Bytes b{0};
                      b.insert(b.end(), 63, 'x');
                      b.push_back(0);
                      return b;
                  }(),
                  "Model(65)"},
        QueryCase{"Missing", nullptr, 64, Bytes{1}, "Path:/tmp/sysinfo/model Can not Find.\r\n\n"},
        QueryCase{"EmptyFile", "", 64, Bytes{1}, "Path:/tmp/sysinfo/model Can not Find.\r\n\n"}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

void PrintTo(const QueryCase &c, std::ostream *os) { *os << c.name; }

TEST_F(Dispatch, ModelFileReadableButNotOpenable)
{
    // A socket passes the read-access test, but opening it fails (ENXIO).
    sandbox::mkdirs("/tmp/sysinfo");
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, kModelPath);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    Bytes reply(64, 0xEE);
    sandbox::OutputCapture out;
    const int len = cmd_request_model(reply.data(), 64);
    const std::string log = out.finish();
    close(fd);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(reply[0], 1);
    EXPECT_THAT(log, HasSubstr("/tmp/sysinfo/model Open Error:No such device or address\n"));
    EXPECT_THAT(log, HasSubstr("Path:/tmp/sysinfo/model Can not Find.\r\n\n"));
}

TEST_F(Dispatch, ModelPathThatYieldsNoLine)
{
    // A directory opens but yields no line.
    sandbox::mkdirs(kModelPath);
    Bytes reply(64, 0xEE);
    sandbox::OutputCapture out;
    const int len = cmd_request_model(reply.data(), 64);
    const std::string log = out.finish();
    EXPECT_EQ(len, 1);
    EXPECT_EQ(reply[0], 1);
    EXPECT_THAT(log, HasSubstr("Path:/tmp/sysinfo/model Can not Find.\r\n\n"));
}

TEST_F(Dispatch, GeneralCodeIsServedWhateverTheModel)
{
    sandbox::writeFile(kModelPath, "unknown-model\n");
    initModel();
    sandbox::OutputCapture out;
    const int rc = peripherHandler(0x0005, &ctx);
    const std::string log = out.finish();
    EXPECT_GT(rc, 0);
    EXPECT_EQ(ctx.replyLen, rc);
    EXPECT_EQ(ctx.reply[0], 0);
    EXPECT_THAT(log, HasSubstr("Device Model:UNKNOWN-MODEL, CMD:0005\n\n"));
    EXPECT_THAT(log, HasSubstr("General CMD Function OK\n\n"));
}

TEST_F(Dispatch, FailingGeneralHandlerKeepsTheLastReply)
{
    sandbox::writeFile(kModelPath, "gwm0202\n");
    initModel();
    sandbox::OutputCapture quiet;
    ASSERT_GT(peripherHandler(0x0005, &ctx), 0);
    quiet.finish();
    const uint16_t lastLen = ctx.replyLen;

    // No eth0 in the sandbox: the MAC query fails and asks for no reply.
    sandbox::OutputCapture out;
    const int rc = peripherHandler(0x0001, &ctx);
    const std::string log = out.finish();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ctx.replyLen, lastLen);
    EXPECT_THAT(log, HasSubstr("Gneneral CMD Function Error\n\n"));
}

TEST_F(Dispatch, CodeNotInTheModelTable)
{
    sandbox::writeFile(kModelPath, "gwm0101\n");
    initModel();
    sandbox::OutputCapture out;
    const int rc = peripherHandler(0x0003, &ctx);
    const std::string log = out.finish();
    EXPECT_EQ(rc, 0);
    EXPECT_THAT(log, HasSubstr("GWM0101 No Matched Function\n \n"));
}

TEST_F(Dispatch, UnknownModelClearsTheReplyAndAnswersNothing)
{
    sandbox::writeFile(kModelPath, "GWM0202 \n");
    initModel();
    ctx.reply.fill(0x55);
    sandbox::OutputCapture out;
    const int rc = peripherHandler(0x0003, &ctx);
    const std::string log = out.finish();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ctx.reply, (std::array<uint8_t, 64>{}));
    EXPECT_THAT(log, HasSubstr("No Matched CMD Function\n\n"));
    EXPECT_THAT(log, Not(HasSubstr("No Matched Function\n \n")));
}

struct WriteCase {
    uint16_t cap;
    uint8_t result;
    size_t dataLen; // 0 with data absent
    int count;
};

TEST(ResInfoWrite, CutsDataToTheCapacity)
{
    // clang-format off
    const WriteCase cases[] = {
        {64, 0, 0, 1}, {64, 1, 5, 6}, {64, 0, 63, 64}, {64, 0, 64, 64}, {64, 0, 100, 64}, {1, 0, 10, 1}, {65, 0, 64, 65},
    };
    // clang-format on
    for (const WriteCase &c : cases) {
        Bytes data(c.dataLen);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i + 1);
        }
        Bytes out(c.cap + 8, 0xEE);
        sandbox::OutputCapture log;
        const int count = resInfoWrite(out.data(), c.cap, c.result, c.dataLen ? data.data() : nullptr,
                                       static_cast<uint16_t>(c.dataLen));
        const std::string text = log.finish();
        SCOPED_TRACE("cap " + std::to_string(c.cap) + ", data " + std::to_string(c.dataLen));
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(out[0], c.result);
        for (int i = 1; i < count; ++i) {
            EXPECT_EQ(out[static_cast<size_t>(i)], i);
        }
        EXPECT_EQ(out[static_cast<size_t>(count)], 0xEE) << "no NUL added, nothing beyond";
        char expected[64];
        std::snprintf(expected, sizeof expected, "Res:0x%x actualLength:%d.\r\n\n", c.result, c.count);
        EXPECT_THAT(text, HasSubstr(expected));
    }
}

TEST(TextOperations, UpperCaseAndNewlineCut)
{
    struct Case {
        const char *in;
        const char *upper;
        const char *cut;
    };
    // clang-format off
    const Case cases[] = {
        {"gwm0202\n", "GWM0202\n", "gwm0202"},
        {"a\nb\n", "A\nB\n", "a"},
        {"no newline", "NO NEWLINE", "no newline"},
        {"", "", ""},
        {"\n\n", "\n\n", ""},
    };
    // clang-format on
    for (const Case &c : cases) {
        char a[32];
        char b[32];
        std::strcpy(a, c.in);
        std::strcpy(b, c.in);
        EXPECT_STREQ(strToUpper(a), c.upper);
        EXPECT_STREQ(strCutNewline(b), c.cut);
        // Every newline became NUL, not only the first.
        for (size_t i = 0; i < std::strlen(c.in); ++i) {
            EXPECT_NE(b[i], '\n');
        }
    }
}

} // namespace
