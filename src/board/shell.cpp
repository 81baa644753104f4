// Shell helpers: the first line of a command's output, or a command run for its
// status or its effect. Each flushes the log first, so the log keeps the order
// of events.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/shell.h"
#include "fdOwner.h"

namespace {

// A line buffer of 256 bytes read with a limit of 255: at most 254
// characters and the terminator, which is what the destination holds.
constexpr size_t kLineBufSize = 256;
constexpr int kLineReadLimit = 255;
static_assert(kLineReadLimit <= static_cast<int>(kShellLineRoom));

} // namespace

int shellFirstLine(const char *command, char *dest)
{
    if (command == nullptr) {
        if (dest != nullptr) {
            dest[0] = '\0';
        }
        return -1;
    }
    // Log lines still in the buffer must not come after the command's output.
    std::fflush(stdout);
    UniquePipe pipe(popen(command, "r"));
    if (!pipe) {
        if (dest != nullptr) {
            dest[0] = '\0';
        }
        return -1;
    }
    std::array<char, kLineBufSize> line{};
    if (std::fgets(line.data(), kLineReadLimit, pipe.get()) == nullptr) {
        pipe.close();
        return -2;
    }
    // Closing waits for the command; the rest of its output is not read.
    pipe.close();

    size_t len = std::strlen(line.data());
    if (len > 0 && line[len - 1] == '\n') {
        line[--len] = '\0';
    }
    if (dest != nullptr) {
        std::memcpy(dest, line.data(), len + 1);
    }
    return 0;
}

int shellRun(const char *command)
{
    if (command == nullptr) {
        return -1;
    }
    // Log lines still in the buffer must not come after the command's output.
    std::fflush(stdout);
    return std::system(command);
}

void shellRunUnchecked(const char *command) { [[maybe_unused]] const int status = shellRun(command); }

PeripheralCmd peripheralCmd(const char *format)
{
    PeripheralCmd command{};
    std::snprintf(command.data(), command.size(), format, kPeripheralScript);
    return command;
}
