// gwtest run: the plans of one or more gateways at once, with live progress,
// the operator's questions, the records and a summary.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <jansson.h>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <signal.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>

#include "catalogue.h"
#include "engine/engine.h"
#include "front/catalogueJson.h"
#include "front/commands.h"
#include "front/lineOptions.h"
#include "front/terminal.h"
#include "front/unitCheck.h"
#include "records/json.h"
#include "records/records.h"
#include "wire/connection.h"
#include "wire/input.h"
#include "wire/text.h"

namespace station::cli {

namespace {

// One JSON object a line per event on standard output (--json).
class JsonSink : public EventSink {
public:
    JsonSink() : writer_(stdout) {}

    void onEvent(const Event &ev) override
    {
        json_t *o = json_object();
        json_object_set_new(o, "event", json_string(std::string(eventKindName(ev.kind)).c_str()));
        json_object_set_new(o, "station", json_string(ev.station.c_str()));
        json_object_set_new(o, "batch", json_string(ev.batchId.c_str()));
        json_object_set_new(o, "unix_ms", json_integer(ev.unixMs));
        if (ev.kind == EventKind::kBatchStarted || ev.kind == EventKind::kBatchFinished) {
            json_object_set_new(o, "gateways", json_integer(ev.total));
            if (ev.kind == EventKind::kBatchFinished) {
                json_object_set_new(o, "passed", json_integer(ev.passed));
                json_object_set_new(o, "failed", json_integer(ev.failed));
            }
            print(o);
            return;
        }
        json_object_set_new(o, "run", json_string(ev.runId.c_str()));
        json_t *gw = json_object();
        json_object_set_new(gw, "slot", json_integer(ev.gateway.slot));
        json_object_set_new(gw, "address", json_string(ev.gateway.address().c_str()));
        json_object_set_new(gw, "host", json_string(ev.gateway.host.c_str()));
        json_object_set_new(gw, "port", json_integer(ev.gateway.port));
        json_object_set_new(gw, "label", json_string(ev.gateway.label.c_str()));
        json_object_set_new(gw, "model", json_string(ev.gateway.model.c_str()));
        json_object_set_new(gw, "mac", json_string(ev.gateway.mac.c_str()));
        json_object_set_new(o, "gateway", gw);
        switch (ev.kind) {
        case EventKind::kPlanKnown: {
            json_t *plan = json_array();
            for (uint16_t code : ev.plan) {
                const catalogue::Test *row = catalogue::findAny(code);
                json_array_append_new(plan, json_string(row != nullptr ? std::string(row->name).c_str() : "?"));
            }
            json_object_set_new(o, "plan", plan);
            json_object_set_new(o, "total", json_integer(ev.total));
            break;
        }
        case EventKind::kTestStarted:
        case EventKind::kTestFinished:
            json_object_set_new(o, "code", json_integer(ev.code));
            json_object_set_new(o, "name", json_string(ev.name.c_str()));
            json_object_set_new(o, "title", json_string(ev.title.c_str()));
            json_object_set_new(o, "index", json_integer(ev.index));
            json_object_set_new(o, "total", json_integer(ev.total));
            json_object_set_new(o, "attempt", json_integer(ev.attempt));
            json_object_set_new(o, "expected_ms", json_integer(ev.expectedMs));
            if (ev.kind == EventKind::kTestStarted) {
                // The gang the test goes with; a result carries it in the records' shape.
                json_object_set_new(o, "gang", ev.gang.empty() ? json_null() : json_string(ev.gang.c_str()));
            }
            if (ev.kind == EventKind::kTestFinished) {
                // The result in the records' one shape (run_id, data_hex
                // without blanks, data_text, ...), then what only the
                // event knows.
                json_t *result = records::resultJson(records::resultOf(ev));
                json_object_update(o, result);
                json_decref(result);
                json_object_set_new(o, "message", json_string(ev.message.c_str()));
            }
            break;
        case EventKind::kPromptNeeded:
        case EventKind::kPromptAnswered:
            json_object_set_new(o, "prompt_id", json_integer(static_cast<json_int_t>(ev.promptId)));
            json_object_set_new(o, "prompt", json_string(std::string(catalogue::operatorName(ev.prompt)).c_str()));
            json_object_set_new(o, "name", json_string(ev.name.c_str()));
            if (!ev.gang.empty()) {
                // A gang's question: every gateway it asks about.
                json_object_set_new(o, "gang", json_string(ev.gang.c_str()));
                json_t *members = json_array();
                for (const GatewayInfo &m : ev.members) {
                    json_t *g = json_object();
                    json_object_set_new(g, "slot", json_integer(m.slot));
                    json_object_set_new(g, "address", json_string(m.address().c_str()));
                    json_object_set_new(g, "label", json_string(m.label.c_str()));
                    json_object_set_new(g, "mac", json_string(m.mac.c_str()));
                    json_array_append_new(members, g);
                }
                json_object_set_new(o, "members", members);
                if (ev.kind == EventKind::kPromptAnswered) {
                    json_t *no = json_array();
                    for (int slot : ev.noSlots) {
                        json_array_append_new(no, json_integer(slot));
                    }
                    json_object_set_new(o, "no_slots", no);
                }
            }
            if (ev.kind == EventKind::kPromptNeeded) {
                json_object_set_new(o, "question", json_string(ev.question.c_str()));
                json_object_set_new(o, "countdown_ms", json_integer(ev.countdownMs));
            } else if (ev.answer) {
                json_object_set_new(o, "answer", json_string(ev.answer->answer.c_str()));
                json_object_set_new(o, "ms", json_integer(ev.answer->ms));
            }
            break;
        case EventKind::kRunFinished:
            json_object_set_new(o, "outcome", json_string(std::string(runOutcomeName(ev.runOutcome)).c_str()));
            json_object_set_new(o, "total", json_integer(ev.total));
            json_object_set_new(o, "passed", json_integer(ev.passed));
            json_object_set_new(o, "failed", json_integer(ev.failed));
            json_object_set_new(o, "no_reply", json_integer(ev.noReply));
            json_object_set_new(o, "connection_lost", json_integer(ev.connectionLost));
            json_object_set_new(o, "not_run", json_integer(ev.notRun));
            json_object_set_new(o, "skipped", json_integer(ev.skipped));
            json_object_set_new(o, "message", json_string(ev.message.c_str()));
            break;
        case EventKind::kNotice:
        case EventKind::kConnectionLost:
            json_object_set_new(o, "message", json_string(ev.message.c_str()));
            break;
        default:
            break;
        }
        print(o);
    }

private:
    void print(json_t *o)
    {
        char *text = json_dumps(o, JSON_COMPACT | JSON_ENSURE_ASCII);
        json_decref(o);
        if (text != nullptr) {
            writer_.write(std::string(text) + "\n");
            std::free(text);
        }
    }

    AsyncWriter writer_;
};

// SIGINT and SIGTERM stop the engine (the tests in flight end, the summary
// still comes); a second one ends the station at once. The signals are
// blocked from the start, before any thread exists (every thread inherits
// the mask, so none of them can be killed by one), and read from a
// signalfd by the watcher once the engine runs.
class SignalWatcher {
public:
    SignalWatcher()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        sigFd_ = signalfd(-1, &set, SFD_CLOEXEC);
        if (sigFd_ < 0) {
            error_ = std::string("signalfd: ") + std::strerror(errno);
        }
        doneFd_ = eventfd(0, EFD_CLOEXEC);
        if (doneFd_ < 0 && error_.empty()) {
            error_ = std::string("eventfd: ") + std::strerror(errno);
        }
    }
    // Why Ctrl-C could not be watched; empty when it can.
    const std::string &error() const { return error_; }
    // The signals stay blocked: one that comes while the summary prints
    // would otherwise end the station before its last lines.
    ~SignalWatcher()
    {
        done();
        if (sigFd_ >= 0) {
            ::close(sigFd_);
        }
        if (doneFd_ >= 0) {
            ::close(doneFd_);
        }
    }
    SignalWatcher(const SignalWatcher &) = delete;
    SignalWatcher &operator=(const SignalWatcher &) = delete;

    // From now on a signal stops this engine (one that came before does so
    // at once)...
    void watch(Engine &engine)
    {
        thread_ = std::thread([this, &engine] { loop(engine); });
    }
    // ... until the engine has run.
    void done()
    {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(doneFd_, &one, sizeof one);
            thread_.join();
        }
    }

private:
    void loop(Engine &engine)
    {
        int seen = 0;
        for (;;) {
            pollfd p[2] = {{sigFd_, POLLIN, 0}, {doneFd_, POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno != EINTR) {
                return;
            }
            if ((p[1].revents & POLLIN) != 0) {
                return;
            }
            if ((p[0].revents & POLLIN) == 0) {
                continue;
            }
            signalfd_siginfo info{};
            if (::read(sigFd_, &info, sizeof info) != sizeof info) {
                continue;
            }
            if (++seen > 1) {
                static const char kMsg[] = "\ngwtest: stopped at once\n";
                [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
                _exit(130);
            }
            static const char kMsg[] = "\ngwtest: stopping: the tests in flight end, then the summary "
                                       "(again to stop at once)\n";
            [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
            engine.stop();
        }
    }

    int sigFd_ = -1;
    int doneFd_ = -1;
    std::string error_;
    std::thread thread_;
};

struct RunArgs {
    std::vector<std::string> targets;
    std::string model = "auto";
    std::vector<std::string> only;
    std::vector<std::string> skip;
    int retries = 0;
    std::string op = "tty";
    std::string records = "./records";
    std::string station;
    bool json = false;
    std::string db; // the line's PostgreSQL database, "" for none
    std::string gang = "on";
    int gangWaitSec = 20;
    std::string profile;
    std::string operatorId;
    std::vector<std::string> serials; // LABEL=SN
};

// --serial LABEL=SN: each given to the gateway of that label, checked as a
// serial number and against the line's profile. One serial per gateway and
// one gateway per serial: one unit cannot stand in two places.
bool giveSerials(const std::vector<std::string> &given, const Profile *profile, std::vector<Target> &targets,
                 std::string &error)
{
    std::set<std::string> seen;
    for (const std::string &text : given) {
        const size_t eq = text.find('=');
        if (eq == std::string::npos) {
            error = "--serial " + text + ": expected LABEL=SN, the gateway's label and its serial number";
            return false;
        }
        const std::string label = text.substr(0, eq);
        const std::string serial = text.substr(eq + 1);
        auto target = std::find_if(targets.begin(), targets.end(), [&](const Target &t) { return t.label == label; });
        if (target == targets.end()) {
            error = "--serial " + text + ": no gateway is labelled '" + label + "' (HOST=LABEL)";
            return false;
        }
        std::string why;
        if (!validSerial(serial, why)) {
            error = "--serial " + text + ": " + why;
            return false;
        }
        if (profile != nullptr && !profile->serialFits(serial)) {
            error = "--serial " + text + ": '" + serial + "' is not a serial number of this line (" +
                    profile->serialPattern + ", from " + profile->path + ")";
            return false;
        }
        if (!target->serial.empty()) {
            error = "--serial " + text + ": " + label + " has a serial number already";
            return false;
        }
        if (!seen.insert(serial).second) {
            error = "--serial " + text + ": " + serial + " is given to two gateways";
            return false;
        }
        target->serial = serial;
    }
    return true;
}

int run(const RunArgs &args)
{
    RunOptions options;
    std::string error;
    if (!parseModelOption(args.model, options.model, error) ||
        !parseTestList(args.only, "--only", options.only, error) || !parseSkipList(args.skip, options.skip, error)) {
        std::fprintf(stderr, "gwtest: %s\n", error.c_str());
        return kExitUsage;
    }
    std::vector<std::string> profileErrors;
    if (!loadProfileOption(args.profile, options, profileErrors)) {
        for (const std::string &line : profileErrors) {
            std::fprintf(stderr, "gwtest: %s\n", line.c_str());
        }
        return kExitUsage;
    }
    if (!args.operatorId.empty() && !validOperatorId(args.operatorId, error)) {
        std::fprintf(stderr, "gwtest: --operator-id: %s\n", error.c_str());
        return kExitUsage;
    }
    options.operatorId = args.operatorId;
    std::vector<Target> targets;
    std::set<std::string> seen;
    for (const std::string &text : args.targets) {
        Target target;
        if (!parseTarget(text, target, error)) {
            std::fprintf(stderr, "gwtest: %s\n", error.c_str());
            return kExitUsage;
        }
        GatewayInfo info;
        info.host = target.host;
        info.port = target.port;
        if (!seen.insert(info.address()).second) {
            std::fprintf(stderr, "gwtest: %s given twice (a gateway serves one connection at a time)\n",
                         info.address().c_str());
            return kExitUsage;
        }
        targets.push_back(target);
    }
    if (!giveSerials(args.serials, options.profile.get(), targets, error)) {
        std::fprintf(stderr, "gwtest: %s\n", error.c_str());
        return kExitUsage;
    }
    options.retries = args.retries;
    options.gangs = args.gang == "on";
    options.gangWaitMs = args.gangWaitSec * 1000;
    options.station = args.station.empty() ? defaultStationName() : args.station;
    options.op = args.op == "yes"          ? OperatorMode::kYes
                 : args.op == "unattended" ? OperatorMode::kUnattended
                                           : OperatorMode::kAsk;

    int ttyFd = -1;
    if (options.op == OperatorMode::kAsk) {
        ttyFd = TtyPrompter::openTerminal();
        if (ttyFd < 0) {
            std::fprintf(stderr, "gwtest: --operator tty needs a terminal to ask the operator on; without one, "
                                 "use --operator yes or --operator unattended\n");
            return kExitUsage;
        }
    }

    // Before the first thread (the records' writer may have one).
    SignalWatcher signals;
    if (!signals.error().empty()) {
        std::fprintf(stderr, "gwtest: cannot watch for Ctrl-C (%s)\n", signals.error().c_str());
        return kExitSoftware;
    }
    // A record that could not be written is said above the live lines while
    // they show (on standard error otherwise, keeping --json's output pure).
    std::atomic<TerminalSink *> warnTo{nullptr};
    const RecordsWarning warn = [&warnTo](const std::string &message) {
        if (TerminalSink *terminal = warnTo.load()) {
            terminal->note("gwtest: " + message);
        } else {
            std::fprintf(stderr, "gwtest: %s\n", message.c_str());
        }
    };
    std::unique_ptr<RecordsSink> records = openRecords(args.records, error, warn);
    if (!records) {
        if (ttyFd >= 0) {
            ::close(ttyFd);
        }
        std::fprintf(stderr, "gwtest: %s\n", error.c_str());
        return kExitSoftware;
    }
    // The line's database: refused now (wrong password, unknown database),
    // or unreachable and said once on the display while testing goes on.
    std::unique_ptr<line::LineForwarder> lineDb;
    const int lineStatus = line::openStationLine(args.db, args.records, lineDb, warn);
    if (lineStatus != 0) {
        if (ttyFd >= 0) {
            ::close(ttyFd);
        }
        return lineStatus;
    }

    options.checkUnit = unitChecker(records.get(), args.records, args.db);
    OperatorDesk desk;
    Engine engine(options, desk);
    engine.subscribe(records.get());
    if (lineDb) {
        engine.subscribe(lineDb.get()); // after the records: it reads what they committed
    }
    std::unique_ptr<TerminalSink> terminal;
    JsonSink json;
    if (args.json) {
        engine.subscribe(&json);
    } else {
        terminal = std::make_unique<TerminalSink>(stdout, TerminalStyle::of(stdout));
        engine.subscribe(terminal.get());
        warnTo = terminal.get();
    }
    std::unique_ptr<TtyPrompter> prompter;
    if (ttyFd >= 0) {
        prompter = std::make_unique<TtyPrompter>(desk, ttyFd, args.json, terminal.get());
        engine.subscribe(prompter.get());
    }

    signals.watch(engine);
    const RunSummary summary = engine.run(targets);
    signals.done();
    prompter.reset();
    // The records closed (and said so if need be) before the summary.
    records.reset();
    if (lineDb) {
        lineDb->finish(line::kFinishMs); // what the records hold, sent to the line
    }
    warnTo = nullptr;
    if (terminal) {
        terminal->printSummary();
        std::printf("\nrecords: %s\n", args.records.c_str());
    }
    return summary.exitStatus;
}

} // namespace

void addRunCommand(CLI::App &app, int &status)
{
    auto *cmd = app.add_subcommand("run", "run each gateway's test plan, all gateways at once");
    cmd->footer("Exit status: the worst outcome of all gateways: 0 pass, 1 a test failed (or the model is not the "
                "one given, or the run was stopped), 2 a test got no reply, 3 a gateway was unreachable or "
                "dropped the connection, 64 usage error, 70 the records could not be written or the line's database "
                "(--db) refused the station.");
    static RunArgs args;
    cmd->add_option("GATEWAY", args.targets,
                    "HOST[:PORT][=LABEL]: 10.0.0.2, gw-7.line:6666=A3, [::1]:6666, fe80::1%eth0 (port 6666 by default)")
        ->required();
    cmd->add_option("--model", args.model,
                    "auto (ask the gateway: code " + codeText(catalogue::kModelQuery) + ") or " +
                        std::string(catalogue::kModelList) + ", in any case")
        ->capture_default_str();
    cmd->add_option("--only", args.only, "run only these tests (names or codes, comma-separated)")->delimiter(',');
    cmd->add_option("--skip", args.skip, "leave these tests out (names or codes, comma-separated)")->delimiter(',');
    cmd->add_option("--retries", args.retries, "extra attempts of a failed or silent test")
        ->check(CLI::Range(0, 10))
        ->capture_default_str();
    cmd->add_option("--operator", args.op,
                    "tty: ask the person at this terminal; yes: answer yes to every question (simulators, CI); "
                    "unattended: ask nothing, record that nobody looked")
        ->check(CLI::IsMember({"tty", "yes", "unattended"}))
        ->capture_default_str();
    cmd->add_option("--gang", args.gang,
                    "on: the gateways that reach the same operator test together are sent it at once and asked "
                    "about in one question; off: one gateway at a time")
        ->check(CLI::IsMember({"on", "off"}))
        ->capture_default_str();
    cmd->add_option("--gang-wait", args.gangWaitSec,
                    "seconds the first gateway at an operator test waits for the others before its gang starts")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str();
    cmd->add_option("--records", args.records, "directory of records.db, records.jsonl and junit/")
        ->capture_default_str();
    cmd->add_option("--station", args.station, "this station's id in the records (default: the host name)");
    cmd->add_option("--profile", args.profile, kProfileHelp)->envname("GWTEST_PROFILE");
    cmd->add_option("--serial", args.serials,
                    "LABEL=SN: the serial number on the label of the gateway HOST=LABEL (repeatable)");
    cmd->add_option("--operator-id", args.operatorId, "the id of the person at the station, kept with every run");
    cmd->add_flag("--json", args.json, "one JSON object per event on standard output instead of the progress");
    line::attachLineDatabase(cmd, args.db);
    cmd->callback([&status] { status = run(args); });
}

} // namespace station::cli
