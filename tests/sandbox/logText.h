// Log lines carry the source line of the code that printed them; tests
// compare the rest byte for byte.
#pragma once

#include <string>

namespace sandbox {

// Replaces the line number of every "[module] function() #<line> " prefix
// by "#N".
std::string maskLineNumbers(const std::string &log);

} // namespace sandbox
