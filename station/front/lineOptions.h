// --db on the subcommands: the line's PostgreSQL database beside the
// station's own records. `gwtest run` and `gwtest serve` open it before any
// test runs and forward every result committed to records.db; `gwtest
// report` reads the whole line from it; `gwtest forward` sends what waits.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <string>

#include "line/forwarder.h"

namespace station::line {

// How long a subcommand that ends waits for the last results to reach the
// line before it leaves them in records.db for the next start.
inline constexpr int kFinishMs = 15000;

// Adds "--db URL" to a subcommand.
CLI::Option *attachLineDatabase(CLI::App *cmd, std::string &url);

// For a subcommand that tests, after its records are open and before any
// test runs: with --db given, connects, creates or migrates the layout and
// starts the forwarder of DIR/records.db into `line` (subscribe it to the
// engine after the records). Returns 0, or the exit status after printing
// why on standard error (64 malformed string; 70 password, database or
// layout refused). An unreachable server is not an error: `notice` (default:
// standard error) says so once and testing goes on.
int openStationLine(const std::string &url, const std::string &recordsDir, std::unique_ptr<LineForwarder> &line,
                    std::function<void(const std::string &)> notice = {});

// One sink for a front end that takes one (the page's runner): the records
// first, so that a result is in records.db when the forwarder wakes for it,
// then the line's forwarder (may be null).
class RecordsThenLine : public EventSink {
public:
    RecordsThenLine(EventSink *records, LineForwarder *line) : records_(records), line_(line) {}
    void onEvent(const Event &event) override
    {
        if (records_) {
            records_->onEvent(event);
        }
        if (line_) {
            line_->onEvent(event);
        }
    }

private:
    EventSink *records_;
    LineForwarder *line_;
};

} // namespace station::line
