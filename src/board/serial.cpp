// The gateway's serial lines: raw 8N1 ttys with select time-outs.
#include "board/serial.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include "clock.h"
#include "fdOwner.h"
#include "log.h"

namespace {

constexpr char kLogModule[] = "src/serial";

struct BaudEntry {
    int rate;
    speed_t speed;
};

// The rates a port can be opened at. 0 (B0) would hang the line up, so it
// is not a rate here.
constexpr std::array<BaudEntry, 30> kBaudTable{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
}};

// Write attempts while the driver says EAGAIN, and the pause between them.
constexpr int kWriteAttempts = 3;
constexpr uint64_t kWriteRetryPauseUs = 1000;

// The settings of the port opened last; serial_clear applies them again.
termios serialTermios{};

const BaudEntry *baudLookup(int rate)
{
    for (const BaudEntry &entry : kBaudTable) {
        if (entry.rate == rate) {
            return &entry;
        }
    }
    return nullptr;
}

timeval msToTimeval(int ms) { return timeval{ms / 1000, (ms % 1000) * 1000}; }

// select() can only watch descriptors below FD_SETSIZE; a larger one would
// be set beyond the end of the fd_set.
bool selectable(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

enum class Await { Readable, Writable };

// The prologue of serial_read and serial_write, logged under the caller's
// name: checks the arguments, then waits in select for the port to become
// readable or writable. Returns 1 when it is, 0 when the time-out passed,
// -1 bad argument, -2 select failed, -3 select did not name the port.
int awaitPort(const char *caller, int fd, const void *buf, int len, Await what, int timeoutMs)
{
    if (!selectable(fd) || buf == nullptr || len <= 0) {
        GW_LOG_AS(caller, "error, err argments, %s, %d\n", caller, __LINE__);
        return -1;
    }

    timeval timeout = msToTimeval(timeoutMs);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    fd_set *readSet = what == Await::Readable ? &set : nullptr;
    fd_set *writeSet = what == Await::Writable ? &set : nullptr;
    const int ready = select(fd + 1, readSet, writeSet, nullptr, &timeout);
    if (ready < 0) {
        GW_LOG_AS(caller, "error : select, %s, %d\n", caller, __LINE__);
        return -2;
    }
    if (ready == 0) {
        return 0;
    }
    if (!FD_ISSET(fd, &set)) {
        GW_LOG_AS(caller, "error : select, %s, %d\n", caller, __LINE__);
        return -3;
    }
    return 1;
}

} // namespace

int serial_open(const char *path, int baud)
{
    const BaudEntry *entry = baudLookup(baud);
    if (entry == nullptr || path == nullptr) {
        return -1;
    }

    UniqueFd fd(open(path, O_RDWR | O_NOCTTY));
    if (!fd.valid()) {
        GW_LOG("Couldn't open serial device \"%s\"(%s)\n", path, std::strerror(errno));
        return -1;
    }
    if (tcgetattr(fd.get(), &serialTermios) != 0) {
        GW_LOG("Error getting port settings (%s)\n", std::strerror(errno));
        return -2;
    }

    // Raw bytes in: no break or parity handling beyond ignoring them, no
    // CR/NL translation, no software flow control.
    serialTermios.c_iflag = IGNBRK | IGNPAR;
    // Raw bytes out.
    serialTermios.c_oflag &= ~(OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET);
    // 8N1, no RTS/CTS, receiver on, modem lines ignored, hang up on last close.
    serialTermios.c_cflag &= ~(CSIZE | CSTOPB | PARENB | CRTSCTS);
    serialTermios.c_cflag |= CS8 | CREAD | HUPCL | CLOCAL;
    // No signals, no line editing, no echo. VMIN and VTIME stay as the port
    // had them: the descriptor is non-blocking and reads wait in select.
    serialTermios.c_lflag &= ~(ISIG | ICANON | ECHO | IEXTEN);
    cfsetispeed(&serialTermios, entry->speed);
    cfsetospeed(&serialTermios, entry->speed);

    if (tcsetattr(fd.get(), TCSAFLUSH, &serialTermios) != 0) {
        GW_LOG("Error setting port settings (%s)\n", std::strerror(errno));
        return -3;
    }
    fcntl(fd.get(), F_SETFL, O_NONBLOCK);
    return fd.release();
}

int serial_write(int fd, const void *data, int len, int timeoutMs)
{
    const int ready = awaitPort(__func__, fd, data, len, Await::Writable, timeoutMs);
    if (ready <= 0) {
        return ready;
    }

    for (int attempt = 1;; ++attempt) {
        errno = 0;
        const ssize_t written = write(fd, data, static_cast<size_t>(len));
        if (written > 0) {
            return static_cast<int>(written);
        }
        // A driver that is momentarily full gets two more chances.
        if (written < 0 && errno == EAGAIN && attempt < kWriteAttempts) {
            gwSleepUs(kWriteRetryPauseUs);
            continue;
        }
        break;
    }
    GW_LOG("error: write, %s, %d\n", __func__, __LINE__);
    return -3;
}

int serial_read(int fd, void *buf, int size, int timeoutMs)
{
    const int ready = awaitPort(__func__, fd, buf, size, Await::Readable, timeoutMs);
    if (ready <= 0) {
        return ready;
    }

    const ssize_t got = read(fd, buf, static_cast<size_t>(size));
    if (got <= 0) {
        GW_LOG("error: read, %s, %d\n", __func__, __LINE__);
        return -4;
    }
    return static_cast<int>(got);
}

int serial_clear(int fd)
{
    if (fd < 0) {
        GW_LOG("error, err argments, %s, %d\n", __func__, __LINE__);
        return -1;
    }
    if (tcsetattr(fd, TCSAFLUSH, &serialTermios) != 0) {
        GW_LOG("Error setting port settings (%s)\n", std::strerror(errno));
        return -2;
    }
    return 0;
}

int serial_close(int fd)
{
    if (fd <= 0) {
        return -1;
    }
    close(fd);
    return 0;
}

SerialPort::~SerialPort()
{
    // serial_close leaves descriptor 0 alone; here it is the port.
    if (serial_close(fd_) < 0 && fd_ == 0) {
        close(fd_);
    }
}
