// One of the gateway's serial devices with its far end: a pty bound at the
// device path and a peer answering on it by rules (a modem, the NXP radio).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ptyPort.h"
#include "serialEmulator.h"

namespace gwemu {

class EmulatedPort {
public:
    EmulatedPort(const std::string &devicePath, std::vector<Rule> rules)
    {
        error_ = port_.open(devicePath);
        if (error_.empty()) {
            peer_.emplace(port_.master(), std::move(rules));
        }
    }
    EmulatedPort(const EmulatedPort &) = delete;
    EmulatedPort &operator=(const EmulatedPort &) = delete;
    ~EmulatedPort()
    {
        peer_.reset(); // the peer's thread ends before its pty closes
    }

    // "" when the port is in place, else what failed.
    const std::string &error() const { return error_; }
    std::string received() const { return peer_ ? peer_->received() : std::string(); }
    const PtyPort &pty() const { return port_; }

private:
    PtyPort port_;
    std::optional<SerialEmulator> peer_;
    std::string error_;
};

} // namespace gwemu
