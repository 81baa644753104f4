// Runs a piece of the code under test as an ordinary user. The tests run as
// root, and root passes every permission check of access() and open(): a
// file or directory the gateway's service could not read can only be shown
// to it from a process that has given up root.
#pragma once

#include <functional>
#include <optional>
#include <sys/types.h>

namespace sandbox {

inline constexpr uid_t kNobodyUid = 65534;
inline constexpr gid_t kNobodyGid = 65534;

// Forks, drops to the given user and group (no supplementary groups) in the
// child, runs fn there and hands back its result; empty when the child could
// not drop root or did not finish. The child shares the sandbox and standard
// output (an OutputCapture sees what it prints); what it changes in its own
// memory, such as a virtual clock's record, stays in the child.
std::optional<int> runAsUser(const std::function<int()> &fn, uid_t uid = kNobodyUid, gid_t gid = kNobodyGid);

} // namespace sandbox
