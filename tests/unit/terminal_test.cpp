// The terminal front end fed with events by hand: plain lines where no
// terminal is, the summary with every test of the plan (the ones that never
// ran included), colour only on a terminal and never with NO_COLOR.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <pty.h>
#include <unistd.h>

#include "front/terminal.h"

namespace {

using station::Event;
using station::EventKind;
using station::Outcome;
using ::testing::HasSubstr;

class Capture {
public:
    Capture() : file_(std::tmpfile()) {}
    ~Capture() { std::fclose(file_); }
    FILE *file() { return file_; }
    std::string text()
    {
        std::fflush(file_);
        std::rewind(file_);
        std::string out;
        char buf[4096];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) {
            out.append(buf, n);
        }
        return out;
    }

private:
    FILE *file_;
};

Event event(EventKind kind)
{
    Event e;
    e.kind = kind;
    e.batchId = "line-20261210T120000Z";
    e.runId = e.batchId + "-0";
    e.gateway.host = "10.0.0.2";
    e.gateway.label = "A3";
    e.gateway.model = "GWM0101";
    e.gateway.mac = "02:47:57:01:01:00";
    return e;
}

Event finished(uint16_t code, const char *name, int index, Outcome outcome)
{
    Event e = event(EventKind::kTestFinished);
    e.code = code;
    e.name = name;
    e.index = index;
    e.total = 3;
    e.outcome = outcome;
    e.durationMs = 1500;
    return e;
}

TEST(Terminal, PlainLinesAndASummaryWithTheTestsThatNeverRan)
{
    Capture out;
    {
        station::TerminalSink sink(out.file(), station::TerminalStyle{});
        sink.onEvent(event(EventKind::kBatchStarted));
        sink.onEvent(event(EventKind::kRunStarted));
        Event plan = event(EventKind::kPlanKnown);
        plan.plan = {0x0005, 0x0103, 0x0701};
        plan.total = 3;
        sink.onEvent(plan);
        Event model = finished(0x0005, "model", 0, Outcome::kPass);
        model.decoded = "GWM0101";
        sink.onEvent(model);
        Event ping = finished(0x0103, "ping-host", 1, Outcome::kFail);
        ping.hint = "DNS or the upstream link of the line";
        sink.onEvent(ping);
        sink.onEvent(finished(0x0701, "led-power", 2, Outcome::kNotRun));
        Event end = event(EventKind::kRunFinished);
        end.runOutcome = station::RunOutcome::kStopped;
        end.passed = 1;
        end.failed = 1;
        end.notRun = 1;
        end.message = "stopped";
        sink.onEvent(end);
        sink.onEvent(event(EventKind::kBatchFinished));
        sink.printSummary();
    }
    const std::string text = out.text();
    EXPECT_THAT(text, HasSubstr("A3 10.0.0.2:6666: [2/3] ping-host fail 1.5 s  hint: DNS or the upstream link"));
    EXPECT_THAT(text, HasSubstr("A3 10.0.0.2:6666: stopped, 1 passed, 1 failed, 1 not run (stopped)"));
    const std::string summary = text.substr(text.find("summary of batch line-20261210T120000Z"));
    EXPECT_THAT(summary, HasSubstr("A3 (10.0.0.2:6666, 02:47:57:01:01:00) GWM0101: stopped"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("1 +model +pass +1.5 s  GWM0101"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("2 +ping-host +fail +1.5 s  hint: DNS"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("3 +led-power +not run"));
    EXPECT_EQ(text.find('\033'), std::string::npos); // no colour off a terminal
}

TEST(Terminal, ColourOnlyOnATerminalAndNeverWithNoColor)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    FILE *tty = fdopen(slave, "w");
    unsetenv("NO_COLOR");
    EXPECT_TRUE(station::TerminalStyle::of(tty).live);
    EXPECT_TRUE(station::TerminalStyle::of(tty).colour);
    setenv("NO_COLOR", "1", 1);
    EXPECT_TRUE(station::TerminalStyle::of(tty).live);
    EXPECT_FALSE(station::TerminalStyle::of(tty).colour);
    unsetenv("NO_COLOR");
    Capture file;
    EXPECT_FALSE(station::TerminalStyle::of(file.file()).live);
    EXPECT_FALSE(station::TerminalStyle::of(file.file()).colour);
    std::fclose(tty);
    close(master);
}

} // namespace
