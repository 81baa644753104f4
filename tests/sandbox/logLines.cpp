#include "logLines.h"

#include <regex>

namespace sandbox {

std::vector<LogLine> logLines(const std::string &output)
{
    static const std::regex prefix(R"(\[([^\]\n]+)\] ([A-Za-z_][A-Za-z0-9_]*)\(\) #[0-9]+ )");
    struct Found {
        size_t start;
        size_t textStart;
        LogLine line;
    };
    std::vector<Found> found;
    for (auto it = std::sregex_iterator(output.begin(), output.end(), prefix); it != std::sregex_iterator(); ++it) {
        const auto start = static_cast<size_t>(it->position());
        found.push_back(Found{start, start + static_cast<size_t>(it->length()), {(*it)[1].str(), (*it)[2].str(), ""}});
    }
    std::vector<LogLine> lines;
    for (size_t i = 0; i < found.size(); ++i) {
        // A message runs up to the next prefix, or to the end.
        const size_t end = i + 1 < found.size() ? found[i + 1].start : output.size();
        found[i].line.message = output.substr(found[i].textStart, end - found[i].textStart);
        lines.push_back(std::move(found[i].line));
    }
    return lines;
}

std::vector<std::string> logMessages(const std::string &output)
{
    std::vector<std::string> messages;
    for (const LogLine &line : logLines(output)) {
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

} // namespace sandbox
