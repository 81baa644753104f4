// Processes the code under test starts in the background (stand-in scripts
// started with "&"): their pid files, and whether they still run.
#pragma once

#include <string>
#include <sys/types.h>

namespace sandbox {

// Whether the process runs; one that was killed is gone or a zombie.
bool processRunning(pid_t pid);

// Waits (a few seconds at most) until the process no longer runs.
bool waitUntilStopped(pid_t pid);

// Waits (a few seconds at most) for a pid file a background script writes;
// its pid, or -1.
pid_t waitForPidFile(const std::string &path);

} // namespace sandbox
