// The serial port on real ptys bound at the gateway's device paths.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include "board/serial.h"
#include "capture.h"
#include "fds.h"
#include "logText.h"
#include "ptyPort.h"
#include "ptyPortTest.h"
#include "sandbox.h"
#include "virtualClock.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kDevice[] = "/dev/ttyUSB4";

// The serial messages end in ", <function>, <line>\n"; the line is masked
// like the prefix's.
std::string masked(const std::string &log)
{
    static const std::regex trailer(", ([0-9]+)\n");
    return std::regex_replace(sandbox::maskLineNumbers(log), trailer, ", N\n");
}

termios attrs(int fd)
{
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0) << std::strerror(errno);
    return t;
}

// Opens the device as a second user would, to set or inspect its settings.
int openRaw(const char *path) { return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

bool waitReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

class SerialTest : public sandbox::PtyPortTest {
protected:
    SerialTest() : PtyPortTest(kDevice) {}

    void TearDown() override
    {
        if (fd > 0) {
            close(fd);
        }
    }

    int fd = -1;
};

// --- opening ---------------------------------------------------------------

TEST_F(SerialTest, EveryListedRateOpensAtItsOwnSpeed)
{
    struct Rate {
        int bps;
        speed_t speed;
    };
    constexpr Rate kRates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
        {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
        {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const Rate &rate : kRates) {
        SCOPED_TRACE(rate.bps);
        const int opened = serial_open(kDevice, rate.bps);
        ASSERT_GT(opened, 0);
        const termios t = attrs(opened);
        EXPECT_EQ(cfgetispeed(&t), rate.speed);
        EXPECT_EQ(cfgetospeed(&t), rate.speed);
        EXPECT_EQ(serial_close(opened), 0);
    }
}

TEST_F(SerialTest, UnsupportedRatesAreRefusedWithoutOpeningAnything)
{
    const auto fdsBefore = sandbox::openFds();
    for (const int rate : {0, 100, -1, 14400, 115201, 4000001}) {
        SCOPED_TRACE(rate);
        // A missing device would be reported if it were opened at all.
        sandbox::OutputCapture out;
        const int onMissing = serial_open("/dev/ttyUSB9", rate);
        const int onPresent = serial_open(kDevice, rate);
        const std::string log = out.finish();
        EXPECT_EQ(onMissing, -1);
        EXPECT_EQ(onPresent, -1);
        EXPECT_EQ(log, "");
    }
    EXPECT_EQ(serial_open(nullptr, 115200), -1);
    EXPECT_EQ(sandbox::openFds(), fdsBefore);
}

TEST_F(SerialTest, OpenMakesTheLineRaw8N1AndTheDescriptorNonBlocking)
{
    // Start from a cooked line with flow control, two stop bits and the
    // modem lines honoured, as a port can be left by another program.
    {
        const int other = openRaw(kDevice);
        ASSERT_GE(other, 0);
        termios t = attrs(other);
        t.c_iflag = BRKINT | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXANY | IXOFF | IMAXBEL;
        t.c_oflag = OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET | NL1 | TAB3;
        t.c_cflag = (t.c_cflag & ~(CLOCAL | HUPCL)) | CSTOPB | CRTSCTS;
        t.c_lflag = ISIG | ICANON | ECHO | IEXTEN | ECHOE | ECHOK | ECHONL | NOFLSH | ECHOCTL;
        t.c_cc[VMIN] = 7;
        t.c_cc[VTIME] = 3;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        ASSERT_EQ(tcsetattr(other, TCSANOW, &t), 0);
        close(other);
    }

    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    const termios t = attrs(fd);

    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    // Only the translations go; delay settings stay as they were.
    EXPECT_EQ(t.c_oflag, static_cast<tcflag_t>(NL1 | TAB3));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0U);
    EXPECT_EQ(t.c_cflag & (CREAD | HUPCL | CLOCAL), static_cast<tcflag_t>(CREAD | HUPCL | CLOCAL));
    EXPECT_EQ(t.c_lflag, static_cast<tcflag_t>(ECHOE | ECHOK | ECHONL | NOFLSH | ECHOCTL));
    EXPECT_EQ(t.c_cc[VMIN], 7);
    EXPECT_EQ(t.c_cc[VTIME], 3);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(SerialTest, OpenDiscardsInputThatArrivedBefore)
{
    const int other = openRaw(kDevice);
    ASSERT_GE(other, 0);
    ASSERT_EQ(write(port.master(), "stale", 5), 5);
    ASSERT_TRUE(waitReadable(other, 1000));
    close(other);

    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    std::array<char, 16> buf{};
    EXPECT_EQ(serial_read(fd, buf.data(), static_cast<int>(buf.size()), 0), 0);
}

TEST_F(SerialTest, FailedOpensSayWhyAndLeaveNothingOpen)
{
    sandbox::writeFile("/tmp/plain", "not a tty\n");
    struct Case {
        const char *path;
        int result;
        const char *log;
    };
    // clang-format off
    const Case cases[] = {
        {"/dev/ttyUSB9", -1,
         "[src/serial] serial_open() #N Couldn't open serial device \"/dev/ttyUSB9\"(No such file or directory)\n"},
        {"/dev/pts", -1, "[src/serial] serial_open() #N Couldn't open serial device \"/dev/pts\"(Is a directory)\n"},
        {"/tmp/plain", -2, "[src/serial] serial_open() #N Error getting port settings (Inappropriate ioctl for device)\n"},
    };
    // clang-format on
    const auto fdsBefore = sandbox::openFds();
    for (const Case &c : cases) {
        sandbox::OutputCapture out;
        const int result = serial_open(c.path, 115200);
        const std::string log = out.finish();
        EXPECT_EQ(result, c.result) << c.path;
        EXPECT_EQ(masked(log), c.log);
        EXPECT_EQ(sandbox::openFds(), fdsBefore) << c.path;
    }
}

// --- reading ---------------------------------------------------------------

TEST_F(SerialTest, ReadTimesOutWithNothingAndLeavesTheBufferAlone)
{
    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    for (const int timeoutMs : {0, 50}) {
        std::array<uint8_t, 8> buf;
        buf.fill(0xAA);
        sandbox::OutputCapture out;
        const int got = serial_read(fd, buf.data(), static_cast<int>(buf.size()), timeoutMs);
        const std::string log = out.finish();
        EXPECT_EQ(got, 0) << timeoutMs;
        EXPECT_EQ(log, "");
        EXPECT_THAT(buf, ::testing::Each(0xAA));
    }
}

TEST_F(SerialTest, ReadWaitsTheWholeTimeOutOfSecondsAndMilliseconds)
{
    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    std::array<char, 8> buf{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial_read(fd, buf.data(), static_cast<int>(buf.size()), 1100), 0);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    // 1 s and 100000 us: neither part may be dropped. The upper bound only
    // catches a unit mistake (seconds taken for milliseconds).
    EXPECT_GE(waited, 1100);
    EXPECT_LT(waited, 10000);
}

TEST_F(SerialTest, OneReadReturnsWhatHasArrivedUpToTheBufferSize)
{
    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(write(port.master(), "0123456789", 10), 10);
    ASSERT_TRUE(waitReadable(fd, 1000));

    std::array<char, 16> buf{};
    // A time-out of 0 still reads what is there.
    ASSERT_EQ(serial_read(fd, buf.data(), 4, 0), 4);
    EXPECT_EQ(std::string(buf.data(), 4), "0123");
    ASSERT_EQ(serial_read(fd, buf.data(), static_cast<int>(buf.size()), 100), 6);
    EXPECT_EQ(std::string(buf.data(), 6), "456789");
    EXPECT_EQ(buf[6], '\0');
}

TEST_F(SerialTest, ReadOfAHungUpLineFails)
{
    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    port.hangUp();
    std::array<char, 16> buf{};
    sandbox::OutputCapture out;
    const int got = serial_read(fd, buf.data(), static_cast<int>(buf.size()), 100);
    const std::string log = out.finish();
    EXPECT_EQ(got, -4);
    EXPECT_EQ(masked(log), "[src/serial] serial_read() #N error: read, serial_read, N\n");
}

// --- writing ---------------------------------------------------------------

TEST_F(SerialTest, WriteSendsTheBytesAsTheyAre)
{
    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    // No CR/NL translation on the way out.
    EXPECT_EQ(serial_write(fd, "AT\r\n", 4, 100), 4);
    // One byte more is asked for: nothing follows the four.
    EXPECT_EQ(sandbox::readArrived(port.master(), 5, 500), "AT\r\n");
}

TEST_F(SerialTest, WriteTimesOutWhenThePeerStopsReading)
{
    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    // Nobody reads the master.
    sandbox::fillLine(fd);
    sandbox::OutputCapture out;
    const int written = serial_write(fd, "AT\r", 3, 0);
    const std::string log = out.finish();
    EXPECT_EQ(written, 0);
    EXPECT_EQ(log, "");
}

TEST_F(SerialTest, BadArgumentsAreRefusedAndNothingMoves)
{
    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    char buf[8] = {};
    struct Case {
        const char *what;
        int fd;
        bool nullBuffer;
        int len;
    };
    // clang-format off
    const Case cases[] = {
        {"negative descriptor", -1, false, 3},
        // select() cannot watch it; setting it would write past the fd_set.
        {"descriptor beyond select's reach", FD_SETSIZE, false, 3},
        {"null buffer", fd, true, 3},
        {"length 0", fd, false, 0},
        {"negative length", fd, false, -5},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sandbox::OutputCapture out;
        const int w = serial_write(c.fd, c.nullBuffer ? nullptr : "AT\r", c.len, 100);
        const int r = serial_read(c.fd, c.nullBuffer ? nullptr : buf, c.len, 100);
        const std::string log = out.finish();
        EXPECT_EQ(w, -1);
        EXPECT_EQ(r, -1);
        EXPECT_EQ(masked(log), "[src/serial] serial_write() #N error, err argments, serial_write, N\n"
                               "[src/serial] serial_read() #N error, err argments, serial_read, N\n");
    }
    EXPECT_EQ(sandbox::readArrived(port.master(), 1, 50), "");
}

TEST_F(SerialTest, MessagesRepeatTheLineOfTheirPrefix)
{
    sandbox::OutputCapture out;
    serial_write(-1, "x", 1, 0);
    serial_read(-1, nullptr, 0, 0);
    serial_clear(-1);
    const std::string log = out.finish();
    const std::regex line(R"(\[src/serial\] (\w+)\(\) #([0-9]+) error, err argments, \1, \2\n)");
    EXPECT_EQ(std::regex_replace(log, line, "ok\n"), "ok\nok\nok\n") << log;
}

TEST_F(SerialTest, SelectFailuresAreReported)
{
    // A descriptor that was just closed, and a negative time-out, which
    // select() itself refuses.
    struct Case {
        const char *what;
        int fd;
        int timeoutMs;
    };
    fd = serial_open(kDevice, 115200);
    ASSERT_GT(fd, 0);
    // Well above the lowest free numbers, which the output capture takes.
    const int closedFd = fcntl(fd, F_DUPFD_CLOEXEC, 60);
    ASSERT_GE(closedFd, 60);
    close(closedFd);
    // clang-format off
    const Case cases[] = {{"closed descriptor", closedFd, 100}, {"negative time-out", fd, -1}};
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char buf[4];
        sandbox::OutputCapture out;
        const int w = serial_write(c.fd, "x", 1, c.timeoutMs);
        const int r = serial_read(c.fd, buf, sizeof buf, c.timeoutMs);
        const std::string log = out.finish();
        EXPECT_EQ(w, -2);
        EXPECT_EQ(r, -2);
        EXPECT_EQ(masked(log), "[src/serial] serial_write() #N error : select, serial_write, N\n"
                               "[src/serial] serial_read() #N error : select, serial_read, N\n");
    }
}

// An eventfd is always writable while its counter is below the maximum, but
// refuses (EAGAIN) a value that would reach it: a port that stays busy.
TEST(SerialWrite, BusyPortGetsThreeAttemptsOneMillisecondApart)
{
    const int busy = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(busy, 0);
    const uint64_t nearlyFull = UINT64_MAX - 2;
    ASSERT_EQ(write(busy, &nearlyFull, sizeof nearlyFull), 8);

    const uint64_t two = 2;
    sandbox::VirtualClock clock;
    sandbox::OutputCapture out;
    const int written = serial_write(busy, &two, sizeof two, 100);
    const std::string log = out.finish();
    EXPECT_EQ(written, -3);
    EXPECT_THAT(clock.sleeps(), ElementsAre(1000U, 1000U));
    EXPECT_EQ(masked(log), "[src/serial] serial_write() #N error: write, serial_write, N\n");
    close(busy);
}

TEST(SerialWrite, OtherWriteErrorsAreNotRetried)
{
    const int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(efd, 0);
    sandbox::VirtualClock clock;
    sandbox::OutputCapture out;
    // An eventfd takes 8 bytes at a time: EINVAL.
    const int written = serial_write(efd, "abcd", 4, 100);
    const std::string log = out.finish();
    EXPECT_EQ(written, -3);
    EXPECT_THAT(clock.sleeps(), IsEmpty());
    EXPECT_EQ(masked(log), "[src/serial] serial_write() #N error: write, serial_write, N\n");
    close(efd);
}

// --- clear and close -------------------------------------------------------

TEST_F(SerialTest, ClearAppliesTheSettingsOfThePortOpenedLast)
{
    gwemu::PtyPort second;
    ASSERT_EQ(second.open("/dev/ttyS1"), "");
    // The two lines start out different in what serial_open keeps.
    const auto preset = [](const char *path, tcflag_t lflag, cc_t vmin) {
        const int other = openRaw(path);
        ASSERT_GE(other, 0);
        termios t = attrs(other);
        t.c_lflag = lflag;
        t.c_cc[VMIN] = vmin;
        ASSERT_EQ(tcsetattr(other, TCSANOW, &t), 0);
        close(other);
    };
    preset(kDevice, ECHOE, 2);
    preset("/dev/ttyS1", ECHOK, 9);

    fd = serial_open(kDevice, 9600);
    ASSERT_GT(fd, 0);
    const int fdB = serial_open("/dev/ttyS1", 115200);
    ASSERT_GT(fdB, 0);
    const termios settingsB = attrs(fdB);

    // Someone changes port A, and input is waiting on it.
    termios changed = attrs(fd);
    changed.c_iflag |= ICRNL;
    changed.c_lflag |= ICANON;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &changed), 0);
    ASSERT_EQ(write(port.master(), "junk\n", 5), 5);
    ASSERT_TRUE(waitReadable(fd, 1000));

    ASSERT_EQ(serial_clear(fd), 0);

    const termios t = attrs(fd);
    EXPECT_EQ(t.c_iflag, settingsB.c_iflag);
    EXPECT_EQ(t.c_oflag, settingsB.c_oflag);
    EXPECT_EQ(t.c_cflag, settingsB.c_cflag);
    EXPECT_EQ(t.c_lflag, settingsB.c_lflag);
    EXPECT_EQ(t.c_lflag, static_cast<tcflag_t>(ECHOK));
    EXPECT_EQ(t.c_cc[VMIN], 9);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    char buf[8];
    EXPECT_EQ(serial_read(fd, buf, sizeof buf, 0), 0) << "unread input is discarded";
    serial_close(fdB);
}

TEST_F(SerialTest, ClearRefusals)
{
    sandbox::writeFile("/tmp/plain", "");
    const int plain = open("/tmp/plain", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(plain, 0);
    sandbox::OutputCapture out;
    const int negative = serial_clear(-1);
    const int notATty = serial_clear(plain);
    const std::string log = out.finish();
    EXPECT_EQ(negative, -1);
    EXPECT_EQ(notATty, -2);
    EXPECT_EQ(masked(log),
              "[src/serial] serial_clear() #N error, err argments, serial_clear, N\n"
              "[src/serial] serial_clear() #N Error setting port settings (Inappropriate ioctl for device)\n");
    close(plain);
}

TEST_F(SerialTest, CloseClosesPortsButNeverStandardInput)
{
    if (fcntl(0, F_GETFD) == -1) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
    }
    const int opened = serial_open(kDevice, 115200);
    ASSERT_GT(opened, 0);
    sandbox::OutputCapture out;
    const int zero = serial_close(0);
    const int negative = serial_close(-7);
    const int port = serial_close(opened);
    const std::string log = out.finish();
    EXPECT_EQ(zero, -1);
    EXPECT_EQ(negative, -1);
    EXPECT_EQ(port, 0);
    EXPECT_NE(fcntl(0, F_GETFD), -1) << "descriptor 0 must stay open";
    EXPECT_EQ(fcntl(opened, F_GETFD), -1);
    EXPECT_EQ(log, "");
}

} // namespace
