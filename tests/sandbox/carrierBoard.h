// The fake board of the single-carrier tests, unit and service alike: a
// private /etc and /dev, stand-ins for the tools the tests run (the NXP
// radio's init script, tovak_ucmd.sh, ubus), and the NXP radio emulated on a
// pty at its UART, answering the probe frame.
#pragma once

#include <functional>
#include <string>

#include "emulatedPort.h"

namespace sandbox {

inline constexpr char kNxpUart[] = "/dev/ttyS1";
// The frame the NXP carrier test sends, and the radio's acknowledgement.
inline const std::string kNxpProbe{"\x01\x05\x02\x00\x01\x79\x0c", 7};
inline const std::string kNxpAck{"\x01\x06\x02\x00\x01\x00\x04", 7};

// Lays out the board (no radio yet); the tools log to toolCalls().
void setUpCarrierBoard();

// The radio on its UART; check error() before use.
class NxpRadio : public gwemu::EmulatedPort {
public:
    // Answers the hit-th probe (from 1) with answer(hit); an empty answer is
    // silence.
    explicit NxpRadio(const std::function<gwemu::Answer(unsigned hit)> &answer);
    // Acknowledges every probe at once.
    NxpRadio();
};

} // namespace sandbox
