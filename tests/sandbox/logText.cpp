#include "logText.h"

#include <regex>

namespace sandbox {

std::string maskLineNumbers(const std::string &log)
{
    static const std::regex prefix(R"((\[[^\]\n]+\] \w+\(\) )#[0-9]+ )");
    return std::regex_replace(log, prefix, "$1#N ");
}

} // namespace sandbox
