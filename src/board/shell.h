// Running the gateway's shell commands: the first line of a command's output,
// or a command run for its effect.
#pragma once

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
int shellRun(const char *command);
