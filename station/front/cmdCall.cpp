// gwtest call HOST CODE|NAME: one test on a gateway, its reply as a person
// (or, with --json, a program) reads it. gwtest plan MODEL and gwtest codes:
// the catalogue, a model's plan or whole.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "catalogue.h"
#include "engine/engine.h"
#include "front/catalogueJson.h"
#include "front/commands.h"
#include "wire/connection.h"
#include "wire/decode.h"
#include "wire/input.h"
#include "wire/text.h"

namespace station::cli {

namespace {

// A code no model answers, sent anyway with --raw: the service drops it
// without a reply, so there is no point in waiting long.
constexpr int kRawUnknownMs = 3000;

bool colourWanted()
{
    const char *noColour = std::getenv("NO_COLOR");
    return isatty(STDOUT_FILENO) == 1 && (noColour == nullptr || *noColour == '\0');
}

// "pass", "fail", "no reply", "connection lost": highlighted on a terminal
// unless it passed.
std::string shownOutcome(const std::string &outcome)
{
    std::string words = outcome;
    std::replace(words.begin(), words.end(), '-', ' ');
    if (outcome == "pass" || !colourWanted()) {
        return words;
    }
    return "\033[1;31m" + words + "\033[0m";
}

// "10 s", "20.2 s".
std::string seconds(uint64_t ms)
{
    char text[32];
    if (ms % 1000 == 0) {
        std::snprintf(text, sizeof text, "%llu s", static_cast<unsigned long long>(ms / 1000));
    } else {
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    }
    return text;
}

std::string sv(std::string_view s) { return std::string(s); }

// "GWM0202, GWM0303", or "all models".
std::string modelsText(uint8_t models)
{
    if (models == catalogue::kEveryModel) {
        return "all models";
    }
    std::string names;
    for (const catalogue::ModelName &m : catalogue::kModels) {
        if ((models & m.model) != 0) {
            names += (names.empty() ? "" : " ") + sv(m.name);
        }
    }
    return names;
}

// ---- gwtest call ----------------------------------------------------------
//
// A call is a run of the engine with one test chosen: the engine asks the
// model first (it picks the code's row and tells a test this gateway lacks
// before it is waited for), sends the test, and judges its reply as it does
// on every run. Only --raw goes round it, to send a code no plan holds.

struct CallOptions {
    std::string target;
    std::string test; // code or short name
    bool json = false;
    bool raw = false;
    std::optional<int> timeoutSec;
};

// One test's answer as the call shows it.
struct Shown {
    uint16_t code = 0;
    const catalogue::Test *row = nullptr; // null: a code no model answers (--raw)
    std::string model;                    // "GWM0202", empty when unknown
    Outcome outcome = Outcome::kNoReply;
    std::optional<uint8_t> result;
    std::vector<uint8_t> data;
    std::string decoded;
    int durationMs = 0;
    std::string message; // what the result byte cannot say
};

int exitOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::kPass:
        return kExitPass;
    case Outcome::kNoReply:
        return kExitNoReply;
    case Outcome::kConnectionLost:
        return kExitConnection;
    case Outcome::kFail:
    case Outcome::kSkipped:
    case Outcome::kNotRun:
        break;
    }
    return kExitFail;
}

void printShown(const CallOptions &o, const Shown &r)
{
    const bool failed = r.outcome != Outcome::kPass;
    const std::string outcome(outcomeName(r.outcome));
    if (o.json) {
        json_t *obj = json_object();
        json_object_set_new(obj, "host", json_string(o.target.c_str()));
        json_object_set_new(obj, "code", json_string(codeText(r.code).c_str()));
        json_object_set_new(obj, "name",
                            r.row != nullptr ? json_stringn(r.row->name.data(), r.row->name.size()) : json_null());
        json_object_set_new(obj, "title",
                            r.row != nullptr ? json_stringn(r.row->title.data(), r.row->title.size()) : json_null());
        json_object_set_new(obj, "model", r.model.empty() ? json_null() : json_string(r.model.c_str()));
        json_object_set_new(obj, "outcome", json_string(outcome.c_str()));
        json_object_set_new(obj, "result", r.result ? json_integer(*r.result) : json_null());
        json_object_set_new(obj, "data_hex", json_string(hexCompact(r.data).c_str()));
        json_object_set_new(obj, "data_text", json_string(cleanUtf8(r.decoded).c_str()));
        json_object_set_new(obj, "duration_ms", json_integer(r.durationMs));
        if (r.row != nullptr && r.row->decoder == catalogue::Decoder::kZwave) {
            if (const auto device = zwaveDevice(r.data)) {
                json_t *d = json_object();
                json_object_set_new(d, "mac", json_string(device->mac.c_str()));
                json_object_set_new(d, "version", json_string(device->version.c_str()));
                json_object_set_new(d, "battery", json_integer(device->battery));
                json_object_set_new(d, "pir", json_integer(device->pir));
                json_object_set_new(obj, "device", d);
            }
        }
        json_object_set_new(obj, "hint",
                            failed && r.row != nullptr ? json_stringn(r.row->hint.data(), r.row->hint.size())
                                                       : json_null());
        json_object_set_new(obj, "note", r.message.empty() ? json_null() : json_string(cleanUtf8(r.message).c_str()));
        printJson(obj);
        return;
    }
    std::string head = codeText(r.code);
    if (r.row != nullptr) {
        head += " " + sv(r.row->name) + " (" + sv(r.row->title) + ")";
    }
    std::printf("%s: %s", head.c_str(), shownOutcome(outcome).c_str());
    // The reason in brackets when there is nothing else to read on the line,
    // else on a line of its own.
    if (!r.decoded.empty()) {
        std::printf("  %s", r.decoded.c_str());
    } else if (!r.message.empty()) {
        std::printf(" (%s)", r.message.c_str());
    }
    std::printf("\n");
    if (!r.data.empty()) {
        std::printf("  data: %s\n", hexText(r.data).c_str());
    }
    if (!r.decoded.empty() && !r.message.empty()) {
        std::printf("  note: %s\n", r.message.c_str());
    }
    if (failed && r.row != nullptr) {
        std::printf("  hint: %s\n", sv(r.row->hint).c_str());
    }
}

// What the engine says of the one test; notices go to the person at once
// (the busy gateway's can come seconds before the answer).
class CallSink : public EventSink {
public:
    explicit CallSink(uint16_t code) : code_(code) {}

    void onEvent(const Event &ev) override
    {
        switch (ev.kind) {
        case EventKind::kPlanKnown:
            plan = ev.plan;
            planKnown = true;
            inPlan = std::find(plan.begin(), plan.end(), code_) != plan.end();
            break;
        case EventKind::kTestFinished:
            if (ev.code == catalogue::kModelQuery) {
                modelQuery = ev;
            }
            if (ev.code == code_ && ev.outcome != Outcome::kSkipped) {
                test = ev;
            }
            break;
        case EventKind::kNotice:
            // The engine's "not a test of the model" is said below, as a
            // usage error that lists what the model has.
            if (!planKnown || inPlan) {
                std::fprintf(stderr, "gwtest: note: %s\n", ev.message.c_str());
            }
            break;
        case EventKind::kRunFinished:
            run = ev;
            break;
        default:
            break;
        }
    }

    std::vector<uint16_t> plan;
    bool planKnown = false;
    bool inPlan = false;
    std::optional<Event> modelQuery;
    std::optional<Event> test;
    std::optional<Event> run;

private:
    uint16_t code_;
};

// --raw: the code sent alone on a connection of its own, judged as the
// engine judges a reply.
int callRaw(const CallOptions &o, uint16_t code, const catalogue::Test *row)
{
    Target target;
    std::string error;
    if (!parseTarget(o.target, target, error)) {
        std::fprintf(stderr, "gwtest: %s\n", error.c_str());
        return kExitUsage;
    }
    Connection conn;
    const RunOptions defaults;
    if (!conn.open(target.host, target.port, defaults.connectTimeoutMs, error)) {
        std::fprintf(stderr, "gwtest: %s:%u: %s\n", target.host.c_str(), target.port, error.c_str());
        return kExitConnection;
    }
    int timeoutMs = kRawUnknownMs;
    if (o.timeoutSec) {
        timeoutMs = *o.timeoutSec * 1000;
    } else if (row != nullptr) {
        // The model is not asked: wait as long as the slowest model may take.
        timeoutMs = static_cast<int>(catalogue::longestOnAnyModel(code)) + defaults.marginMs;
    }
    Shown shown;
    shown.code = code;
    shown.row = row;
    const auto started = std::chrono::steady_clock::now();
    std::optional<Reply> reply;
    if (conn.sendRequest(code)) {
        reply = conn.waitReply(code, timeoutMs);
    }
    shown.durationMs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
    if (reply) {
        shown.outcome = judgeReply(reply->payload, shown.message);
        if (!reply->payload.empty()) {
            shown.result = reply->payload[0];
            shown.data.assign(reply->payload.begin() + 1, reply->payload.end());
        }
        shown.decoded = decodeData(row != nullptr ? row->decoder : catalogue::Decoder::kText, shown.data);
    } else if (conn.closedByPeer()) {
        shown.outcome = Outcome::kConnectionLost;
        shown.message = "the gateway closed the connection";
    } else {
        shown.outcome = Outcome::kNoReply;
        shown.message = "no reply within " + seconds(static_cast<uint64_t>(timeoutMs)) +
                        (row == nullptr ? ": the service drops codes it has no test for"
                                        : ": the test may still be running, or another station holds the gateway");
    }
    printShown(o, shown);
    return exitOf(shown.outcome);
}

int call(const CallOptions &o)
{
    // A test of the catalogue by name or code; with --raw any code.
    std::string error;
    const catalogue::Test *anyRow = parseTest(o.test, error);
    const std::optional<uint16_t> code = anyRow != nullptr ? anyRow->code : o.raw ? parseCode(o.test) : std::nullopt;
    if (!code) {
        std::fprintf(stderr, "gwtest: %s%s\n", error.c_str(),
                     error.find("no gateway model answers") != std::string::npos ? "; --raw sends it anyway" : "");
        return kExitUsage;
    }
    if (o.raw) {
        return callRaw(o, *code, anyRow);
    }

    Target target;
    if (!parseTarget(o.target, target, error)) {
        std::fprintf(stderr, "gwtest: %s\n", error.c_str());
        return kExitUsage;
    }
    RunOptions options;
    options.only = {*code};
    options.alwaysMac = false;
    // Nobody is asked: the reply alone is shown, as the service gave it.
    options.op = OperatorMode::kUnattended;
    if (o.timeoutSec) {
        options.timeoutMs = *o.timeoutSec * 1000;
    }
    OperatorDesk desk;
    Engine engine(options, desk);
    CallSink sink(*code);
    engine.subscribe(&sink);
    const RunSummary summary = engine.run({target});

    if (sink.test && sink.test->outcome != Outcome::kNotRun) {
        const Event &ev = *sink.test;
        Shown shown;
        shown.code = ev.code;
        shown.row = catalogue::find(ev.code, catalogue::modelBit(ev.gateway.model));
        if (shown.row == nullptr) {
            shown.row = anyRow;
        }
        shown.model = ev.gateway.model;
        shown.outcome = ev.outcome;
        shown.result = ev.result;
        shown.data = ev.data;
        shown.decoded = ev.decoded;
        shown.durationMs = ev.durationMs;
        shown.message = ev.message;
        if (ev.outcome == Outcome::kNoReply) {
            shown.message += ": the test may still be running, or another station holds the gateway";
        }
        printShown(o, shown);
        return exitOf(ev.outcome);
    }
    if (sink.planKnown && !sink.inPlan) {
        const Event &model = *sink.modelQuery;
        std::fprintf(stderr, "gwtest: this gateway is a %s, which has no test %s (0x%04x); it answers: ",
                     model.gateway.model.c_str(), sv(anyRow->name).c_str(), *code);
        for (size_t i = 0; i < sink.plan.size(); ++i) {
            const catalogue::Test *row = catalogue::findAny(sink.plan[i]);
            std::fprintf(stderr, "%s%s", i > 0 ? ", " : "", row != nullptr ? sv(row->name).c_str() : "?");
        }
        std::fprintf(stderr, " (--raw sends it anyway)\n");
        return kExitUsage;
    }
    // The run ended before the test: the gateway was not reached, or its
    // model could not be read or has no plan.
    const std::string why = sink.run ? sink.run->message : "stopped";
    std::string detail;
    if (sink.modelQuery && sink.modelQuery->outcome != Outcome::kPass && !sink.modelQuery->message.empty() &&
        why.find(sink.modelQuery->message) == std::string::npos) {
        detail = " (" + sink.modelQuery->message + ")";
    }
    const bool modelTrouble =
        sink.run && (sink.run->runOutcome == RunOutcome::kModelMismatch || sink.run->runOutcome == RunOutcome::kFail);
    std::fprintf(stderr, "gwtest: %s%s%s\n", cleanUtf8(why).c_str(), detail.c_str(),
                 modelTrouble ? "; --raw sends the test without asking the model" : "");
    return summary.exitStatus;
}

// ---- gwtest plan, gwtest codes ---------------------------------------------

int plan(const std::string &modelArg, bool json)
{
    std::string model;
    std::string error;
    if (!parseModel(modelArg, model, error)) {
        std::fprintf(stderr, "gwtest: %s\n", error.c_str());
        return kExitUsage;
    }
    const uint8_t bit = catalogue::modelBit(model);
    const auto steps = catalogue::plan(bit);
    if (json) {
        json_t *obj = json_object();
        json_object_set_new(obj, "model", json_string(model.c_str()));
        json_object_set_new(obj, "longest_ms", json_integer(static_cast<json_int_t>(catalogue::planLongestMs(steps))));
        json_t *tests = json_array();
        for (const catalogue::Test *t : steps) {
            json_array_append_new(tests, testJson(*t));
        }
        json_object_set_new(obj, "tests", tests);
        printJson(obj);
        return kExitPass;
    }
    std::printf("%s: %zu tests, at most %s with the service's longest waits\n", model.c_str(), steps.size(),
                seconds(catalogue::planLongestMs(steps)).c_str());
    std::printf("%-6s  %-14s  %-12s  %8s  %s\n", "code", "name", "operator", "longest", "title");
    for (const catalogue::Test *t : steps) {
        const std::string op = t->op == catalogue::Operator::kNone ? "-" : sv(catalogue::operatorName(t->op));
        std::printf("%-6s  %-14s  %-12s  %8s  %s\n", codeText(t->code).c_str(), sv(t->name).c_str(), op.c_str(),
                    seconds(t->longestMs).c_str(), sv(t->title).c_str());
    }
    return kExitPass;
}

int codes(bool json)
{
    if (json) {
        json_t *obj = json_object();
        json_t *models = json_array();
        for (const catalogue::ModelName &m : catalogue::kModels) {
            json_array_append_new(models, json_stringn(m.name.data(), m.name.size()));
        }
        json_object_set_new(obj, "models", models);
        json_t *tests = json_array();
        for (const catalogue::Test &t : catalogue::kTests) {
            json_array_append_new(tests, testJson(t));
        }
        json_object_set_new(obj, "tests", tests);
        printJson(obj);
        return kExitPass;
    }
    std::printf("%-6s  %-14s  %-31s  %-12s  %8s  %s\n", "code", "name", "models", "operator", "longest", "title");
    for (const catalogue::Test &t : catalogue::kTests) {
        const std::string op = t.op == catalogue::Operator::kNone ? "-" : sv(catalogue::operatorName(t.op));
        std::printf("%-6s  %-14s  %-31s  %-12s  %8s  %s\n", codeText(t.code).c_str(), sv(t.name).c_str(),
                    modelsText(t.models).c_str(), op.c_str(), seconds(t.longestMs).c_str(), sv(t.title).c_str());
        std::printf("        if it fails: %s\n", sv(t.hint).c_str());
    }
    return kExitPass;
}

} // namespace

void addCallCommands(CLI::App &app, int &status)
{
    auto *callCmd = app.add_subcommand(
        "call", "run one test on a gateway and show its reply, judged as `gwtest run` judges it: the gateway's "
                "model is asked first (" +
                    codeText(catalogue::kModelQuery) + "), so that the model's own row of the catalogue is used");
    static CallOptions options;
    static int timeoutSec = 0;
    callCmd->add_option("HOST", options.target, "the gateway: HOST or HOST:PORT (a label may follow: =A1)")->required();
    callCmd->add_option("TEST", options.test, "a command code (0x0001 or decimal) or a test's short name (mac, ...)")
        ->required();
    callCmd->add_flag("--json", options.json, "print the reply as one JSON object");
    callCmd->add_flag("--raw", options.raw,
                      "send the code as it is: also a code no model answers (waits 3 s), without asking the model");
    auto *timeout = callCmd
                        ->add_option("--timeout", timeoutSec,
                                     "seconds to wait for the reply (default: the test's longest duration + 5 s)")
                        ->check(CLI::Range(1, 3600));
    callCmd->callback([&status, timeout] {
        if (timeout->count() > 0) {
            options.timeoutSec = timeoutSec;
        }
        status = call(options);
    });

    auto *planCmd = app.add_subcommand("plan", "list a model's test plan from the catalogue");
    static std::string model;
    static bool planJson = false;
    planCmd->add_option("MODEL", model, std::string(catalogue::kModelList) + ", in any case")->required();
    planCmd->add_flag("--json", planJson, "print the plan as one JSON object");
    planCmd->callback([&status] { status = plan(model, planJson); });

    auto *codesCmd = app.add_subcommand(
        "codes", "list the whole catalogue: code, name, models, operator, longest duration, title, failure hint");
    static bool codesJson = false;
    codesCmd->add_flag("--json", codesJson, "print the catalogue as one JSON object");
    codesCmd->callback([&status] { status = codes(codesJson); });
}

} // namespace station::cli
