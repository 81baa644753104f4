// The station's records.db seen as the spool of the line's database: the
// runs and results not yet sent to a line, in the order they were written,
// and the marks of what reached each line (sent, or refused with why). The
// forwarder (line/) reads and marks through this only.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace station {

namespace sqlite {
class Db;
}

// The records' database of a records directory, as the forwarder names it
// in its messages.
std::string recordsDbPath(const std::string &recordsDir);

// A run as the spool holds it.
struct SpoolRun {
    std::string id, batch, station, started;
    std::optional<std::string> finished;
    std::string host;
    long long port = 0;
    std::string label, model, mac;
    std::optional<std::string> outcome;
    // What it is traced to ("" when not known, or in a records.db of a
    // version before these were kept).
    std::string serial, operatorId, profileHash, profilePath, stationVersion;
    std::string state;   // what changes while it runs: a changed state is sent again
    std::string refused; // set by the sender: why the line refused it
};

// A result as the spool holds it.
struct SpoolResult {
    long long rowid = 0;
    std::string runId, station, mac;
    long long code = 0;
    std::string name;
    long long attempt = 0;
    std::string outcome, dataHex, dataText, hint, started;
    long long durationMs = 0;
    std::optional<std::string> operatorAnswer;
    std::optional<long long> operatorMs;
    std::optional<std::string> gang; // none when the test ran alone
    std::string limit;               // the profile's limits applied, "" when none
    bool marginal = false;           // passed inside the profile's marginal band
    std::string refused;             // set by the sender: why the line refused it
};

// The station's records.db seen as the spool. The marks of what reached a
// line live in tables of their own (line_sent_runs, line_sent_results), per
// line database, so the records writer's tables are untouched and a station
// pointed at a new line database sends its history there too.
class Spool {
public:
    // `path` is the records' database: recordsDbPath(dir).
    explicit Spool(std::string path);
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // Opens records.db (never creates it: the records writer does) and its
    // tables of marks. False with why (the file may not exist yet).
    bool open(std::string &error);
    bool isOpen() const { return db_ != nullptr; }
    // Whether the records' database is there at all (before it is opened).
    bool exists() const;

    // Where the last pass left off, so that a pass reads what is new and
    // not the whole history. Rows are numbered as written (SQLite's rowid);
    // an empty cursor looks at the whole file again.
    struct Cursor {
        long long resultsAfter = 0;   // results up to here were all sent
        long long runsUpTo = 0;       // runs up to here were seen,
        std::set<long long> openRuns; // and these of them were still running
    };
    struct Batch {
        std::vector<SpoolRun> runs;       // new or changed since last sent
        std::vector<SpoolResult> results; // not yet sent, in the order written
        Cursor next;                      // the cursor once this batch is sent
    };
    // What waits for the line after `from`, at most `limit` results.
    Batch pending(const std::string &line, const Cursor &from, int limit);
    // Marks a batch sent to that line.
    void markSent(const std::string &line, const Batch &batch);
    // Results of records.db not yet in that line (after a cursor's
    // resultsAfter: those up to it were all sent).
    long long pendingCount(const std::string &line, long long afterRowid = 0);

private:
    bool hasRecords();
    // Whether the records' table has that column (a records.db of an older
    // version, which no station of this version has opened, lacks it).
    bool hasColumn(const char *table, const char *column);

    std::string path_;
    std::unique_ptr<sqlite::Db> db_;
};

} // namespace station
