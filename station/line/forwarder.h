// Forwarding the station's records to the line's database. Every result is
// committed to the station's own records.db first (the spool); a forwarder
// thread copies runs and results from there to PostgreSQL and marks them
// sent in records.db. The line's key (station, run, code, attempt) makes a
// copy idempotent: a station that dies after the line committed but before
// it marked the rows sent sends them again, and the line keeps one of each.
// While the line's server is unreachable the station goes on testing; the
// forwarder says so once, retries with a growing pause and sends the backlog
// when the server is back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/events.h"
#include "line/connection.h"
#include "line/layout.h"
#include "records/spool.h"

namespace station::line {

struct ForwarderOptions {
    std::string url;       // any libpq connection string
    std::string recordsDb; // the spool: recordsDbPath(DIR)
    std::string applicationName = "gwtest";
    // One line for the person at the station (the terminal or the page);
    // by default a line on standard error.
    std::function<void(const std::string &)> notice;
    int pollMs = 1000;       // how often an idle forwarder looks at the spool
    int retryFirstMs = 1000; // pause after the first failed connect, doubled up to
    int retryMaxMs = 30000;
    int batchRows = 500; // results per transaction on the line
    // Called between the line's commit and the spool's mark: a seam for tests
    // of a station that dies right there.
    std::function<void()> afterLineCommit;
};

// Copies one batch to the line in one transaction (runs upserted, results
// inserted unless the key is there). Throws PgError.
void sendBatch(PgConn &conn, const Spool::Batch &batch);
// The same row by row, each in its own transaction, after the line refused
// a batch for the data of some row: those rows get `refused` set and the
// rest is stored. Returns the results refused. Throws PgError for anything
// else (connection, rights).
int sendRowByRow(PgConn &conn, Spool::Batch &batch);

struct ForwardCount {
    long long sent = 0;    // results sent by this forwarder since it started
    long long pending = 0; // results still waiting
};

class LineForwarder : public EventSink {
public:
    // `conn` is the connection made before any test ran, `info` its layout;
    // both empty when the server was unreachable then, and `unreachable`
    // the notice that says so.
    LineForwarder(ForwarderOptions options, PgConn conn, std::optional<LineInfo> info,
                  const std::string &unreachable = "");
    ~LineForwarder() override;

    // Wakes the forwarder on the events after which records.db has news:
    // kRecordsCommitMs later, once the records have committed them.
    void onEvent(const Event &event) override;
    void wake();

    // Ends the thread, then sends what waits for at most `timeoutMs` from
    // the calling thread. Returns what was sent and what still waits; says
    // so when something is left.
    ForwardCount finish(int timeoutMs);

    // Results sent since the start (for tests and the summary).
    long long sent() const;

private:
    void loop(bool online);
    // One attempt: connects if needed, sends until the spool is drained or
    // `deadline` passes. False when the line could not be reached or refused.
    bool pass(std::chrono::steady_clock::time_point deadline);
    bool connectLine();
    // Runs that passed as unchecked-line (the line out of reach when they
    // ended) are looked up again once they are on the line: a clash found
    // now is said, once per run. Throws PgError as sending does.
    void recheck(const Spool::Batch &batch);
    void say(const std::string &line);

    ForwarderOptions options_;
    PgConn conn_;
    std::optional<LineInfo> info_;
    Spool spool_;
    Spool::Cursor cursor_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool woken_ = false;
    std::optional<std::chrono::steady_clock::time_point> wakeAt_; // the records will have committed the news
    bool stopping_ = false;
    long long sent_ = 0;
    bool saidUnreachable_ = false;
    bool saidRefused_ = false;
    int retryMs_ = 0;
    std::set<std::string> rechecked_; // "<station>\n<run id>"
    std::thread thread_;
};

// What `--db` gives a subcommand before any test runs.
struct LineOpenResult {
    std::unique_ptr<LineForwarder> forwarder; // null on error
    int exitStatus = 0;                       // 64 malformed string, 70 refused or a layout it cannot use
    std::string error;
};

// Connects and creates or migrates the layout before any test runs: a wrong
// password, an unknown database or a layout newer than this station is an
// error now; an unreachable server is not (the station tests and spools,
// and says so once).
LineOpenResult openLineForwarder(ForwarderOptions options);

} // namespace station::line
