// The service's log as tests read it. Each log line opens with the prefix
// "[<module>] <function>() #<line> ", whose line is the implementation's own
// source line: tests mask that number, or split the log at the prefixes,
// and compare the rest byte for byte. Also the log's renderings of bytes.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace sandbox {

// --- masking ---------------------------------------------------------------

// The log with the line number of every prefix turned into "N":
// "[src/peripher] viewBuf() #212 " becomes "[src/peripher] viewBuf() #N ".
// Nothing else changes.
std::string maskLineNumbers(const std::string &log);

// The prefix of a module and function as maskLineNumbers leaves it:
// "[src/peripher] viewBuf() #N ".
std::string logPrefix(const std::string &module, const std::string &function);

// "" when the pieces occur in the text in this order; otherwise the first
// piece not found after the ones before it.
std::string missingInOrder(const std::string &text, const std::vector<std::string> &pieces);

// How often the piece occurs in the text (occurrences that do not overlap).
size_t occurrences(const std::string &text, const std::string &piece);

// --- splitting ---------------------------------------------------------------

struct LogLine {
    std::string module;
    std::string function;
    std::string message; // up to the next prefix, with its line breaks
    bool operator==(const LogLine &) const = default;
};

// The log lines in order; text before the first prefix is dropped.
std::vector<LogLine> logLines(const std::string &log);
// Only their messages.
std::vector<std::string> logMessages(const std::string &log);

void PrintTo(const LogLine &line, std::ostream *os);

// --- bytes -------------------------------------------------------------------

// Each byte as two lower-case hex digits between `before` and `after`:
// hexBytes("AT", "0x", " ") is "0x41 0x54 ", hexBytes("\x01", "[", "]") is
// "[01]".
std::string hexBytes(const std::string &bytes, const std::string &before, const std::string &after);
std::string hexBytes(const std::vector<uint8_t> &bytes, const std::string &before, const std::string &after);

} // namespace sandbox
