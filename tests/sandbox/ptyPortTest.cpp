// The pty-port fixture and the line helpers.
#include "ptyPortTest.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace sandbox {

void PtyPortTest::SetUpSandbox()
{
    freshDev();
    ASSERT_EQ(port.open(devicePath_), "");
}

bool waitForUnread(const std::string &devicePath, int count, int timeoutMs)
{
    const int fd = open(devicePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int queued = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ioctl(fd, FIONREAD, &queued) == 0 && queued < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(fd);
    return queued >= count;
}

std::string readArrived(int fd, size_t count, int waitMs)
{
    std::string all;
    pollfd p{fd, POLLIN, 0};
    while (all.size() < count && poll(&p, 1, waitMs) == 1) {
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        all.append(buf, static_cast<size_t>(n));
    }
    return all;
}

void fillLine(int fd)
{
    const std::string block(256, 'x');
    for (int round = 0; round < 100; ++round) {
        while (write(fd, block.data(), block.size()) > 0 || write(fd, "x", 1) > 0) {
        }
        // The kernel moves what was written into the other side's line buffer
        // from a worker, and each move frees room again. On a loaded machine
        // that worker may run long after the last write, so the line counts as
        // full only once it has stayed unwritable for a while.
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 300) == 0) {
            break;
        }
    }
}

} // namespace sandbox
