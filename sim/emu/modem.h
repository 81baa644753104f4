// A cellular modem on its AT port, as the gateway's tests meet it: echo of
// each command (ATE1, the modems' default), then the answer framed by
// "\r\n" as modems send it:
//   "AT\r"       -> "AT\r" "\r\nOK\r\n"          (or "\r\nERROR\r\n")
//   "AT+CPIN?\r" -> "AT+CPIN?\r" "\r\n+CPIN: READY\r\n\r\nOK\r\n"
//                   or, SIM not (yet) ready, "\r\n+CME ERROR: 10\r\n"
//   other "...\r" -> echo and "\r\nERROR\r\n"
#pragma once

#include <vector>

#include "serialEmulator.h"

namespace gwemu {

struct ModemBehaviour {
    // false: the modem is off or hung and says nothing, not even the echo.
    bool answers = true;
    bool echo = true;
    // Time from a command to its answer; the echo comes at once. With no
    // delay, echo and answer go out in one write.
    unsigned delayMs = 0;
    // "AT\r" is answered OK, else ERROR.
    bool atOk = true;
    // "AT+CPIN?\r" is answered READY from this probe on (1: at once), and
    // with a SIM error before; 0: never ready.
    unsigned simReadyFrom = 1;
};

std::vector<Rule> modemRules(const ModemBehaviour &behaviour = {});

} // namespace gwemu
