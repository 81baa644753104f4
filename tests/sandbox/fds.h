// The descriptors this process holds, to check that an operation closed
// everything it opened on every path.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

// "<fd> -> <target>" for each open descriptor, in descriptor order.
std::vector<std::string> openFds();

} // namespace sandbox
