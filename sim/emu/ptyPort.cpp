// A pty bound over a device path, and unbound again when it goes.
#include "ptyPort.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <termios.h>
#include <unistd.h>

namespace gwemu {

namespace {

std::string failure(const std::string &what) { return what + ": " + std::strerror(errno); }

} // namespace

std::string PtyPort::open(const std::string &devicePath)
{
    close();
    devicePath_ = devicePath;

    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        const std::string error = failure("posix_openpt");
        close();
        return error;
    }
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        const std::string error = failure("preparing the pty slave");
        close();
        return error;
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        const std::string error = failure("open " + slavePath_);
        close();
        return error;
    }
    // Raw until the service opens the device and sets it up itself: nothing
    // the emulator writes is echoed back to it or translated.
    termios raw{};
    if (tcgetattr(slave_, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
    }

    const int mark = ::open(devicePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (mark >= 0) {
        ::close(mark);
        created_ = true;
    } else if (errno != EEXIST) {
        const std::string error = failure("create " + devicePath_);
        close();
        return error;
    }
    if (mount(slavePath_.c_str(), devicePath_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        const std::string error = failure("bind " + slavePath_ + " over " + devicePath_);
        close();
        return error;
    }
    mounted_ = true;
    return "";
}

void PtyPort::hangUp()
{
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

void PtyPort::close()
{
    if (mounted_) {
        umount2(devicePath_.c_str(), MNT_DETACH);
        mounted_ = false;
    }
    if (created_) {
        unlink(devicePath_.c_str());
        created_ = false;
    }
    hangUp();
}

} // namespace gwemu
