// The terminal front end of `gwtest run`: live progress (a line per gateway
// redrawn in place on a terminal, a plain line per event elsewhere), the
// operator's questions, and the summary table at the end. It only listens
// to the engine's events; answers typed by the person go back through the
// OperatorDesk.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/events.h"

namespace station {

struct TerminalStyle {
    bool live = false;   // a terminal: lines redrawn in place
    bool colour = false; // a terminal, and NO_COLOR not set
    // The style for a stream: live and colour on a terminal; colour never
    // with NO_COLOR in the environment.
    static TerminalStyle of(FILE *stream);
};

// Writes text to a stream on a thread of its own, so that a terminal that
// is slow, or a pipe that nobody reads for a while, holds up no gateway:
// the engine's threads only append to a buffer.
class AsyncWriter {
public:
    explicit AsyncWriter(FILE *out);
    ~AsyncWriter(); // writes what is left
    AsyncWriter(const AsyncWriter &) = delete;
    AsyncWriter &operator=(const AsyncWriter &) = delete;

    void write(const std::string &text);
    // Waits until everything written so far is out.
    void flush();

private:
    void drain();

    FILE *out_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string pending_;
    bool writing_ = false;
    bool quit_ = false;
    std::thread thread_;
};

class TerminalSink : public EventSink {
public:
    TerminalSink(FILE *out, TerminalStyle style);
    ~TerminalSink() override;
    TerminalSink(const TerminalSink &) = delete;
    TerminalSink &operator=(const TerminalSink &) = delete;

    void onEvent(const Event &event) override;
    // The table of every gateway and test, `not run` rows included.
    void printSummary();
    // The person typed a line (its echo moved the cursor down one line).
    void lineTyped();
    // A line of the station's own (a records warning), above the live lines.
    void note(const std::string &line);

private:
    struct Test {
        uint16_t code = 0;
        std::string name;
        std::optional<Event> finished; // the last attempt
    };
    struct Gateway {
        GatewayInfo info;
        std::vector<Test> tests;
        std::optional<Event> current; // the test in flight
        int64_t currentSinceMs = 0;
        int done = 0, failures = 0;
        std::optional<Event> finished;
        int64_t startedMs = 0;
    };

    Gateway &gateway(const Event &event);
    std::string nameOf(const GatewayInfo &info) const;
    std::string paint(const std::string &text, const char *sgr) const;
    std::string outcomeText(Outcome outcome) const;
    std::string plainLine(const Event &event);
    std::vector<std::string> liveLines(int64_t nowMs) const;
    void clearBlock();
    void drawBlock(int64_t nowMs);
    void print(const std::string &line);
    void ticker();

    FILE *out_;
    TerminalStyle style_;
    std::mutex mutex_;
    std::map<int, Gateway> gateways_;
    std::optional<Event> prompt_; // the open prompt
    int64_t promptSinceMs_ = 0;
    int drawn_ = 0;
    bool running_ = false;
    bool quit_ = false;
    std::string batchId_;
    AsyncWriter writer_;
    std::thread ticker_;
};

// Reads the operator's answers from a terminal on a thread of its own and
// hands them to the desk: "y"/"yes" or "n"/"no" (any case), then Enter.
class TtyPrompter : public EventSink {
public:
    // The terminal to read: standard input when it is a terminal, else
    // /dev/tty; -1 when there is none.
    static int openTerminal();

    // `echo`: write each question to the terminal too (when no
    // TerminalSink shows them, as with --json).
    TtyPrompter(OperatorDesk &desk, int fd, bool echo, TerminalSink *terminal);
    ~TtyPrompter() override;
    TtyPrompter(const TtyPrompter &) = delete;
    TtyPrompter &operator=(const TtyPrompter &) = delete;

    void onEvent(const Event &event) override;

private:
    void reader();
    void say(const std::string &text);

    OperatorDesk &desk_;
    int fd_;
    bool echo_;
    TerminalSink *terminal_;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    uint64_t open_ = 0; // the yes/no prompt waiting for an answer
    int openSlot_ = -1; // and the gateway it is about
    std::thread thread_;
};

} // namespace station
