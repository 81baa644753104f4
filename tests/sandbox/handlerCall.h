// Calls a test handler the way the dispatcher does, and keeps what it
// replied and what it printed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "peripher/peripher.h"

namespace sandbox {

struct HandlerResult {
    int len = 0;                // the handler's return value
    std::vector<uint8_t> reply; // the first `len` bytes of the buffer (none for len <= 0)
    bool wroteBeyond = false;   // a byte past `len` (within the buffer) was changed
    std::string out;            // standard output during the call
};

// Calls the handler with a buffer of the reply capacity (64) filled with a
// marker byte, and the given capacity.
HandlerResult callHandler(CmdHandler handler, int cap = kReplyCap);

} // namespace sandbox
