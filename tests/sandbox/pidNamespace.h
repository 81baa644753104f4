// A private process table for commands that find processes by name
// ("kill -9 $(pidof smartconfig.sh)", "killall tovak_peripheralcmd.sh"):
// without it they would reach the same-named stand-ins of tests running in
// parallel, or anything of that name on the machine.
#pragma once

#include <functional>

namespace sandbox {

// Runs `body` in a child process that is the first process (pid 1) of a new
// pid namespace, with its own /proc, so such commands see only the
// processes `body` starts. Assertions in `body` print their failures as
// usual and fail the test through the child's exit status. When `body`
// returns, every process left in the namespace is killed. Build network
// objects that need process ids (peer namespaces) before calling this.
void inPrivatePids(const std::function<void()> &body);

} // namespace sandbox
