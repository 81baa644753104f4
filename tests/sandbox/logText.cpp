#include "logText.h"

#include <cctype>
#include <regex>

namespace sandbox {

std::string withoutLineNumbers(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 4, "() #") == 0) {
            size_t j = i + 4;
            while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])) != 0) {
                ++j;
            }
            if (j > i + 4 && j < text.size() && text[j] == ' ') {
                out += "() # ";
                i = j + 1;
                continue;
            }
        }
        out += text[i];
        ++i;
    }
    return out;
}

std::string maskLineNumbers(const std::string &log)
{
    static const std::regex prefix(R"((\[[^\]\n]+\] \w+\(\) )#[0-9]+ )");
    return std::regex_replace(log, prefix, "$1#N ");
}

std::string logPrefix(const std::string &module, const std::string &function)
{
    return "[" + module + "] " + function + "() # ";
}

} // namespace sandbox

namespace sandbox {

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

} // namespace sandbox
