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
#include "front/catalogueJson.h"
#include "front/commands.h"
#include "wire/connection.h"
#include "wire/decode.h"
#include "wire/input.h"

namespace station::cli {

namespace {

constexpr int kConnectTimeoutMs = 5000;
// Added to the catalogue's longest duration of a test before it counts as
// silent: the gateway's tools may run slower than their allowance.
constexpr int kMarginMs = 5000;
// The model query answers at once; a gateway busy with another station
// answers nothing.
constexpr int kModelQueryMs = 5000;
// A code no model answers, sent anyway with --raw: the service drops it
// without a reply, so there is no point in waiting long.
constexpr int kRawUnknownMs = 3000;

bool colourWanted()
{
    const char *noColour = std::getenv("NO_COLOR");
    return isatty(STDOUT_FILENO) == 1 && (noColour == nullptr || *noColour == '\0');
}

// "pass", "fail", "no reply": highlighted on a terminal unless it passed.
std::string shownOutcome(const std::string &outcome)
{
    const std::string words = outcome == "no-reply" ? "no reply" : outcome;
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

struct CallOptions {
    std::string target;
    std::string test; // code or short name
    bool json = false;
    bool raw = false;
    std::optional<int> timeoutSec;
};

struct CallResult {
    std::string outcome; // pass, fail, no-reply
    std::optional<uint8_t> result;
    std::vector<uint8_t> data;
    long long durationMs = 0;
    std::string note; // why there was no reply, when known
};

bool openTarget(const std::string &target, Connection &conn, int &exitStatus)
{
    std::string host;
    uint16_t port = 0;
    std::string error;
    if (!parseAddress(target, host, port, error)) {
        std::fprintf(stderr, "gwtest: %s\n", error.c_str());
        exitStatus = kExitUsage;
        return false;
    }
    if (!conn.open(host, port, kConnectTimeoutMs, error)) {
        std::fprintf(stderr, "gwtest: %s:%u: %s\n", host.c_str(), port, error.c_str());
        exitStatus = kExitConnection;
        return false;
    }
    return true;
}

// One request and its reply; a closed connection is told apart from silence.
CallResult request(Connection &conn, uint16_t code, int timeoutMs)
{
    CallResult r;
    const auto started = std::chrono::steady_clock::now();
    std::optional<Reply> reply;
    if (conn.sendRequest(code)) {
        reply = conn.waitReply(code, timeoutMs);
    }
    r.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    if (!reply || reply->payload.empty()) {
        r.outcome = "no-reply";
        if (reply) {
            r.note = "an empty reply";
        } else if (conn.closedByPeer()) {
            r.note = "the service closed the connection";
        } else {
            r.note = "no reply within " + seconds(static_cast<uint64_t>(timeoutMs));
        }
        return r;
    }
    r.result = reply->payload[0];
    r.outcome = *r.result == 0 ? "pass" : "fail";
    r.data.assign(reply->payload.begin() + 1, reply->payload.end());
    return r;
}

int exitOf(const CallResult &r)
{
    if (r.outcome == "pass") {
        return kExitPass;
    }
    return r.outcome == "fail" ? kExitFail : kExitNoReply;
}

void printCall(const CallOptions &o, uint16_t code, const catalogue::Test *row, std::string_view model,
               const CallResult &r)
{
    const catalogue::Decoder decoder = row != nullptr ? row->decoder : catalogue::Decoder::kText;
    const std::string decoded = decodeData(decoder, r.data);
    const bool failed = r.outcome != "pass";
    if (o.json) {
        json_t *obj = json_object();
        json_object_set_new(obj, "host", json_string(o.target.c_str()));
        json_object_set_new(obj, "code", json_string(codeText(code).c_str()));
        json_object_set_new(obj, "name",
                            row != nullptr ? json_stringn(row->name.data(), row->name.size()) : json_null());
        json_object_set_new(obj, "title",
                            row != nullptr ? json_stringn(row->title.data(), row->title.size()) : json_null());
        json_object_set_new(obj, "model", model.empty() ? json_null() : json_stringn(model.data(), model.size()));
        json_object_set_new(obj, "outcome", json_string(r.outcome.c_str()));
        json_object_set_new(obj, "result", r.result ? json_integer(*r.result) : json_null());
        json_object_set_new(obj, "data_hex", json_string(hexCompact(r.data).c_str()));
        json_object_set_new(obj, "data_text", json_string(decoded.c_str()));
        json_object_set_new(obj, "duration_ms", json_integer(r.durationMs));
        if (row != nullptr && row->decoder == catalogue::Decoder::kZwave) {
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
                            failed && row != nullptr ? json_stringn(row->hint.data(), row->hint.size()) : json_null());
        json_object_set_new(obj, "note", r.note.empty() ? json_null() : json_string(r.note.c_str()));
        printJson(obj);
        return;
    }
    std::string head = codeText(code);
    if (row != nullptr) {
        head += " " + sv(row->name) + " (" + sv(row->title) + ")";
    }
    std::printf("%s: %s", head.c_str(), shownOutcome(r.outcome).c_str());
    if (!r.note.empty()) {
        std::printf(" (%s)", r.note.c_str());
    } else if (!decoded.empty()) {
        std::printf("  %s", decoded.c_str());
    }
    std::printf("\n");
    if (!r.data.empty()) {
        std::printf("  data: %s\n", hexText(r.data).c_str());
    }
    if (failed && row != nullptr) {
        std::printf("  hint: %s\n", sv(row->hint).c_str());
    }
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

    Connection conn;
    int status = kExitPass;
    if (!openTarget(o.target, conn, status)) {
        return status;
    }

    // The gateway's model picks the code's row (title, duration, decoder) and
    // tells a test this gateway does not have before it is waited for. --raw
    // sends the code alone.
    std::string model;
    const catalogue::Test *row = anyRow;
    if (!o.raw && *code != catalogue::kModelQuery) {
        const int askMs = o.timeoutSec ? std::min(kModelQueryMs, *o.timeoutSec * 1000) : kModelQueryMs;
        const CallResult asked = request(conn, catalogue::kModelQuery, askMs);
        if (asked.outcome == "no-reply") {
            const std::string why = conn.closedByPeer()
                                        ? "the service closed the connection"
                                        : "the gateway may be busy with another station (it serves one at a time)";
            std::fprintf(stderr, "gwtest: %s: no reply to the model query within %s: %s\n", o.target.c_str(),
                         seconds(static_cast<uint64_t>(askMs)).c_str(), why.c_str());
            return conn.closedByPeer() ? kExitConnection : kExitNoReply;
        }
        model = serviceModelName(asked.data);
        const uint8_t bit = catalogue::modelBit(model);
        if (bit != 0 && asked.result == 0) {
            model = sv(catalogue::modelName(bit));
            row = catalogue::find(*code, bit);
            if (row == nullptr) {
                std::fprintf(stderr,
                             "gwtest: this gateway is a %s, which has no test %s (0x%04x); it answers: ", model.c_str(),
                             sv(anyRow->name).c_str(), *code);
                const auto steps = catalogue::plan(bit);
                for (size_t i = 0; i < steps.size(); ++i) {
                    std::fprintf(stderr, "%s%s", i > 0 ? ", " : "", sv(steps[i].name).c_str());
                }
                std::fprintf(stderr, " (--raw sends it anyway)\n");
                return kExitUsage;
            }
        } else if (asked.result == 0) {
            // A model the service matches to none of its tables: it answers
            // only the tests every model has.
            std::fprintf(stderr, "gwtest: note: the gateway's model '%s' is none of %s\n", model.c_str(),
                         std::string(catalogue::kModelList).c_str());
            model.clear();
        } else {
            std::fprintf(stderr, "gwtest: note: the gateway could not read its model; it answers only the tests "
                                 "every model has\n");
            model.clear();
        }
    } else if (*code == catalogue::kModelQuery) {
        row = catalogue::findAny(catalogue::kModelQuery);
    }

    int timeoutMs = kRawUnknownMs;
    if (o.timeoutSec) {
        timeoutMs = *o.timeoutSec * 1000;
    } else if (row != nullptr) {
        // Without the model, wait as long as the slowest model may take.
        const uint32_t longest = model.empty() ? catalogue::longestOnAnyModel(*code) : row->longestMs;
        timeoutMs = static_cast<int>(longest) + kMarginMs;
    }
    const CallResult r = request(conn, *code, timeoutMs);
    CallResult shown = r;
    if (r.outcome == "no-reply" && !conn.closedByPeer() && r.note.rfind("no reply within", 0) == 0) {
        shown.note += row == nullptr ? ": the service drops codes it has no test for"
                                     : ": the test may still be running, or another station holds the gateway";
    }
    printCall(o, *code, row, model, shown);
    return exitOf(r);
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
        "call", "run one test on a gateway and show its reply; the gateway's model is asked first (" +
                    codeText(catalogue::kModelQuery) + ") so that the model's own row of the catalogue is used");
    static CallOptions options;
    static int timeoutSec = 0;
    callCmd->add_option("HOST", options.target, "the gateway: HOST or HOST:PORT")->required();
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
