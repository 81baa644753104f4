// The far end of an emulated serial line: a thread that reads what the
// service sends and answers by rules of the form "on receiving these bytes,
// write these after so many milliseconds". The modem is one set of rules
// (modem.h); other peers, such as the NXP radio answering its probe frame,
// are others.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gwemu {

// One piece of an answer, written delayMs after the previous piece (the
// first one after the trigger arrived).
struct Chunk {
    unsigned delayMs;
    std::string bytes;
};
using Answer = std::vector<Chunk>;

struct Rule {
    // The bytes that trigger the rule. Input is taken as a stream: the rule
    // whose trigger ends first in it fires (the earlier rule on a tie), and
    // everything up to the end of that trigger is used up.
    std::string trigger;
    // The answer; `request` is the input used up (stray bytes before the
    // trigger included), `hit` counts this rule's firings from 1. An empty
    // answer is silence.
    std::function<Answer(const std::string &request, unsigned hit)> answer;
};

class SerialEmulator {
public:
    // Starts answering on fd (not owned; must stay open until stop()).
    SerialEmulator(int fd, std::vector<Rule> rules);
    ~SerialEmulator() { stop(); }
    SerialEmulator(const SerialEmulator &) = delete;
    SerialEmulator &operator=(const SerialEmulator &) = delete;

    // Ends the thread, also in the middle of a delayed answer.
    void stop();

    // Every byte received so far, in order.
    std::string received() const;
    // Waits (real time) until the bytes received contain `bytes`.
    bool waitForReceived(const std::string &bytes, int timeoutMs) const;

private:
    void run();
    // Answers every complete trigger in the pending input; false when told to stop.
    bool serve(std::string &pending);
    // Waits ms unless told to stop; false when told to stop.
    bool pause(unsigned ms) const;
    // Writes the bytes, waiting for room; false when told to stop meanwhile.
    bool writeAll(const std::string &bytes) const;

    int fd_;
    int stopFd_ = -1;
    std::vector<Rule> rules_;
    std::vector<unsigned> hits_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::string received_;
    std::thread thread_;
};

} // namespace gwemu
