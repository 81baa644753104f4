// Masking, splitting and the hex renderings of the service's log.
#include "logText.h"

#include <regex>

namespace sandbox {

namespace {

// The one pattern of a log line's prefix: module, function, source line.
const std::regex &prefixPattern()
{
    static const std::regex pattern(R"(\[([^\]\n]+)\] ([A-Za-z_]\w*)\(\) #([0-9]+) )");
    return pattern;
}

} // namespace

std::string maskLineNumbers(const std::string &log)
{
    return std::regex_replace(log, prefixPattern(), "[$1] $2() #N ");
}

std::string logPrefix(const std::string &module, const std::string &function)
{
    return "[" + module + "] " + function + "() #N ";
}

std::string missingInOrder(const std::string &text, const std::vector<std::string> &pieces)
{
    size_t at = 0;
    for (const std::string &piece : pieces) {
        const size_t found = text.find(piece, at);
        if (found == std::string::npos) {
            return piece;
        }
        at = found + piece.size();
    }
    return "";
}

size_t occurrences(const std::string &text, const std::string &piece)
{
    size_t count = 0;
    for (size_t at = text.find(piece); !piece.empty() && at != std::string::npos;
         at = text.find(piece, at + piece.size())) {
        ++count;
    }
    return count;
}

std::vector<LogLine> logLines(const std::string &log)
{
    struct Found {
        size_t start;
        size_t textStart;
        LogLine line;
    };
    std::vector<Found> found;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), prefixPattern()); it != std::sregex_iterator(); ++it) {
        const auto start = static_cast<size_t>(it->position());
        found.push_back(Found{start, start + static_cast<size_t>(it->length()), {(*it)[1].str(), (*it)[2].str(), ""}});
    }
    std::vector<LogLine> lines;
    for (size_t i = 0; i < found.size(); ++i) {
        // A message runs up to the next prefix, or to the end.
        const size_t end = i + 1 < found.size() ? found[i + 1].start : log.size();
        found[i].line.message = log.substr(found[i].textStart, end - found[i].textStart);
        lines.push_back(std::move(found[i].line));
    }
    return lines;
}

std::vector<std::string> logMessages(const std::string &log)
{
    std::vector<std::string> messages;
    for (const LogLine &line : logLines(log)) {
        messages.push_back(line.message);
    }
    return messages;
}

void PrintTo(const LogLine &line, std::ostream *os)
{
    *os << "[" << line.module << "] " << line.function << "() \"";
    for (const char c : line.message) {
        if (c == '\r') {
            *os << "\\r";
        } else if (c == '\n') {
            *os << "\\n";
        } else {
            *os << c;
        }
    }
    *os << "\"";
}

std::string hexBytes(const std::string &bytes, const std::string &before, const std::string &after)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += before;
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
        text += after;
    }
    return text;
}

std::string hexBytes(const std::vector<uint8_t> &bytes, const std::string &before, const std::string &after)
{
    return hexBytes(std::string(bytes.begin(), bytes.end()), before, after);
}

} // namespace sandbox
