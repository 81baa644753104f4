// The far end of an emulated serial line: its thread, its rules, its log.
#include "serialEmulator.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace gwemu {

namespace {

// Input that matches no trigger is kept up to this much (the newest bytes),
// enough for any command or frame split over several reads.
constexpr size_t kMaxPending = 4096;
// Back-off while the line is hung up and there is nothing to read.
constexpr int kHangUpPollMs = 20;

} // namespace

SerialEmulator::SerialEmulator(int fd, std::vector<Rule> rules)
    : fd_(fd), rules_(std::move(rules)), hits_(rules_.size(), 0)
{
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ >= 0) {
        thread_ = std::thread([this] { run(); });
    }
}

void SerialEmulator::stop()
{
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (stopFd_ >= 0) {
        close(stopFd_);
        stopFd_ = -1;
    }
}

std::string SerialEmulator::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

bool SerialEmulator::waitForReceived(const std::string &bytes, int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return received_.find(bytes) != std::string::npos; });
}

void SerialEmulator::run()
{
    std::string pending;
    char buf[512];
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) {
                {
                    std::lock_guard lock(mutex_);
                    received_.append(buf, static_cast<size_t>(n));
                }
                arrived_.notify_all();
                pending.append(buf, static_cast<size_t>(n));
                if (!serve(pending)) {
                    return;
                }
                continue;
            }
        }
        // Hung up or nothing readable after all: wait a little, or for stop.
        if (!pause(kHangUpPollMs)) {
            return;
        }
    }
}

bool SerialEmulator::serve(std::string &pending)
{
    for (;;) {
        size_t bestEnd = std::string::npos;
        size_t best = rules_.size();
        for (size_t i = 0; i < rules_.size(); ++i) {
            const std::string &trigger = rules_[i].trigger;
            if (trigger.empty()) {
                continue;
            }
            const size_t at = pending.find(trigger);
            if (at != std::string::npos && at + trigger.size() < bestEnd) {
                bestEnd = at + trigger.size();
                best = i;
            }
        }
        if (best == rules_.size()) {
            break;
        }
        const std::string request = pending.substr(0, bestEnd);
        pending.erase(0, bestEnd);
        const unsigned hit = ++hits_[best];
        const Answer answer = rules_[best].answer ? rules_[best].answer(request, hit) : Answer{};
        for (const Chunk &chunk : answer) {
            if (!pause(chunk.delayMs)) {
                return false;
            }
            if (!writeAll(chunk.bytes)) {
                return false;
            }
        }
    }
    if (pending.size() > kMaxPending) {
        pending.erase(0, pending.size() - kMaxPending);
    }
    return true;
}

bool SerialEmulator::pause(unsigned ms) const
{
    if (ms == 0) {
        return true;
    }
    pollfd stopped{stopFd_, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return true;
        }
        const int r = poll(&stopped, 1, static_cast<int>(left.count()));
        if (r > 0) {
            return false;
        }
        if (r < 0 && errno != EINTR) {
            return true;
        }
    }
}

bool SerialEmulator::writeAll(const std::string &bytes) const
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            // The line is full: the service is not reading. Wait for room or stop.
            pollfd fds[2] = {{fd_, POLLOUT, 0}, {stopFd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) {
                return true;
            }
            if (fds[1].revents != 0) {
                return false;
            }
            continue;
        }
        // The line is gone: the answer is lost, as it would be on a wire.
        return true;
    }
    return true;
}

} // namespace gwemu
