// A pseudo-terminal standing in for one of the gateway's serial devices: its
// slave is bound over the device path (/dev/ttyUSB4, /dev/ttyS1, ...), and
// the emulated modem or radio talks on its master. Needs a private mount
// namespace whose /dev has its own devpts instance and ptmx.
#pragma once

#include <string>

namespace gwemu {

class PtyPort {
public:
    PtyPort() = default;
    ~PtyPort() { close(); }
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    // Opens a pty and binds its slave over devicePath (an empty file is
    // created there first when the path does not exist). Returns "" or what
    // failed; on failure nothing is left behind.
    std::string open(const std::string &devicePath);

    // Unbinds the device path, removes the file open() created and closes
    // both ends. Also done on destruction.
    void close();

    // The emulator's end: non-blocking, -1 when not open or hung up.
    int master() const { return master_; }
    const std::string &devicePath() const { return devicePath_; }
    // The slave under /dev/pts.
    const std::string &slavePath() const { return slavePath_; }

    // The device goes away: both ends are closed, so whoever holds the
    // device open sees the line hung up. Stop the emulator on master() first.
    void hangUp();

private:
    int master_ = -1;
    // Held open for the life of the port, so that the master does not see
    // the line hang up each time the service closes the device.
    int slave_ = -1;
    std::string devicePath_;
    std::string slavePath_;
    bool created_ = false;
    bool mounted_ = false;
};

} // namespace gwemu
