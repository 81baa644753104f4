// The terminal front end fed with events by hand: plain lines where no
// terminal is, the summary with every test of the plan (the ones that never
// ran included), colour only on a terminal and never with NO_COLOR; the
// operator's questions shown whole on an 80 x 24 terminal, and the answers
// typed to a gang's question read into the slots answered no.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "eventRecorder.h"
#include "fakeGateway.h"
#include "front/terminal.h"

namespace {

using station::Event;
using station::EventKind;
using station::GatewayInfo;
using station::Outcome;
using ::testing::HasSubstr;
using ::testing::Not;

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

TEST(Terminal, AMarginalPassShowsItsLimitInTheLineAndTheSummary)
{
    Capture out;
    {
        station::TerminalSink sink(out.file(), station::TerminalStyle{});
        sink.onEvent(event(EventKind::kBatchStarted));
        sink.onEvent(event(EventKind::kRunStarted));
        Event plan = event(EventKind::kPlanKnown);
        plan.plan = {0x0103};
        plan.total = 1;
        sink.onEvent(plan);
        Event ping = finished(0x0103, "ping-host", 0, Outcome::kPass);
        ping.total = 1;
        ping.marginal = true;
        ping.limit = "ping-host took 3.312 s, want <= 3.5 s, marginal past 3.2 s";
        sink.onEvent(ping);
        Event end = event(EventKind::kRunFinished);
        end.passed = 1;
        sink.onEvent(end);
        sink.onEvent(event(EventKind::kBatchFinished));
        sink.printSummary();
    }
    const std::string text = out.text();
    EXPECT_THAT(text, HasSubstr("A3 10.0.0.2:6666: [1/1] ping-host pass 1.5 s  marginal: ping-host took 3.312 s, "
                                "want <= 3.5 s, marginal past 3.2 s"));
    const std::string summary = text.substr(text.find("summary of batch"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("1 +ping-host +pass +1.5 s  marginal: ping-host took 3.312 s"));
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

// --- questions on a terminal --------------------------------------------------------

// A terminal of 80 columns and 24 rows: what the program writes to it is
// kept as the screen would get it, and keys are typed into it.
class Pty {
public:
    Pty()
    {
        EXPECT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        winsize ws{};
        ws.ws_col = 80;
        ws.ws_row = 24;
        EXPECT_EQ(ioctl(master_, TIOCSWINSZ, &ws), 0);
        EXPECT_EQ(pipe2(stop_, O_CLOEXEC), 0);
        reader_ = std::thread([this] { read(); });
    }
    ~Pty()
    {
        [[maybe_unused]] const ssize_t n = ::write(stop_[1], "x", 1);
        reader_.join();
        if (out_ != nullptr) {
            std::fclose(out_);
        }
        for (int fd : {master_, slave_, stop_[0], stop_[1]}) {
            close(fd);
        }
    }
    // The stream a TerminalSink writes to.
    FILE *out()
    {
        if (out_ == nullptr) {
            out_ = fdopen(dup(slave_), "w");
        }
        return out_;
    }
    // A descriptor of the terminal for a TtyPrompter (which closes it).
    int fd() const { return dup(slave_); }
    void type(const std::string &keys) { EXPECT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    std::string text()
    {
        std::lock_guard lock(mutex_);
        return text_;
    }
    bool waitFor(const std::string &what) const
    {
        return sandbox::waitUntil([&] { return const_cast<Pty *>(this)->text().find(what) != std::string::npos; },
                                  10000);
    }
    // Everything written, once nothing more has come for a while.
    std::string quiet()
    {
        size_t seen = 0;
        for (int calm = 0; calm < 20;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const size_t now = text().size();
            calm = now == seen ? calm + 1 : 0;
            seen = now;
        }
        return text();
    }

private:
    void read()
    {
        for (;;) {
            pollfd p[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 || (p[1].revents & POLLIN) != 0) {
                return;
            }
            char buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) {
                return;
            }
            std::lock_guard lock(mutex_);
            text_.append(buf, static_cast<size_t>(n));
        }
    }

    int master_ = -1;
    int slave_ = -1;
    int stop_[2] = {-1, -1};
    FILE *out_ = nullptr;
    std::mutex mutex_;
    std::string text_;
    std::thread reader_;
};

// What an 80 x 24 terminal shows after the bytes: each row's text (colours
// dropped), and how often a row ran past the edge into the next one (a line
// the program did not break itself). The cursor goes up no further than the
// top of the screen, as on a real terminal.
struct Screen {
    explicit Screen(const std::string &bytes)
    {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const auto c = static_cast<unsigned char>(bytes[i]);
            if (c == '\033' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                size_t end = i + 2;
                while (end < bytes.size() && !std::isalpha(static_cast<unsigned char>(bytes[end]))) {
                    ++end;
                }
                const std::string arg = bytes.substr(i + 2, end - i - 2);
                const char op = end < bytes.size() ? bytes[end] : 'm';
                if (op == 'K') {
                    cells[row].resize(std::min(cells[row].size(), col));
                } else if (op == 'A') {
                    const size_t top = cells.size() > 24 ? cells.size() - 24 : 0;
                    const size_t up = arg.empty() ? 1 : std::stoul(arg);
                    row = row >= top + up ? row - up : top;
                }
                i = end;
            } else if (c == '\r') {
                col = 0;
            } else if (c == '\n') {
                down();
            } else if ((c & 0xc0) == 0x80) {
                if (col > 0) {
                    cells[row][col - 1] += static_cast<char>(c); // the rest of a UTF-8 character
                }
            } else if (c >= 0x20) {
                if (col == 80) {
                    ++wrapped;
                    down();
                    col = 0;
                }
                if (cells[row].size() <= col) {
                    cells[row].resize(col + 1, " ");
                }
                cells[row][col++] = std::string(1, static_cast<char>(c));
            }
        }
    }
    void down()
    {
        if (++row == cells.size()) {
            cells.emplace_back();
        }
    }
    std::vector<std::string> rows() const
    {
        std::vector<std::string> out;
        for (const auto &r : cells) {
            std::string line;
            for (const auto &cell : r) {
                line += cell;
            }
            out.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
        }
        return out;
    }
    // The rows run together, a blank between rows and in place of every
    // run of blanks.
    std::string joined() const
    {
        std::string all;
        for (const std::string &r : rows()) {
            all += r + " ";
        }
        return squeeze(all);
    }
    static std::string squeeze(const std::string &text)
    {
        std::string out;
        for (char c : text) {
            if (c != ' ' || (!out.empty() && out.back() != ' ')) {
                out += c;
            }
        }
        return out;
    }

    std::vector<std::vector<std::string>> cells{1};
    size_t row = 0, col = 0;
    int wrapped = 0;
};

GatewayInfo member(int slot, const std::string &label, const std::string &host, const std::string &mac = "")
{
    GatewayInfo m;
    m.slot = slot;
    m.label = label;
    m.host = host;
    m.mac = mac;
    m.model = "GWM0202";
    return m;
}

Event about(EventKind kind, const GatewayInfo &gateway)
{
    Event e = event(kind);
    e.gateway = gateway;
    return e;
}

// A question as the engine asks it: about one gateway (`members` empty, as
// an engine without gangs asks, or one) or a gang.
Event question(catalogue::Operator op, uint64_t id, const std::vector<GatewayInfo> &members, const std::string &text)
{
    Event e = about(EventKind::kPromptNeeded, members.empty() ? GatewayInfo{} : members.front());
    e.prompt = op;
    e.promptId = id;
    e.question = text;
    e.code = op == catalogue::Operator::kPressButton ? 0x0603 : 0x0701;
    e.name = op == catalogue::Operator::kPressButton ? "button" : "led-power";
    e.gang = "line-20261210T120000Z-g" + std::to_string(id);
    e.members = members;
    e.countdownMs = op == catalogue::Operator::kPressButton ? 10000 : 0;
    return e;
}

std::string labels(const std::vector<GatewayInfo> &members)
{
    std::string out;
    for (const GatewayInfo &m : members) {
        out += (out.empty() ? "" : " ") + m.label;
    }
    return out;
}

// The answers a TtyPrompter gave: the prompt and the slots answered no.
struct Answers {
    station::TtyPrompter::Answer function()
    {
        return [this](uint64_t id, const std::vector<int> &noSlots) {
            std::lock_guard lock(mutex);
            given.emplace_back(id, noSlots);
            return true;
        };
    }
    std::vector<std::pair<uint64_t, std::vector<int>>> all()
    {
        std::lock_guard lock(mutex);
        return given;
    }
    bool waitFor(size_t count)
    {
        return sandbox::waitUntil([&] { return all().size() >= count; }, 10000);
    }
    std::mutex mutex;
    std::vector<std::pair<uint64_t, std::vector<int>>> given;
};

TEST(Terminal, EveryQuestionIsShownWholeOnAn80By24Terminal)
{
    using Op = catalogue::Operator;
    const std::string v6 = "fd00:1234:5678:9abc:def0:1234:5678:9abc";
    const GatewayInfo plain = member(0, "", "10.213.0.2", "02:47:57:01:01:00");
    const GatewayInfo longV6 = member(3, "rack-B7-shelf-3-left-position-12", v6, "02:47:57:04:04:03");
    const GatewayInfo utf8 = member(4, "Prüfstand-Ü7-Rückseite-oben", "fd00::a:7", "02:47:57:04:04:04");
    std::vector<GatewayInfo> four;
    for (int i = 0; i < 4; ++i) {
        four.push_back(member(2 * i + 1, "line-3-rack-A-shelf-" + std::to_string(i + 1) + "-left",
                              "10.213.0." + std::to_string(10 + i)));
    }
    const std::vector<GatewayInfo> numbered = {member(1, "A1", "fd00::a:1"), member(2, "", v6),
                                               member(5, "A5", "10.213.0.4")};
    std::vector<GatewayInfo> sixteen;
    for (int i = 0; i < 16; ++i) {
        sixteen.push_back(member(i, "station-7-A" + std::to_string(i + 1), "10.213.1." + std::to_string(i + 2)));
    }
    struct Case {
        const char *what;
        Op op;
        std::vector<GatewayInfo> members; // the first only, with `alone`
        bool alone;                       // an engine without gangs: no members on the event
        std::string question;
        std::string typed;        // the answer typed (yes/no questions)
        std::vector<int> noSlots; // what it says
    };
    std::string sixteenTyped; // runs past the edge of the row it is typed on
    std::vector<int> sixteenNo;
    for (int i = 1; i < 16; i += 2) {
        sixteenTyped += "station-7-a" + std::to_string(i + 1) + " ";
        sixteenNo.push_back(i);
    }
    const Case cases[] = {
        {"LED, one gateway by address",
         Op::kLedLit,
         {plain},
         true,
         "did the power LED of " + plain.display() + " light for two seconds? [y/n]",
         "Y",
         {}},
        {"blink, long label, IPv6",
         Op::kAllBlinking,
         {longV6},
         false,
         "are all LEDs of " + longV6.display() + " blinking? [y/n]",
         "n",
         {3}},
        {"restore, UTF-8 label",
         Op::kAllRestored,
         {utf8},
         false,
         "are all LEDs of " + utf8.display() + " back to normal? [y/n]",
         "yes",
         {}},
        {"button, one gateway", Op::kPressButton, {longV6}, false, "press the button of " + longV6.display(), "", {}},
        {"LED, a gang of four",
         Op::kLedLit,
         four,
         false,
         "did the power LED light for two seconds on " + labels(four) +
             "? [y = all lit, or type the labels that stayed dark]",
         "LINE-3-rack-a-shelf-2-left",
         {3}},
        {"blink, a gang named by numbers",
         Op::kAllBlinking,
         numbered,
         false,
         "are all LEDs blinking on 1 ([fd00::a:1]:6666) 2 ([" + v6 +
             "]:6666) 3 (10.213.0.4:6666)? "
             "[y = all blinking, or type the numbers that are not]",
         "2",
         {2}},
        {"restore, a gang of sixteen", Op::kAllRestored, sixteen, false,
         "are all LEDs back to normal on " + labels(sixteen) +
             "? [y = all back to normal, or type the labels that are not]",
         sixteenTyped, sixteenNo},
        {"button, a gang of four", Op::kPressButton, four, false, "press the buttons of " + labels(four), "", {}},
    };
    uint64_t id = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ++id;
        const bool button = c.op == Op::kPressButton;
        Pty pty;
        Answers answers;
        auto sink = std::make_unique<station::TerminalSink>(pty.out(), station::TerminalStyle{true, true});
        auto prompter = std::make_unique<station::TtyPrompter>(answers.function(), pty.fd(), false, sink.get());
        const auto both = [&](const Event &e) {
            sink->onEvent(e);
            prompter->onEvent(e);
        };
        both(event(EventKind::kBatchStarted));
        std::vector<GatewayInfo> everyone = c.members;
        for (int i = 0; i < 6; ++i) { // busy with tests of their own: with the sixteen, more than the rows
            everyone.push_back(member(30 + i, "bystander-with-a-long-name-on-shelf-" + std::to_string(i), v6));
        }
        for (const GatewayInfo &gw : everyone) {
            both(about(EventKind::kRunStarted, gw));
            Event started = about(EventKind::kTestStarted, gw);
            started.name = button ? "button" : "led-power";
            started.code = button ? 0x0603 : 0x0701;
            started.expectedMs = 2000;
            both(started);
        }
        Event ask = question(c.op, id, c.alone ? std::vector<GatewayInfo>{} : c.members, c.question);
        ask.gateway = c.members.front();
        both(ask);

        // The screen once it shows all of `parts` (or after a while).
        const auto screenWith = [&](const std::vector<std::string> &parts) {
            std::optional<Screen> seen;
            sandbox::waitUntil(
                [&] {
                    seen.emplace(pty.text());
                    const std::string joined = seen->joined();
                    return std::all_of(parts.begin(), parts.end(),
                                       [&](const std::string &p) { return joined.find(p) != std::string::npos; });
                },
                10000);
            for (const std::string &p : parts) {
                EXPECT_THAT(seen->joined(), HasSubstr(p)) << ::testing::PrintToString(seen->rows());
            }
            EXPECT_EQ(seen->wrapped, 0) << "a row ran past the edge: " << ::testing::PrintToString(seen->rows());
            return *seen;
        };
        const std::string whole = Screen::squeeze(c.question);
        screenWith({button ? whole + ": " : whole});

        Event answered = about(EventKind::kPromptAnswered, c.members.front());
        answered.prompt = c.op;
        answered.promptId = id;
        answered.name = ask.name;
        answered.code = ask.code;
        answered.members = ask.members;
        answered.gang = ask.gang;
        if (button) {
            // The presses come in one by one and the countdown stays.
            for (size_t i = 0; i < c.members.size(); i += 2) {
                Event pressed = about(EventKind::kTestFinished, c.members[i]);
                pressed.name = "button";
                pressed.code = 0x0603;
                both(pressed);
            }
            if (c.members.size() > 1) {
                screenWith({whole + ": ", " s left, pressed: " + c.members[0].label + " " + c.members[2].label});
            }
            answered.answer = station::OperatorAnswer{"", 4000};
        } else {
            // What the person types stays on the screen while the other
            // gateways go on with their tests.
            const std::string firstWord = c.typed.substr(0, c.typed.find(' '));
            pty.type(firstWord);
            Event other = about(EventKind::kTestStarted, everyone.back());
            other.name = "wan";
            other.code = 0x0101;
            both(other);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const std::vector<std::string> rows = Screen(pty.quiet()).rows();
            std::string end = rows.size() > 1 ? rows[rows.size() - 2] : ""; // typed past the edge
            end += rows.back();
            EXPECT_THAT(end, ::testing::EndsWith(firstWord)) << ::testing::PrintToString(rows);
            pty.type(c.typed.substr(firstWord.size()) + "\r");
            ASSERT_TRUE(answers.waitFor(1));
            EXPECT_EQ(answers.all()[0].first, id);
            EXPECT_EQ(answers.all()[0].second, c.noSlots);
            answered.noSlots = c.noSlots;
            answered.answer = station::OperatorAnswer{c.noSlots.empty() ? "yes" : "no", 1500};
        }
        both(answered);
        prompter.reset();
        sink.reset(); // everything written
        const std::string text = pty.quiet();
        const Screen after(text);
        // The question and the line typed after it are gone with the answer:
        // the block knew how many rows they took.
        EXPECT_THAT(after.joined(), Not(HasSubstr(whole.substr(0, 30)))) << ::testing::PrintToString(after.rows());
        for (const std::string &row : after.rows()) {
            if (!c.typed.empty()) {
                EXPECT_THAT(row, Not(::testing::EndsWith(c.typed.substr(0, c.typed.find(' ')))))
                    << ::testing::PrintToString(after.rows());
            }
        }
        // Each gateway's live line once: no block grew taller than the
        // screen, leaving its top behind when it was drawn again.
        for (const GatewayInfo &gw : everyone) {
            const std::string line = (gw.label.empty() ? gw.address() : gw.label + " " + gw.address()) + " GWM0202 ";
            const auto rows = after.rows();
            EXPECT_LE(
                std::count_if(rows.begin(), rows.end(), [&](const std::string &r) { return r.starts_with(line); }), 1)
                << line << ::testing::PrintToString(rows);
        }
        if (!button) {
            // Each gateway's own answer, above the live lines.
            for (const GatewayInfo &m : c.members) {
                const bool no = std::find(c.noSlots.begin(), c.noSlots.end(), m.slot) != c.noSlots.end();
                const std::string who = m.label.empty() ? m.address() : m.label + " " + m.address();
                EXPECT_THAT(text, HasSubstr(who + ": led-power: " + (no ? "no" : "yes") + " after 1.5 s"));
            }
        }
    }
}

// --- answers typed to a gang's question -------------------------------------------

TEST(GangAnswer, LabelsNumbersAndAddressesNameTheOnesThatAreNot)
{
    // Slots are not places in the list: a number is the place, the answer is slots.
    const std::vector<GatewayInfo> labelled = {member(2, "A1", "10.213.0.2"), member(5, "A2", "10.213.0.3"),
                                               member(6, "b-7", "fd00::7"), member(9, "12", "10.213.0.5")};
    const std::vector<GatewayInfo> unlabelled = {member(0, "", "10.213.0.2"), member(1, "", "fd00::1"),
                                                 member(4, "C", "10.213.0.9")};
    struct Case {
        const char *typed;
        const std::vector<GatewayInfo> &members;
        bool understood;
        std::vector<int> noSlots;
        const char *notUnderstood;
    };
    const Case cases[] = {
        {"", labelled, true, {}, ""},
        {"   ", labelled, true, {}, ""},
        {"y", labelled, true, {}, ""},
        {"YES", labelled, true, {}, ""},
        {"a2", labelled, true, {5}, ""},
        {"B-7 a1", labelled, true, {2, 6}, ""}, // in the members' order
        {"2,3", labelled, true, {5, 6}, ""},
        {"A2 a2 2", labelled, true, {5}, ""},
        {"12", labelled, true, {9}, ""},   // a label before a number
        {"4", labelled, true, {9}, ""},    // and the number of that gateway
        {"n A1", labelled, true, {2}, ""}, // "no: A1"
        {"no A1 A2", labelled, true, {2, 5}, ""},
        {"10.213.0.3:6666", labelled, true, {5}, ""},
        {"[FD00::7]:6666", labelled, true, {6}, ""},
        {"n", labelled, false, {}, "n alone (it does not say which)"},
        {"No", labelled, false, {}, "No alone (it does not say which)"},
        {"A9", labelled, false, {}, "A9"},
        {"A1 x 5 0", labelled, false, {}, "x 5 0"},
        {"y A1", labelled, false, {}, "y"},
        {"1 3", unlabelled, true, {0, 4}, ""},
        {"fd00::1", unlabelled, true, {1}, ""},
        {"c", unlabelled, true, {4}, ""},
        {"4", unlabelled, false, {}, "4"},
        {"99999999999999999999", unlabelled, false, {}, "99999999999999999999"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed);
        const station::GangAnswer read = station::readGangAnswer(c.typed, c.members);
        EXPECT_EQ(read.understood, c.understood);
        EXPECT_EQ(read.noSlots, c.noSlots);
        EXPECT_EQ(read.notUnderstood, c.notUnderstood);
    }
    EXPECT_EQ(station::readGangAnswer("x", labelled).accepted,
              "Enter or y for all, or the labels (A1 A2 b-7 12) or numbers (1 to 4) of those that are not, parted "
              "by blanks");
    EXPECT_EQ(station::readGangAnswer("x", unlabelled).accepted,
              "Enter or y for all, or the numbers (1 to 3) of those that are not, parted by blanks");
}

TEST(TtyPrompter, AGangIsAnsweredByNameAndAWordThatNamesNoneIsAskedAgain)
{
    const std::vector<GatewayInfo> four = {member(2, "A1", "10.213.0.2"), member(5, "A2", "10.213.0.3"),
                                           member(6, "A3", "10.213.0.4"), member(9, "A4", "10.213.0.5")};
    const std::string led = "did the power LED light for two seconds on A1 A2 A3 A4? "
                            "[y = all lit, or type the labels that stayed dark]";
    struct Case {
        std::vector<std::string> lines; // typed one after the other
        std::vector<std::string> said;  // what the person is told after the question
        std::vector<int> noSlots;       // the one answer given
    };
    const Case cases[] = {
        {{""}, {}, {}},
        {{"Y"}, {}, {}},
        {{"a2 4"}, {}, {5, 9}},
        {{"A9", "A4"},
         {"not understood: A9; type Enter or y for all, or the labels (A1 A2 A3 A4) or numbers (1 to 4)"},
         {9}},
        {{"n", "n 1"}, {"not understood: n alone (it does not say which); type Enter"}, {2}},
        {{"A1 A 2", "5", "1 2 3 4"}, {"not understood: A;", "not understood: 5;"}, {2, 5, 6, 9}},
    };
    uint64_t id = 100;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines.front());
        ++id;
        Pty pty;
        Answers answers;
        // As with --json: the prompter says the question on the terminal itself.
        station::TtyPrompter prompter(answers.function(), pty.fd(), true, nullptr);
        prompter.onEvent(question(catalogue::Operator::kLedLit, id, four, led));
        ASSERT_TRUE(pty.waitFor("stayed dark] "));
        // Wrapped at a blank, whole.
        const Screen asked(pty.text());
        EXPECT_EQ(asked.wrapped, 0);
        EXPECT_THAT(asked.joined(), HasSubstr(led));
        for (size_t i = 0; i < c.lines.size(); ++i) {
            pty.type(c.lines[i] + "\r");
            if (i < c.said.size()) {
                EXPECT_TRUE(sandbox::waitUntil(
                    [&] { return Screen(pty.text()).joined().find(c.said[i]) != std::string::npos; }, 10000))
                    << c.said[i] << "\n"
                    << pty.text();
            }
        }
        ASSERT_TRUE(answers.waitFor(1));
        Event answered = question(catalogue::Operator::kLedLit, id, four, led);
        answered.kind = EventKind::kPromptAnswered;
        answered.noSlots = c.noSlots;
        answered.answer = station::OperatorAnswer{c.noSlots.empty() ? "yes" : "no", 1500};
        prompter.onEvent(answered);
        // Each gateway's answer said back.
        std::string back = "led-power:";
        for (const GatewayInfo &m : four) {
            back += " " + m.label +
                    (std::find(c.noSlots.begin(), c.noSlots.end(), m.slot) != c.noSlots.end() ? " no" : " yes");
            back += m.slot == 9 ? "" : ",";
        }
        EXPECT_TRUE(pty.waitFor(back)) << back << "\n" << pty.text();
        pty.type("\r"); // a stray Enter once it is answered answers nothing
        pty.quiet();
        ASSERT_EQ(answers.all().size(), 1U) << "asked again when it was understood, or answered twice";
        EXPECT_EQ(answers.all()[0].first, id);
        EXPECT_EQ(answers.all()[0].second, c.noSlots);
    }
}

TEST(TtyPrompter, AGatewayAloneIsAskedYesOrNoAsEver)
{
    // A real engine and desk, the gateway a fake: every LED question is
    // answered through the terminal, the first with a no after two lines
    // that are neither yes nor no.
    sandbox::FakeGateway gw("gwm0101\n");
    station::RunOptions options;
    options.op = station::OperatorMode::kAsk;
    options.marginMs = 0;
    options.connectTimeoutMs = 1000;
    options.station = "bench-1";
    station::OperatorDesk desk;
    station::Engine engine(options, desk);
    Pty pty;
    station::TtyPrompter prompter(desk, pty.fd(), true, nullptr);
    engine.subscribe(&prompter);
    sandbox::EventRecorder rec;
    int asked = 0;
    rec.answerer = [&](const Event &e) {
        EXPECT_TRUE(e.members.size() <= 1);
        pty.type(++asked == 1 ? "maybe\r\rN o\r" : "yes\r");
    };
    engine.subscribe(&rec);
    const station::RunSummary summary = engine.run({gw.target("A1")});
    EXPECT_EQ(summary.exitStatus, 1);
    EXPECT_GE(asked, 2);
    const auto results = rec.results(0);
    ASSERT_TRUE(results.count("led-power"));
    EXPECT_EQ(results.at("led-power").outcome, Outcome::kFail);
    EXPECT_EQ(results.at("led-power").message, "the operator answered no");
    int passedLeds = 0;
    for (const auto &[name, e] : results) {
        if (name != "led-power" && e.answer && e.answer->answer == "yes") {
            EXPECT_EQ(e.outcome, Outcome::kPass) << name;
            ++passedLeds;
        }
    }
    EXPECT_EQ(passedLeds, asked - 1);
    const std::string text = pty.quiet();
    size_t again = 0;
    for (size_t at = text.find("please answer y or n: "); at != std::string::npos;
         at = text.find("please answer y or n: ", at + 1)) {
        ++again;
    }
    EXPECT_EQ(again, 2U) << text; // "maybe" and the empty line; "N o" is no
    EXPECT_THAT(text, HasSubstr("did the power LED of A1 (127.0.0.1:"));
    EXPECT_THAT(text, Not(HasSubstr("not understood")));
}

TEST(Terminal, PlainOutputShowsAGangsQuestionOnceAndEachAnswer)
{
    const std::vector<GatewayInfo> three = {member(0, "A1", "10.213.0.2"), member(1, "A2", "10.213.0.3"),
                                            member(2, "A3", "fd00::3")};
    Capture out;
    {
        station::TerminalSink sink(out.file(), station::TerminalStyle{});
        sink.onEvent(event(EventKind::kBatchStarted));
        Event button = question(catalogue::Operator::kPressButton, 1, three, "press the buttons of A1 A2 A3");
        sink.onEvent(button);
        for (const GatewayInfo &m : three) {
            Event pressed = about(EventKind::kTestFinished, m);
            pressed.name = "button";
            pressed.code = 0x0603;
            pressed.gang = button.gang;
            pressed.outcome = m.slot == 1 ? Outcome::kFail : Outcome::kPass;
            sink.onEvent(pressed);
        }
        button.kind = EventKind::kPromptAnswered;
        sink.onEvent(button);
        Event led = question(catalogue::Operator::kLedLit, 2, three,
                             "did the power LED light for two seconds on A1 A2 A3? [y = all lit, or type the labels "
                             "that stayed dark]");
        sink.onEvent(led);
        led.kind = EventKind::kPromptAnswered;
        led.noSlots = {2};
        led.answer = station::OperatorAnswer{"no", 2500};
        sink.onEvent(led);
    }
    const std::string text = out.text();
    EXPECT_THAT(text, HasSubstr("press the buttons of A1 A2 A3 within 10.0 s\n"));
    EXPECT_THAT(text, HasSubstr("A2 10.213.0.3:6666: button fail"));
    EXPECT_THAT(text, HasSubstr("\ndid the power LED light for two seconds on A1 A2 A3? [y = all lit, or type the "
                                "labels that stayed dark]\n"
                                "A1 10.213.0.2:6666: led-power: yes after 2.5 s\n"
                                "A2 10.213.0.3:6666: led-power: yes after 2.5 s\n"
                                "A3 [fd00::3]:6666: led-power: no after 2.5 s\n"));
    EXPECT_EQ(text.find("press the buttons"), text.rfind("press the buttons")); // once
}

TEST(TtyPrompter, OneEnterSentAsCrLfIsOneLine)
{
    // A terminal line that sends CR LF for Enter (no ICRNL): the line after
    // a typo is not an empty one, which would answer yes for the whole gang.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const std::vector<GatewayInfo> two = {member(3, "A1", "10.213.0.2"), member(4, "A2", "10.213.0.3")};
    Answers answers;
    {
        station::TtyPrompter prompter(answers.function(), pair[1], false, nullptr);
        prompter.onEvent(
            question(catalogue::Operator::kAllBlinking, 7, two,
                     "are all LEDs blinking on A1 A2? [y = all blinking, or type the labels that are not]"));
        ASSERT_EQ(write(pair[0], "A7\r\n", 4), 4);
        std::string said;
        EXPECT_TRUE(sandbox::waitUntil([&] {
            char buf[512];
            const ssize_t n = recv(pair[0], buf, sizeof buf, MSG_DONTWAIT);
            said.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            return said.find("parted by blanks: ") != std::string::npos;
        }));
        EXPECT_THAT(said, ::testing::StartsWith("not understood: A7; type"));
        ASSERT_EQ(write(pair[0], "a2\r\n", 4), 4);
        ASSERT_TRUE(answers.waitFor(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    close(pair[0]);
    ASSERT_EQ(answers.all().size(), 1U);
    EXPECT_EQ(answers.all()[0].second, std::vector<int>{4});
}

} // namespace
