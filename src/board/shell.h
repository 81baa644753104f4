// Running the gateway's shell commands: the first line of a command's output,
// a command run for its status or for its effect alone, and the command lines
// of the gateway's peripheral command script.
#pragma once

#include <array>
#include <cstddef>

// Room the destination of shellFirstLine must have: a line of at most 254
// characters and its terminator.
inline constexpr size_t kShellLineRoom = 255;

// Runs the command through the shell and copies the first line of its
// output, one trailing newline removed, into the destination (room for
// kShellLineRoom bytes). Waits for the command to end; output after the
// first line is discarded. Returns 0 when a line was copied, -1 when the
// command cannot be started (destination set to the empty string), -2 when
// it printed nothing (destination untouched).
int shellFirstLine(const char *command, char *dest);

// Runs the command through the shell (system) and waits for it; a command
// that ends in "&" returns once started. Returns system's status: 0 when the
// command exited with status 0.
[[nodiscard]] int shellRun(const char *command);

// Runs the command as shellRun does, for its effect alone: the gateway's line
// tools and scripts report nothing a caller could act on, so their status is
// not consulted.
void shellRunUnchecked(const char *command);

// The gateway's peripheral command script (LEDs, Z-Wave), found on the
// shell's search path, and the room of a command line that names it.
inline constexpr char kPeripheralScript[] = "tovak_peripheralcmd.sh";
inline constexpr size_t kPeripheralCmdSize = 1024;
using PeripheralCmd = std::array<char, kPeripheralCmdSize>;

// The command line of the format, whose one "%s" stands for the script:
// "%s blink &", "killall %s".
PeripheralCmd peripheralCmd(const char *format);
