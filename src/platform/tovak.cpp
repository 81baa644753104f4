// Our stand-in of the platform library's logger and report accessor: the
// smallest thing that behaves as the NXP module needs. The logger writes the
// caller's name and the message on standard output; a report is a Jansson
// object.
#include "platform/tovak.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <jansson.h>

extern "C" void log_base_subsystem(const char *func, int level, int subsystem, const char *fmt, ...)
{
    (void)level;
    (void)subsystem;
    if (fmt == nullptr) {
        return;
    }
    // One line at a time even when a report thread logs alongside a command.
    flockfile(stdout);
    std::printf("%s() ", func != nullptr ? func : "");
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    funlockfile(stdout);
}

extern "C" int json_get_int(void *report, const char *key)
{
    if (report == nullptr || key == nullptr) {
        return 0;
    }
    const json_t *member = json_object_get(static_cast<const json_t *>(report), key);
    if (!json_is_integer(member)) {
        return 0;
    }
    const json_int_t value = json_integer_value(member);
    if (value < INT_MIN || value > INT_MAX) {
        return 0;
    }
    return static_cast<int>(value);
}
