// The terminal front end: progress, questions, summary.
#include "front/terminal.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "wire/text.h"

namespace station {

namespace {

std::string seconds(int64_t ms)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
    return buf;
}

constexpr const char *kGreen = "32";
constexpr const char *kRed = "1;31";
constexpr const char *kYellow = "33";
constexpr const char *kBold = "1";

bool isYesNo(catalogue::Operator kind) { return kind != catalogue::Operator::kPressButton; }

bool rankFailed(Outcome outcome)
{
    return outcome == Outcome::kFail || outcome == Outcome::kNoReply || outcome == Outcome::kConnectionLost;
}

} // namespace

TerminalStyle TerminalStyle::of(FILE *stream)
{
    TerminalStyle style;
    style.live = isatty(fileno(stream)) != 0;
    const char *noColour = std::getenv("NO_COLOR");
    style.colour = style.live && (noColour == nullptr || noColour[0] == '\0');
    return style;
}

// --- output that never holds up the engine ----------------------------------------

AsyncWriter::AsyncWriter(FILE *out) : out_(out)
{
    thread_ = std::thread([this] { drain(); });
}

AsyncWriter::~AsyncWriter()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void AsyncWriter::write(const std::string &text)
{
    {
        std::lock_guard lock(mutex_);
        pending_ += text;
    }
    changed_.notify_all();
}

void AsyncWriter::flush()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return pending_.empty() && !writing_; });
}

void AsyncWriter::drain()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !pending_.empty() || quit_; });
        if (pending_.empty()) {
            return; // quit, all written
        }
        std::string text;
        text.swap(pending_);
        writing_ = true;
        lock.unlock();
        std::fwrite(text.data(), 1, text.size(), out_);
        std::fflush(out_);
        lock.lock();
        writing_ = false;
        changed_.notify_all();
    }
}

TerminalSink::TerminalSink(FILE *out, TerminalStyle style) : out_(out), style_(style), writer_(out)
{
    if (style_.live) {
        ticker_ = std::thread([this] { ticker(); });
    }
}

TerminalSink::~TerminalSink()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    if (ticker_.joinable()) {
        ticker_.join();
    }
    writer_.flush();
}

// Redraws the live lines while tests run: elapsed times and the button's
// countdown move on their own. Not while a yes/no question waits for its
// answer: the person is typing on that line.
void TerminalSink::ticker()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        std::lock_guard lock(mutex_);
        if (quit_) {
            return;
        }
        if (running_ && !(prompt_ && isYesNo(prompt_->prompt))) {
            drawBlock(unixMsNow());
        }
    }
}

std::string TerminalSink::paint(const std::string &text, const char *sgr) const
{
    if (!style_.colour) {
        return text;
    }
    return std::string("\033[") + sgr + "m" + text + "\033[0m";
}

std::string TerminalSink::outcomeText(Outcome outcome) const
{
    std::string name(outcomeName(outcome));
    if (outcome == Outcome::kNotRun) {
        name = "not run";
    }
    switch (outcome) {
    case Outcome::kPass:
        return paint(name, kGreen);
    case Outcome::kFail:
    case Outcome::kNoReply:
    case Outcome::kConnectionLost:
        return paint(name, kRed);
    case Outcome::kSkipped:
    case Outcome::kNotRun:
        break;
    }
    return paint(name, kYellow);
}

std::string TerminalSink::nameOf(const GatewayInfo &info) const
{
    return info.label.empty() ? info.address() : info.label + " " + info.address();
}

TerminalSink::Gateway &TerminalSink::gateway(const Event &event)
{
    Gateway &gw = gateways_[event.gateway.slot];
    gw.info = event.gateway;
    return gw;
}

void TerminalSink::lineTyped()
{
    std::lock_guard lock(mutex_);
    if (style_.live && drawn_ > 0) {
        ++drawn_; // the echoed line now belongs to the block
    }
}

void TerminalSink::note(const std::string &line)
{
    std::lock_guard lock(mutex_);
    print(paint(line, kRed));
}

void TerminalSink::clearBlock()
{
    if (drawn_ == 0) {
        return;
    }
    std::string seq = "\r\033[K";
    for (int i = 1; i < drawn_; ++i) {
        seq += "\033[A\033[K";
    }
    writer_.write(seq);
    drawn_ = 0;
}

std::vector<std::string> TerminalSink::liveLines(int64_t now) const
{
    std::vector<std::string> lines;
    for (const auto &[slot, gw] : gateways_) {
        std::string line = nameOf(gw.info);
        if (!gw.info.model.empty()) {
            line += " " + gw.info.model;
        }
        const int total = static_cast<int>(gw.tests.size());
        line += "  " + std::to_string(gw.done) + "/" + std::to_string(total);
        if (gw.finished) {
            line += "  " + paint(std::string(runOutcomeName(gw.finished->runOutcome)),
                                 gw.finished->runOutcome == RunOutcome::kPass ? kGreen : kRed);
        } else if (gw.current && prompt_ && isYesNo(prompt_->prompt) && prompt_->gateway.slot == slot) {
            line += "  " + gw.current->name + ": asking the operator";
        } else if (gw.current) {
            line += "  " + gw.current->name + " " + seconds(now - gw.currentSinceMs) + " of " +
                    seconds(gw.current->expectedMs);
            if (gw.current->attempt > 1) {
                line += " (attempt " + std::to_string(gw.current->attempt) + ")";
            }
        } else {
            if (gw.done == 0) {
                line += "  connecting";
            }
        }
        if (gw.failures > 0) {
            line += "  " + paint(std::to_string(gw.failures) + " failed", kRed);
        }
        lines.push_back(line);
    }
    if (prompt_) {
        std::string line = paint(prompt_->question, kBold);
        if (prompt_->prompt == catalogue::Operator::kPressButton) {
            const int64_t left = prompt_->countdownMs - (now - promptSinceMs_);
            line += ": " + std::to_string(left > 0 ? (left + 999) / 1000 : 0) + " s left";
        } else {
            line += " ";
        }
        lines.push_back(line);
    }
    return lines;
}

namespace {

// The terminal's size; 80 x 24 when it cannot tell.
std::pair<int, int> terminalSize(FILE *stream)
{
    winsize ws{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        return {ws.ws_col, ws.ws_row};
    }
    return {80, 24};
}

// The line cut to `columns` visible characters (colour sequences take
// none), so that no live line wraps: a wrapped line would throw off the
// count of lines to go back up.
std::string fitWidth(const std::string &line, int columns)
{
    std::string out;
    int visible = 0;
    bool cut = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\033') {
            const size_t end = line.find('m', i);
            if (end == std::string::npos) {
                break;
            }
            out += line.substr(i, end - i + 1);
            i = end;
            continue;
        }
        if (visible >= columns) {
            cut = true;
            continue;
        }
        out += line[i];
        ++visible;
    }
    return cut && line.find('\033') != std::string::npos ? out + "\033[0m" : out;
}

} // namespace

void TerminalSink::drawBlock(int64_t now)
{
    clearBlock();
    std::vector<std::string> lines = liveLines(now);
    // More gateways than the terminal has rows: the first ones, and a count
    // of the rest (the summary lists every one at the end).
    const auto [columns, rows] = terminalSize(out_);
    std::optional<std::string> promptLine;
    if (prompt_) {
        promptLine = lines.back();
        lines.pop_back();
    }
    const int room = rows - 2 - (promptLine ? 1 : 0); // a row spare for the cursor
    if (room > 0 && static_cast<int>(lines.size()) > room) {
        const size_t more = lines.size() - static_cast<size_t>(room - 1);
        lines.resize(static_cast<size_t>(room - 1));
        lines.push_back("... and " + std::to_string(more) + " more gateways");
    }
    if (promptLine) {
        lines.push_back(*promptLine);
    }
    for (std::string &line : lines) {
        line = fitWidth(line, columns - 1);
    }
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        text += lines[i];
        if (i + 1 < lines.size()) {
            text += "\n";
        }
    }
    writer_.write(text);
    drawn_ = static_cast<int>(lines.size());
}

void TerminalSink::print(const std::string &line)
{
    if (style_.live) {
        clearBlock();
    }
    writer_.write(line + "\n");
    if (style_.live && running_) {
        drawBlock(unixMsNow());
    }
}

std::string TerminalSink::plainLine(const Event &ev)
{
    const std::string who = nameOf(ev.gateway);
    switch (ev.kind) {
    case EventKind::kBatchStarted:
        return "batch " + ev.batchId + ": " + std::to_string(ev.total) + (ev.total == 1 ? " gateway" : " gateways");
    case EventKind::kRunStarted:
        return who + ": connecting";
    case EventKind::kPlanKnown:
        return who + ": " + ev.gateway.model + ", " + std::to_string(ev.total) + " tests";
    case EventKind::kTestStarted: {
        std::string line = who + ": " + ev.name + " (" + ev.title + ", up to " + seconds(ev.expectedMs) + ")";
        if (ev.attempt > 1) {
            line += " attempt " + std::to_string(ev.attempt);
        }
        return line;
    }
    case EventKind::kTestFinished: {
        std::string line = who + ": ";
        if (ev.total > 0) {
            line += "[" + std::to_string(ev.index + 1) + "/" + std::to_string(ev.total) + "] ";
        }
        line += ev.name + " " + outcomeText(ev.outcome);
        if (ev.outcome != Outcome::kSkipped && ev.outcome != Outcome::kNotRun) {
            line += " " + seconds(ev.durationMs);
        }
        if (!ev.decoded.empty()) {
            line += "  " + ev.decoded;
        }
        if (ev.answer && !ev.answer->answer.empty()) {
            line += "  operator: " + ev.answer->answer;
        }
        if (!ev.message.empty() && ev.outcome != Outcome::kPass) {
            line += "  (" + ev.message + ")";
        }
        if (!ev.hint.empty()) {
            line += "  hint: " + ev.hint;
        }
        return line;
    }
    case EventKind::kPromptNeeded:
        if (ev.prompt == catalogue::Operator::kPressButton) {
            return ev.question + " within " + seconds(ev.countdownMs);
        }
        return ev.question;
    case EventKind::kPromptAnswered:
        if (ev.prompt == catalogue::Operator::kPressButton) {
            return "";
        }
        return who + ": " + ev.name + ": " + (ev.answer ? ev.answer->answer : std::string()) + " after " +
               seconds(ev.answer ? ev.answer->ms : 0);
    case EventKind::kConnectionLost:
        return who + ": " + paint(ev.message, kRed);
    case EventKind::kNotice:
        return who + ": " + ev.message;
    case EventKind::kRunFinished: {
        std::string line =
            who + ": " +
            paint(std::string(runOutcomeName(ev.runOutcome)), ev.runOutcome == RunOutcome::kPass ? kGreen : kRed);
        line += ", " + std::to_string(ev.passed) + " passed, " + std::to_string(ev.failed) + " failed";
        if (ev.noReply > 0) {
            line += ", " + std::to_string(ev.noReply) + " no reply";
        }
        if (ev.connectionLost > 0) {
            line += ", " + std::to_string(ev.connectionLost) + " connection lost";
        }
        if (ev.notRun > 0) {
            line += ", " + std::to_string(ev.notRun) + " not run";
        }
        if (!ev.message.empty()) {
            line += " (" + ev.message + ")";
        }
        return line;
    }
    case EventKind::kBatchFinished:
        return "batch " + ev.batchId + " finished: " + std::to_string(ev.passed) + " of " + std::to_string(ev.total) +
               " gateways passed";
    }
    return "";
}

void TerminalSink::onEvent(const Event &ev)
{
    std::lock_guard lock(mutex_);
    const int64_t now = unixMsNow();
    if (ev.kind != EventKind::kBatchStarted && ev.kind != EventKind::kBatchFinished) {
        Gateway &gw = gateway(ev);
        switch (ev.kind) {
        case EventKind::kRunStarted:
            gw.startedMs = ev.unixMs;
            break;
        case EventKind::kPlanKnown: {
            std::vector<Test> tests;
            for (uint16_t code : ev.plan) {
                Test t;
                t.code = code;
                for (const Test &old : gw.tests) {
                    if (old.code == code) {
                        t = old;
                    }
                }
                tests.push_back(t);
            }
            gw.tests = tests;
            break;
        }
        case EventKind::kTestStarted:
            gw.current = ev;
            gw.currentSinceMs = now;
            if (gw.tests.empty()) {
                gw.tests.push_back(Test{ev.code, ev.name, std::nullopt});
            }
            break;
        case EventKind::kTestFinished:
            for (Test &t : gw.tests) {
                if (t.code == ev.code) {
                    if (!t.finished) {
                        ++gw.done;
                    } else if (rankFailed(t.finished->outcome)) {
                        --gw.failures;
                    }
                    t.name = ev.name;
                    t.finished = ev;
                }
            }
            if (ev.outcome == Outcome::kFail || ev.outcome == Outcome::kNoReply ||
                ev.outcome == Outcome::kConnectionLost) {
                ++gw.failures;
            }
            gw.current.reset();
            // A question left open (the run was stopped while it waited)
            // goes with its test.
            if (prompt_ && prompt_->gateway.slot == ev.gateway.slot) {
                prompt_.reset();
            }
            break;
        case EventKind::kPromptNeeded:
            prompt_ = ev;
            promptSinceMs_ = now;
            break;
        case EventKind::kPromptAnswered:
            if (prompt_ && prompt_->promptId == ev.promptId) {
                prompt_.reset();
            }
            break;
        case EventKind::kRunFinished:
            gw.finished = ev;
            break;
        default:
            break;
        }
    }
    if (ev.kind == EventKind::kBatchStarted) {
        batchId_ = ev.batchId;
        running_ = true;
    }
    if (ev.kind == EventKind::kBatchFinished) {
        running_ = false;
    }

    if (!style_.live) {
        const std::string line = plainLine(ev);
        if (!line.empty()) {
            writer_.write(line + "\n");
        }
        return;
    }
    // On a terminal: the lines worth keeping above the live block, the rest
    // is the block itself.
    switch (ev.kind) {
    case EventKind::kTestFinished:
        if (ev.outcome == Outcome::kFail || ev.outcome == Outcome::kNoReply || ev.outcome == Outcome::kConnectionLost) {
            print(plainLine(ev));
            return;
        }
        break;
    case EventKind::kBatchStarted:
    case EventKind::kPromptAnswered:
    case EventKind::kConnectionLost:
    case EventKind::kNotice:
    case EventKind::kRunFinished: {
        const std::string line = plainLine(ev);
        if (!line.empty()) {
            print(line);
            return;
        }
        break;
    }
    case EventKind::kBatchFinished:
        clearBlock();
        for (const std::string &line : liveLines(now)) {
            writer_.write(line + "\n");
        }
        writer_.write(plainLine(ev) + "\n");
        return;
    default:
        break;
    }
    if (running_) {
        drawBlock(now);
    }
}

void TerminalSink::printSummary()
{
    std::lock_guard lock(mutex_);
    std::string text = "\n" + paint("summary", kBold) + " of batch " + batchId_ + "\n";
    for (const auto &[slot, gw] : gateways_) {
        text += "\n" + paint(gw.info.display(), kBold);
        if (!gw.info.model.empty()) {
            text += " " + gw.info.model;
        }
        if (gw.finished) {
            const Event &f = *gw.finished;
            text += ": " +
                    paint(std::string(runOutcomeName(f.runOutcome)), f.runOutcome == RunOutcome::kPass ? kGreen : kRed);
            text += ", " + std::to_string(f.passed) + " of " + std::to_string(gw.tests.size()) + " passed in " +
                    seconds(f.unixMs - gw.startedMs);
            if (!f.message.empty()) {
                text += " (" + f.message + ")";
            }
        }
        text += "\n";
        char head[128];
        std::snprintf(head, sizeof head, "  %-3s %-16s %-16s %8s  %s\n", "#", "test", "outcome", "time", "data, hint");
        text += head;
        int index = 0;
        for (const Test &t : gw.tests) {
            ++index;
            std::string name = t.name;
            Outcome outcome = Outcome::kNotRun;
            std::string time;
            std::string more;
            if (t.finished) {
                const Event &f = *t.finished;
                name = f.name;
                outcome = f.outcome;
                if (outcome != Outcome::kNotRun && outcome != Outcome::kSkipped) {
                    time = seconds(f.durationMs);
                }
                more = f.decoded;
                if (f.attempt > 1) {
                    more += (more.empty() ? "" : "  ") + std::string("attempt ") + std::to_string(f.attempt);
                }
                if (f.answer && !f.answer->answer.empty()) {
                    more += (more.empty() ? "" : "  ") + std::string("operator: ") + f.answer->answer;
                }
                if (!f.message.empty() && outcome != Outcome::kPass) {
                    more += (more.empty() ? "" : "  ") + f.message;
                }
                if (!f.hint.empty()) {
                    more += (more.empty() ? "" : "  ") + std::string("hint: ") + f.hint;
                }
            }
            if (name.empty()) {
                char code[8];
                std::snprintf(code, sizeof code, "0x%04x", t.code);
                name = code;
            }
            // The outcome padded by its visible width (colour codes take none).
            std::string shown = outcomeText(outcome);
            const size_t visible = outcome == Outcome::kNotRun ? 7 : outcomeName(outcome).size();
            shown += std::string(visible < 16 ? 16 - visible : 0, ' ');
            char row[160];
            std::snprintf(row, sizeof row, "  %-3d %-16s ", index, name.c_str());
            char timeCol[16];
            std::snprintf(timeCol, sizeof timeCol, " %8s", time.c_str());
            text += row + shown + timeCol + "  " + more + "\n";
        }
    }
    writer_.write(text);
    writer_.flush();
}

// --- answers from the terminal ----------------------------------------------------

int TtyPrompter::openTerminal()
{
    if (isatty(STDIN_FILENO) != 0) {
        return dup(STDIN_FILENO);
    }
    return ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
}

TtyPrompter::TtyPrompter(OperatorDesk &desk, int fd, bool echo, TerminalSink *terminal)
    : desk_(desk), fd_(fd), echo_(echo), terminal_(terminal)
{
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        wake_[0] = wake_[1] = -1;
    }
    thread_ = std::thread([this] { reader(); });
}

TtyPrompter::~TtyPrompter()
{
    if (wake_[1] >= 0) {
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], "x", 1);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    for (int fd : wake_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ::close(fd_);
}

void TtyPrompter::say(const std::string &text)
{
    [[maybe_unused]] const ssize_t n = ::write(fd_, text.data(), text.size());
}

void TtyPrompter::onEvent(const Event &event)
{
    if (event.kind == EventKind::kPromptNeeded && isYesNo(event.prompt)) {
        {
            std::lock_guard lock(mutex_);
            open_ = event.promptId;
            openSlot_ = event.gateway.slot;
        }
        if (echo_) {
            say(event.question + " ");
        }
    } else if (event.kind == EventKind::kPromptNeeded && echo_) {
        say(event.question + " within " + seconds(event.countdownMs) + "\n");
    } else if (event.kind == EventKind::kPromptAnswered || event.kind == EventKind::kTestFinished) {
        // Answered, or its test ended without an answer (stopped).
        std::lock_guard lock(mutex_);
        if (event.kind == EventKind::kPromptAnswered ? open_ == event.promptId
                                                     : open_ != 0 && openSlot_ == event.gateway.slot) {
            open_ = 0;
        }
    }
}

void TtyPrompter::reader()
{
    std::string line;
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((p[1].revents & POLLIN) != 0) {
            return;
        }
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        char buf[256];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            return; // the terminal went away
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n' && buf[i] != '\r') {
                line += buf[i];
                continue;
            }
            if (terminal_ != nullptr) {
                terminal_->lineTyped();
            }
            std::string word;
            for (char c : line) {
                if (c != ' ' && c != '\t') {
                    word += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
                }
            }
            line.clear();
            uint64_t id = 0;
            {
                std::lock_guard lock(mutex_);
                id = open_;
            }
            if (id == 0) {
                continue; // nothing asked: a stray Enter
            }
            if (word == "y" || word == "yes" || word == "n" || word == "no") {
                desk_.answer(id, word[0] == 'y');
            } else {
                say("please answer y or n: ");
            }
        }
    }
}

} // namespace station
