// The service's log lines carry the source line of each message; tests
// compare the rest byte for byte.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

// The text with every "() #<line> " of the log prefix turned into "() # ".
std::string withoutLineNumbers(const std::string &text);

// The same with the line number of every "[module] function() #<line> "
// prefix turned into "#N".
std::string maskLineNumbers(const std::string &log);

// The log line prefix of a module and function, as withoutLineNumbers
// leaves it: "[src/peripher] viewBuf() # ".
std::string logPrefix(const std::string &module, const std::string &function);

} // namespace sandbox

namespace sandbox {

// "" when the pieces occur in the text in this order; otherwise the first
// piece not found after the ones before it.
std::string missingInOrder(const std::string &text, const std::vector<std::string> &pieces);

} // namespace sandbox
