// A station page whose gateways are played by a script instead of the
// engine: each started slot asks for its MAC, then for two LEDs (the page's
// operator answers), then ends pass or fail by the answers. Slots started
// together (Start all) are a gang: one button question for all (the first
// press 1 s in, the second 5 s later, the rest 1 s apart), then one question
// about their power LED. Lets the
// browser tests check the page itself in seconds, with no gateway.
//
//   fakeStation [--listen ADDR:PORT] [--token TOKEN] [--slots N]
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "front/web/hub.h"
#include "front/web/server.h"

namespace {

using namespace station;

class ScriptRunner : public web::Runner {
public:
    explicit ScriptRunner(web::Hub &hub) : hub_(hub) {}
    ~ScriptRunner() override
    {
        stop();
        for (auto &t : threads_) {
            t.join();
        }
    }

    bool start(const std::vector<std::pair<int, Target>> &slots, std::string &) override
    {
        std::lock_guard lock(mutex_);
        if (slots.size() > 1) {
            threads_.emplace_back([this, slots] { playGang(slots); });
            return true;
        }
        for (const auto &[id, target] : slots) {
            threads_.emplace_back([this, id = id, target = target] { play(id, target); });
        }
        return true;
    }
    void stop() override
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        cv_.notify_all();
    }
    bool answer(uint64_t promptId, bool yes) override
    {
        std::lock_guard lock(mutex_);
        auto it = open_.find(promptId);
        if (it == open_.end() || it->second) {
            return false;
        }
        it->second = yes ? 1 : 2;
        cv_.notify_all();
        return true;
    }
    bool answer(uint64_t promptId, const std::vector<int> &noSlots) override
    {
        std::lock_guard lock(mutex_);
        auto it = open_.find(promptId);
        if (it == open_.end() || it->second) {
            return false;
        }
        const std::vector<int> &members = members_[promptId];
        for (int slot : noSlots) {
            if (std::find(members.begin(), members.end(), slot) == members.end()) {
                return false;
            }
        }
        it->second = noSlots.empty() ? 1 : 2;
        no_[promptId] = noSlots;
        cv_.notify_all();
        return true;
    }

private:
    Event base(EventKind kind, int id, const Target &target)
    {
        Event e;
        e.kind = kind;
        e.gateway.slot = id;
        e.gateway.host = target.host;
        e.gateway.port = target.port;
        e.gateway.label = target.label;
        e.gateway.model = "GWM0202";
        e.gateway.mac = "02:47:57:02:00:0" + std::to_string(id);
        e.runId = "fake-" + std::to_string(id);
        e.unixMs = station::unixMsNow();
        return e;
    }

    // Waits for the page's answer; nullopt when stopped.
    std::optional<bool> ask(int id, const Target &target, uint64_t promptId, const std::string &question)
    {
        {
            std::lock_guard lock(mutex_);
            open_[promptId] = 0;
        }
        Event e = base(EventKind::kPromptNeeded, id, target);
        e.promptId = promptId;
        e.prompt = catalogue::Operator::kLedLit;
        e.question = question;
        hub_.onEvent(e);
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return stopped_ || open_[promptId] != 0; });
        if (open_[promptId] == 0) {
            return std::nullopt;
        }
        const bool yes = open_[promptId] == 1;
        lock.unlock();
        Event answered = base(EventKind::kPromptAnswered, id, target);
        answered.promptId = promptId;
        hub_.onEvent(answered);
        return yes;
    }

    // The slots started together: each run's start, its MAC, then one
    // button question and one power-LED question about all of them.
    void playGang(const std::vector<std::pair<int, Target>> &slots)
    {
        const std::string batch = "fake-" + std::to_string(slots.front().first);
        std::vector<GatewayInfo> members;
        std::string names;
        for (const auto &[id, target] : slots) {
            hub_.onEvent(base(EventKind::kRunStarted, id, target));
            Event plan = base(EventKind::kPlanKnown, id, target);
            plan.total = 3;
            plan.plan = {0x0001, 0x0603, 0x0701};
            hub_.onEvent(plan);
            finish(id, target, 0x0001, "mac", Outcome::kPass, "");
            members.push_back(base(EventKind::kNotice, id, target).gateway);
            names += names.empty() ? "" : " ";
            names += target.label;
        }
        auto gangEvent = [&](EventKind kind, uint64_t promptId, const std::string &gang) {
            Event e = base(kind, slots.front().first, slots.front().second);
            e.promptId = promptId;
            e.gang = gang;
            e.members = members;
            return e;
        };

        // The button: one countdown, each press as it comes.
        const std::string buttonGang = batch + "-g1";
        for (const auto &[id, target] : slots) {
            Event started = base(EventKind::kTestStarted, id, target);
            started.code = 0x0603;
            started.name = "button";
            started.gang = buttonGang;
            started.expectedMs = 10000;
            hub_.onEvent(started);
        }
        const uint64_t buttonPrompt = 9000 + static_cast<uint64_t>(slots.front().first);
        Event press = gangEvent(EventKind::kPromptNeeded, buttonPrompt, buttonGang);
        press.prompt = catalogue::Operator::kPressButton;
        press.countdownMs = 10000;
        press.question = "press the buttons of " + names;
        hub_.onEvent(press);
        // The first press 1 s in, the second 5 s after it (a window wide
        // enough for a loaded machine's browser to see one pressed and the
        // other still waiting), the rest 1 s apart.
        for (size_t i = 0; i < slots.size(); ++i) {
            if (!pause(i == 1 ? 5000 : 1000)) {
                return;
            }
            finish(slots[i].first, slots[i].second, 0x0603, "button", Outcome::kPass, buttonGang);
        }
        hub_.onEvent(gangEvent(EventKind::kPromptAnswered, buttonPrompt, buttonGang));

        // The power LED: the replies are in, then one question.
        const std::string ledGang = batch + "-g2";
        for (const auto &[id, target] : slots) {
            Event started = base(EventKind::kTestStarted, id, target);
            started.code = 0x0701;
            started.name = "led-power";
            started.gang = ledGang;
            started.expectedMs = 2000;
            hub_.onEvent(started);
        }
        const uint64_t ledPrompt = 9100 + static_cast<uint64_t>(slots.front().first);
        std::vector<int> ids;
        for (const auto &member : members) {
            ids.push_back(member.slot);
        }
        {
            std::lock_guard lock(mutex_);
            open_[ledPrompt] = 0;
            members_[ledPrompt] = ids;
        }
        Event ask = gangEvent(EventKind::kPromptNeeded, ledPrompt, ledGang);
        ask.prompt = catalogue::Operator::kLedLit;
        ask.code = 0x0701;
        ask.name = "led-power";
        ask.question = "did the power LED light for two seconds on " + names +
                       "? [y = all lit, or type the labels that stayed dark]";
        hub_.onEvent(ask);
        std::vector<int> no;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return stopped_ || open_[ledPrompt] != 0; });
            if (open_[ledPrompt] == 0) {
                return;
            }
            no = open_[ledPrompt] == 1 ? std::vector<int>{} : no_[ledPrompt];
            if (open_[ledPrompt] == 2 && no.empty()) {
                no = ids; // "no" for all alike
            }
        }
        Event answered = gangEvent(EventKind::kPromptAnswered, ledPrompt, ledGang);
        answered.noSlots = no;
        hub_.onEvent(answered);
        for (const auto &[id, target] : slots) {
            const bool dark = std::find(no.begin(), no.end(), id) != no.end();
            finish(id, target, 0x0701, "led-power", dark ? Outcome::kFail : Outcome::kPass, ledGang);
            Event end = base(EventKind::kRunFinished, id, target);
            end.runOutcome = dark ? RunOutcome::kFail : RunOutcome::kPass;
            hub_.onEvent(end);
        }
    }

    void finish(int id, const Target &target, uint16_t code, const char *name, Outcome outcome, const std::string &gang)
    {
        Event finished = base(EventKind::kTestFinished, id, target);
        finished.code = code;
        finished.name = name;
        finished.outcome = outcome;
        finished.gang = gang;
        hub_.onEvent(finished);
    }

    // False when stopped meanwhile.
    bool pause(int ms)
    {
        std::unique_lock lock(mutex_);
        return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopped_; });
    }

    void play(int id, const Target &target)
    {
        hub_.onEvent(base(EventKind::kRunStarted, id, target));
        Event plan = base(EventKind::kPlanKnown, id, target);
        plan.total = 3;
        plan.plan = {0x0001, 0x0701, 0x0705};
        hub_.onEvent(plan);
        bool failed = false;
        const std::pair<uint16_t, const char *> tests[] = {
            {0x0001, "mac"}, {0x0701, "led-power"}, {0x0705, "led-error"}};
        for (const auto &[code, name] : tests) {
            Event started = base(EventKind::kTestStarted, id, target);
            started.code = code;
            started.name = name;
            started.title = name;
            started.expectedMs = 2000;
            hub_.onEvent(started);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            Event finished = base(EventKind::kTestFinished, id, target);
            finished.code = code;
            finished.name = name;
            if (code != 0x0001) {
                const uint64_t promptId = static_cast<uint64_t>(id) * 100 + code;
                const auto yes =
                    ask(id, target, promptId,
                        std::string("did the ") + name + " LED of " + target.label + " light for two seconds?");
                if (!yes) {
                    Event end = base(EventKind::kRunFinished, id, target);
                    end.runOutcome = RunOutcome::kStopped;
                    end.message = "stopped";
                    hub_.onEvent(end);
                    return;
                }
                finished.outcome = *yes ? Outcome::kPass : Outcome::kFail;
                failed = failed || !*yes;
            }
            hub_.onEvent(finished);
        }
        Event end = base(EventKind::kRunFinished, id, target);
        end.runOutcome = failed ? RunOutcome::kFail : RunOutcome::kPass;
        hub_.onEvent(end);
    }

    web::Hub &hub_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
    std::map<uint64_t, int> open_;                 // 0 open, 1 yes, 2 no
    std::map<uint64_t, std::vector<int>> members_; // a gang's question: its slots
    std::map<uint64_t, std::vector<int>> no_;      // and those answered no
    std::list<std::thread> threads_;
};

} // namespace

int main(int argc, char **argv)
{
    std::string listen = "127.0.0.1:0";
    std::string token;
    int slots = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--listen") == 0) {
            listen = argv[i + 1];
        } else if (std::strcmp(argv[i], "--token") == 0) {
            token = argv[i + 1];
        } else if (std::strcmp(argv[i], "--slots") == 0) {
            slots = std::atoi(argv[i + 1]);
        }
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    web::Hub hub(!token.empty());
    for (int i = 0; i < slots; ++i) {
        hub.addSlot(
            Target{"10.213." + std::to_string(i) + ".2", 6666, std::string(1, static_cast<char>('A' + i)) + "1"});
    }
    ScriptRunner runner(hub);
    web::Server server(web::ServerConfig{token, ""}, hub, runner, nullptr);
    std::string error;
    if (!server.bind(listen, error)) {
        std::fprintf(stderr, "fakeStation: %s\n", error.c_str());
        return 70;
    }
    std::printf("fakeStation: http://127.0.0.1:%d/\n", server.port());
    std::fflush(stdout);
    std::thread watcher([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        runner.stop();
        server.stop();
    });
    server.serve();
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    return 0;
}
