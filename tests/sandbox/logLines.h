// Splits what the service printed into its log lines: "[<module>]
// <function>() #<line> " and the message up to the next such prefix. The
// source line numbers are the implementation's own, so tests compare the
// module, the function and the message byte for byte and leave the number.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace sandbox {

struct LogLine {
    std::string module;
    std::string function;
    std::string message; // with its line breaks
    bool operator==(const LogLine &) const = default;
};

// Text before the first prefix is dropped.
std::vector<LogLine> logLines(const std::string &output);
// Only the messages, in order.
std::vector<std::string> logMessages(const std::string &output);

void PrintTo(const LogLine &line, std::ostream *os);

} // namespace sandbox
