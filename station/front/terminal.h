// The terminal front end of `gwtest run`: live progress (a line per gateway
// redrawn in place on a terminal, a plain line per event elsewhere), the
// operator's questions, and the summary table at the end. It only listens
// to the engine's events; answers typed by the person go back through the
// OperatorDesk.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <functional>
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

// The columns a text takes on a terminal: UTF-8 decoded, wide (East Asian)
// characters two, combining marks none, colour sequences none.
int displayWidth(const std::string &text);

// The text in lines of at most `columns` columns, broken at blanks; a word
// longer than a line is broken where the line ends. Nothing is left out:
// the lines joined by single blanks give the text back, its runs of blanks
// made one.
std::vector<std::string> wrapText(const std::string &text, int columns);

// How a gateway of a question is named by the person: its label, or its
// number (from 1, its place in the question) when any member has no label,
// as the engine's question names them.
std::string memberName(const std::vector<GatewayInfo> &members, size_t index);

// A line typed to a question about a gang of gateways (`members` in their
// order in the question): Enter, "y" or "yes" for all alike; else labels
// (any case), numbers (from 1) or addresses, parted by blanks or commas, of
// the gateways answered no, the others yes. A leading "n" or "no" before
// them is allowed; "n" alone does not say which, and is asked again.
struct GangAnswer {
    bool understood = false;
    std::vector<int> noSlots;  // the slots answered no, in the members' order
    std::string notUnderstood; // the words that named no member
    std::string accepted;      // what may be typed, to say when asking again
};
GangAnswer readGangAnswer(const std::string &typed, const std::vector<GatewayInfo> &members);

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
    // The person typed a line after the question (its echo took a line, or
    // more when it ran past the terminal's edge).
    void lineTyped(const std::string &typed);
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
    std::string promptText(int64_t nowMs) const;
    bool asks(int slot) const; // a yes/no question about this gateway is open
    void clearBlock();
    void drawBlock(int64_t nowMs);
    void print(const std::string &line);
    void ticker();

    FILE *out_;
    TerminalStyle style_;
    std::mutex mutex_;
    std::map<int, Gateway> gateways_;
    std::optional<Event> prompt_; // the open prompt, its members filled in
    int64_t promptSinceMs_ = 0;
    std::vector<int> pressed_; // the button: slots whose press came in
    std::vector<int> ended_;   // slots whose test of the open prompt ended
    int drawn_ = 0;
    int lastColumn_ = 0; // where the last line drawn ends
    bool running_ = false;
    bool quit_ = false;
    std::string batchId_;
    AsyncWriter writer_;
    std::thread ticker_;
};

// Reads the operator's answers from a terminal on a thread of its own and
// hands them to the desk. About one gateway: "y"/"yes" or "n"/"no" (any
// case), then Enter. About a gang of several: as readGangAnswer reads it;
// what it cannot read is asked again, saying why.
class TtyPrompter : public EventSink {
public:
    // Where an answer goes: the prompt, the slots answered no (the others
    // yes); false when the prompt is no longer open.
    using Answer = std::function<bool(uint64_t promptId, const std::vector<int> &noSlots)>;

    // The terminal to read: standard input when it is a terminal, else
    // /dev/tty; -1 when there is none.
    static int openTerminal();

    // `echo`: write each question to the terminal too (when no
    // TerminalSink shows them, as with --json).
    TtyPrompter(OperatorDesk &desk, int fd, bool echo, TerminalSink *terminal);
    TtyPrompter(Answer answer, int fd, bool echo, TerminalSink *terminal);
    ~TtyPrompter() override;
    TtyPrompter(const TtyPrompter &) = delete;
    TtyPrompter &operator=(const TtyPrompter &) = delete;

    void onEvent(const Event &event) override;

private:
    void reader();
    void typed(const std::string &line);
    void say(const std::string &text);
    // A question, wrapped to the terminal's width at blanks.
    void sayQuestion(const std::string &question, const std::string &end);

    Answer answer_;
    int fd_;
    bool echo_;
    TerminalSink *terminal_;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    uint64_t open_ = 0;                // the yes/no prompt waiting for an answer
    std::vector<GatewayInfo> members_; // and the gateways it is about
    uint16_t openCode_ = 0;            // of the test it asks about
    std::thread thread_;
};

} // namespace station
