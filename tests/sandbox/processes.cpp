// Watching background processes and their pid files.
#include "processes.h"

#include <chrono>
#include <fstream>
#include <thread>

namespace sandbox {

namespace {

constexpr int kPolls = 500;
constexpr auto kPollPause = std::chrono::milliseconds(10);

} // namespace

bool processRunning(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all;
    if (!std::getline(stat, all)) {
        return false;
    }
    // The state follows the name in parentheses, which may hold anything.
    const auto close = all.rfind(") ");
    if (close == std::string::npos || close + 2 >= all.size()) {
        return false;
    }
    const char state = all[close + 2];
    return state != 'Z' && state != 'X';
}

bool waitUntilStopped(pid_t pid)
{
    for (int i = 0; i < kPolls && processRunning(pid); ++i) {
        std::this_thread::sleep_for(kPollPause);
    }
    return !processRunning(pid);
}

pid_t waitForPidFile(const std::string &path)
{
    for (int i = 0; i < kPolls; ++i) {
        std::ifstream in(path);
        pid_t pid = 0;
        if (in >> pid && pid > 0) {
            return pid;
        }
        std::this_thread::sleep_for(kPollPause);
    }
    return -1;
}

} // namespace sandbox
