// gwtest call, plan and codes against the real service: tests by name, the
// model asked first, codes refused from the catalogue before anything is
// sent, --raw, the JSON a program reads, and the catalogue listings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <jansson.h>

#include <cstdio>
#include <string>

#include "catalogue.h"
#include "command.h"
#include "fakeGateway.h"
#include "network.h"
#include "overlay.h"
#include "sandbox.h"
#include "serviceProcess.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using GwtestRun = sandbox::CommandRun; // standard output in out, standard error in err

GwtestRun gwtest(const std::string &args) { return sandbox::runGwtest(args, sandbox::Stderr::kApart); }

// The one JSON object a --json run prints; null when it is not one.
json_t *parsed(const GwtestRun &run)
{
    json_error_t error;
    json_t *value = json_loads(run.out.c_str(), 0, &error);
    if (value != nullptr && !json_is_object(value)) {
        json_decref(value);
        return nullptr;
    }
    return value;
}

std::string member(json_t *obj, const char *key)
{
    json_t *v = json_object_get(obj, key);
    return json_is_string(v) ? json_string_value(v) : (json_is_null(v) ? "null" : "?");
}

class Call : public sandbox::ServiceTest {
protected:
    void SetUpSandbox() override { sandbox::overlayDir("/etc"); }

    // A GWM0202 whose eth0 has the line's MAC and whose build file holds a version.
    void startGateway(const std::string &modelFile = "gwm0202\n")
    {
        sandbox::writeFile("/tmp/sysinfo/model", modelFile);
        sandbox::addVeth("eth0", "02:47:57:04:04:00", "eth0-peer");
        sandbox::writeFile("/etc/tovak_build", "BUILD_VERSION=V1.1.3-20200619\n");
        startService();
    }
};

struct NamedCase {
    const char *test; // as typed
    const char *line; // the reply line as shown
};

TEST_F(Call, ByNameOrCodeShownAsAPersonReadsIt)
{
    startGateway();
    // clang-format off
    const NamedCase cases[] = {
        {"mac", "0x0001 mac (MAC address): pass  02:47:57:04:04:00\n  data: 02 47 57 04 04 00\n"},
        {"0x0001", "0x0001 mac (MAC address): pass  02:47:57:04:04:00\n"},
        {"1", "0x0001 mac (MAC address): pass  02:47:57:04:04:00\n"},
        {"model", "0x0005 model (device model): pass  gwm0202\n  data: 67 77 6d 30 32 30 32 0a 00\n"},
        {"sysversion", "0x0002 sysversion (system build version): pass  V1.1.3\n"},
    };
    // clang-format on
    for (const NamedCase &c : cases) {
        const GwtestRun run = gwtest(std::string("call 127.0.0.1 ") + c.test);
        EXPECT_EQ(run.status, 0) << c.test << "\n" << run.out << run.err;
        EXPECT_THAT(run.out, HasSubstr(c.line)) << c.test;
    }
    // The model was asked before each test but the model query itself.
    EXPECT_THAT(service.out(), HasSubstr("CMD:0005"));
}

TEST_F(Call, FailureShowsTheHint)
{
    startGateway();
    sandbox::sh("rm /etc/tovak_build");
    const GwtestRun run = gwtest("call 127.0.0.1 sysversion");
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr("0x0002 sysversion (system build version): fail\n"));
    EXPECT_THAT(run.out, HasSubstr("  hint: /etc/tovak_build is missing"));
    EXPECT_THAT(run.out, Not(HasSubstr("FAIL")));
}

struct RefusedCase {
    const char *args;
    const char *message;
};

// Refused from the catalogue before any connection: no service runs here,
// and the answer is a usage error, not a connection error.
TEST(CallRefused, CodesAndNamesNoModelHas)
{
    // clang-format off
    const RefusedCase cases[] = {
        {"call 127.0.0.1 0x9999", "no gateway model answers code 0x9999"},
        {"call 127.0.0.1 0x1200", "no gateway model answers code 0x1200"},
        {"call 127.0.0.1 0", "no gateway model answers code 0x0000"},
        {"call 127.0.0.1 greenpower-pair", "unknown test 'greenpower-pair' (expected a command code such as 0x0001, or one of: model, mac,"},
        {"call 127.0.0.1 MAC", "unknown test 'MAC'"},
        {"call 127.0.0.1 0x10000", "bad command code '0x10000'"},
        {"call 127.0.0.1 0x9999 --timeout 1", "--raw sends it anyway"},
    };
    // clang-format on
    for (const RefusedCase &c : cases) {
        const GwtestRun run = gwtest(c.args);
        EXPECT_EQ(run.status, 64) << c.args << "\n" << run.out << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.message)) << c.args;
        EXPECT_EQ(run.out, "") << c.args;
    }
}

// A test the gateway's model does not have would get no reply: the station
// says so at once instead of waiting out the test's time-out.
TEST_F(Call, TestTheModelLacksRefusedAtOnce)
{
    sandbox::writeFile("/tmp/sysinfo/model", "gwm0101\n");
    startService();
    const GwtestRun run = gwtest("call 127.0.0.1 zwave-exclude");
    EXPECT_EQ(run.status, 64) << run.out << run.err;
    EXPECT_THAT(run.err, HasSubstr("this gateway is a GWM0101, which has no test zwave-exclude (0x0503)"));
    EXPECT_THAT(run.err, HasSubstr("nxp-carrier"));
    EXPECT_LT(run.seconds, 20) << "the exclusion's 70 s were waited for";
    EXPECT_THAT(service.out(), Not(HasSubstr("CMD:0503")));
}

TEST_F(Call, RawSendsAnyCodeAndWaitsBriefly)
{
    startGateway();
    // Below 0x1200 the service dispatches it, and no table of the model has it.
    const GwtestRun unknown = gwtest("call 127.0.0.1 0x0999 --raw");
    EXPECT_EQ(unknown.status, 2) << unknown.out << unknown.err;
    EXPECT_THAT(unknown.out,
                HasSubstr("0x0999: no reply (no reply within 3 s: the service drops codes it has no test for)"));
    EXPECT_LT(unknown.seconds, 20);
    EXPECT_TRUE(service.waitForOut("GWM0202 No Matched Function\n \n", 5000)) << service.out();

    // A known code with --raw is sent alone, without the model query first.
    const std::string before = service.out();
    const GwtestRun mac = gwtest("call 127.0.0.1 mac --raw");
    EXPECT_EQ(mac.status, 0) << mac.out << mac.err;
    EXPECT_THAT(mac.out, HasSubstr("02:47:57:04:04:00"));
    const std::string after = service.out().substr(before.size());
    EXPECT_THAT(after, HasSubstr("CMD:0001"));
    EXPECT_THAT(after, Not(HasSubstr("CMD:0005")));
}

TEST_F(Call, JsonForPrograms)
{
    startGateway();
    {
        const GwtestRun run = gwtest("call 127.0.0.1 mac --json");
        EXPECT_EQ(run.status, 0) << run.err;
        json_t *obj = parsed(run);
        ASSERT_NE(obj, nullptr) << run.out;
        EXPECT_EQ(member(obj, "code"), "0x0001");
        EXPECT_EQ(member(obj, "name"), "mac");
        EXPECT_EQ(member(obj, "title"), "MAC address");
        EXPECT_EQ(member(obj, "model"), "GWM0202");
        EXPECT_EQ(member(obj, "outcome"), "pass");
        EXPECT_EQ(json_integer_value(json_object_get(obj, "result")), 0);
        EXPECT_EQ(member(obj, "data_hex"), "024757040400");
        EXPECT_EQ(member(obj, "data_text"), "02:47:57:04:04:00");
        EXPECT_EQ(member(obj, "hint"), "null");
        EXPECT_TRUE(json_is_integer(json_object_get(obj, "duration_ms")));
        json_decref(obj);
    }
    {
        sandbox::sh("rm /etc/tovak_build");
        const GwtestRun run = gwtest("call 127.0.0.1 0x0002 --json");
        EXPECT_EQ(run.status, 1);
        json_t *obj = parsed(run);
        ASSERT_NE(obj, nullptr) << run.out;
        EXPECT_EQ(member(obj, "outcome"), "fail");
        EXPECT_EQ(json_integer_value(json_object_get(obj, "result")), 1);
        EXPECT_EQ(member(obj, "data_hex"), "");
        EXPECT_THAT(member(obj, "hint"), HasSubstr("/etc/tovak_build"));
        json_decref(obj);
    }
    {
        const GwtestRun run = gwtest("call 127.0.0.1 0x9999 --raw --json");
        EXPECT_EQ(run.status, 2);
        json_t *obj = parsed(run);
        ASSERT_NE(obj, nullptr) << run.out;
        EXPECT_EQ(member(obj, "outcome"), "no-reply");
        EXPECT_EQ(member(obj, "name"), "null");
        EXPECT_TRUE(json_is_null(json_object_get(obj, "result")));
        EXPECT_EQ(member(obj, "data_hex"), "");
        json_decref(obj);
    }
}

// The service serves one station at a time; a second one gets no answer to
// its first query and is told why.
TEST_F(Call, BusyGatewaySaysSo)
{
    startGateway();
    auto holder = sandbox::connectService();
    ASSERT_TRUE(sandbox::ask(holder, 0x0005, 5000));
    const GwtestRun run = gwtest("call 127.0.0.1 mac");
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_THAT(run.err, HasSubstr("no reply to the first query within 3 s: the gateway may be busy with another "
                                   "station"));
    EXPECT_THAT(run.err, HasSubstr("the model query was not answered"));
}

// A carriage return in the model file: the service matches no model table.
// A call judges that as a run does, a gateway the station has no plan for;
// --raw still sends the test.
TEST_F(Call, ModelTheServiceDoesNotMatch)
{
    startGateway("gwm0202\r\n");
    const GwtestRun mac = gwtest("call 127.0.0.1 mac");
    EXPECT_EQ(mac.status, 1) << mac.out << mac.err;
    EXPECT_THAT(mac.err, HasSubstr("the gateway reports the model 'GWM0202\r', which the station has no plan for "
                                   "(expected GWM0101, GWM0202, GWM0303 or GWM0404)"));
    EXPECT_THAT(mac.err, HasSubstr("--raw sends the test without asking the model"));
    EXPECT_EQ(mac.out, "");

    const GwtestRun model = gwtest("call 127.0.0.1 model");
    EXPECT_EQ(model.status, 1) << model.out << model.err;
    EXPECT_THAT(model.out, HasSubstr("0x0005 model (device model): fail  gwm0202\\r\\n\n"));
    EXPECT_THAT(model.out, HasSubstr("  note: the gateway reports the model 'GWM0202\r'"));

    const GwtestRun raw = gwtest("call 127.0.0.1 mac --raw");
    EXPECT_EQ(raw.status, 0) << raw.out << raw.err;
    EXPECT_THAT(raw.out, HasSubstr("02:47:57:04:04:00"));
}

struct ReplyCase {
    const char *what;
    sandbox::Answer answer; // to the build version query
    const char *args;       // after "call 127.0.0.1:PORT sysversion"
    int status;
    const char *line; // the reply as shown
};

// Replies the real service does not give but a broken one may: a call
// judges each as `gwtest run` does and exits as a run of that one test
// would. Only the model and the test are sent.
TEST(CallJudged, AsTheEngineJudges)
{
    // clang-format off
    const ReplyCase cases[] = {
        {"empty reply", {0, sandbox::Bytes{}}, "", 1,
         "0x0002 sysversion (system build version): fail (a reply without its result byte)\n"},
        {"result byte 2", {0, sandbox::Bytes{2}}, "", 1, "0x0002 sysversion (system build version): fail\n"},
        {"silent", {0, std::nullopt}, " --timeout 1", 2,
         "0x0002 sysversion (system build version): no reply (no reply within 1 s: the test may still be running"},
        {"closed", {0, sandbox::Bytes{0}, true}, "", 3,
         "0x0002 sysversion (system build version): connection lost (the gateway closed the connection)\n"},
        {"passed", {0, sandbox::Bytes{0, '2', '.', '3', 0}}, "", 0, "0x0002 sysversion (system build version): pass  2.3\n"},
    };
    // clang-format on
    for (const ReplyCase &c : cases) {
        sandbox::FakeGateway gw("gwm0202\n");
        gw.set(0x0002, {c.answer});
        const GwtestRun run = gwtest("call 127.0.0.1:" + std::to_string(gw.port()) + " sysversion" + c.args);
        EXPECT_EQ(run.status, c.status) << c.what << "\n" << run.out << run.err;
        EXPECT_THAT(run.out, HasSubstr(c.line)) << c.what << "\n" << run.err;
        EXPECT_EQ(gw.requests(), (std::vector<uint16_t>{0x0005, 0x0002})) << c.what;
    }
    // The result byte itself, for programs.
    sandbox::FakeGateway gw("gwm0202\n");
    gw.set(0x0002, {{0, sandbox::Bytes{2}}});
    const GwtestRun run = gwtest("call 127.0.0.1:" + std::to_string(gw.port()) + " sysversion --json");
    json_t *obj = parsed(run);
    ASSERT_NE(obj, nullptr) << run.out << run.err;
    EXPECT_EQ(member(obj, "outcome"), "fail");
    EXPECT_EQ(json_integer_value(json_object_get(obj, "result")), 2);
    json_decref(obj);
}

// ---- plan and codes: the catalogue as others read it --------------------------

std::vector<std::string> codesOf(json_t *tests)
{
    std::vector<std::string> codes;
    size_t i = 0;
    json_t *row = nullptr;
    json_array_foreach(tests, i, row) { codes.push_back(member(row, "code")); }
    return codes;
}

TEST(CallPlan, JsonIsTheCataloguesRowsOfTheModel)
{
    for (const catalogue::ModelName &m : catalogue::kModels) {
        std::string lower(m.name);
        for (char &c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const GwtestRun run = gwtest("plan " + lower + " --json");
        ASSERT_EQ(run.status, 0) << run.err;
        json_t *obj = parsed(run);
        ASSERT_NE(obj, nullptr) << run.out;
        EXPECT_EQ(member(obj, "model"), m.name);
        std::vector<std::string> expected;
        uint64_t longest = 0;
        for (const catalogue::Test *t : catalogue::plan(m.model)) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%04x", t->code);
            expected.emplace_back(code);
            longest += t->longestMs;
        }
        json_t *tests = json_object_get(obj, "tests");
        EXPECT_EQ(codesOf(tests), expected) << m.name;
        EXPECT_EQ(json_integer_value(json_object_get(obj, "longest_ms")), static_cast<json_int_t>(longest));
        json_t *first = json_array_get(tests, 0);
        EXPECT_EQ(member(first, "name"), "model");
        EXPECT_EQ(member(first, "operator"), "none");
        EXPECT_EQ(member(first, "decoder"), "model");
        EXPECT_THAT(member(first, "hint"), HasSubstr("/tmp/sysinfo/model"));
        json_decref(obj);
    }
}

TEST(CallPlan, UnknownModelNamesTheKnownOnes)
{
    const GwtestRun run = gwtest("plan GWM0505");
    EXPECT_EQ(run.status, 64);
    EXPECT_THAT(run.err, HasSubstr("unknown model 'GWM0505' (expected GWM0101, GWM0202, GWM0303 or GWM0404"));
    const GwtestRun human = gwtest("plan GWM0404");
    EXPECT_EQ(human.status, 0);
    EXPECT_THAT(human.out, HasSubstr("GWM0404: "));
    EXPECT_THAT(human.out, HasSubstr("0x0303  sim"));
    EXPECT_THAT(human.out, HasSubstr("74 s  SIM ready (3G)"));
}

TEST(CallCodes, JsonIsTheWholeCatalogue)
{
    const GwtestRun run = gwtest("codes --json");
    ASSERT_EQ(run.status, 0) << run.err;
    json_t *obj = parsed(run);
    ASSERT_NE(obj, nullptr) << run.out;
    json_t *tests = json_object_get(obj, "tests");
    ASSERT_EQ(json_array_size(tests), catalogue::kTests.size());
    for (size_t i = 0; i < catalogue::kTests.size(); ++i) {
        const catalogue::Test &t = catalogue::kTests[i];
        json_t *row = json_array_get(tests, i);
        EXPECT_EQ(member(row, "name"), t.name);
        EXPECT_EQ(member(row, "title"), t.title);
        EXPECT_EQ(member(row, "hint"), t.hint);
        EXPECT_EQ(json_integer_value(json_object_get(row, "longest_ms")), t.longestMs);
        EXPECT_EQ(member(row, "operator"), catalogue::operatorName(t.op));
        json_t *models = json_object_get(row, "models");
        uint8_t bits = 0;
        size_t j = 0;
        json_t *name = nullptr;
        json_array_foreach(models, j, name) { bits |= catalogue::modelBit(json_string_value(name)); }
        EXPECT_EQ(bits, t.models) << t.name;
    }
    EXPECT_EQ(json_array_size(json_object_get(obj, "models")), catalogue::kModels.size());
    json_decref(obj);

    const GwtestRun human = gwtest("codes");
    EXPECT_EQ(human.status, 0);
    EXPECT_THAT(human.out, HasSubstr("0x0401  zigbee-pair     GWM0101"));
    EXPECT_THAT(human.out, HasSubstr("if it fails: this test always passes on GWM0101"));
}

} // namespace
