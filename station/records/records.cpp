// The station's records: records.db (SQLite), records.jsonl and
// junit/<batch>.xml, written from the engine's events.
//
// What is written when:
// - records.db: a `runs` row at the run's start, brought up to date as the
//   model and the MAC become known and closed at its end; each result in its
//   own transaction the moment its test finishes (WAL, synchronous=FULL), so
//   a station killed at any moment loses no finished test.
// - records.jsonl: one line per result, written with a single write() on a
//   descriptor opened with O_APPEND and synced, so lines of two stations
//   never mix and a finished test survives the station.
// - junit/<batch>.xml: at the batch's end (or when the records close with a
//   batch still open), written to a scratch file and linked into place, so a
//   reader never sees half a file and no earlier file is overwritten.
//
// Write errors in the middle of a batch (disk full, the database locked for
// longer than the busy wait, a directory gone): the sink says so once per
// kind of record, keeps the unwritten records in memory and tries them
// again, in order, with every following event and once more when the records
// close. Testing goes on; the sink never throws into the engine and never
// ends the station.
#include "records/records.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jansson.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <variant>

#include "catalogue.h"
#include "records/migrations.h"
#include "records/sqlite.h"

namespace station {

namespace {

// ---- Text helpers ----

std::string isoTime(int64_t unixMs)
{
    if (unixMs <= 0) {
        unixMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
    }
    time_t secs = static_cast<time_t>(unixMs / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(unixMs % 1000));
    return buf;
}

std::string hexOf(const std::vector<uint8_t> &data)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : data) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xf];
    }
    return out;
}

// Text from a gateway may hold anything. The records keep it as UTF-8: a
// byte that does not start a well-formed sequence becomes U+FFFD (the raw
// bytes stay in data_hex). Jansson refuses strings that are not UTF-8, so
// without this one odd byte would cost the whole line.
std::string cleanUtf8(std::string_view in)
{
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        auto c = static_cast<unsigned char>(in[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
        bool ok = len > 0 && i + len <= in.size();
        uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
        for (size_t k = 1; ok && k < len; ++k) {
            auto cc = static_cast<unsigned char>(in[i + k]);
            ok = (cc & 0xc0) == 0x80;
            cp = (cp << 6) | (cc & 0x3f);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
                   (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff)) {
            ok = false;
        }
        if (ok) {
            out.append(in.substr(i, len));
            i += len;
        } else {
            out += "\xef\xbf\xbd";
            ++i;
        }
    }
    return out;
}

// Text for XML 1.0: escaped, and the control characters XML cannot carry at
// all (even as references) shown as \xNN.
std::string xmlText(std::string_view raw)
{
    std::string in = cleanUtf8(raw);
    std::string out;
    for (char ch : in) {
        auto c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    return out;
}

// The MAC in the records' one spelling, "02:47:57:04:04:00" (any case, with
// or without colons or dashes, as the gateway gave it), so `report --mac`
// finds it by index; anything else is kept as it came. The same rule as
// the parser of a MAC a user types.
std::string macOf(const std::string &mac)
{
    std::string hex;
    for (char c : mac) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c != ':' && c != '-') {
            return cleanUtf8(mac);
        }
    }
    if (hex.size() != 12) {
        return cleanUtf8(mac);
    }
    std::string norm;
    for (size_t i = 0; i < 12; i += 2) {
        norm += (i > 0 ? ":" : "") + hex.substr(i, 2);
    }
    return norm;
}

std::string address(const GatewayInfo &g)
{
    std::string host = g.host.find(':') != std::string::npos ? "[" + g.host + "]" : g.host;
    return host + ":" + std::to_string(g.port);
}

// ---- SQLite ----

// After one wait of the full busy time for another station's write, the
// sink tries the queued writes with every event but waits only briefly each
// time, so that the engine's events are not held up; the records' close
// waits the full time once more.
using sqlite::kBusyWaitMs;
constexpr int kBusyRetryMs = 200;

using Value = std::variant<std::monostate, int64_t, std::string>;

struct Step {
    std::string sql;
    std::vector<Value> values;
};

// One transaction: all its steps or none.
struct Write {
    std::string what; // for the error message: "the result of mac on run X"
    std::vector<Step> steps;
};

// Errors that cannot go away by trying again: the write is given up (the
// result stays in records.jsonl).
bool permanent(int rc)
{
    int primary = rc & 0xff;
    return primary == SQLITE_CONSTRAINT || primary == SQLITE_MISMATCH || primary == SQLITE_TOOBIG ||
           primary == SQLITE_RANGE;
}

// Runs one statement with its values; SQLITE_OK or the error.
int runStep(const sqlite::Db &db, const Step &step)
{
    sqlite::Stmt st(db, step.sql);
    if (!st.ok()) {
        return st.rc();
    }
    for (size_t i = 0; i < step.values.size(); ++i) {
        int at = static_cast<int>(i) + 1;
        const Value &v = step.values[i];
        if (const auto *n = std::get_if<int64_t>(&v)) {
            st.bind(at, *n);
        } else if (const auto *s = std::get_if<std::string>(&v)) {
            st.bind(at, *s);
        } else {
            st.bindNull(at);
        }
    }
    return st.run();
}

// ---- The sink ----

struct ResultRec {
    int code = 0;
    std::string name;
    std::string title;
    int attempt = 1;
    std::string outcome;
    std::string decoded;
    std::string hint;
    int durationMs = 0;
    std::optional<OperatorAnswer> answer;
};

struct RunState {
    std::string id; // as stored: the engine's run id, unless another station already used it
    std::string batch;
    GatewayInfo gateway; // model and MAC as last stored
    std::string started;
    int64_t startedMs = 0;
    std::vector<uint16_t> plan;
    std::vector<ResultRec> results;
    bool finished = false;
    std::string outcome;
    std::string message;
    int64_t finishedMs = 0;
};

struct BatchState {
    std::string id;
    std::string station;
    int64_t startedMs = 0;
    std::vector<std::string> runs; // engine run ids, in order of their start
};

int writeAll(int fd, const std::string &text, size_t &done)
{
    done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Creates a file in `dir` and removes it again: proves the directory takes
// new files (root passes access() even on a read-only mount).
bool probeDir(const std::string &dir, std::string &error)
{
    std::string probe = dir + "/.gwtest-probe-" + std::to_string(getpid());
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write in " + dir + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

bool makeDir(const std::string &dir, std::string &error)
{
    // Parents too, as mkdir -p.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') {
            continue;
        }
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot create the records directory " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat sb {};
    if (::stat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        error = "the records directory " + dir + " is not a directory";
        return false;
    }
    return true;
}

// The writer's process id at the end of a scratch name of ours, 0 when the
// name is not one: ".<name>.xml.<pid>" (a JUnit file on its way) or
// ".gwtest-probe-<pid>" (the check that the directory takes new files).
pid_t scratchWriter(std::string_view name)
{
    if (name.size() < 2 || name[0] != '.') {
        return 0;
    }
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') {
        --digits;
    }
    const std::string_view pid = name.substr(digits);
    const std::string_view head = name.substr(0, digits);
    const bool junit = head.size() > 6 && head.ends_with(".xml.");
    const bool probe = head == ".gwtest-probe-";
    if (pid.empty() || pid.size() > 9 || (!junit && !probe)) {
        return 0;
    }
    return static_cast<pid_t>(std::stol(std::string(pid)));
}

// A station killed between writing a scratch file and linking it into place
// (or between the probe's create and unlink) leaves it behind, and nothing
// else would ever remove it. Those of a writer that is gone are removed;
// those of a writer still alive are its work in progress (another station
// may share the directory) and stay.
void removeAbandonedScratch(const std::string &dir)
{
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    while (const dirent *e = ::readdir(d)) {
        const pid_t writer = scratchWriter(e->d_name);
        if (writer > 0 && ::kill(writer, 0) != 0 && errno == ESRCH) {
            ::unlinkat(::dirfd(d), e->d_name, 0);
        }
    }
    ::closedir(d);
}

class RecordsSink final : public EventSink {
public:
    RecordsSink(std::string dir, sqlite::Db db, int jsonl, RecordsWarning warn)
        : dir_(std::move(dir)), db_(std::move(db)), jsonl_(jsonl), warn_(std::move(warn))
    {
    }

    ~RecordsSink() override
    {
        std::lock_guard lock(mutex_);
        // Batches the engine never closed (the station is stopping): their
        // JUnit file all the same, with what ran.
        for (auto &[id, batch] : batches_) {
            queueJunit(batch);
        }
        batches_.clear();
        db_.busyWait(kBusyWaitMs);
        dbBehind_ = false;
        retry();
        if (!pendingDb_.empty() || !pendingLines_.empty() || !pendingJunit_.empty()) {
            say("closing", "records: " + std::to_string(pendingDb_.size()) + " database writes, " +
                               std::to_string(pendingLines_.size()) + " records.jsonl lines and " +
                               std::to_string(pendingJunit_.size()) + " JUnit files could not be written");
        }
        db_.close();
        ::close(jsonl_);
    }

    void onEvent(const Event &event) override
    {
        std::lock_guard lock(mutex_);
        try {
            handle(event);
            retry();
        } catch (const std::exception &e) {
            // Out of memory and the like: said, never thrown into the engine.
            say("internal", std::string("records: ") + e.what());
        }
    }

private:
    void handle(const Event &e)
    {
        switch (e.kind) {
        case EventKind::kBatchStarted:
            batch(e);
            break;
        case EventKind::kRunStarted:
            run(e);
            break;
        case EventKind::kPlanKnown:
            run(e).plan = e.plan;
            updateGateway(e);
            break;
        case EventKind::kTestStarted:
            run(e);
            testStarted_[testKey(e)] = e.unixMs;
            break;
        case EventKind::kTestFinished:
            testFinished(e);
            break;
        case EventKind::kRunFinished:
            runFinished(e);
            break;
        case EventKind::kBatchFinished:
            batchFinished(e);
            break;
        case EventKind::kPromptNeeded:
        case EventKind::kPromptAnswered:
        case EventKind::kConnectionLost:
        case EventKind::kNotice:
            if (!e.runId.empty()) {
                updateGateway(e);
            }
            break;
        }
    }

    static std::string testKey(const Event &e)
    {
        return e.runId + "\n" + std::to_string(e.code) + "\n" + std::to_string(e.attempt);
    }

    BatchState &batch(const Event &e)
    {
        auto it = batches_.find(e.batchId);
        if (it == batches_.end()) {
            it = batches_.emplace(e.batchId, BatchState{}).first;
            it->second.id = e.batchId;
            it->second.station = e.station;
            it->second.startedMs = e.unixMs;
        }
        return it->second;
    }

    // The run of an event; its row is written when it is first seen, at
    // RunStarted or, if that never came, at its first other event.
    RunState &run(const Event &e)
    {
        auto it = runs_.find(e.runId);
        if (it != runs_.end()) {
            return it->second;
        }
        RunState &r = runs_[e.runId];
        r.id = e.runId;
        r.batch = e.batchId;
        r.gateway = e.gateway;
        r.gateway.mac = e.gateway.mac.empty() ? "" : macOf(e.gateway.mac);
        r.gateway.model = cleanUtf8(e.gateway.model);
        r.startedMs = e.unixMs;
        r.started = isoTime(e.unixMs);
        batch(e).runs.push_back(e.runId);
        insertRun(r, e.station);
        return r;
    }

    // Two stations started in the same second with the same station id give
    // the same run id; the second run is stored as <id>~2 (and so on) so that
    // neither station's results are lost.
    void insertRun(RunState &r, const std::string &station)
    {
        const std::string base = r.id;
        for (int n = 2;; ++n) {
            Write w{"the start of run " + r.id,
                    {{"INSERT INTO runs (id, batch, station, started, host, port, label, model, mac)"
                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                      {r.id, r.batch, cleanUtf8(station), r.started, cleanUtf8(r.gateway.host), int64_t{r.gateway.port},
                       cleanUtf8(r.gateway.label), cleanUtf8(r.gateway.model), r.gateway.mac}}}};
            if (!pendingDb_.empty()) {
                pendingDb_.push_back(std::move(w));
                return;
            }
            int rc = apply(w);
            if (rc == SQLITE_OK) {
                return;
            }
            if ((rc & 0xff) == SQLITE_CONSTRAINT && n < 100) {
                r.id = base + "~" + std::to_string(n);
                continue;
            }
            if (!permanent(rc)) {
                pendingDb_.push_back(w);
                fallBehind();
            }
            failed(w, rc);
            return;
        }
    }

    // Model and MAC as they become known: the run row, and the MAC of the
    // results recorded before it was known (the model query comes first).
    void updateGateway(const Event &e)
    {
        RunState &r = run(e);
        std::string mac = e.gateway.mac.empty() ? r.gateway.mac : macOf(e.gateway.mac);
        std::string model = e.gateway.model.empty() ? r.gateway.model : cleanUtf8(e.gateway.model);
        if (mac == r.gateway.mac && model == r.gateway.model) {
            return;
        }
        bool macLearnt = mac != r.gateway.mac;
        r.gateway.mac = mac;
        r.gateway.model = model;
        Write w{"the model and MAC of run " + r.id,
                {{"UPDATE runs SET model = ?, mac = ? WHERE id = ?", {model, mac, r.id}}}};
        if (macLearnt) {
            w.steps.push_back({"UPDATE results SET mac = ? WHERE run_id = ? AND mac = ''", {mac, r.id}});
        }
        submit(std::move(w));
    }

    void testFinished(const Event &e)
    {
        RunState &r = run(e);
        updateGateway(e);
        ResultRec rec;
        rec.code = e.code;
        rec.name = cleanUtf8(e.name);
        rec.title = cleanUtf8(e.title);
        rec.attempt = e.attempt;
        rec.outcome = std::string(outcomeName(e.outcome));
        rec.decoded = cleanUtf8(e.decoded);
        rec.hint = cleanUtf8(e.hint);
        rec.durationMs = e.durationMs;
        if (e.answer && !e.answer->answer.empty()) {
            rec.answer = OperatorAnswer{cleanUtf8(e.answer->answer), e.answer->ms};
        }
        int64_t startedMs = e.unixMs > 0 ? e.unixMs - e.durationMs : 0;
        if (auto it = testStarted_.find(testKey(e)); it != testStarted_.end()) {
            startedMs = it->second;
            testStarted_.erase(it);
        }
        const std::string started = isoTime(startedMs);
        const std::string dataHex = hexOf(e.data);
        const std::string station = cleanUtf8(e.station);

        Value answer = rec.answer ? Value{rec.answer->answer} : Value{};
        Value answerMs = rec.answer ? Value{int64_t{rec.answer->ms}} : Value{};
        submit({"the result of " + rec.name + " (attempt " + std::to_string(rec.attempt) + ") of run " + r.id,
                {{"INSERT INTO results (run_id, station, mac, code, name, attempt, outcome, data_hex, data_text,"
                  " hint, started, duration_ms, operator_answer, operator_ms)"
                  " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                  {r.id, station, r.gateway.mac, int64_t{rec.code}, rec.name, int64_t{rec.attempt}, rec.outcome,
                   dataHex, rec.decoded, rec.hint, started, int64_t{rec.durationMs}, answer, answerMs}}}});

        json_t *o = json_object();
        auto set = [o](const char *key, json_t *value) { json_object_set_new(o, key, value); };
        auto str = [](const std::string &s) { return json_stringn(s.data(), s.size()); };
        set("run_id", str(r.id));
        set("batch", str(cleanUtf8(r.batch)));
        set("station", str(station));
        set("host", str(cleanUtf8(r.gateway.host)));
        set("port", json_integer(r.gateway.port));
        set("label", str(cleanUtf8(r.gateway.label)));
        set("model", str(r.gateway.model));
        set("mac", str(r.gateway.mac));
        set("code", json_integer(rec.code));
        set("name", str(rec.name));
        set("attempt", json_integer(rec.attempt));
        set("outcome", str(rec.outcome));
        set("data_hex", str(dataHex));
        set("data_text", str(rec.decoded));
        set("hint", str(rec.hint));
        set("started", str(started));
        set("duration_ms", json_integer(rec.durationMs));
        set("operator_answer", rec.answer ? str(rec.answer->answer) : json_null());
        set("operator_ms", rec.answer ? json_integer(rec.answer->ms) : json_null());
        char *line = json_dumps(o, JSON_COMPACT | JSON_PRESERVE_ORDER);
        json_decref(o);
        if (line != nullptr) {
            pendingLines_.push_back(std::string(line) + "\n");
            std::free(line);
        }
        r.results.push_back(std::move(rec));
    }

    void runFinished(const Event &e)
    {
        RunState &r = run(e);
        updateGateway(e);
        r.finished = true;
        r.outcome = std::string(runOutcomeName(e.runOutcome));
        r.message = cleanUtf8(e.message);
        r.finishedMs = e.unixMs;
        submit({"the end of run " + r.id,
                {{"UPDATE runs SET finished = ?, outcome = ? WHERE id = ?", {isoTime(e.unixMs), r.outcome, r.id}}}});
    }

    void batchFinished(const Event &e)
    {
        auto it = batches_.find(e.batchId);
        if (it == batches_.end()) {
            return;
        }
        queueJunit(it->second);
        for (const std::string &id : it->second.runs) {
            runs_.erase(id);
            // Tests that started and never finished (the run was cut short).
            for (auto t = testStarted_.lower_bound(id + "\n");
                 t != testStarted_.end() && t->first.starts_with(id + "\n");) {
                t = testStarted_.erase(t);
            }
        }
        batches_.erase(it);
    }

    // ---- Writing, with the errors said once ----

    int apply(const Write &w)
    {
        int rc = db_.exec("BEGIN IMMEDIATE");
        if (rc != SQLITE_OK) {
            return rc;
        }
        for (const Step &s : w.steps) {
            rc = runStep(db_, s);
            if (rc != SQLITE_OK) {
                db_.exec("ROLLBACK");
                return rc;
            }
        }
        rc = db_.exec("COMMIT");
        if (rc != SQLITE_OK) {
            db_.exec("ROLLBACK");
        }
        return rc;
    }

    void failed(const Write &w, int rc)
    {
        if (permanent(rc)) {
            say("db-permanent",
                "records: records.db refused " + w.what + " (" + sqlite3_errstr(rc) + "); it stays in records.jsonl");
        } else {
            say("db", "records: cannot write records.db (" + db_.message() +
                          "); keeping the records in memory and trying again with each test; testing goes on");
        }
    }

    void submit(Write w) { pendingDb_.push_back(std::move(w)); }

    void fallBehind()
    {
        if (!dbBehind_) {
            dbBehind_ = true;
            db_.busyWait(kBusyRetryMs);
        }
    }

    // Everything not yet written, in order: database writes, JSON lines, JUnit
    // files. A write that fails transiently stops its queue until the next
    // try, so the order of the records is kept.
    void retry()
    {
        while (!pendingDb_.empty()) {
            int rc = apply(pendingDb_.front());
            if (rc == SQLITE_OK) {
                pendingDb_.pop_front();
                if (dbBehind_) {
                    dbBehind_ = false;
                    db_.busyWait(kBusyWaitMs);
                }
                recovered("db", "records: records.db written again");
                continue;
            }
            failed(pendingDb_.front(), rc);
            if (!permanent(rc)) {
                fallBehind();
                break;
            }
            pendingDb_.pop_front();
        }
        while (!pendingLines_.empty()) {
            int err = appendLine(pendingLines_.front());
            if (err != 0) {
                say("jsonl", "records: cannot write records.jsonl (" + std::string(std::strerror(err)) +
                                 "); keeping the lines in memory and trying again with each test; testing goes on");
                break;
            }
            pendingLines_.pop_front();
            recovered("jsonl", "records: records.jsonl written again");
        }
        while (!pendingJunit_.empty()) {
            std::string err = writeJunit(pendingJunit_.front().first, pendingJunit_.front().second);
            if (!err.empty()) {
                say("junit", "records: " + err + "; trying again with the next event; testing goes on");
                break;
            }
            pendingJunit_.pop_front();
            recovered("junit", "records: JUnit file written again");
        }
    }

    // One write() per line on an O_APPEND descriptor: another station's
    // line goes before or after this one, never into it. A full disk must
    // not leave half a line that the retry then follows with the whole one:
    // the room for the line is reserved first (nothing written when there
    // is none), and should a write still stop short, the piece is ended with
    // a newline before the line is written again, so that it stands alone.
    int appendLine(const std::string &line)
    {
        struct stat sb {};
        if (::fstat(jsonl_, &sb) == 0 &&
            ::fallocate(jsonl_, FALLOC_FL_KEEP_SIZE, sb.st_size, static_cast<off_t>(line.size()) + 1) != 0 &&
            errno != EOPNOTSUPP && errno != ENOSYS) {
            return errno;
        }
        if (brokenLine_) {
            if (::write(jsonl_, "\n", 1) != 1) {
                return errno != 0 ? errno : EIO;
            }
            brokenLine_ = false;
        }
        size_t written = 0;
        int err = writeAll(jsonl_, line, written);
        if (err != 0) {
            brokenLine_ = written > 0;
            return err;
        }
        return ::fdatasync(jsonl_) == 0 ? 0 : errno;
    }

    void say(const std::string &kind, const std::string &message)
    {
        if (said_.insert(kind).second) {
            if (warn_) {
                warn_(message);
            } else {
                std::fprintf(stderr, "gwtest: %s\n", message.c_str());
            }
        }
    }

    void recovered(const std::string &kind, const std::string &message)
    {
        if (said_.erase(kind) != 0) {
            if (warn_) {
                warn_(message);
            } else {
                std::fprintf(stderr, "gwtest: %s\n", message.c_str());
            }
        }
    }

    // ---- JUnit ----

    void queueJunit(const BatchState &batch) { pendingJunit_.emplace_back(junitFileName(batch.id), junitXml(batch)); }

    std::string junitXml(const BatchState &batch) const
    {
        struct Counts {
            int tests = 0, failures = 0, errors = 0, skipped = 0;
            double time = 0;
        };
        Counts all;
        std::string suites;
        int index = 0;
        for (const std::string &runId : batch.runs) {
            auto rit = runs_.find(runId);
            if (rit == runs_.end()) {
                continue;
            }
            const RunState &r = rit->second;
            // A testcase per test: the last attempt decides it, earlier ones
            // are told in its system-out.
            std::vector<int> order;
            std::map<int, std::vector<const ResultRec *>> byCode;
            for (const ResultRec &rec : r.results) {
                if (byCode[rec.code].empty()) {
                    order.push_back(rec.code);
                }
                byCode[rec.code].push_back(&rec);
            }
            // Tests of the plan that never reported (the station stopped
            // before they came).
            std::vector<int> missing;
            for (uint16_t code : r.plan) {
                if (byCode.count(code) == 0) {
                    missing.push_back(code);
                    byCode[code];
                }
            }
            Counts c;
            std::string cases;
            const std::string classname = xmlText(r.gateway.model.empty() ? "gateway" : r.gateway.model);
            for (int code : order) {
                const auto &attempts = byCode[code];
                const ResultRec &last = *attempts.back();
                double secs = 0;
                for (const ResultRec *a : attempts) {
                    secs += a->durationMs / 1000.0;
                }
                ++c.tests;
                c.time += secs;
                char head[64];
                std::snprintf(head, sizeof head, "\" time=\"%.3f\"", secs);
                cases += "    <testcase name=\"" + xmlText(last.name) + "\" classname=\"" + classname + head;
                std::string body;
                std::string detail = detailOf(last);
                if (last.outcome == "fail") {
                    ++c.failures;
                    body += "      <failure type=\"fail\" message=\"" + xmlText(messageOf(last)) + "\">" +
                            xmlText(detail) + "</failure>\n";
                } else if (last.outcome == "no-reply" || last.outcome == "connection-lost") {
                    ++c.errors;
                    body += "      <error type=\"" + last.outcome + "\" message=\"" + xmlText(messageOf(last)) + "\">" +
                            xmlText(detail) + "</error>\n";
                } else if (last.outcome == "skipped" || last.outcome == "not-run") {
                    ++c.skipped;
                    body += "      <skipped message=\"" + xmlText(messageOf(last)) + "\"/>\n";
                }
                std::string out;
                for (const ResultRec *a : attempts) {
                    if (attempts.size() > 1 || !a->decoded.empty() || a->answer) {
                        out += "attempt " + std::to_string(a->attempt) + ": " + a->outcome;
                        if (!a->decoded.empty()) {
                            out += ", data " + a->decoded;
                        }
                        if (a->answer) {
                            out += ", operator " + a->answer->answer;
                        }
                        out += "\n";
                    }
                }
                if (!out.empty()) {
                    body += "      <system-out>" + xmlText(out) + "</system-out>\n";
                }
                cases += body.empty() ? "/>\n" : ">\n" + body + "    </testcase>\n";
            }
            for (int code : missing) {
                ++c.tests;
                ++c.skipped;
                char name[16];
                std::snprintf(name, sizeof name, "0x%04x", static_cast<unsigned>(code));
                const catalogue::Test *row =
                    catalogue::find(static_cast<uint16_t>(code), catalogue::modelBit(r.gateway.model));
                cases += "    <testcase name=\"" + (row != nullptr ? xmlText(row->name) : std::string(name)) +
                         "\" classname=\"" + classname +
                         "\" time=\"0.000\">\n      <skipped message=\"not run: the run ended before it\"/>\n"
                         "    </testcase>\n";
            }
            std::string suiteName =
                r.gateway.label.empty() ? address(r.gateway) : r.gateway.label + " " + address(r.gateway);
            if (!r.gateway.mac.empty()) {
                suiteName += " " + r.gateway.mac;
            }
            char attrs[256];
            std::snprintf(attrs, sizeof attrs,
                          "\" tests=\"%d\" failures=\"%d\" errors=\"%d\" skipped=\"%d\" time=\"%.3f\" id=\"%d\"",
                          c.tests, c.failures, c.errors, c.skipped, c.time, index);
            std::string ts = isoTime(r.startedMs).substr(0, 19); // the usual form has no zone
            suites += "  <testsuite name=\"" + xmlText(suiteName) + attrs + " timestamp=\"" + ts + "\" hostname=\"" +
                      xmlText(r.gateway.host) + "\" package=\"" + classname + "\">\n";
            suites += "    <properties>\n";
            auto prop = [&](const char *name, const std::string &value) {
                suites += "      <property name=\"" + std::string(name) + "\" value=\"" + xmlText(value) + "\"/>\n";
            };
            prop("run", r.id);
            prop("station", batch.station);
            prop("address", address(r.gateway));
            prop("label", r.gateway.label);
            prop("model", r.gateway.model);
            prop("mac", r.gateway.mac);
            prop("outcome", r.finished ? r.outcome : "unfinished");
            suites += "    </properties>\n" + cases;
            std::string out = "run " + (r.finished ? r.outcome : std::string("unfinished: the station stopped"));
            if (!r.message.empty()) {
                out += ": " + r.message;
            }
            suites += "    <system-out>" + xmlText(out + "\n") + "</system-out>\n  </testsuite>\n";
            all.tests += c.tests;
            all.failures += c.failures;
            all.errors += c.errors;
            all.skipped += c.skipped;
            all.time += c.time;
            ++index;
        }
        char attrs[160];
        std::snprintf(attrs, sizeof attrs, "\" tests=\"%d\" failures=\"%d\" errors=\"%d\" time=\"%.3f\">\n", all.tests,
                      all.failures, all.errors, all.time);
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"gwtest " + xmlText(batch.id) + attrs +
               suites + "</testsuites>\n";
    }

    static std::string messageOf(const ResultRec &r)
    {
        std::string m = r.outcome;
        if (r.outcome == "no-reply") {
            m = "no reply in time";
        } else if (r.outcome == "connection-lost") {
            m = "the connection dropped during the test";
        } else if (r.outcome == "not-run") {
            m = "not run: the run ended before it";
        } else if (r.outcome == "skipped") {
            m = "skipped";
        }
        if (r.answer && r.answer->answer == "no") {
            m += ": the operator answered no";
        }
        if (!r.decoded.empty()) {
            m += ": data " + r.decoded;
        }
        if (!r.hint.empty() && r.outcome != "skipped" && r.outcome != "not-run") {
            m += " (check: " + r.hint + ")";
        }
        return m;
    }

    static std::string detailOf(const ResultRec &r)
    {
        std::string d = r.title.empty() ? r.name : r.title;
        char code[16];
        std::snprintf(code, sizeof code, " (0x%04x)", static_cast<unsigned>(r.code));
        d += code;
        d += ", attempt " + std::to_string(r.attempt) + ": " + r.outcome + "\n";
        if (!r.decoded.empty()) {
            d += "data: " + r.decoded + "\n";
        }
        if (r.answer) {
            d += "operator: " + r.answer->answer + " after " + std::to_string(r.answer->ms) + " ms\n";
        }
        if (!r.hint.empty()) {
            d += "check: " + r.hint + "\n";
        }
        return d;
    }

    // Written beside its place and linked in: a reader sees the whole file
    // or none, and an existing file (another station's batch of the same
    // name) is never overwritten: this one takes the next free name.
    std::string writeJunit(const std::string &name, const std::string &xml)
    {
        const std::string junit = dir_ + "/junit";
        std::string error;
        if (!makeDir(junit, error)) {
            return error;
        }
        const std::string scratch = junit + "/." + name + ".xml." + std::to_string(getpid());
        int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return "cannot write " + scratch + ": " + std::strerror(errno);
        }
        size_t written = 0;
        int err = writeAll(fd, xml, written);
        if (err == 0 && ::fsync(fd) != 0) {
            err = errno;
        }
        ::close(fd);
        if (err != 0) {
            ::unlink(scratch.c_str());
            return "cannot write " + scratch + ": " + std::strerror(err);
        }
        if (seams::junitScratchWritten) {
            seams::junitScratchWritten(scratch);
        }
        for (int n = 1; n < 1000; ++n) {
            std::string target = junit + "/" + name + (n == 1 ? "" : "~" + std::to_string(n)) + ".xml";
            if (::link(scratch.c_str(), target.c_str()) == 0) {
                ::unlink(scratch.c_str());
                return "";
            }
            if (errno != EEXIST) {
                err = errno;
                ::unlink(scratch.c_str());
                return "cannot write " + target + ": " + std::strerror(err);
            }
        }
        ::unlink(scratch.c_str());
        return "cannot find a free name for " + junit + "/" + name + ".xml";
    }

    std::mutex mutex_;
    std::string dir_;
    sqlite::Db db_;
    int jsonl_;
    RecordsWarning warn_;
    std::map<std::string, BatchState> batches_;
    std::map<std::string, RunState> runs_; // by the engine's run id
    std::map<std::string, int64_t> testStarted_;
    std::deque<Write> pendingDb_;
    std::deque<std::string> pendingLines_;
    std::deque<std::pair<std::string, std::string>> pendingJunit_;
    std::set<std::string> said_;
    bool brokenLine_ = false; // records.jsonl ends in a piece of a line
    bool dbBehind_ = false;   // writes are queued: short busy waits until they are in
};

} // namespace

std::unique_ptr<EventSink> openRecords(const std::string &dir, std::string &error, RecordsWarning warn)
{
    if (dir.empty()) {
        error = "the records directory is empty";
        return nullptr;
    }
    if (!makeDir(dir, error) || !makeDir(dir + "/junit", error) || !probeDir(dir, error) ||
        !probeDir(dir + "/junit", error)) {
        return nullptr;
    }
    removeAbandonedScratch(dir);
    removeAbandonedScratch(dir + "/junit");
    const std::string jsonlPath = dir + "/records.jsonl";
    int jsonl = ::open(jsonlPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (jsonl < 0) {
        error = "cannot write " + jsonlPath + ": " + std::strerror(errno);
        return nullptr;
    }
    const std::string dbPath = dir + "/records.db";
    sqlite::Db db;
    auto fail = [&](std::string message) -> std::unique_ptr<EventSink> {
        error = std::move(message);
        db.close();
        ::close(jsonl);
        return nullptr;
    };
    if (db.open(dbPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX) != SQLITE_OK) {
        return fail("cannot open " + dbPath + ": " + db.message());
    }
    if (db.readOnly()) {
        return fail("cannot write " + dbPath + ": the file is read-only");
    }
    // Another station's write holds the lock for milliseconds; wait for it
    // rather than fail (a longer lock keeps the write queued, see above).
    db.busyWait(kBusyWaitMs);
    if (const std::string mode = db.enterWal(); mode != "wal") {
        return fail("cannot use " + dbPath + " (write-ahead log: " +
                    (mode.empty() ? db.message() : "the file stays in " + mode + " mode") + ")");
    }
    // synchronous=FULL: a commit is on the disk when it returns, so a result
    // survives a power cut of the station as well as a kill. Foreign keys
    // stay off: a result is kept even if its run's row could not be written.
    if (db.exec("PRAGMA synchronous = FULL; PRAGMA foreign_keys = OFF") != SQLITE_OK) {
        return fail("cannot use " + dbPath + ": " + db.message());
    }
    std::string migrateError;
    if (!migrateRecords(db, dbPath, migrateError)) {
        return fail(migrateError);
    }
    return std::make_unique<RecordsSink>(dir, std::move(db), jsonl, std::move(warn));
}

std::function<void(const std::string &)> seams::junitScratchWritten;

std::string junitFileName(const std::string &batchId)
{
    std::string out;
    for (char c : batchId) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
        out += ok ? c : '_';
    }
    if (out.empty() || out[0] == '.') {
        out.insert(out.begin(), '_');
    }
    return out;
}

} // namespace station
