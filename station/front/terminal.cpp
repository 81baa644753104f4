// The terminal front end: progress, questions, summary.
#include "front/terminal.h"

#include <algorithm>
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

// A pass the line could not confirm yet is a pass, said in yellow.
const char *colourOf(RunOutcome outcome)
{
    return outcome == RunOutcome::kPass ? kGreen : outcome == RunOutcome::kUncheckedLine ? kYellow : kRed;
}
constexpr const char *kBold = "1";

bool isYesNo(catalogue::Operator kind) { return kind != catalogue::Operator::kPressButton; }

bool rankFailed(Outcome outcome)
{
    return outcome == Outcome::kFail || outcome == Outcome::kNoReply || outcome == Outcome::kConnectionLost;
}

// The next character of UTF-8 text at `i` (moved past it); a byte that
// starts no valid sequence stands for itself.
uint32_t nextChar(const std::string &text, size_t &i)
{
    const auto byte = [&](size_t at) { return static_cast<uint8_t>(text[at]); };
    const uint8_t lead = byte(i);
    int more = 0;
    uint32_t cp = lead;
    if (lead >= 0xc2 && lead <= 0xdf) {
        more = 1;
        cp = lead & 0x1fU;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        more = 2;
        cp = lead & 0x0fU;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        more = 3;
        cp = lead & 0x07U;
    }
    if (more == 0 || i + static_cast<size_t>(more) >= text.size()) {
        ++i;
        return lead;
    }
    for (int k = 1; k <= more; ++k) {
        if ((byte(i + static_cast<size_t>(k)) & 0xc0U) != 0x80) {
            ++i;
            return lead;
        }
        cp = (cp << 6) | (byte(i + static_cast<size_t>(k)) & 0x3fU);
    }
    i += static_cast<size_t>(more) + 1;
    return cp;
}

bool inRanges(uint32_t cp, std::initializer_list<std::pair<uint32_t, uint32_t>> ranges)
{
    for (const auto &[low, high] : ranges) {
        if (cp >= low && cp <= high) {
            return true;
        }
    }
    return false;
}

// The columns a character takes: combining marks and controls none, the
// wide characters of East Asian scripts and emoji two.
int charWidth(uint32_t cp)
{
    if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) {
        return 0;
    }
    if (inRanges(cp, {{0x0300, 0x036f},
                      {0x0483, 0x0489},
                      {0x0591, 0x05bd},
                      {0x1ab0, 0x1aff},
                      {0x1dc0, 0x1dff},
                      {0x200b, 0x200f},
                      {0x20d0, 0x20ff},
                      {0xfe00, 0xfe0f},
                      {0xfe20, 0xfe2f}})) {
        return 0;
    }
    if (inRanges(cp, {{0x1100, 0x115f},
                      {0x2e80, 0x303e},
                      {0x3041, 0x33ff},
                      {0x3400, 0x4dbf},
                      {0x4e00, 0x9fff},
                      {0xa000, 0xa4cf},
                      {0xac00, 0xd7a3},
                      {0xf900, 0xfaff},
                      {0xfe30, 0xfe4f},
                      {0xff00, 0xff60},
                      {0xffe0, 0xffe6},
                      {0x1f300, 0x1f64f},
                      {0x1f900, 0x1f9ff},
                      {0x20000, 0x3fffd}})) {
        return 2;
    }
    return 1;
}

std::string lower(std::string text)
{
    for (char &c : text) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return text;
}

// The gateways a question is about: its members, or the one gateway of a
// question that names none.
std::vector<GatewayInfo> membersOf(const Event &event)
{
    return event.members.empty() ? std::vector<GatewayInfo>{event.gateway} : event.members;
}

bool hasSlot(const std::vector<GatewayInfo> &members, int slot)
{
    return std::any_of(members.begin(), members.end(), [slot](const GatewayInfo &m) { return m.slot == slot; });
}

bool hasSlot(const std::vector<int> &slots, int slot)
{
    return std::find(slots.begin(), slots.end(), slot) != slots.end();
}

// The terminal's columns and rows; 80 x 24 when it cannot tell.
std::pair<int, int> terminalSize(int fd)
{
    winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        return {ws.ws_col, ws.ws_row};
    }
    return {80, 24};
}

} // namespace

int displayWidth(const std::string &text)
{
    int width = 0;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '\033') {
            const size_t end = text.find('m', i);
            i = end == std::string::npos ? text.size() : end + 1;
            continue;
        }
        width += charWidth(nextChar(text, i));
    }
    return width;
}

std::vector<std::string> wrapText(const std::string &text, int columns)
{
    columns = std::max(columns, 2); // room for a wide character
    std::vector<std::string> lines;
    std::string line;
    int width = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t' || text[i] == '\n') {
            ++i;
            continue;
        }
        const size_t end = text.find_first_of(" \t\n", i);
        const std::string word = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
        i = end == std::string::npos ? text.size() : end;
        const int wordWidth = displayWidth(word);
        if (!line.empty() && width + 1 + wordWidth <= columns) {
            line += ' ';
            line += word;
            width += 1 + wordWidth;
            continue;
        }
        if (!line.empty()) {
            lines.push_back(line);
            line.clear();
            width = 0;
        }
        // A word longer than a line goes on in the next.
        for (size_t at = 0; at < word.size();) {
            const size_t from = at;
            const int w = charWidth(nextChar(word, at));
            if (width + w > columns) {
                lines.push_back(line);
                line.clear();
                width = 0;
            }
            line.append(word, from, at - from);
            width += w;
        }
    }
    if (!line.empty() || lines.empty()) {
        lines.push_back(line);
    }
    return lines;
}

std::string memberName(const std::vector<GatewayInfo> &members, size_t index)
{
    const bool labelled =
        std::all_of(members.begin(), members.end(), [](const GatewayInfo &m) { return !m.label.empty(); });
    return labelled ? members[index].label : std::to_string(index + 1);
}

GangAnswer readGangAnswer(const std::string &typed, const std::vector<GatewayInfo> &members)
{
    GangAnswer out;
    const bool labelled =
        std::all_of(members.begin(), members.end(), [](const GatewayInfo &m) { return !m.label.empty(); });
    out.accepted = "Enter or y for all";
    if (labelled) {
        out.accepted += ", or the labels (";
        for (size_t i = 0; i < members.size(); ++i) {
            out.accepted += (i == 0 ? "" : " ");
            out.accepted += members[i].label;
        }
        out.accepted += ") or numbers (1 to ";
    } else {
        out.accepted += ", or the numbers (1 to ";
    }
    out.accepted += std::to_string(members.size());
    out.accepted += ") of those that are not, parted by blanks";

    std::vector<std::string> asTyped;
    for (size_t i = 0; i < typed.size();) {
        const size_t end = typed.find_first_of(" \t,", i);
        const size_t stop = end == std::string::npos ? typed.size() : end;
        if (stop > i) {
            asTyped.push_back(typed.substr(i, stop - i));
        }
        i = stop + 1;
    }
    std::vector<std::string> words;
    for (const std::string &word : asTyped) {
        words.push_back(lower(word));
    }
    // The member a word names: a label first (labels are the person's own
    // names), then a number, then an address or host.
    const auto named = [&members](const std::string &word) -> std::optional<size_t> {
        for (size_t k = 0; k < members.size(); ++k) {
            if (!members[k].label.empty() && lower(members[k].label) == word) {
                return k;
            }
        }
        if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos && word.size() < 6) {
            const size_t number = std::stoul(word);
            if (number >= 1 && number <= members.size()) {
                return number - 1;
            }
            return std::nullopt;
        }
        for (size_t k = 0; k < members.size(); ++k) {
            if (lower(members[k].address()) == word || lower(members[k].host) == word) {
                return k;
            }
        }
        return std::nullopt;
    };
    if (words.empty() || (words.size() == 1 && (words[0] == "y" || words[0] == "yes") && !named(words[0]))) {
        out.understood = true;
        return out;
    }
    const bool saysNo = (words[0] == "n" || words[0] == "no") && !named(words[0]);
    if (saysNo && words.size() == 1) {
        out.notUnderstood = asTyped[0];
        out.notUnderstood += " alone (it does not say which)";
        return out;
    }
    std::vector<bool> no(members.size(), false);
    for (size_t w = saysNo ? 1 : 0; w < words.size(); ++w) {
        const std::optional<size_t> k = named(words[w]);
        if (k) {
            no[*k] = true;
        } else {
            out.notUnderstood += (out.notUnderstood.empty() ? "" : " ");
            out.notUnderstood += asTyped[w];
        }
    }
    if (!out.notUnderstood.empty()) {
        return out;
    }
    for (size_t k = 0; k < members.size(); ++k) {
        if (no[k]) {
            out.noSlots.push_back(members[k].slot);
        }
    }
    out.understood = true;
    return out;
}

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

void TerminalSink::lineTyped(const std::string &typed)
{
    std::lock_guard lock(mutex_);
    if (style_.live && drawn_ > 0) {
        // The echoed line now belongs to the block: the typing began where
        // the question ended, ran on to the next row past the edge, and
        // Enter took the cursor down one more.
        const int columns = terminalSize(fileno(out_)).first;
        const int end = lastColumn_ + displayWidth(typed);
        drawn_ += end > 0 ? (end - 1) / columns + 1 : 1;
        lastColumn_ = 0;
    }
}

bool TerminalSink::asks(int slot) const
{
    return prompt_ && isYesNo(prompt_->prompt) && hasSlot(prompt_->members, slot);
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
            line +=
                "  " + paint(std::string(runOutcomeName(gw.finished->runOutcome)), colourOf(gw.finished->runOutcome));
        } else if (gw.current && asks(slot)) {
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
    return lines;
}

// The open question as the person reads it; the button's counts down and,
// for a gang, names the gateways whose press came in.
std::string TerminalSink::promptText(int64_t now) const
{
    std::string text = prompt_->question;
    if (prompt_->prompt == catalogue::Operator::kPressButton) {
        const int64_t left = prompt_->countdownMs - (now - promptSinceMs_);
        text += ": ";
        text += std::to_string(left > 0 ? (left + 999) / 1000 : 0);
        text += " s left";
        if (prompt_->members.size() > 1 && !pressed_.empty()) {
            text += ", pressed:";
            for (size_t i = 0; i < prompt_->members.size(); ++i) {
                if (hasSlot(pressed_, prompt_->members[i].slot)) {
                    text += ' ';
                    text += memberName(prompt_->members, i);
                }
            }
        }
    }
    return text;
}

namespace {

// The line cut to `columns` columns (colour sequences take none), so that
// no live line wraps: a wrapped line would throw off the count of lines to
// go back up.
std::string fitWidth(const std::string &line, int columns)
{
    std::string out;
    int visible = 0;
    bool cut = false;
    for (size_t i = 0; i < line.size();) {
        if (line[i] == '\033') {
            const size_t end = line.find('m', i);
            if (end == std::string::npos) {
                break;
            }
            out.append(line, i, end - i + 1);
            i = end + 1;
            continue;
        }
        const size_t from = i;
        const int w = charWidth(nextChar(line, i));
        if (cut || visible + w > columns) {
            cut = true;
            continue;
        }
        out.append(line, from, i - from);
        visible += w;
    }
    if (cut && line.find('\033') != std::string::npos) {
        out += "\033[0m";
    }
    return out;
}

} // namespace

void TerminalSink::drawBlock(int64_t now)
{
    clearBlock();
    std::vector<std::string> lines = liveLines(now);
    // More gateways than the terminal has rows: the first ones, and a count
    // of the rest (the summary lists every one at the end).
    const auto [columns, rows] = terminalSize(fileno(out_));
    for (std::string &line : lines) {
        line = fitWidth(line, columns - 1);
    }
    // The question is never cut: it wraps at blanks, and the key hint at
    // its end is always seen. A yes/no question leaves the cursor a blank
    // after it, where the person types.
    std::vector<std::string> question;
    if (prompt_) {
        question = wrapText(promptText(now), columns - 1);
        for (std::string &line : question) {
            line = paint(line, kBold);
        }
        if (isYesNo(prompt_->prompt)) {
            question.back() += ' ';
        }
    }
    const int room = rows - 2 - static_cast<int>(question.size()); // a row spare for the cursor
    if (room > 0 && static_cast<int>(lines.size()) > room) {
        const size_t more = lines.size() - static_cast<size_t>(room - 1);
        lines.resize(static_cast<size_t>(room - 1));
        lines.push_back("... and " + std::to_string(more) + " more gateways");
    }
    lines.insert(lines.end(), question.begin(), question.end());
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        text += lines[i];
        if (i + 1 < lines.size()) {
            text += "\n";
        }
    }
    writer_.write(text);
    drawn_ = static_cast<int>(lines.size());
    lastColumn_ = lines.empty() ? 0 : displayWidth(lines.back());
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
        if (ev.marginal) {
            line += "  marginal: " + ev.limit;
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
    case EventKind::kPromptAnswered: {
        if (ev.prompt == catalogue::Operator::kPressButton) {
            return "";
        }
        // Each gateway's own answer, a line each.
        const std::string given = ev.answer ? ev.answer->answer : std::string();
        std::string lines;
        for (const GatewayInfo &member : membersOf(ev)) {
            std::string answer = given;
            if (ev.members.size() > 1) {
                answer = hasSlot(ev.noSlots, member.slot) ? "no" : given.empty() || given == "no" ? "yes" : given;
            }
            lines += lines.empty() ? "" : "\n";
            lines += nameOf(member);
            lines += ": ";
            lines += ev.name;
            lines += ": ";
            lines += answer;
            lines += " after ";
            lines += seconds(ev.answer ? ev.answer->ms : 0);
        }
        return lines;
    }
    case EventKind::kConnectionLost:
        return who + ": " + paint(ev.message, kRed);
    case EventKind::kNotice:
        return who + ": " + ev.message;
    case EventKind::kRunFinished: {
        std::string line = who + ": " + paint(std::string(runOutcomeName(ev.runOutcome)), colourOf(ev.runOutcome));
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
            if (prompt_ && hasSlot(prompt_->members, ev.gateway.slot) &&
                (prompt_->code == 0 || prompt_->code == ev.code)) {
                // The button's presses come in one by one; its countdown
                // ends with the gang's answer, or when every member's test
                // has ended. A yes/no question left open (the run was
                // stopped while it waited) goes with its test.
                if (prompt_->prompt == catalogue::Operator::kPressButton) {
                    if (ev.outcome == Outcome::kPass) {
                        pressed_.push_back(ev.gateway.slot);
                    }
                    ended_.push_back(ev.gateway.slot);
                    if (ended_.size() >= prompt_->members.size()) {
                        prompt_.reset();
                    }
                } else {
                    prompt_.reset();
                }
            }
            break;
        case EventKind::kPromptNeeded:
            prompt_ = ev;
            prompt_->members = membersOf(ev);
            promptSinceMs_ = now;
            pressed_.clear();
            ended_.clear();
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
        if (ev.outcome == Outcome::kFail || ev.outcome == Outcome::kNoReply || ev.outcome == Outcome::kConnectionLost ||
            ev.marginal) {
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
    // While a yes/no question waits, the person types on its last row:
    // the block stands still (as it does for the ticker) rather than wipe
    // what they typed on each event of the other gateways. Lines kept above
    // it (a failure, a notice) still redraw it.
    const bool typing = prompt_ && isYesNo(prompt_->prompt) && ev.kind != EventKind::kPromptNeeded;
    if (running_ && !typing) {
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
            text += ": " + paint(std::string(runOutcomeName(f.runOutcome)), colourOf(f.runOutcome));
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
                if (f.marginal) {
                    more += (more.empty() ? "" : "  ") + std::string("marginal: ") + f.limit;
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
    : TtyPrompter([&desk](uint64_t id, const std::vector<int> &noSlots) { return desk.answer(id, noSlots); }, fd, echo,
                  terminal)
{
}

TtyPrompter::TtyPrompter(Answer answer, int fd, bool echo, TerminalSink *terminal)
    : answer_(std::move(answer)), fd_(fd), echo_(echo), terminal_(terminal)
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

void TtyPrompter::sayQuestion(const std::string &question, const std::string &end)
{
    if (isatty(fd_) == 0) {
        say(question + end);
        return;
    }
    std::string text;
    for (const std::string &line : wrapText(question, terminalSize(fd_).first - 1)) {
        text += text.empty() ? "" : "\n";
        text += line;
    }
    say(text + end);
}

void TtyPrompter::onEvent(const Event &event)
{
    if (event.kind == EventKind::kPromptNeeded && isYesNo(event.prompt)) {
        {
            std::lock_guard lock(mutex_);
            open_ = event.promptId;
            members_ = membersOf(event);
            openCode_ = event.code;
        }
        if (echo_) {
            sayQuestion(event.question, " ");
        }
    } else if (event.kind == EventKind::kPromptNeeded && echo_) {
        sayQuestion(event.question + " within " + seconds(event.countdownMs), "\n");
    } else if (event.kind == EventKind::kPromptAnswered || event.kind == EventKind::kTestFinished) {
        // Answered, or its test ended without an answer (stopped).
        {
            std::lock_guard lock(mutex_);
            if (event.kind == EventKind::kPromptAnswered ? open_ == event.promptId
                                                         : open_ != 0 && hasSlot(members_, event.gateway.slot) &&
                                                               (openCode_ == 0 || openCode_ == event.code)) {
                open_ = 0;
            }
        }
        // Without the terminal's lines, the person still sees what each
        // gateway of a gang was answered.
        if (echo_ && event.kind == EventKind::kPromptAnswered && isYesNo(event.prompt) && event.members.size() > 1) {
            std::string text = event.name + ":";
            for (size_t i = 0; i < event.members.size(); ++i) {
                text += ' ';
                text += memberName(event.members, i);
                text += hasSlot(event.noSlots, event.members[i].slot) ? " no" : " yes";
                text += i + 1 < event.members.size() ? "," : "\n";
            }
            say(text);
        }
    }
}

// One line the person typed (Enter ended it).
void TtyPrompter::typed(const std::string &line)
{
    if (terminal_ != nullptr) {
        terminal_->lineTyped(line);
    }
    uint64_t id = 0;
    std::vector<GatewayInfo> members;
    {
        std::lock_guard lock(mutex_);
        id = open_;
        members = members_;
    }
    if (id == 0 || members.empty()) {
        return; // nothing asked: a stray Enter
    }
    if (members.size() == 1) {
        // One gateway: yes or no, as ever.
        std::string word;
        for (char c : line) {
            if (c != ' ' && c != '\t') {
                word += c;
            }
        }
        word = lower(word);
        if (word == "y" || word == "yes" || word == "n" || word == "no") {
            answer_(id, word[0] == 'y' ? std::vector<int>{} : std::vector<int>{members[0].slot});
        } else {
            say("please answer y or n: ");
        }
        return;
    }
    const GangAnswer read = readGangAnswer(line, members);
    if (read.understood) {
        answer_(id, read.noSlots);
        return;
    }
    std::string again = "not understood: ";
    again += read.notUnderstood;
    again += "; type ";
    again += read.accepted;
    again += ":";
    sayQuestion(again, " ");
}

void TtyPrompter::reader()
{
    std::string line;
    bool afterCr = false;
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
            const bool crlf = buf[i] == '\n' && afterCr;
            afterCr = buf[i] == '\r';
            if (crlf) {
                continue; // one Enter sent as CR LF: one line, not an empty one after it (yes for all)
            }
            if (buf[i] != '\n' && buf[i] != '\r') {
                line += buf[i];
                continue;
            }
            typed(line);
            line.clear();
        }
    }
}

} // namespace station
