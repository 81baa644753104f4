// A gateway serial device played by a pty (gwemu::PtyPort, the one gwsim
// uses too): the fixture of the tests that talk on one, and what a test does
// to the line from outside the code under test.
#pragma once

#include <string>
#include <utility>

#include "ptyPort.h"
#include "sandbox.h"

namespace sandbox {

// A fresh /dev (freshDev()) with `port` bound at the device path the
// fixture names, e.g. /dev/ttyUSB4.
class PtyPortTest : public SandboxTest {
protected:
    explicit PtyPortTest(std::string devicePath) : devicePath_(std::move(devicePath)) {}
    void SetUpSandbox() override;

    gwemu::PtyPort port;

private:
    std::string devicePath_;
};

// Waits (real time) until the device holds `count` unread bytes, i.e. what
// the peer wrote has all arrived; false when it did not in time.
bool waitForUnread(const std::string &devicePath, int count, int timeoutMs = 5000);

// Reads what arrives on the descriptor until at least `count` bytes came,
// or nothing more came for `waitMs`.
std::string readArrived(int fd, size_t count, int waitMs);

// Writes to the (non-blocking) descriptor until the line takes no more, also
// once the bytes in flight have settled on the other side: a peer that
// stopped reading.
void fillLine(int fd);

} // namespace sandbox
