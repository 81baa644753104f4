// The serial side of the test kit: the pty-port fixture, the line helpers and
// the emulated NXP radio of the carrier tests behave as the serial, AT and
// carrier tests rely on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "carrierBoard.h"
#include "ptyPortTest.h"
#include "sandbox.h"
#include "tools.h"

namespace {

using ::testing::ElementsAre;

constexpr char kDevice[] = "/dev/ttyUSB4";

int openLine(const char *path) { return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

class PtyKit : public sandbox::PtyPortTest {
protected:
    PtyKit() : PtyPortTest(kDevice) {}
};

TEST_F(PtyKit, PortIsTheDeviceAtItsPath)
{
    struct stat device {};
    struct stat slave {};
    ASSERT_EQ(stat(kDevice, &device), 0);
    ASSERT_EQ(stat(port.slavePath().c_str(), &slave), 0);
    EXPECT_TRUE(S_ISCHR(device.st_mode));
    EXPECT_EQ(device.st_rdev, slave.st_rdev);

    const int fd = openLine(kDevice);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "AT\r", 3), 3);
    EXPECT_EQ(sandbox::readArrived(port.master(), 3, 1000), "AT\r");
    ASSERT_EQ(write(port.master(), "OK", 2), 2);
    EXPECT_EQ(sandbox::readArrived(fd, 2, 1000), "OK");
    close(fd);
}

TEST_F(PtyKit, WaitForUnreadCountsTheBytesWaitingOnTheDevice)
{
    EXPECT_FALSE(sandbox::waitForUnread(kDevice, 1, 50));
    ASSERT_EQ(write(port.master(), "12345", 5), 5);
    EXPECT_TRUE(sandbox::waitForUnread(kDevice, 5));
    EXPECT_FALSE(sandbox::waitForUnread(kDevice, 6, 50));
    EXPECT_FALSE(sandbox::waitForUnread("/dev/ttyUSB9", 0, 50)) << "no such device";
    // Looking does not take the bytes.
    const int fd = openLine(kDevice);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sandbox::readArrived(fd, 5, 1000), "12345");
    close(fd);
}

TEST_F(PtyKit, FilledLineTakesNoMore)
{
    const int fd = openLine(kDevice);
    ASSERT_GE(fd, 0);
    sandbox::fillLine(fd);
    pollfd p{fd, POLLOUT, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0);
    errno = 0;
    EXPECT_EQ(write(fd, "x", 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(fd);
}

class CarrierKit : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override { sandbox::setUpCarrierBoard(); }
};

TEST_F(CarrierKit, RadioAnswersEachProbeAtItsUartAsTold)
{
    sandbox::NxpRadio radio([](unsigned hit) { return hit == 2 ? gwemu::Answer{} : gwemu::Answer{{0, "ack"}}; });
    ASSERT_EQ(radio.error(), "");
    const int fd = openLine(sandbox::kNxpUart);
    ASSERT_GE(fd, 0);
    for (const char *expected : {"ack", "", "ack"}) {
        ASSERT_EQ(write(fd, sandbox::kNxpProbe.data(), sandbox::kNxpProbe.size()), 7);
        EXPECT_EQ(sandbox::readArrived(fd, 3, *expected != '\0' ? 2000 : 200), expected);
    }
    EXPECT_EQ(radio.received(), sandbox::kNxpProbe + sandbox::kNxpProbe + sandbox::kNxpProbe);
    close(fd);
}

TEST_F(CarrierKit, DefaultRadioAcknowledgesAndTheToolsLog)
{
    sandbox::NxpRadio radio;
    ASSERT_EQ(radio.error(), "");
    const int fd = openLine(sandbox::kNxpUart);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, sandbox::kNxpProbe.data(), sandbox::kNxpProbe.size()), 7);
    EXPECT_EQ(sandbox::readArrived(fd, 7, 2000), sandbox::kNxpAck);
    close(fd);

    EXPECT_EQ(sandbox::sh("/etc/init.d/nxp stop && tovak_ucmd.sh tone 15 20 && ubus send TK.BLE x"), 0);
    EXPECT_THAT(sandbox::toolCalls(),
                ElementsAre("/etc/init.d/nxp stop", "tovak_ucmd.sh tone 15 20", "ubus send TK.BLE x"));
}

} // namespace
