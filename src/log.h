// The service's one log line format: "[<module>] <function>() #<line> "
// followed by the message. Each source file names its module once:
//
//     namespace { constexpr char kLogModule[] = "src/tcpServer"; }
//
// The module is the source path of the gateway's code base, not __FILE__, so
// the lines stay the same whatever the build tree looks like. The message is
// a string literal, so printf format checking applies to its arguments.
//
// The lines keep the gateway's own spellings, odd ones included ("Lisener"
// in the name tcpServerLisener() that its lines carry, "Clinet fd:",
// "Connecte Error", "Protcol Error", "Check Sucess", ...):
// the log readers of the gateway's platform match these texts byte for byte,
// so they must stay as they are; a corrected spelling would be a line those
// readers no longer find.
#pragma once

#include <cstdio>

#ifndef GW_LOG_DISCARD

#define GW_LOG(fmt, ...) std::printf("[%s] %s() #%d " fmt, kLogModule, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// Failures of the socket calls and the peer's close go to standard error.
#define GW_ERR(fmt, ...) \
    std::fprintf(stderr, "[%s] %s() #%d " fmt, kLogModule, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// The same line under the name of a caller: for a body that several handlers
// share (the version queries, the single-LED tests), each of which logs
// under its own name.
#define GW_LOG_AS(func, fmt, ...) \
    std::printf("[%s] %s() #%d " fmt, kLogModule, func, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#else

// The libFuzzer build only: a line per parsed byte would make the parser a
// hundred times slower to fuzz. The lines are still compiled, so their
// formats are checked against their arguments, but never printed. The
// replays of the corpora in the test suite run with the lines printed.
#define GW_LOG(fmt, ...) \
    (false ? (void)std::printf("[%s] %s() #%d " fmt, kLogModule, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__) \
           : (void)0)
#define GW_ERR(fmt, ...) \
    (false \
         ? (void)std::fprintf(stderr, "[%s] %s() #%d " fmt, kLogModule, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__) \
         : (void)0)
#define GW_LOG_AS(func, fmt, ...) \
    (false ? (void)std::printf("[%s] %s() #%d " fmt, kLogModule, func, __LINE__ __VA_OPT__(, ) __VA_ARGS__) : (void)0)

#endif
