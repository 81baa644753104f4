// Private writable copies of system directories: an overlay whose upper
// layer lives in the sandbox's /tmp, so a test can put files such as
// /usr/bin/smartconfig.sh, /etc/tovak_build or /sys/class/leds/<led> at the
// gateway's paths without touching the machine it runs on.
#pragma once

#include <string>

namespace sandbox {

// Puts an overlay over the directory (once per process; later calls for the
// same path do nothing). Everything in it stays visible; what the test
// writes there lands in the sandbox only. Mounts below the directory (such
// as a container's /etc/hosts) are not carried into the overlay.
void overlayDir(const std::string &path);

} // namespace sandbox
